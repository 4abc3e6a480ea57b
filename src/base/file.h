#pragma once

#include <unistd.h>

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

// An open file descriptor, closed when its owner goes.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { Close(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded (a write error may show only here).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || close(fd) == 0;
  }

 private:
  int fd_;
};

}  // namespace ombrix
