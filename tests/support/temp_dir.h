#pragma once

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

namespace ombrix::test {

// A fresh folder under the system temp dir, removed with everything in it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// HOME in a fresh temporary tree and the XDG folder variables cleared while it lives.
class ScopedHome {
 public:
  ScopedHome();
  ~ScopedHome();
  ScopedHome(const ScopedHome&) = delete;
  ScopedHome& operator=(const ScopedHome&) = delete;

  const std::filesystem::path& home() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::optional<std::string> saved_[4];  // HOME and the XDG folder variables
};

// Whole file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

// Polls done every millisecond until it holds or the seconds have passed; its last answer.
template <typename Done>
bool WaitUntil(Done done, int seconds = 30) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// Runs write under a file size limit (EFBIG past it, as on a full disk); returns its result.
template <typename Write>
auto WithFileSizeLimit(rlim_t bytes, Write write) {
  struct Restore {
    rlimit saved{};
    void (*handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ~Restore() {
      setrlimit(RLIMIT_FSIZE, &saved);
      std::signal(SIGXFSZ, handler);
    }
  } restore;
  getrlimit(RLIMIT_FSIZE, &restore.saved);
  const rlimit limit{bytes, restore.saved.rlim_max};
  setrlimit(RLIMIT_FSIZE, &limit);
  return write();
}

}  // namespace ombrix::test
