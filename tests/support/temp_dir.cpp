#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>

namespace ombrix::test {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "ombrix-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

namespace {
constexpr const char* kHomeVariables[] = {"HOME", "XDG_DATA_HOME", "XDG_DOCUMENTS_DIR",
                                          "XDG_CONFIG_HOME"};
}  // namespace

ScopedHome::ScopedHome() {
  for (size_t i = 0; i < std::size(kHomeVariables); ++i) {
    if (const char* value = getenv(kHomeVariables[i])) {
      saved_[i] = value;
    }
    i == 0 ? setenv(kHomeVariables[i], dir_.str().c_str(), 1) : unsetenv(kHomeVariables[i]);
  }
}

ScopedHome::~ScopedHome() {
  for (size_t i = 0; i < std::size(kHomeVariables); ++i) {
    saved_[i] ? setenv(kHomeVariables[i], saved_[i]->c_str(), 1) : unsetenv(kHomeVariables[i]);
  }
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

}  // namespace ombrix::test
