#include "station/base_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace ombrix {
namespace {

// Held() takes a shared lock for a moment; a starting station tries this often before it gives up.
constexpr int kTries = 5;
constexpr auto kRetryPause = std::chrono::milliseconds(100);

int OpenLockFile(const std::string& base, int flags) {
  return open((base + "/" + BaseFolderLock::kFileName).c_str(),
              flags | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0644);
}

}  // namespace

bool BaseFolderLock::Take(const std::string& base, std::string& holder) {
  if (fd_ >= 0 && base == base_) {
    return true;
  }
  const int fd = OpenLockFile(base, O_RDWR | O_CREAT);
  if (fd < 0) {
    return true;  // nothing can be recorded there either; that is said where it fails
  }
  for (int attempt = 0; attempt < kTries; ++attempt) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      Release();
      fd_ = fd;
      base_ = base;
      const std::string pid = std::to_string(getpid()) + "\n";
      if (ftruncate(fd_, 0) != 0 || pwrite(fd_, pid.data(), pid.size(), 0) < 0) {
        // The process id is only for the message of a second station; the lock holds anyway.
      }
      return true;
    }
    if (errno != EWOULDBLOCK) {
      close(fd);
      return true;
    }
    std::this_thread::sleep_for(kRetryPause);
  }
  char text[32] = {};
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  holder.assign(text, n > 0 ? static_cast<size_t>(n) : 0);
  while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\r')) {
    holder.pop_back();
  }
  close(fd);
  return false;
}

void BaseFolderLock::Release() {
  if (fd_ >= 0) {
    close(fd_);  // lets go of the lock
    fd_ = -1;
  }
  base_.clear();
}

bool BaseFolderLock::Held(const std::string& base) {
  const int fd = OpenLockFile(base, O_RDONLY);
  if (fd < 0) {
    return false;
  }
  const bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);  // also lets go of the shared lock
  return held;
}

}  // namespace ombrix
