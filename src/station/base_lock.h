#pragma once

#include <string>

namespace ombrix {

// One station per base folder: an exclusive flock on "station.lock" in the base folder, held for
// the life of the station. The kernel lets go of it when the process ends, however it ends, so a
// killed station never leaves its folder locked. The file holds the process id of its holder.
class BaseFolderLock {
 public:
  static constexpr const char* kFileName = "station.lock";

  BaseFolderLock() = default;
  ~BaseFolderLock() { Release(); }
  BaseFolderLock(const BaseFolderLock&) = delete;
  BaseFolderLock& operator=(const BaseFolderLock&) = delete;

  // Locks the base folder (and lets go of the one held before). False when another station holds
  // it; holder then names its process id. A lock file that cannot be made (a read-only folder)
  // does not stop the station: true, without a lock. A station that is just checking (Held) is
  // waited for briefly.
  bool Take(const std::string& base, std::string& holder);
  void Release();

  // Whether a station holds the lock of base now.
  static bool Held(const std::string& base);

 private:
  std::string base_;
  int fd_ = -1;
};

}  // namespace ombrix
