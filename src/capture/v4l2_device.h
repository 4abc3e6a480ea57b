#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ombrix {

// Every system call the capture graph makes on a Video4Linux2 device goes through this interface,
// so the graph's steps can run against a scripted device in tests.
class V4l2Device {
 public:
  virtual ~V4l2Device() = default;

  // The /dev/video* nodes in device-number order; nullopt when the device folder cannot be read.
  virtual std::optional<std::vector<std::string>> ListVideoNodes() = 0;
  // Opens a node for reading and writing without blocking; the descriptor, or -errno.
  virtual int Open(const std::string& path) = 0;
  virtual void Close(int fd) = 0;
  // 0, or the errno of the failure. Interrupted calls are repeated.
  virtual int Ioctl(int fd, unsigned long request, void* argument) = 0;
  // Maps a driver buffer for reading and writing; nullptr on failure.
  virtual void* Mmap(int fd, size_t length, int64_t offset) = 0;
  virtual void Munmap(void* address, size_t length) = 0;
  // Waits until a buffer can be dequeued: 1 ready, 0 timed out, -errno on failure (-EINTR when a
  // signal interrupted the wait).
  virtual int Poll(int fd, int timeout_ms) = 0;
  // The monotonic clock that stamps the driver's buffers (V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC), in
  // microseconds.
  virtual int64_t MonotonicNow_us() = 0;
};

// The device interface of the running system.
class SystemV4l2Device final : public V4l2Device {
 public:
  std::optional<std::vector<std::string>> ListVideoNodes() override;
  int Open(const std::string& path) override;
  void Close(int fd) override;
  int Ioctl(int fd, unsigned long request, void* argument) override;
  void* Mmap(int fd, size_t length, int64_t offset) override;
  void Munmap(void* address, size_t length) override;
  int Poll(int fd, int timeout_ms) override;
  int64_t MonotonicNow_us() override;
};

// Orders "/dev/video10" after "/dev/video2": by the number after "video".
bool VideoNodeBefore(const std::string& a, const std::string& b);

}  // namespace ombrix
