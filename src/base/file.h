#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace ombrix {

// A stdio file that is closed when its owner goes: for files that are only read, and for files
// whose owner checks the close itself with CloseFile (a write error may show only there).
struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

inline FilePtr OpenFile(const std::string& path, const char* mode) {
  return FilePtr(std::fopen(path.c_str(), mode));
}

// Closes the file now; false when the close failed. True for no file.
inline bool CloseFile(FilePtr& file) {
  std::FILE* open = file.release();
  return open == nullptr || std::fclose(open) == 0;
}

}  // namespace ombrix
