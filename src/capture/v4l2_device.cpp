#include "capture/v4l2_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ombrix {

namespace {

long NodeNumber(const std::string& path) {
  const size_t at = path.rfind("video");
  if (at == std::string::npos) {
    return -1;
  }
  const char* digits = path.c_str() + at + 5;
  if (*digits < '0' || *digits > '9') {
    return -1;
  }
  return std::strtol(digits, nullptr, 10);
}

}  // namespace

bool VideoNodeBefore(const std::string& a, const std::string& b) {
  const long na = NodeNumber(a);
  const long nb = NodeNumber(b);
  if (na != nb) {
    return na < nb;
  }
  return a < b;
}

std::optional<std::vector<std::string>> SystemV4l2Device::ListVideoNodes() {
  DIR* folder = opendir("/dev");
  if (folder == nullptr) {
    return std::nullopt;
  }
  std::vector<std::string> nodes;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    if (name.size() > 5 && name.compare(0, 5, "video") == 0 &&
        std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      nodes.push_back("/dev/" + name);
    }
  }
  closedir(folder);
  std::sort(nodes.begin(), nodes.end(), VideoNodeBefore);
  return nodes;
}

int SystemV4l2Device::Open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  return fd >= 0 ? fd : -errno;
}

void SystemV4l2Device::Close(int fd) {
  ::close(fd);
}

int SystemV4l2Device::Ioctl(int fd, unsigned long request, void* argument) {
  for (;;) {
    if (::ioctl(fd, request, argument) == 0) {
      return 0;
    }
    if (errno != EINTR) {
      return errno;
    }
  }
}

void* SystemV4l2Device::Mmap(int fd, size_t length, int64_t offset) {
  void* address =
      ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(offset));
  return address == MAP_FAILED ? nullptr : address;
}

void SystemV4l2Device::Munmap(void* address, size_t length) {
  ::munmap(address, length);
}

int SystemV4l2Device::Poll(int fd, int timeout_ms) {
  pollfd waiting{fd, POLLIN, 0};
  const int result = ::poll(&waiting, 1, timeout_ms);
  if (result < 0) {
    return -errno;
  }
  return result > 0 ? 1 : 0;
}

int64_t SystemV4l2Device::MonotonicNow_us() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace ombrix
