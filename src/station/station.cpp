#include "station/station.h"

#include "capture/clock_sync.h"
#include "config/config_file.h"

namespace ombrix {
namespace {

constexpr auto kClockCheckInterval = std::chrono::hours(1);
constexpr const char* kClockNotSynchronised =
    "The system clock is not synchronised: frames may be filed under wrong times.";

}  // namespace

SystemTime Station::FrameTimeClock::UtcNow() const {
  return ring_.NewestStamp().value_or(SystemTime{});
}

Station::Station(const Clock& wallClock, FreeSpace& freeSpace, StationOptions options,
                 StationHooks hooks)
    : options_(options),
      hooks_(std::move(hooks)),
      frameClock_(ring),
      clock_(options.timeBase == TimeBase::kFrameTime ? static_cast<const Clock*>(&frameClock_)
                                                      : &wallClock),
      detector(settings, ring, thresholdMap, eventList, *clock_),
      recorder(settings, detector),
      extractor(settings, eventList, review, *clock_, recorder.progress()),
      cleaner(settings, freeSpace),
      detectionLoop_("detection", ThreadPriority::kTimeCritical, options.detectionPeriod,
                     [this] { DetectionPass(); }),
      diskLoop_("disk", ThreadPriority::kLowest, options.diskPeriod, [this] { cleaner.Pass(); }),
      extractionLoop_("archive", ThreadPriority::kBelowNormal, options.extractionPeriod,
                      [this] { extractor.Pass(); }),
      healthLoop_("health", ThreadPriority::kNormal, std::chrono::seconds(1),
                  [this] { HealthPass(); }) {
  detector.SetArchiveSink(recorder);
  detector.SetEventObserver([this](const Stamp& first, const Stamp& last) {
    eventsRecorded_ = eventsRecorded_ + 1;
    if (hooks_.eventRecorded) {
      hooks_.eventRecorded(first, last);
    }
  });
  extractor.SetCutObserver([this](const Stamp& key) {
    eventsCut_ = eventsCut_ + 1;
    if (hooks_.eventCut) {
      hooks_.eventCut(key);
    }
  });
}

Station::~Station() {
  Stop();
}

void Station::Report(const std::string& text) const {
  if (hooks_.report) {
    hooks_.report(text);
  }
}

void Station::Start(std::unique_ptr<CaptureSource> source) {
  if (started_) {
    return;
  }
  started_ = true;
  if (options_.readConfiguration && ReadConfiguration(settings) == ConfigReadResult::Failed) {
    Report("Reading configuration file failed.");
  }
  detector.ApplyEnableWindow();
  if (options_.enableAtStart) {
    settings.enabled = true;
  }
  detector.BuildThresholdMap();
  source_ = std::move(source);
  if (source_) {
    source_->Start(ring);  // a failure has been reported; the station runs without video
  }
  detectionLoop_.Start();
  diskLoop_.Start();
  extractionLoop_.Start();
  healthLoop_.Start();
}

void Station::Stop() {
  if (!started_ || stopped_) {
    return;
  }
  stopped_ = true;
  healthLoop_.Stop();
  if (source_) {
    source_->Stop();
  }
  detectionLoop_.Stop();
  detector.DetectionStep();  // the frames that arrived since the last pass go into the archive
  recorder.FinishClip();
  diskLoop_.Stop();
  extractionLoop_.Stop();
  if (const size_t left = extractor.DrainAll(options_.drainBound); left > 0) {
    Report(std::to_string(left) + " event(s) could not be cut before the station stopped.");
  }
}

uint64_t Station::FramesPending() const {
  const uint64_t stored = ring.FramesStored();
  const uint64_t done = detector.FramesRead();
  return stored > done ? stored - done : 0;
}

void Station::DetectionPass() {
  detector.DetectionStep();
  if (hooks_.detectionPassDone) {
    hooks_.detectionPassDone();
  }
}

void Station::HealthPass() {
  const auto now = std::chrono::steady_clock::now();
  if (source_) {
    source_->CheckHealth(now);
  }
  // A replayed file is stamped with its own times, so only a camera depends on the clock.
  if (options_.timeBase == TimeBase::kWallClock && now >= nextClockCheck_) {
    nextClockCheck_ = now + kClockCheckInterval;
    if (!SystemClockSynchronised()) {
      Report(kClockNotSynchronised);
    }
  }
}

}  // namespace ombrix
