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

UtcTime Station::FrameTimeClock::UtcNow() const {
  return ring_.NewestStamp().value_or(UtcTime{});
}

StationStatus Station::Status() const {
  const std::shared_ptr<const Settings> settings = settings_.Get();
  StationStatus status;
  status.newestCapture = ring_.NewestStamp();
  status.pixelCount = detector_.LastPixelCount();
  status.enabled = settings->enabled;
  status.recording = recorder_.progress().Read().active;
  status.framesStored = ring_.FramesStored();
  status.framesRead = detector_.FramesRead();
  status.framesLost = detector_.FramesLost();
  status.archiveFramesDropped = recorder_.FramesDropped();
  status.eventsWaiting = eventList_.Size();
  status.freeFraction = freeSpace_.FreeFraction(GetBaseFolder(settings->archiveFolder));
  return status;
}

Station::Station(const Clock& wallClock, FreeSpace& freeSpace, StationOptions options,
                 StationHooks hooks)
    : options_(options),
      hooks_(std::move(hooks)),
      freeSpace_(freeSpace),
      frameClock_(ring_),
      clock_(options.timeBase == TimeBase::kFrameTime ? static_cast<const Clock*>(&frameClock_)
                                                      : &wallClock),
      detector_(settings_, ring_, thresholdMap_, eventList_, *clock_, notices_),
      recorder_(detector_, notices_, options.archive),
      extractor_(settings_, eventList_, review_, wallClock, recorder_.progress(), notices_),
      cleaner_(settings_, freeSpace, notices_, &recorder_.progress()),
      detectionLoop_(
          "detection", ThreadPriority::kTimeCritical, options.detectionPeriod,
          [this] { DetectionPass(); }, &notices_),
      diskLoop_("disk", ThreadPriority::kLowest, options.diskPeriod, [this] { cleaner_.Pass(); }),
      extractionLoop_("archive", ThreadPriority::kBelowNormal, options.extractionPeriod,
                      [this] { extractor_.Pass(); }),
      healthLoop_("health", ThreadPriority::kNormal, std::chrono::seconds(1),
                  [this] { HealthPass(); }) {
  notices_.SetSink(hooks_.notice);
  detector_.SetArchiveSink(recorder_);
  detector_.SetEventObserver([this](UtcTime first, UtcTime last) {
    eventsRecorded_ = eventsRecorded_ + 1;
    notices_.Say(Severity::kInfo, kEventTopic,
                 "Event recorded: " + MakeStamp(first) + " to " + MakeStamp(last));
  });
  extractor_.SetCutObserver([this](UtcTime key) {
    eventsCut_ = eventsCut_ + 1;
    notices_.Say(Severity::kInfo, kEventTopic, "Event cut: " + MakeStamp(key));
  });
  extractor_.SetDeleteObserver([this](UtcTime key) {
    notices_.Say(Severity::kInfo, kEventTopic,
                 "Event deleted (older than daysToKeep): " + MakeStamp(key));
  });
}

Station::~Station() {
  Stop();
}

bool Station::Start(std::unique_ptr<CaptureSource> source, SourceFactory remake) {
  if (started_) {
    return false;
  }
  started_ = true;
  remake_ = std::move(remake);
  ConfigReadResult read = ConfigReadResult::NoFile;
  if (options_.readConfiguration) {
    settings_.Update([&read](Settings& s) { read = ReadConfiguration(s); });
  }
  if (read == ConfigReadResult::Failed) {
    notices_.Say(Severity::kWarning, kConfigTopic, kConfigReadFailed);
  }
  detector_.ApplyEnableWindow();
  if (options_.enableAtStart) {
    settings_.Update([](Settings& s) { s.enabled = true; });
  }
  detector_.BuildThresholdMap();
  // Events recorded but not cut when the process last ended (killed, power cut) go first.
  if (const size_t uncut = extractor_.QueueUncutEvents(); uncut > 0) {
    notices_.Say(
        Severity::kInfo, kStationTopic,
        std::to_string(uncut) + " event(s) recorded before the last stop will be cut now.");
  }
  source_ = std::move(source);
  // A failure has been reported; the station runs without video.
  const bool sourceStarted = source_ && source_->Start(ring_);
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
  return source_ && source_->Start(ring_);
}

std::optional<std::vector<VideoControl>> Station::ListVideoControls() {
  std::lock_guard lock(sourceMutex_);
  return source_ ? source_->ListVideoControls() : std::nullopt;
}

bool Station::SetVideoControl(uint32_t id, int32_t value) {
  std::lock_guard lock(sourceMutex_);
  return source_ && source_->SetVideoControl(id, value);
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
  detector_.DetectionStep();  // the frames that arrived since the last pass go into the archive
  // An event in progress ends on the last processed frame and is cut with the others below.
  detector_.EndActiveEvent();
  recorder_.FinishClip();
  diskLoop_.Stop();
  extractionLoop_.Stop();
  if (const size_t left = extractor_.DrainAll(options_.drainBound); left > 0) {
    notices_.Say(Severity::kWarning, kStationTopic,
                 std::to_string(left) + " event(s) could not be cut before the station stopped.");
  }
}

void Station::Apply(const SettingsEdit& edit, Redo redo) {
  const auto [before, after] = settings_.Update(edit);
  if (redo == Redo::kThresholdTable || after->threshold != before->threshold ||
      after->maskFile != before->maskFile) {
    thresholdMap_.Build(after->threshold, after->maskFile);
  }
  if ((redo == Redo::kCapture || after->captureDeviceIndex != before->captureDeviceIndex) &&
      remake_) {
    ReplaceSource(remake_(*this));
  }
  // The recorder takes a new archive folder when it begins a clip, the extractor and the cleaner
  // on each pass, the health thread says when it cannot be used.
}

bool Station::SaveConfiguration() const {
  return ombrix::SaveConfiguration(*settings_.Get());
}

std::unique_ptr<Reviewer> Station::MakeReviewer(ReviewWindow& window) {
  return std::make_unique<Reviewer>(settings_, review_, window, &eventList_);
}

uint64_t Station::FramesPending() const {
  const uint64_t stored = ring_.FramesStored();
  const uint64_t done = detector_.FramesRead();
  return stored > done ? stored - done : 0;
}

void Station::DetectionPass() {
  detector_.DetectionStep();
  if (hooks_.detectionPassDone) {
    hooks_.detectionPassDone();
  }
}

void Station::CheckBaseFolder() {
  const std::string setting = settings_.Get()->archiveFolder;
  const BaseFolderFallback examined = ExamineBaseFolderSetting(setting);
  if (setting == checkedArchiveFolder_ && examined == archiveFolderState_) {
    return;
  }
  const std::string unusable =
      "The archive folder " + setting + " cannot be used (" + std::strerror(examined.error) + ")";
  if (examined.fallsBack) {
    notices_.Say(Severity::kWarning, kArchiveFolderTopic,
                 unusable + ": recordings go to " + GetBaseFolder(std::string()) + " instead.");
  } else if (examined.error != 0) {
    notices_.Say(Severity::kWarning, kArchiveFolderTopic,
                 unusable + ": nothing can be recorded until it is a folder again.");
  } else if (archiveFolderState_.error != 0 && setting == checkedArchiveFolder_) {
    notices_.Say(Severity::kInfo, kArchiveFolderTopic,
                 "The archive folder " + setting + " is in use again.");
  }
  checkedArchiveFolder_ = setting;
  archiveFolderState_ = examined;
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
      notices_.Say(Severity::kWarning, kClockTopic, kClockNotSynchronised);
    }
  }
}

}  // namespace ombrix
