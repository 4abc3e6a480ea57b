#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

#include "base/clock.h"
#include "capture/capture_graph.h"
#include "capture/capture_source.h"
#include "capture/v4l2_device.h"
#include "config/settings.h"

namespace ombrix {

// The topic of every failure of the capture device: missing, unusable, silent. Each try of a
// device that stays missing says a failure of it, so they reach the operator at most once a
// minute.
inline constexpr std::string_view kCaptureTopic = "capture";

// Notices a capture device that has stopped delivering. Fed about once a second with the count of
// frames delivered so far and the steady time; after kSilence_s without a new frame it says so
// and asks for a rebuild, then asks again every kRebuildInterval_s until frames flow.
class StallWatchdog {
 public:
  static constexpr int kSilence_s = 5;
  static constexpr int kRebuildInterval_s = 30;
  enum class Action { kNone, kRebuild };

  explicit StallWatchdog(Notices& notices) : notices_(notices) {}

  // Starts watching; the next Check sets the baseline (after a successful start of the device).
  void Arm() {
    armed_ = true;
    baseline_ = true;
    stalled_ = false;
  }
  void Disarm() { armed_ = false; }
  Action Check(uint64_t frameCount, std::chrono::steady_clock::time_point now);
  bool stalled() const { return stalled_; }

 private:
  Notices& notices_;
  bool armed_ = false;
  bool baseline_ = false;
  bool stalled_ = false;
  uint64_t lastCount_ = 0;
  std::chrono::steady_clock::time_point lastFrame_{};
  std::chrono::steady_clock::time_point lastRebuild_{};
};

// The capture device as a capture source: builds and runs the capture graph on Start, and
// rebuilds it from CheckHealth when the device falls silent. A device that cannot be had at
// Start (a capture card that enumerates late) is tried again from CheckHealth every
// kRetryInterval_s, each failed try a failure of kCaptureTopic, until the graph runs. The device's
// controls may be listed and set from any thread; that waits while the graph is being built or
// torn down.
class DeviceSource final : public CaptureSource {
 public:
  DeviceSource(V4l2Device& device, SharedSettings& settings, const Clock& clock, Notices& notices);
  ~DeviceSource() override { Stop(); }

  static constexpr int kRetryInterval_s = StallWatchdog::kRebuildInterval_s;

  bool Start(FrameRing& ring) override;
  void Stop() override;
  void CheckHealth(std::chrono::steady_clock::time_point now) override;
  std::optional<std::vector<VideoControl>> ListVideoControls() override;
  bool SetVideoControl(uint32_t id, int32_t value) override;

  // Not guarded: for a caller that drives the source from one thread only.
  CaptureGraph& graph() { return graph_; }

 private:
  // False after saying why, with `then` after the graph's own sentence.
  bool BuildAndRun(const char* then);
  void StopLocked();

  // Held by every member function: the graph's device may only change while no control is
  // listed or set.
  std::mutex mutex_;
  CaptureGraph graph_;
  StallWatchdog watchdog_;
  Notices& notices_;
  FrameRing* ring_ = nullptr;
  bool started_ = false;
  // Start found no usable device: CheckHealth tries again at nextRetry_ (set by the first check).
  bool retrying_ = false;
  std::optional<std::chrono::steady_clock::time_point> nextRetry_;
};

}  // namespace ombrix
