#include "capture/device_source.h"

#include <string>

namespace ombrix {
namespace {

// Follows the graph's own sentence when a device that could not be had at the start is tried.
constexpr const char* kRetryText = " No capture device can be used; trying again in 30 s.";
static_assert(DeviceSource::kRetryInterval_s == 30);

}  // namespace

StallWatchdog::Action StallWatchdog::Check(uint64_t frameCount,
                                           std::chrono::steady_clock::time_point now) {
  if (!armed_) {
    return Action::kNone;
  }
  if (baseline_ || frameCount != lastCount_) {
    baseline_ = false;
    lastCount_ = frameCount;
    lastFrame_ = now;
    if (stalled_) {
      stalled_ = false;
      notices_.Recovered(kCaptureTopic, "Frames from the capture device arrive again.");
    }
    return Action::kNone;
  }
  if (!stalled_) {
    if (now - lastFrame_ < std::chrono::seconds(kSilence_s)) {
      return Action::kNone;
    }
    stalled_ = true;
    notices_.Failure(Severity::kWarning, kCaptureTopic,
                     "No frame from the capture device for 5 s; rebuilding the capture graph.");
    lastRebuild_ = now;
    return Action::kRebuild;
  }
  if (now - lastRebuild_ < std::chrono::seconds(kRebuildInterval_s)) {
    return Action::kNone;
  }
  lastRebuild_ = now;
  return Action::kRebuild;
}

DeviceSource::DeviceSource(V4l2Device& device, SharedSettings& settings, const Clock& clock,
                           Notices& notices)
    : graph_(device, settings, clock, notices), watchdog_(notices), notices_(notices) {}

bool DeviceSource::BuildAndRun(const char* then) {
  if (graph_.BuildCaptureGraph(*ring_) && graph_.Run()) {
    return true;
  }
  notices_.Failure(Severity::kWarning, kCaptureTopic, graph_.failure() + then);
  return false;
}

bool DeviceSource::Start(FrameRing& ring) {
  std::lock_guard lock(mutex_);
  StopLocked();
  ring_ = &ring;
  started_ = BuildAndRun(kRetryText);
  if (started_) {
    watchdog_.Arm();
  } else {
    retrying_ = true;
    nextRetry_.reset();
  }
  return started_;
}

void DeviceSource::Stop() {
  std::lock_guard lock(mutex_);
  StopLocked();
}

void DeviceSource::StopLocked() {
  graph_.TearDownCaptureGraph();
  watchdog_.Disarm();
  started_ = false;
  retrying_ = false;
}

void DeviceSource::CheckHealth(std::chrono::steady_clock::time_point now) {
  std::lock_guard lock(mutex_);
  if (retrying_) {
    // The first check after a failed start fixes the schedule of the tries.
    if (!nextRetry_) {
      nextRetry_ = now + std::chrono::seconds(kRetryInterval_s);
      return;
    }
    if (now < *nextRetry_) {
      return;
    }
    nextRetry_ = now + std::chrono::seconds(kRetryInterval_s);
    started_ = BuildAndRun(kRetryText);
    if (!started_) {
      return;
    }
    retrying_ = false;
    watchdog_.Arm();
    notices_.Recovered(kCaptureTopic,
                       "Capture device " + graph_.devicePath() + " found; capture runs.");
    return;
  }
  if (!started_) {
    return;
  }
  if (watchdog_.Check(graph_.framesDelivered(), now) == StallWatchdog::Action::kRebuild) {
    graph_.TearDownCaptureGraph();
    BuildAndRun("");
  }
}

std::optional<std::vector<VideoControl>> DeviceSource::ListVideoControls() {
  std::lock_guard lock(mutex_);
  return graph_.ListControls();
}

bool DeviceSource::SetVideoControl(uint32_t id, int32_t value) {
  std::lock_guard lock(mutex_);
  return graph_.SetControl(id, value);
}

}  // namespace ombrix
