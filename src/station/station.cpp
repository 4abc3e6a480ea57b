#include "station/station.h"

#include <cstring>

#include "base/folders.h"
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

StationStatus Station::Status() const {
  StationStatus status;
  status.newestCapture = ring.NewestStamp();
  status.pixelCount = detector.LastPixelCount();
  status.enabled = settings.enabled;
  status.framesRead = detector.FramesRead();
  status.framesLost = detector.FramesLost();
  status.archiveFramesDropped = recorder.FramesDropped();
  status.eventsWaiting = eventList.Size();
  status.freeFraction = freeSpace_.FreeFraction(GetBaseFolder(settings.archiveFolder.get()));
  return status;
}

Station::Station(const Clock& wallClock, FreeSpace& freeSpace, StationOptions options,
                 StationHooks hooks)
    : options_(options),
      hooks_(std::move(hooks)),
      freeSpace_(freeSpace),
      frameClock_(ring),
      clock_(options.timeBase == TimeBase::kFrameTime ? static_cast<const Clock*>(&frameClock_)
                                                      : &wallClock),
      detector(settings, ring, thresholdMap, eventList, *clock_),
      recorder(settings, detector, options.archive),
      extractor(settings, eventList, review, wallClock, recorder.progress()),
      cleaner(settings, freeSpace, &recorder.progress()),
      detectionLoop_(
          "detection", ThreadPriority::kTimeCritical, options.detectionPeriod,
          [this] { DetectionPass(); }, [this](const std::string& text) { Report(text); }),
      diskLoop_("disk", ThreadPriority::kLowest, options.diskPeriod, [this] { cleaner.Pass(); }),
      extractionLoop_("archive", ThreadPriority::kBelowNormal, options.extractionPeriod,
                      [this] { extractor.Pass(); }),
      healthLoop_("health", ThreadPriority::kNormal, std::chrono::seconds(1),
                  [this] { HealthPass(); }) {
  detector.SetArchiveSink(recorder);
  detector.SetReport([this](const std::string& text) { Report(text); });
  recorder.SetReport([this](const std::string& text) { Report(text); });
  recorder.SetFatalHandler([this](const std::string& text) { RaiseFatal(text); });
  extractor.SetFatalHandler([this](const std::string& text) { RaiseFatal(text); });
  detector.SetEventObserver([this](const Stamp& first, const Stamp& last) {
    eventsRecorded_ = eventsRecorded_ + 1;
    if (hooks_.eventRecorded) {
      hooks_.eventRecorded(first, last);
    }
  });
  extractor.SetReport([this](const std::string& text) { Report(text); });
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

bool Station::Start(std::unique_ptr<CaptureSource> source) {
  if (started_) {
    return false;
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
  // Events recorded but not cut when the process last ended (killed, power cut) go first.
  if (const size_t uncut = extractor.QueueUncutEvents(); uncut > 0) {
    Report(std::to_string(uncut) + " event(s) recorded before the last stop will be cut now.");
  }
  source_ = std::move(source);
  // A failure has been reported; the station runs without video.
  const bool sourceStarted = source_ && source_->Start(ring);
  detectionLoop_.Start();
  diskLoop_.Start();
  extractionLoop_.Start();
  healthLoop_.Start();
  return sourceStarted;
}

bool Station::ReplaceSource(std::unique_ptr<CaptureSource> source) {
  if (!started_ || stopped_) {
    return false;
  }
  std::lock_guard lock(sourceMutex_);
  if (source_) {
    source_->Stop();
  }
  source_ = std::move(source);
  return source_ && source_->Start(ring);
}

void Station::RaiseFatal(const std::string& text) {
  {
    std::lock_guard lock(fatalMutex_);
    if (fatal_.load(std::memory_order_relaxed)) {
      return;
    }
    fatalText_ = text;
    fatal_.store(true, std::memory_order_release);
  }
  Report(text + " The station stops.");
}

std::string Station::FatalText() const {
  std::lock_guard lock(fatalMutex_);
  return fatalText_;
}

void Station::Stop() {
  if (!started_ || stopped_) {
    return;
  }
  stopped_ = true;
  healthLoop_.Stop();
  {
    std::lock_guard lock(sourceMutex_);
    if (source_) {
      source_->Stop();
    }
  }
  detectionLoop_.Stop();
  detector.DetectionStep();  // the frames that arrived since the last pass go into the archive
  // An event in progress ends on the last processed frame and is cut with the others below.
  detector.EndActiveEvent();
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

void Station::CheckBaseFolder() {
  const std::string setting = settings.archiveFolder.get();
  const BaseFolderFallback examined = ExamineBaseFolderSetting(setting);
  if (setting == checkedArchiveFolder_ && examined.fallsBack == archiveFellBack_) {
    return;
  }
  if (examined.fallsBack) {
    Report("The archive folder " + setting + " cannot be used (" + std::strerror(examined.error) +
           "): recordings go to " + GetBaseFolder(std::string()) + " instead.");
  } else if (archiveFellBack_ && setting == checkedArchiveFolder_) {
    Report("The archive folder " + setting + " is in use again.");
  }
  checkedArchiveFolder_ = setting;
  archiveFellBack_ = examined.fallsBack;
}

void Station::HealthPass() {
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard lock(sourceMutex_);
    if (source_) {
      source_->CheckHealth(now);
    }
  }
  CheckBaseFolder();
  // A replayed file is stamped with its own times, so only a camera depends on the clock.
  if (options_.timeBase == TimeBase::kWallClock && now >= nextClockCheck_) {
    nextClockCheck_ = now + kClockCheckInterval;
    if (!SystemClockSynchronised()) {
      Report(kClockNotSynchronised);
    }
  }
}

}  // namespace ombrix
