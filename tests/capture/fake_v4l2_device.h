#pragma once

#include <linux/videodev2.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "capture/v4l2_device.h"

namespace ombrix::test {

// One scripted camera behind a /dev/video node.
struct FakeCamera {
  std::string path;
  bool capture = true;  // offers video capture with streaming
  int openError = 0;
  int opensAllowed = -1;  // opens that succeed before every further open fails; -1 no limit
  std::vector<std::string> inputs{"Camera 1"};
  int enumInputErrorAt = -1;  // ENUMINPUT of this index fails with EIO
  int setInputError = 0;
  v4l2_pix_format current{};  // the format the device delivers now
  // What VIDIOC_S_FMT does with the request: returns 0 and adjusts it, or an errno.
  std::function<int(v4l2_pix_format&)> setFormat;
  std::optional<std::pair<int, int>> saturationRange{std::make_pair(0, 100)};
  int reqbufsError = 0;
  int streamonError = 0;
  int mmapFailsAt = -1;  // the mmap of this buffer index fails
  uint32_t bufferLength = 720 * 480 * 2;
};

// One thing the camera does while streaming.
struct Delivery {
  enum class Kind { kFrame, kInterrupt } kind = Kind::kFrame;
  uint8_t luma = 0;
  uint32_t flags = 0;
  uint32_t bytesused = 0;  // 0: the whole sample size of the current format
};

inline v4l2_pix_format YuyvFormat(uint32_t width, uint32_t height) {
  v4l2_pix_format pix{};
  pix.width = width;
  pix.height = height;
  pix.pixelformat = V4L2_PIX_FMT_YUYV;
  pix.bytesperline = width * 2;
  pix.sizeimage = width * height * 2;
  pix.field = V4L2_FIELD_INTERLACED;
  return pix;
}

// A device interface over scripted cameras that records what the graph asks of it. Thread safe:
// the capture thread polls and dequeues while the test thread scripts deliveries.
class FakeV4l2Device final : public V4l2Device {
 public:
  std::optional<std::vector<std::string>> ListVideoNodes() override {
    std::lock_guard lock(mutex_);
    if (listFails) {
      return std::nullopt;
    }
    std::vector<std::string> nodes;
    for (const FakeCamera& camera : cameras) {
      nodes.push_back(camera.path);
    }
    return nodes;
  }

  int Open(const std::string& path) override {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < cameras.size(); ++i) {
      if (cameras[i].path == path) {
        log.push_back("open " + path);
        if (cameras[i].openError != 0) {
          return -cameras[i].openError;
        }
        if (cameras[i].opensAllowed == 0) {
          return -ENODEV;
        }
        if (cameras[i].opensAllowed > 0) {
          --cameras[i].opensAllowed;
        }
        const int fd = nextFd_++;
        openFds_[fd] = i;
        return fd;
      }
    }
    return -ENOENT;
  }

  void Close(int fd) override {
    std::lock_guard lock(mutex_);
    log.push_back("close");
    openFds_.erase(fd);
  }

  int Ioctl(int fd, unsigned long request, void* argument) override {
    std::lock_guard lock(mutex_);
    const auto open = openFds_.find(fd);
    if (open == openFds_.end()) {
      return EBADF;
    }
    FakeCamera& camera = cameras[open->second];
    switch (request) {
      case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(argument);
        cap->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
        cap->device_caps = camera.capture ? V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING
                                          : V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
        return 0;
      }
      case VIDIOC_QUERYCTRL: {
        auto* query = static_cast<v4l2_queryctrl*>(argument);
        if ((query->id & V4L2_CTRL_FLAG_NEXT_CTRL) != 0) {
          const uint32_t after = query->id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
          if (!camera.saturationRange || after >= V4L2_CID_SATURATION) {
            return EINVAL;
          }
          query->id = V4L2_CID_SATURATION;
        }
        if (query->id != V4L2_CID_SATURATION || !camera.saturationRange) {
          return EINVAL;
        }
        std::strcpy(reinterpret_cast<char*>(query->name), "Saturation");
        query->type = V4L2_CTRL_TYPE_INTEGER;
        query->minimum = camera.saturationRange->first;
        query->maximum = camera.saturationRange->second;
        query->default_value = 64;
        return 0;
      }
      case VIDIOC_G_CTRL:
        static_cast<v4l2_control*>(argument)->value = saturation;
        log.push_back("G_CTRL");
        return 0;
      case VIDIOC_S_CTRL:
        saturation = static_cast<v4l2_control*>(argument)->value;
        log.push_back("S_CTRL " + std::to_string(saturation));
        return 0;
      case VIDIOC_ENUMINPUT: {
        auto* input = static_cast<v4l2_input*>(argument);
        if (static_cast<int>(input->index) == camera.enumInputErrorAt) {
          return EIO;
        }
        if (input->index >= camera.inputs.size()) {
          return EINVAL;
        }
        std::strncpy(reinterpret_cast<char*>(input->name), camera.inputs[input->index].c_str(),
                     sizeof input->name - 1);
        input->type = V4L2_INPUT_TYPE_CAMERA;
        return 0;
      }
      case VIDIOC_S_INPUT:
        log.push_back("S_INPUT " + std::to_string(*static_cast<int*>(argument)));
        return camera.setInputError;
      case VIDIOC_G_FMT:
        static_cast<v4l2_format*>(argument)->fmt.pix = camera.current;
        return 0;
      case VIDIOC_S_FMT: {
        v4l2_pix_format& pix = static_cast<v4l2_format*>(argument)->fmt.pix;
        log.push_back("S_FMT");
        const int error = camera.setFormat ? camera.setFormat(pix) : 0;
        if (error == 0 && pix.bytesperline == 0) {  // the driver fills the sizes it uses
          pix.bytesperline = pix.width * 2;
          pix.sizeimage = pix.bytesperline * pix.height;
        }
        if (error == 0) {
          camera.current = pix;
        }
        return error;
      }
      case VIDIOC_REQBUFS: {
        auto* request = static_cast<v4l2_requestbuffers*>(argument);
        log.push_back("REQBUFS " + std::to_string(request->count));
        if (camera.reqbufsError != 0) {
          return camera.reqbufsError;
        }
        buffers_.clear();
        queued_.clear();
        for (uint32_t i = 0; i < request->count; ++i) {
          buffers_.push_back(std::vector<uint8_t>(camera.bufferLength));
        }
        return 0;
      }
      case VIDIOC_QUERYBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (buffer->index >= buffers_.size()) {
          return EINVAL;
        }
        buffer->length = camera.bufferLength;
        buffer->m.offset = buffer->index * 4096;
        return 0;
      }
      case VIDIOC_QBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (buffer->index >= buffers_.size()) {
          return EINVAL;
        }
        queued_.push_back(buffer->index);
        return 0;
      }
      case VIDIOC_DQBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (deliveries.empty() || queued_.empty() ||
            deliveries.front().kind != Delivery::Kind::kFrame) {
          return EAGAIN;
        }
        const Delivery delivery = deliveries.front();
        deliveries.pop_front();
        buffer->index = queued_.front();
        queued_.pop_front();
        std::vector<uint8_t>& bytes = buffers_[buffer->index];
        for (size_t i = 0; i < bytes.size(); i += 2) {
          bytes[i] = delivery.luma;
          bytes[i + 1] = 128;
        }
        buffer->flags = delivery.flags;
        buffer->bytesused = delivery.bytesused != 0 ? delivery.bytesused : camera.current.sizeimage;
        ++dequeued;
        return 0;
      }
      case VIDIOC_STREAMON:
        log.push_back("STREAMON");
        return camera.streamonError;
      case VIDIOC_STREAMOFF:
        log.push_back("STREAMOFF");
        return 0;
      default:
        return ENOTTY;
    }
  }

  void* Mmap(int fd, size_t length, int64_t offset) override {
    std::lock_guard lock(mutex_);
    const auto open = openFds_.find(fd);
    const size_t index = static_cast<size_t>(offset / 4096);
    if (open == openFds_.end() || index >= buffers_.size() || length > buffers_[index].size()) {
      errno = EINVAL;
      return nullptr;
    }
    if (static_cast<int>(index) == cameras[open->second].mmapFailsAt) {
      errno = ENOMEM;
      return nullptr;
    }
    mapped_.insert(buffers_[index].data());
    return buffers_[index].data();
  }

  void Munmap(void* address, size_t /*length*/) override {
    std::lock_guard lock(mutex_);
    mapped_.erase(static_cast<uint8_t*>(address));
  }

  int Poll(int /*fd*/, int timeout_ms) override {
    {
      std::lock_guard lock(mutex_);
      if (!deliveries.empty() && deliveries.front().kind == Delivery::Kind::kInterrupt) {
        deliveries.pop_front();
        return -EINTR;
      }
      if (!deliveries.empty() && !queued_.empty()) {
        return 1;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout_ms, 2)));
    return 0;
  }

  void Deliver(const Delivery& delivery) {
    std::lock_guard lock(mutex_);
    deliveries.push_back(delivery);
  }
  bool AllDelivered() {
    std::lock_guard lock(mutex_);
    return deliveries.empty();
  }
  size_t OpenCount() {
    std::lock_guard lock(mutex_);
    return openFds_.size();
  }
  size_t MappedCount() {
    std::lock_guard lock(mutex_);
    return mapped_.size();
  }
  size_t QueuedCount() {
    std::lock_guard lock(mutex_);
    return queued_.size();
  }
  std::vector<std::string> Log() {
    std::lock_guard lock(mutex_);
    return log;
  }
  size_t CountInLog(const std::string& entry) {
    std::lock_guard lock(mutex_);
    size_t n = 0;
    for (const std::string& line : log) {
      n += line == entry ? 1 : 0;
    }
    return n;
  }

  // Scripted state; set before the graph runs, or through the methods above while it runs.
  std::vector<FakeCamera> cameras;
  bool listFails = false;
  std::deque<Delivery> deliveries;
  std::vector<std::string> log;
  int saturation = 64;
  size_t dequeued = 0;

 private:
  std::mutex mutex_;
  int nextFd_ = 3;
  std::map<int, size_t> openFds_;
  std::vector<std::vector<uint8_t>> buffers_;
  std::deque<uint32_t> queued_;
  std::set<uint8_t*> mapped_;
};

// A camera delivering 640x480 YUYV on request.
inline FakeCamera Camera(const std::string& path) {
  FakeCamera camera;
  camera.path = path;
  camera.current = YuyvFormat(640, 480);
  return camera;
}

// Capture times that advance by 33 ms at every reading.
class SteppingClock final : public Clock {
 public:
  SystemTime UtcNow() const override {
    const uint64_t n = readings_.fetch_add(1);
    SystemTime t{2026, 12, 0, 6, 22, 0, 0, 0};
    const uint64_t ms = n * 33;
    t.second = static_cast<uint16_t>(ms / 1000 % 60);
    t.minute = static_cast<uint16_t>(ms / 60000 % 60);
    t.milliseconds = static_cast<uint16_t>(ms % 1000);
    return t;
  }
  CalendarFields LocalNow() const override { return FieldsOf(UtcNow()); }
  uint64_t readings() const { return readings_.load(); }

 private:
  mutable std::atomic<uint64_t> readings_{0};
};

}  // namespace ombrix::test
