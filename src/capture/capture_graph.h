#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "capture/capture_source.h"
#include "capture/capture_time.h"
#include "capture/v4l2_device.h"
#include "capture/video_controls.h"
#include "config/settings.h"

namespace ombrix {

class FrameRing;

// The topic of a video control that cannot be set, followed by the control's id when one is
// named.
inline constexpr std::string_view kVideoControlTopic = "video-control";

// The capture device chain: the chosen video capture device, its composite input, a 640x480 (or
// 720x480) YUYV format and a set of memory-mapped streaming buffers, drained by a capture thread
// that hands every good buffer to the frame ring with its capture time: the driver's monotonic
// buffer stamp mapped to UTC, or the wall clock at the dequeue when the driver gives none.
//
// Built, run and torn down from one thread (the station's); only the capture thread runs
// alongside. A build that fails leaves the graph empty and keeps its one fixed sentence in
// failure() for the caller to say. The device interface, settings, clock and notices must outlive
// the graph.
class CaptureGraph {
 public:
  // Devices beyond the first eight are not considered.
  static constexpr int kMaxDevices = 8;
  static constexpr uint32_t kBufferCount = 4;
  // A few frame periods: the capture thread wakes at least this often to see a stop request.
  static constexpr int kPollTimeout_ms = 200;

  CaptureGraph(V4l2Device& device, SharedSettings& settings, const Clock& clock, Notices& notices);
  ~CaptureGraph();
  CaptureGraph(const CaptureGraph&) = delete;
  CaptureGraph& operator=(const CaptureGraph&) = delete;

  // Opens the device at settings.captureDeviceIndex (lowered to the last device when too large),
  // routes its composite input, sets the format and the ring's sampleSize, and queues the
  // streaming buffers. Does not start streaming. False (failure() says why, graph torn down) on
  // the first step that fails.
  bool BuildCaptureGraph(FrameRing& ring);
  // Starts streaming on a built graph and the capture thread. False (failure() says why, graph
  // torn down) when the device refuses to stream.
  bool Run();
  // Stops the capture thread and streaming, unmaps the buffers and closes the device. Safe on a
  // partly built or empty graph.
  void TearDownCaptureGraph();
  // Video capture devices with streaming, 0..8.
  int CountCaptureDevices();
  // Writes the open device's path and its controls, one a line (DescribeVideoControl); nothing
  // when no device is open.
  void ShowDeviceProperties(std::ostream& out);

  // The open device's controls with their values; nullopt when no device is open. May be called
  // from another thread than the one that builds the graph, but not alongside a build or a
  // tear-down (the owner serialises those); the capture thread may run meanwhile.
  std::optional<std::vector<VideoControl>> ListControls();
  // Sets a control of the open device to `value`, first brought into the control's range and
  // step (ClampControlValue); a button is pressed whatever the value. False when there is no
  // device, the control is missing, disabled, read-only or busy, or the device refuses the value;
  // that is said as a failure of kVideoControlTopic (a slider dragged over a busy control repeats
  // it). Same threads as ListControls.
  bool SetControl(uint32_t id, int32_t value);

  // The fixed sentence of the last build or run that failed ("Pins not found."); empty after one
  // that succeeded.
  const std::string& failure() const { return failure_; }
  bool built() const { return fd_ >= 0; }
  bool running() const { return streaming_; }
  const std::string& devicePath() const { return devicePath_; }
  // Samples handed to the ring since the graph object was made (all builds together).
  uint64_t framesDelivered() const { return framesDelivered_.load(std::memory_order_relaxed); }
  // Buffers re-queued without being stored (flagged as errored or short).
  uint64_t buffersDropped() const { return buffersDropped_.load(std::memory_order_relaxed); }
  // True when the capture thread ended on a device error; the graph delivers nothing more until
  // it is rebuilt.
  bool streamFailed() const { return streamFailed_.load(std::memory_order_relaxed); }

 private:
  struct MappedBuffer {
    void* address = nullptr;
    size_t length = 0;
  };

  // The capture nodes (video capture with streaming) in device-number order, at most eight;
  // nullopt when the device folder cannot be listed.
  std::optional<std::vector<std::string>> CaptureNodes();
  bool IsCaptureNode(const std::string& path);
  void ZeroSaturation();
  bool RouteCompositeInput();
  bool SetFormat(FrameRing& ring);
  bool MapBuffers();
  bool Fail(const std::string& message);
  bool FailWithCode(const char* message, int code);
  void CaptureLoop(std::stop_token stop);

  V4l2Device& device_;
  SharedSettings& settings_;
  const Clock& clock_;
  Notices& notices_;
  std::string failure_;

  int fd_ = -1;
  std::string devicePath_;
  FrameRing* ring_ = nullptr;
  CaptureTimeMapper timeMapper_;  // capture thread only
  uint32_t sampleSize_ = 0;
  bool buffersRequested_ = false;
  std::vector<MappedBuffer> buffers_;
  bool streaming_ = false;
  std::atomic<uint64_t> framesDelivered_{0};
  std::atomic<uint64_t> buffersDropped_{0};
  std::atomic<bool> streamFailed_{false};
  std::jthread captureThread_;  // last: joined before the members it uses go
};

}  // namespace ombrix
