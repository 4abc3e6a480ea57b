#pragma once

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture/v4l2_device.h"

namespace ombrix::test {

inline v4l2_pix_format Yuyv(uint32_t width, uint32_t height, uint32_t format = V4L2_PIX_FMT_YUYV) {
  v4l2_pix_format pix{};
  pix.width = width;
  pix.height = height;
  pix.pixelformat = format;
  pix.bytesperline = width * 2;
  pix.sizeimage = width * height * 2;
  return pix;
}

// One control of a scripted camera.
struct FakeControl {
  v4l2_queryctrl query{};
  int32_t value = 0;
  // Items from query.minimum on; "" is a gap; an integer menu's items are numbers.
  std::vector<std::string> menu = {};
};

// One scripted camera: its properties and failure switches.
struct FakeCamera {
  bool capture = true;  // false: a node without video capture
  std::vector<std::string> inputs{"Camera 1"};
  v4l2_pix_format current = Yuyv(640, 480);
  v4l2_pix_format answer{};  // what S_FMT makes of any request; width 0: the request itself
  int setFormatError = 0;
  int mmapFailsAt = -1;                    // the mmap of this buffer index fails
  std::vector<FakeControl> controls = {};  // in the order of their ids
  bool nextControl = true;  // false: an old driver that refuses V4L2_CTRL_FLAG_NEXT_CTRL
  int setControlError = 0;  // what VIDIOC_S_CTRL answers
};

struct Delivery {
  uint8_t luma;
  uint32_t flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
  uint32_t bytesused = 0;                              // 0: the whole sample
  std::optional<int64_t> timestamp_us = std::nullopt;  // monotonic; default: now
};

// Scripted cameras that log what they are asked; camera i is /dev/video<i>, descriptor 3 + i.
class FakeV4l2Device final : public V4l2Device {
 public:
  std::optional<std::vector<std::string>> ListVideoNodes() override {
    std::lock_guard lock(mutex_);
    std::vector<std::string> nodes;
    for (size_t i = 0; i < cameras.size(); ++i) {
      nodes.push_back("/dev/video" + std::to_string(i));
    }
    return nodes;
  }
  int Open(const std::string& path) override {
    std::lock_guard lock(mutex_);
    ++open_;
    return 3 + std::stoi(path.substr(10));
  }
  void Close(int /*fd*/) override {
    std::lock_guard lock(mutex_);
    log.push_back("close");
    --open_;
  }
  int Ioctl(int fd, unsigned long request, void* arg) override {
    std::lock_guard lock(mutex_);
    FakeCamera& camera = cameras.at(static_cast<size_t>(fd - 3));
    auto* buffer = static_cast<v4l2_buffer*>(arg);
    switch (request) {
      case VIDIOC_QUERYCAP:
        static_cast<v4l2_capability*>(arg)->capabilities =
            camera.capture ? V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING : V4L2_CAP_META_CAPTURE;
        return 0;
      case VIDIOC_ENUMINPUT: {
        auto* input = static_cast<v4l2_input*>(arg);
        if (input->index >= camera.inputs.size()) {
          return EINVAL;
        }
        std::strncpy(reinterpret_cast<char*>(input->name), camera.inputs[input->index].c_str(),
                     sizeof input->name - 1);
        return 0;
      }
      case VIDIOC_S_INPUT:
        log.push_back("S_INPUT " + std::to_string(*static_cast<int*>(arg)));
        return 0;
      case VIDIOC_G_FMT:
        static_cast<v4l2_format*>(arg)->fmt.pix = camera.current;
        return 0;
      case VIDIOC_S_FMT: {
        v4l2_pix_format& pix = static_cast<v4l2_format*>(arg)->fmt.pix;
        if (camera.setFormatError == 0) {
          pix = camera.answer.width != 0 ? camera.answer
                                         : Yuyv(pix.width, pix.height, pix.pixelformat);
          camera.current = pix;
        }
        return camera.setFormatError;
      }
      case VIDIOC_REQBUFS: {
        const uint32_t count = static_cast<v4l2_requestbuffers*>(arg)->count;
        log.push_back("REQBUFS " + std::to_string(count));
        buffers_.assign(count, std::vector<uint8_t>(720 * 480 * 2));
        queued_.clear();
        return 0;
      }
      case VIDIOC_QUERYBUF:
        buffer->length = static_cast<uint32_t>(buffers_.at(buffer->index).size());
        buffer->m.offset = buffer->index;
        return 0;
      case VIDIOC_QBUF:
        queued_.push_back(buffer->index);
        return 0;
      case VIDIOC_DQBUF: {
        if (deliveries.empty() || queued_.empty()) {
          return EAGAIN;
        }
        const Delivery delivery = deliveries.front();
        deliveries.pop_front();
        buffer->index = queued_.front();
        queued_.pop_front();
        std::ranges::fill(buffers_[buffer->index], delivery.luma);
        buffer->flags = delivery.flags;
        buffer->bytesused = delivery.bytesused != 0 ? delivery.bytesused : camera.current.sizeimage;
        const int64_t stamp = delivery.timestamp_us.value_or(monotonic_us_);
        buffer->timestamp.tv_sec = stamp / 1000000;
        buffer->timestamp.tv_usec = stamp % 1000000;
        return 0;
      }
      case VIDIOC_QUERYCTRL: {
        auto* query = static_cast<v4l2_queryctrl*>(arg);
        const bool next = (query->id & V4L2_CTRL_FLAG_NEXT_CTRL) != 0;
        const uint32_t id = query->id & ~V4L2_CTRL_FLAG_NEXT_CTRL;
        if (next && !camera.nextControl) {
          return EINVAL;
        }
        // The exact id, or the next one (the controls are listed in the order of their ids).
        const auto found = std::ranges::find_if(camera.controls, [&](const FakeControl& c) {
          return next ? c.query.id > id : c.query.id == id;
        });
        if (found == camera.controls.end()) {
          return EINVAL;
        }
        *query = found->query;
        return 0;
      }
      case VIDIOC_QUERYMENU: {
        auto* item = static_cast<v4l2_querymenu*>(arg);
        const FakeControl* control = Find(camera, item->id);
        const int64_t slot = control ? int64_t{item->index} - control->query.minimum : -1;
        if (slot < 0 || slot >= static_cast<int64_t>(control->menu.size()) ||
            control->menu[slot].empty()) {
          return EINVAL;
        }
        if (control->query.type == V4L2_CTRL_TYPE_INTEGER_MENU) {
          item->value = std::stoll(control->menu[slot]);
        } else {
          std::strncpy(reinterpret_cast<char*>(item->name), control->menu[slot].c_str(),
                       sizeof item->name - 1);
        }
        return 0;
      }
      case VIDIOC_G_CTRL:
      case VIDIOC_S_CTRL: {
        auto* value = static_cast<v4l2_control*>(arg);
        FakeControl* control = Find(camera, value->id);
        if (control == nullptr) {
          return EINVAL;
        }
        if (request == VIDIOC_G_CTRL) {
          value->value = control->value;
          return 0;
        }
        log.push_back("S_CTRL " + std::to_string(value->id) + " " + std::to_string(value->value));
        if (camera.setControlError == 0) {
          control->value = value->value;
        }
        return camera.setControlError;
      }
      case VIDIOC_STREAMON:
      case VIDIOC_STREAMOFF:
        log.push_back(request == VIDIOC_STREAMON ? "STREAMON" : "STREAMOFF");
        return 0;
      default:
        return ENOTTY;
    }
  }
  void* Mmap(int fd, size_t /*length*/, int64_t offset) override {
    std::lock_guard lock(mutex_);
    if (offset == cameras.at(static_cast<size_t>(fd - 3)).mmapFailsAt) {
      errno = ENOMEM;
      return nullptr;
    }
    ++mapped_;
    return buffers_.at(static_cast<size_t>(offset)).data();
  }
  void Munmap(void* /*address*/, size_t /*length*/) override {
    std::lock_guard lock(mutex_);
    --mapped_;
  }
  int Poll(int /*fd*/, int /*timeout_ms*/) override {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::lock_guard lock(mutex_);
    return !deliveries.empty() && !queued_.empty() ? 1 : 0;
  }

  int64_t MonotonicNow_us() override { return monotonic_us_; }

  void SetControlError(int error) {
    std::lock_guard lock(mutex_);
    cameras.at(0).setControlError = error;
  }
  void ClearLog() {
    std::lock_guard lock(mutex_);
    log.clear();
  }
  void Deliver(Delivery delivery) {
    std::lock_guard lock(mutex_);
    deliveries.push_back(delivery);
  }
  struct Seen {
    int open, mapped;
    size_t queued;
    std::vector<std::string> log;
    int Count(const std::string& entry) const {
      return static_cast<int>(std::ranges::count(log, entry));
    }
  };
  Seen Now() {
    std::lock_guard lock(mutex_);
    return {open_, mapped_, queued_.size(), log};
  }

  // Set while no capture thread runs, or through the methods above.
  std::vector<FakeCamera> cameras;
  std::deque<Delivery> deliveries;
  std::vector<std::string> log;

 private:
  static FakeControl* Find(FakeCamera& camera, uint32_t id) {
    const auto found = std::ranges::find_if(
        camera.controls, [id](const FakeControl& control) { return control.query.id == id; });
    return found != camera.controls.end() ? &*found : nullptr;
  }

  std::mutex mutex_;
  int open_ = 0;
  int mapped_ = 0;
  const int64_t monotonic_us_ = 5000000000;  // the scripted monotonic clock
  std::vector<std::vector<uint8_t>> buffers_;
  std::deque<uint32_t> queued_;
};

}  // namespace ombrix::test
