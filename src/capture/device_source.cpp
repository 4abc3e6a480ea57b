#include "capture/device_source.h"

namespace ombrix {

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
      if (report_) {
        report_("Frames from the capture device arrive again.");
      }
    }
    return Action::kNone;
  }
  if (!stalled_) {
    if (now - lastFrame_ < std::chrono::seconds(kSilence_s)) {
      return Action::kNone;
    }
    stalled_ = true;
    if (report_) {
      report_("No frame from the capture device for 5 s; rebuilding the capture graph.");
    }
    lastRebuild_ = now;
    return Action::kRebuild;
  }
  if (now - lastRebuild_ < std::chrono::seconds(kRebuildInterval_s)) {
    return Action::kNone;
  }
  lastRebuild_ = now;
  return Action::kRebuild;
}

DeviceSource::DeviceSource(V4l2Device& device, Settings& settings, const Clock& clock,
                           ReportFunction report)
    : graph_(device, settings, clock, report), watchdog_(report) {}

bool DeviceSource::BuildAndRun() {
  return graph_.BuildCaptureGraph(*ring_) && graph_.Run();
}

bool DeviceSource::Start(FrameRing& ring) {
  Stop();
  ring_ = &ring;
  started_ = BuildAndRun();
  if (started_) {
    watchdog_.Arm();
  }
  return started_;
}

void DeviceSource::Stop() {
  graph_.TearDownCaptureGraph();
  watchdog_.Disarm();
  started_ = false;
}

void DeviceSource::CheckHealth(std::chrono::steady_clock::time_point now) {
  if (!started_) {
    return;
  }
  if (watchdog_.Check(graph_.framesDelivered(), now) == StallWatchdog::Action::kRebuild) {
    graph_.TearDownCaptureGraph();
    BuildAndRun();
  }
}

}  // namespace ombrix
