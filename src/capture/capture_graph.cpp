#include "capture/capture_graph.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "base/frame.h"
#include "capture/frame_ring.h"

namespace ombrix {

namespace {

bool NameSaysComposite(const uint8_t* name, size_t size) {
  std::string lower;
  for (size_t i = 0; i < size && name[i] != 0; ++i) {
    lower.push_back(static_cast<char>(std::tolower(name[i])));
  }
  return lower.find("composite") != std::string::npos;
}

bool IsYuyv(const v4l2_pix_format& pix, uint32_t width, uint32_t height) {
  return pix.pixelformat == V4L2_PIX_FMT_YUYV && pix.width == width && pix.height == height &&
         pix.bytesperline == width * 2 && pix.sizeimage >= width * height * 2;
}

}  // namespace

CaptureGraph::CaptureGraph(V4l2Device& device, SharedSettings& settings, const Clock& clock,
                           Notices& notices)
    : device_(device), settings_(settings), clock_(clock), notices_(notices) {}

CaptureGraph::~CaptureGraph() {
  TearDownCaptureGraph();
}

bool CaptureGraph::Fail(const std::string& message) {
  failure_ = message;
  TearDownCaptureGraph();
  return false;
}

bool CaptureGraph::FailWithCode(const char* message, int code) {
  char text[128];
  std::snprintf(text, sizeof text, message, static_cast<unsigned>(code));
  return Fail(text);
}

bool CaptureGraph::IsCaptureNode(const std::string& path) {
  const int fd = device_.Open(path);
  if (fd < 0) {
    return false;
  }
  v4l2_capability capability{};
  const bool queried = device_.Ioctl(fd, VIDIOC_QUERYCAP, &capability) == 0;
  device_.Close(fd);
  if (!queried) {
    return false;
  }
  const uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0
                            ? capability.device_caps
                            : capability.capabilities;
  return (caps & V4L2_CAP_VIDEO_CAPTURE) != 0 && (caps & V4L2_CAP_STREAMING) != 0;
}

std::optional<std::vector<std::string>> CaptureGraph::CaptureNodes() {
  std::optional<std::vector<std::string>> nodes = device_.ListVideoNodes();
  if (!nodes) {
    return std::nullopt;
  }
  std::vector<std::string> capture;
  for (const std::string& node : *nodes) {
    if (static_cast<int>(capture.size()) == kMaxDevices) {
      break;
    }
    if (IsCaptureNode(node)) {
      capture.push_back(node);
    }
  }
  return capture;
}

int CaptureGraph::CountCaptureDevices() {
  const auto nodes = CaptureNodes();
  return nodes ? static_cast<int>(nodes->size()) : 0;
}

bool CaptureGraph::BuildCaptureGraph(FrameRing& ring) {
  if (buffersRequested_ || streaming_) {
    TearDownCaptureGraph();  // a build over a built graph starts from scratch
  }
  failure_.clear();
  // The device list stands for the system device enumerator and its video input category.
  const auto nodes = CaptureNodes();
  if (!nodes) {
    return Fail("Creation of the system device enumerator failed.");
  }
  if (nodes->empty()) {
    return Fail("Creation of the enumerator for video capture devices failed.");
  }
  const uint32_t count = static_cast<uint32_t>(nodes->size());
  uint32_t index = settings_.Get()->captureDeviceIndex;
  if (index >= count) {
    index = count - 1;
    settings_.Update([index](Settings& s) { s.captureDeviceIndex = index; });
  }
  if (fd_ < 0) {
    devicePath_ = (*nodes)[index];
    const int fd = device_.Open(devicePath_);
    if (fd < 0) {
      return Fail("Binding the moniker to a filter object failed.");
    }
    fd_ = fd;
    ZeroSaturation();
  }
  if (!RouteCompositeInput()) {
    return false;
  }
  if (!SetFormat(ring)) {
    return false;
  }
  ring_ = &ring;
  return MapBuffers();
}

void CaptureGraph::ZeroSaturation() {
  // A colour camera's chroma only disturbs the brightness image; results are ignored.
  v4l2_queryctrl query{};
  query.id = V4L2_CID_SATURATION;
  if (device_.Ioctl(fd_, VIDIOC_QUERYCTRL, &query) != 0 ||
      (query.flags & V4L2_CTRL_FLAG_DISABLED) != 0) {
    return;
  }
  v4l2_control control{};
  control.id = V4L2_CID_SATURATION;
  device_.Ioctl(fd_, VIDIOC_G_CTRL, &control);
  control.value = std::clamp(0, query.minimum, query.maximum);
  device_.Ioctl(fd_, VIDIOC_S_CTRL, &control);
}

bool CaptureGraph::RouteCompositeInput() {
  // The device's video inputs play the part of the crossbar's input pins.
  constexpr uint32_t kMaxInputs = 64;
  uint32_t inputCount = 0;
  std::optional<uint32_t> composite;
  for (uint32_t index = 0; index < kMaxInputs; ++index) {
    v4l2_input input{};
    input.index = index;
    const int error = device_.Ioctl(fd_, VIDIOC_ENUMINPUT, &input);
    if (error == EINVAL && index > 0) {
      break;  // past the last input
    }
    if (error != 0) {
      return Fail(index == 0 ? "Finding crossbar preview failed."
                             : "Get Crossbar Pin Info1 failed.");
    }
    ++inputCount;
    if (!composite && NameSaysComposite(input.name, sizeof input.name)) {
      composite = index;
    }
  }
  if (inputCount == 1) {
    return true;  // nothing to choose
  }
  if (!composite) {
    return Fail("Pins not found.");
  }
  int index = static_cast<int>(*composite);
  if (device_.Ioctl(fd_, VIDIOC_S_INPUT, &index) != 0) {
    return Fail("Crossbar route failed.");
  }
  return true;
}

bool CaptureGraph::SetFormat(FrameRing& ring) {
  v4l2_format current{};
  current.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (device_.Ioctl(fd_, VIDIOC_G_FMT, &current) != 0) {
    return Fail("Could not getFormat(&pAmMediaType).");
  }
  v4l2_format wanted = current;
  wanted.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
  wanted.fmt.pix.width = kFrameWidth;
  wanted.fmt.pix.height = kFrameHeight;
  // Let the driver choose the line and image sizes for the new format (no stale padding).
  wanted.fmt.pix.bytesperline = 0;
  wanted.fmt.pix.sizeimage = 0;
  // The driver answers with the format it will deliver, which may differ from the one asked.
  const v4l2_pix_format& answer =
      device_.Ioctl(fd_, VIDIOC_S_FMT, &wanted) == 0 ? wanted.fmt.pix : current.fmt.pix;
  if (IsYuyv(answer, kFrameWidth, kFrameHeight)) {
    sampleSize_ = kSampleSize640;
  } else if (IsYuyv(answer, 720, kFrameHeight)) {
    sampleSize_ = kSampleSize720;
  } else {
    return Fail("Could not set size to 640x480.");
  }
  ring.sampleSize.store(sampleSize_, std::memory_order_relaxed);
  return true;
}

bool CaptureGraph::MapBuffers() {
  constexpr const char* kRenderFailed = "Render Stream failed. %x";
  v4l2_requestbuffers request{};
  request.count = kBufferCount;
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  if (const int error = device_.Ioctl(fd_, VIDIOC_REQBUFS, &request); error != 0) {
    return FailWithCode(kRenderFailed, error);
  }
  buffersRequested_ = true;
  if (request.count < 2) {
    return FailWithCode(kRenderFailed, ENOMEM);
  }
  for (uint32_t index = 0; index < request.count; ++index) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    if (const int error = device_.Ioctl(fd_, VIDIOC_QUERYBUF, &buffer); error != 0) {
      return FailWithCode(kRenderFailed, error);
    }
    if (buffer.length < sampleSize_) {
      return FailWithCode(kRenderFailed, EINVAL);
    }
    errno = 0;
    void* address = device_.Mmap(fd_, buffer.length, buffer.m.offset);
    if (address == nullptr) {
      return FailWithCode(kRenderFailed, errno != 0 ? errno : ENOMEM);
    }
    buffers_.push_back(MappedBuffer{address, buffer.length});
    if (const int error = device_.Ioctl(fd_, VIDIOC_QBUF, &buffer); error != 0) {
      return FailWithCode(kRenderFailed, error);
    }
  }
  return true;
}

bool CaptureGraph::Run() {
  if (fd_ < 0 || streaming_) {
    return streaming_;
  }
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (const int error = device_.Ioctl(fd_, VIDIOC_STREAMON, &type); error != 0) {
    return FailWithCode("Render Stream failed. %x", error);
  }
  streaming_ = true;
  streamFailed_.store(false, std::memory_order_relaxed);
  captureThread_ = std::jthread([this](std::stop_token stop) { CaptureLoop(stop); });
  return true;
}

void CaptureGraph::CaptureLoop(std::stop_token stop) {
  while (!stop.stop_requested()) {
    const int ready = device_.Poll(fd_, kPollTimeout_ms);
    if (ready == -EINTR || ready == 0) {
      continue;  // interrupted, or no frame for a while: the health check counts the silence
    }
    if (ready < 0) {
      break;
    }
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    const int error = device_.Ioctl(fd_, VIDIOC_DQBUF, &buffer);
    if (error == EAGAIN) {
      continue;
    }
    if (error != 0 || buffer.index >= buffers_.size()) {
      break;
    }
    // Both clocks at once, first: the wall clock maps the driver's stamp, or stands in for it.
    const UtcTime wallNow = clock_.UtcNow();
    const int64_t monotonicNow_us = device_.MonotonicNow_us();
    if ((buffer.flags & V4L2_BUF_FLAG_ERROR) == 0 && buffer.bytesused >= sampleSize_) {
      const bool monotonic =
          (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
      const int64_t stamp_us =
          monotonic
              ? static_cast<int64_t>(buffer.timestamp.tv_sec) * 1000000 + buffer.timestamp.tv_usec
              : 0;  // no stamp on the monotonic clock: the wall clock is the time
      ring_->StoreFrame(static_cast<const uint8_t*>(buffers_[buffer.index].address),
                        timeMapper_.ToUtc(stamp_us, wallNow, monotonicNow_us));
      framesDelivered_.fetch_add(1, std::memory_order_relaxed);
    } else {
      buffersDropped_.fetch_add(1, std::memory_order_relaxed);
    }
    // Every buffer goes back to the driver, also a bad one, or the stream runs dry.
    if (device_.Ioctl(fd_, VIDIOC_QBUF, &buffer) != 0) {
      break;
    }
  }
  if (!stop.stop_requested()) {
    streamFailed_.store(true, std::memory_order_relaxed);
  }
}

void CaptureGraph::TearDownCaptureGraph() {
  if (captureThread_.joinable()) {
    captureThread_.request_stop();
    captureThread_.join();
  }
  if (streaming_) {
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    device_.Ioctl(fd_, VIDIOC_STREAMOFF, &type);
    streaming_ = false;
  }
  for (const MappedBuffer& buffer : buffers_) {
    device_.Munmap(buffer.address, buffer.length);
  }
  buffers_.clear();
  if (buffersRequested_) {
    v4l2_requestbuffers release{};
    release.count = 0;
    release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    release.memory = V4L2_MEMORY_MMAP;
    device_.Ioctl(fd_, VIDIOC_REQBUFS, &release);
    buffersRequested_ = false;
  }
  if (fd_ >= 0) {
    device_.Close(fd_);
    fd_ = -1;
  }
  ring_ = nullptr;
  sampleSize_ = 0;
}

void CaptureGraph::ShowDeviceProperties(std::ostream& out) {
  const std::optional<std::vector<VideoControl>> controls = ListControls();
  if (!controls) {
    return;
  }
  out << devicePath_ << "\n";
  for (const VideoControl& control : *controls) {
    out << DescribeVideoControl(control) << "\n";
  }
}

std::optional<std::vector<VideoControl>> CaptureGraph::ListControls() {
  if (fd_ < 0) {
    return std::nullopt;
  }
  return QueryVideoControls(device_, fd_);
}

bool CaptureGraph::SetControl(uint32_t id, int32_t value) {
  // Each control is a topic of its own: a slider dragged over a busy control repeats one failure,
  // while another control refused meanwhile is news.
  const std::string topic = std::string(kVideoControlTopic) + " " + std::to_string(id);
  auto fail = [this, &topic](const std::string& what, const std::string& why) {
    notices_.Failure(Severity::kWarning, topic,
                     "Setting the video control " + what + " failed: " + why + ".");
    return false;
  };
  if (fd_ < 0) {
    notices_.Failure(Severity::kWarning, kVideoControlTopic,
                     "Setting a video control failed: no capture device is open.");
    return false;
  }
  int error = 0;
  const std::optional<VideoControl> control = QueryVideoControl(device_, fd_, id, &error);
  if (!control) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08x", id);
    return fail(hex, std::generic_category().message(error));
  }
  const std::string name = "\"" + control->name + "\"";
  if (control->disabled()) {
    return fail(name, "it is disabled");
  }
  if (control->readOnly()) {
    return fail(name, "it is read-only");
  }
  if (control->grabbed()) {
    return fail(name, "it is in use while the device streams");
  }
  if (control->type == VideoControlType::kOther) {
    return fail(name, "its kind of value cannot be set here");
  }
  v4l2_control set{};
  set.id = id;
  set.value = control->type == VideoControlType::kButton ? 0 : ClampControlValue(*control, value);
  if (const int refused = device_.Ioctl(fd_, VIDIOC_S_CTRL, &set); refused != 0) {
    return fail(name, std::generic_category().message(refused));
  }
  notices_.Recovered(topic);
  return true;
}

}  // namespace ombrix
