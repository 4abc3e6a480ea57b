#include "station/station.h"

#include <atomic>
#include <cstring>
#include <mutex>

#include "base/folders.h"
#include "capture/clock_sync.h"
#include "capture/frame_ring.h"
#include "config/config_file.h"
#include "detect/detector.h"
#include "detect/event_file.h"
#include "detect/threshold_map.h"
#include "mqtt/publisher.h"
#include "outbox/outbox.h"
#include "review/event_index.h"
#include "review/night.h"
#include "review/review_session.h"
#include "station/base_lock.h"
#include "station/night_writer.h"
#include "station/sources.h"
#include "station/worker_loop.h"
#include "storage/archive_recorder.h"
#include "storage/disk_cleaner.h"
#include "storage/event_extractor.h"

namespace ombrix {
namespace {

constexpr auto kClockCheckInterval = std::chrono::hours(1);
constexpr auto kNightSummaryPeriod = std::chrono::minutes(1);
constexpr const char* kClockNotSynchronised =
    "The system clock is not synchronised: frames may be filed under wrong times.";
constexpr std::string_view kVideoSourceTopic = "video-source";

// Which time names the frames' files and drives the schedule. Event retention always ages files
// by the wall clock, and the wait for an event's clips is measured on the steady clock.
enum class TimeBase {
  kWallClock,  // the system clock (a camera, the simulated sky)
  kFrameTime,  // the capture time of the newest frame (a video file replayed at its own pace)
};

// How the station runs for its source: a replayed file is stamped with its own times, and a fast
// one is detected, recorded and cut as fast as the station can, losing no frame.
struct Pace {
  TimeBase timeBase = TimeBase::kWallClock;
  std::chrono::milliseconds detectionPeriod{50};
  std::chrono::milliseconds extractionPeriod{1000};
  std::chrono::milliseconds drainBound{5000};  // how long Stop() may spend cutting
  ArchiveRecorderOptions archive;
};

Pace PaceOf(const SourceSpec& source) {
  Pace pace;
  if (source.kind == SourceKind::kFile) {
    pace.timeBase = TimeBase::kFrameTime;
    if (source.fast) {
      pace.detectionPeriod = std::chrono::milliseconds(2);
      pace.extractionPeriod = std::chrono::milliseconds(200);
      pace.drainBound = std::chrono::minutes(10);
      pace.archive.waitWhenFull = true;
    }
  }
  return pace;
}

// The capture time of the newest frame, for TimeBase::kFrameTime.
class FrameTimeClock final : public Clock {
 public:
  explicit FrameTimeClock(const FrameRing& ring) : ring_(ring) {}
  UtcTime UtcNow() const override { return ring_.NewestStamp().value_or(UtcTime{}); }
  CalendarFields LocalNow() const override { return BreakUtcTime(UtcNow()); }

 private:
  const FrameRing& ring_;
};

}  // namespace

struct Station::Impl final : public EventQueue {
  explicit Impl(StationSetup givenSetup);

  void Append(UtcTime key) override { eventList.Append(key); }

  void DetectionPass();
  void HealthPass();
  bool Live() const;
  // Says when the archive folder starts or stops being usable as it is set.
  void CheckBaseFolder();
  // Change Video Source and a new captureDeviceIndex, on the health thread.
  void ChangeSource(int presses);
  std::unique_ptr<CaptureSource> MakeSourceNow();
  // Stops the running source and starts this one (may be null) while the station runs.
  bool ReplaceSource(std::unique_ptr<CaptureSource> source);
  // Opens the outbox of the base folder and starts its deliverer when uploadTarget is set.
  void OpenOutbox();
  // Queues a cut event for delivery to the collector when there is an outbox.
  void QueueDelivery(UtcTime key) {
    if (outbox) {
      outbox->QueueEvent(key);
    }
  }
  // Takes the lock of the base folder the setting names; false (said) when another station
  // holds it.
  bool LockBaseFolder(const std::string& archiveFolder, Severity severity);
  // The news to an MQTT broker, when one is set.
  void StartNews();
  void StopNews();

  StationSetup setup;
  Pace pace;
  Notices notices;  // first: every part says what it has to say through it
  SharedSettings settings;
  FrameRing ring;
  ThresholdMap thresholdMap;
  EventList eventList;
  SystemClock systemClock;
  StatvfsFreeSpace statvfsFreeSpace;
  const Clock& wallClock;
  FreeSpace& freeSpace;
  FrameTimeClock frameClock;
  const Clock& clock;
  Detector detector;
  ArchiveRecorder recorder;
  EventExtractor extractor;
  DiskCleaner cleaner;
  BaseFolderLock baseLock;
  SourceParts parts;
  std::mutex sourceMutex;  // source and file between the health thread and the owner's
  std::unique_ptr<CaptureSource> source;
  FileSource* file = nullptr;
  std::atomic<int> sourceChanges{0};       // Change Video Source presses not yet done
  std::atomic<bool> sourceRebuild{false};  // a new captureDeviceIndex
  std::atomic<uint64_t> eventsRecorded{0};
  std::atomic<uint64_t> eventsCut{0};
  std::atomic<bool> fileEnded{false};  // the end of a replayed file has been dealt with
  // When the health thread last saw the ring's frame count grow (steady clock, ns; 0: never), and
  // the count it saw.
  std::atomic<int64_t> framesGrewAt{0};
  uint64_t framesSeen = 0;
  std::chrono::steady_clock::time_point nextClockCheck{};
  // The health thread's last view of archiveFolder: the setting and what was wrong with it.
  std::string checkedArchiveFolder;
  BaseFolderFallback archiveFolderState;
  bool started = false;
  bool stopped = false;
  std::mutex newsMutex;  // news, between its owner and the threads that hand it something
  std::unique_ptr<MqttPublisher> news;
  // Deliveries to the collector, made at Start when uploadTarget is set; outboxView is the same
  // object for Status() on any thread.
  std::unique_ptr<Outbox> outbox;
  std::atomic<const Outbox*> outboxView{nullptr};
  // Last: destroyed (and so stopped) before everything they use.
  WorkerLoop detectionLoop;
  WorkerLoop diskLoop;
  WorkerLoop extractionLoop;
  WorkerLoop healthLoop;
  // The night summaries, at the lowest priority: never in the way of detection and recording.
  NightWriter nightWriter;
  std::stop_source nightStop;
  WorkerLoop nightLoop;
};

Station::Impl::Impl(StationSetup givenSetup)
    : setup(std::move(givenSetup)),
      pace(PaceOf(setup.source)),
      wallClock(setup.wallClock != nullptr ? *setup.wallClock : systemClock),
      freeSpace(setup.freeSpace != nullptr ? *setup.freeSpace : statvfsFreeSpace),
      frameClock(ring),
      clock(pace.timeBase == TimeBase::kFrameTime ? static_cast<const Clock&>(frameClock)
                                                  : wallClock),
      detector(settings, ring, thresholdMap, eventList, clock, notices),
      recorder(detector, notices, pace.archive),
      extractor(settings, eventList, wallClock, recorder.progress(), notices),
      cleaner(settings, freeSpace, notices, &recorder.progress()),
      detectionLoop(
          "detection", ThreadPriority::kTimeCritical, pace.detectionPeriod,
          [this] { DetectionPass(); }, &notices),
      diskLoop("disk", ThreadPriority::kLowest, std::chrono::milliseconds(10000),
               [this] { cleaner.Pass(); }),
      extractionLoop("archive", ThreadPriority::kBelowNormal, pace.extractionPeriod,
                     [this] { extractor.Pass(); }),
      healthLoop("health", ThreadPriority::kNormal, std::chrono::seconds(1),
                 [this] { HealthPass(); }),
      nightWriter(settings, wallClock, notices,
                  [this](const std::string& date, const std::string& folder) {
                    if (outbox) {
                      outbox->QueueNight(date, folder);
                    }
                  }),
      nightLoop("night", ThreadPriority::kLowest, kNightSummaryPeriod,
                [this] { nightWriter.Pass(nightStop.get_token()); }) {
  notices.SetSink([this](const Notice& notice) {
    if (setup.notice) {
      setup.notice(notice);
    }
    std::lock_guard lock(newsMutex);
    if (news) {
      news->Say(notice);
    }
  });
  detector.SetArchiveSink(recorder);
  detector.SetEventObserver([this](UtcTime first, UtcTime last) {
    eventsRecorded.fetch_add(1);
    notices.Say(Severity::kInfo, kEventTopic,
                "Event recorded: " + MakeStamp(first) + " to " + MakeStamp(last));
  });
  extractor.SetCutObserver([this](UtcTime key) {
    eventsCut.fetch_add(1);
    notices.Say(Severity::kInfo, kEventTopic, "Event cut: " + MakeStamp(key));
    QueueDelivery(key);
    std::lock_guard lock(newsMutex);
    if (std::string folder; news && GetEventsFolder(settings.Get()->archiveFolder, folder)) {
      news->Event(EventFiles(folder, MakeStamp(key)).eventFile);
    }
  });
  extractor.SetDeleteObserver([this](UtcTime key) {
    notices.Say(Severity::kInfo, kEventTopic,
                "Event deleted (older than daysToKeep): " + MakeStamp(key));
  });
}

Station::Station(StationSetup setup) : impl_(std::make_unique<Impl>(std::move(setup))) {}

Station::~Station() {
  Stop();
}

bool Station::Impl::LockBaseFolder(const std::string& archiveFolder, Severity severity) {
  const std::string base = GetBaseFolder(archiveFolder);
  std::string holder;
  if (base.empty() || baseLock.Take(base, holder)) {
    return true;
  }
  notices.Say(severity, kStationTopic,
              "The base folder " + base + " is in use by another station" +
                  (holder.empty() ? std::string() : " (process " + holder + ")") +
                  ": two stations cannot record into one folder.");
  return false;
}

void Station::Impl::OpenOutbox() {
  const std::shared_ptr<const Settings> current = settings.Get();
  if (current->uploadTarget.empty()) {
    return;
  }
  const std::string base = GetBaseFolder(current->archiveFolder);
  try {
    if (base.empty()) {
      throw OutboxError("no base folder is known");
    }
    outbox = std::make_unique<Outbox>(settings, base + "/" + kOutboxFileName, wallClock, notices);
  } catch (const OutboxError& error) {
    notices.Say(Severity::kError, kUploadTopic,
                std::string("The outbox cannot be opened, so no event is delivered to the "
                            "collector: ") +
                    error.what());
    return;
  }
  outboxView.store(outbox.get());
  outbox->Start();
}

StartResult Station::Start() {
  Impl& s = *impl_;
  if (s.started) {
    return StartResult::kNoVideo;
  }
  s.started = true;
  ConfigReadResult read = ConfigReadResult::NoFile;
  if (s.setup.readConfiguration) {
    s.settings.Update([&read](Settings& settings) { read = ReadConfiguration(settings); });
  }
  if (read == ConfigReadResult::Failed) {
    s.notices.Say(Severity::kWarning, kConfigTopic, kConfigReadFailed);
  }
  if (!s.LockBaseFolder(s.settings.Get()->archiveFolder, Severity::kFatal)) {
    s.stopped = true;
    return StartResult::kFolderInUse;
  }
  s.detector.ApplyEnableWindow();
  if (s.setup.enableAtStart) {
    s.settings.Update([](Settings& settings) { settings.enabled = true; });
  }
  s.detector.BuildThresholdMap();
  // Events recorded but not cut when the process last ended (killed, power cut) go first.
  if (const size_t uncut = s.extractor.QueueUncutEvents(); uncut > 0) {
    s.notices.Say(
        Severity::kInfo, kStationTopic,
        std::to_string(uncut) + " event(s) recorded before the last stop will be cut now.");
  }
  s.OpenOutbox();
  bool sourceStarted = false;
  {
    std::lock_guard lock(s.sourceMutex);
    s.source = s.MakeSourceNow();
    // A failure has been said; the station runs without video.
    sourceStarted = s.source && s.source->Start(s.ring);
  }
  if (s.file != nullptr && !sourceStarted) {
    s.notices.Say(Severity::kError, kVideoFileTopic,
                  "The video file " + s.setup.source.filePath + " cannot be replayed.");
  }
  s.StartNews();
  s.detectionLoop.Start();
  s.diskLoop.Start();
  s.extractionLoop.Start();
  s.healthLoop.Start();
  // A replayed file's nights are not the station's.
  if (s.pace.timeBase == TimeBase::kWallClock) {
    s.nightLoop.Start();
  }
  return sourceStarted || s.setup.source.kind == SourceKind::kNone ? StartResult::kRunning
                                                                   : StartResult::kNoVideo;
}

void Station::Stop() {
  Impl& s = *impl_;
  if (!s.started || s.stopped) {
    return;
  }
  s.stopped = true;
  s.nightStop.request_stop();
  s.nightLoop.Stop();
  s.healthLoop.Stop();
  {
    std::lock_guard lock(s.sourceMutex);
    if (s.source) {
      s.source->Stop();
    }
  }
  s.detectionLoop.Stop();
  s.detector.DetectionStep();  // the frames that arrived since the last pass go into the archive
  // An event in progress ends on the last processed frame and is cut with the others below.
  s.detector.EndActiveEvent();
  s.recorder.FinishClip();
  s.diskLoop.Stop();
  s.extractionLoop.Stop();
  if (const size_t left = s.extractor.DrainAll(s.pace.drainBound); left > 0) {
    s.notices.Say(Severity::kWarning, kStationTopic,
                  std::to_string(left) + " event(s) could not be cut before the station stopped.");
  }
  if (s.outbox) {
    s.outbox->Stop();  // the events cut just now wait in the outbox for the next start
  }
  s.StopNews();  // after the last events were cut, so that they are sent too
}

void Station::Impl::StartNews() {
  const std::shared_ptr<const Settings> current = settings.Get();
  if (current->mqttBroker.empty()) {
    return;
  }
  StatusSource status;
  status.figures = [this] {
    StatusNews figures;
    figures.live = Live();
    figures.enabled = settings.Get()->enabled;
    figures.frames = ring.FramesStored();
    figures.lost = detector.FramesLost();
    return figures;
  };
  status.complete = [this](StatusNews& figures) {
    const std::string archiveFolder = settings.Get()->archiveFolder;
    figures.eventsTonight = CountEventsSince(archiveFolder, NightAt(clock.UtcNow()).start);
    figures.freeDisk = freeSpace.FreeFraction(GetBaseFolder(archiveFolder));
    figures.time = wallClock.UtcNow();
  };
  auto made = std::make_unique<MqttPublisher>(*current, notices, std::move(status));
  std::lock_guard lock(newsMutex);
  news = std::move(made);
}

void Station::Impl::StopNews() {
  std::unique_ptr<MqttPublisher> stopping;
  {
    std::lock_guard lock(newsMutex);
    stopping = std::move(news);
  }
  stopping.reset();  // sends what is queued and "offline"; a notice said meanwhile goes nowhere
}

StationStatus Station::Status() const {
  const Impl& s = *impl_;
  StationStatus status;
  status.newestCapture = s.ring.NewestStamp();
  status.live = s.Live();
  status.pixelCount = s.detector.LastPixelCount();
  status.enabled = s.settings.Get()->enabled;
  status.recording = s.recorder.progress().Read().active;
  status.framesStored = s.ring.FramesStored();
  status.framesRead = s.detector.FramesRead();
  status.framesLost = s.detector.FramesLost();
  status.archiveFramesDropped = s.recorder.FramesDropped();
  status.eventsWaiting = s.eventList.Size();
  status.eventsRecorded = s.eventsRecorded.load();
  status.eventsCut = s.eventsCut.load();
  if (const Outbox* outbox = s.outboxView.load()) {
    const OutboxStatus outboxStatus = outbox->Status();
    status.outboxWaiting = outboxStatus.waiting;
    status.outboxOldestWaiting = outboxStatus.oldestWaiting;
    status.outboxLastSuccess = outboxStatus.lastSuccess;
  }
  if (s.file != nullptr) {  // set once by Start; the source itself is not replaced for a file
    status.replayFrames = s.file->estimatedFrameCount();
    status.replayDone = s.fileEnded.load();
  }
  return status;
}

std::optional<double> Station::FreeFraction() const {
  return impl_->freeSpace.FreeFraction(GetBaseFolder(impl_->settings.Get()->archiveFolder));
}

bool Station::CopyNewestFrame(uint8_t* out, UtcTime* stamp) const {
  return impl_->ring.CopyNewest(out, stamp);
}

uint64_t Station::FramesStored() const {
  return impl_->ring.FramesStored();
}

std::shared_ptr<const Settings> Station::settings() const {
  return impl_->settings.Get();
}

bool Station::CopyThresholdTable(uint8_t* out) const {
  return impl_->detector.CopyThresholdTable(out);
}

Notices& Station::notices() {
  return impl_->notices;
}

void Station::Apply(const SettingsEdit& edit, Redo redo) {
  Impl& s = *impl_;
  const auto [before, after] = s.settings.Update(edit);
  if (after->archiveFolder != before->archiveFolder && s.started && !s.stopped &&
      !s.LockBaseFolder(after->archiveFolder, Severity::kError)) {
    s.settings.Update(
        [&before](Settings& settings) { settings.archiveFolder = before->archiveFolder; });
  }
  if (redo == Redo::kThresholdTable || after->threshold != before->threshold ||
      after->maskFile != before->maskFile) {
    s.thresholdMap.Build(after->threshold, after->maskFile);
  }
  if (after->captureDeviceIndex != before->captureDeviceIndex) {
    s.sourceRebuild = true;
    s.healthLoop.Wake();
  }
  // The recorder takes a new archive folder when it begins a clip, the extractor and the cleaner
  // on each pass, the health thread says when it cannot be used.
}

bool Station::SaveConfiguration() const {
  return ombrix::SaveConfiguration(*impl_->settings.Get());
}

void Station::ChangeVideoSource() {
  if (!impl_->started || impl_->stopped) {
    return;
  }
  impl_->sourceChanges.fetch_add(1);
  impl_->healthLoop.Wake();
}

std::optional<std::vector<VideoControl>> Station::ListVideoControls() {
  std::lock_guard lock(impl_->sourceMutex);
  return impl_->source ? impl_->source->ListVideoControls() : std::nullopt;
}

bool Station::SetVideoControl(uint32_t id, int32_t value) {
  std::lock_guard lock(impl_->sourceMutex);
  return impl_->source && impl_->source->SetVideoControl(id, value);
}

std::optional<LearntMask> Station::LearnMask(std::chrono::milliseconds duration,
                                             std::stop_token stop, std::string& why) const {
  const std::shared_ptr<const Settings> settings = impl_->settings.Get();
  RingMaskLearner learner(impl_->ring, settings->threshold, settings->triggerGap, duration);
  return RunMaskLearner(learner, nullptr, stop, why);
}

std::unique_ptr<ReviewSession> Station::OpenReview(ReviewWindow& window) {
  return std::make_unique<ReviewSession>(impl_->settings, window, impl_.get());
}

std::unique_ptr<CaptureSource> Station::Impl::MakeSourceNow() {
  SourceContext context{settings, notices, wallClock, detector.readProgress()};
  if (setup.makeSource) {
    return setup.makeSource(context);
  }
  return MakeSource(setup.source, context, parts, &file);
}

bool Station::Impl::ReplaceSource(std::unique_ptr<CaptureSource> next) {
  std::lock_guard lock(sourceMutex);
  if (source) {
    source->Stop();
  }
  source = std::move(next);
  return source && source->Start(ring);
}

void Station::Impl::ChangeSource(int presses) {
  if (presses > 0) {
    const int devices =
        setup.countDevices ? setup.countDevices() : CountCaptureDevices(parts, wallClock);
    settings.Update([presses, devices](Settings& s) {
      for (int i = 0; i < presses; ++i) {
        s.captureDeviceIndex = static_cast<int64_t>(s.captureDeviceIndex) + 1 >= devices
                                   ? 0
                                   : s.captureDeviceIndex + 1;
      }
    });
  }
  // A file and the simulated sky are not devices: only the device is made anew.
  if (setup.source.kind != SourceKind::kDevice && !setup.makeSource) {
    return;
  }
  const uint32_t index = settings.Get()->captureDeviceIndex;
  if (ReplaceSource(MakeSourceNow())) {
    notices.Say(Severity::kInfo, kVideoSourceTopic,
                "Video source: capture device " + std::to_string(index) + ".");
  }
}

void Station::Impl::DetectionPass() {
  detector.DetectionStep();
  // A replayed file that has ended: an event in progress ends on the last frame and the open
  // clip is closed, as at a stop, so that the event is cut now rather than at Exit.
  if (!fileEnded.load() && file != nullptr && file->Finished() &&
      detector.FramesRead() >= ring.FramesStored()) {
    detector.EndActiveEvent();
    recorder.FinishClip();
    fileEnded.store(true);
    notices.Say(Severity::kInfo, kVideoEndedTopic,
                "The video file " + setup.source.filePath +
                    " has ended: no more frames come; an event in progress was ended on its last "
                    "frame and is cut.");
  }
  if (setup.detectionPassDone) {
    setup.detectionPassDone();
  }
}

void Station::Impl::CheckBaseFolder() {
  const std::string setting = settings.Get()->archiveFolder;
  const BaseFolderFallback examined = ExamineBaseFolderSetting(setting);
  if (setting == checkedArchiveFolder && examined == archiveFolderState) {
    return;
  }
  const std::string unusable =
      "The archive folder " + setting + " cannot be used (" + std::strerror(examined.error) + ")";
  if (examined.fallsBack) {
    notices.Say(Severity::kWarning, kArchiveFolderTopic,
                unusable + ": recordings go to " + GetBaseFolder(std::string()) + " instead.");
  } else if (examined.error != 0) {
    notices.Say(Severity::kWarning, kArchiveFolderTopic,
                unusable + ": nothing can be recorded until it is a folder again.");
  } else if (archiveFolderState.error != 0 && setting == checkedArchiveFolder) {
    notices.Say(Severity::kInfo, kArchiveFolderTopic,
                "The archive folder " + setting + " is in use again.");
  }
  checkedArchiveFolder = setting;
  archiveFolderState = examined;
}

void Station::Impl::HealthPass() {
  const int presses = sourceChanges.exchange(0);
  if (presses > 0 || sourceRebuild.exchange(false)) {
    ChangeSource(presses);
  }
  const auto now = std::chrono::steady_clock::now();
  if (const uint64_t frames = ring.FramesStored(); frames != framesSeen) {
    framesSeen = frames;
    framesGrewAt.store(now.time_since_epoch().count(), std::memory_order_relaxed);
  }
  {
    std::lock_guard lock(sourceMutex);
    if (source) {
      source->CheckHealth(now);
    }
  }
  CheckBaseFolder();
  // A replayed file is stamped with its own times, so only a camera depends on the clock.
  if (pace.timeBase == TimeBase::kWallClock && now >= nextClockCheck) {
    nextClockCheck = now + kClockCheckInterval;
    if (!SystemClockSynchronised()) {
      notices.Say(Severity::kWarning, kClockTopic, kClockNotSynchronised);
    }
  }
}

bool Station::Impl::Live() const {
  const int64_t grew = framesGrewAt.load(std::memory_order_relaxed);
  return grew != 0 && std::chrono::steady_clock::now().time_since_epoch() -
                              std::chrono::steady_clock::duration(grew) <
                          kLiveWithin;
}

std::string LiveStatusText(std::optional<UtcTime> newestCapture, bool enabled) {
  const CalendarFields t = newestCapture ? BreakUtcTime(*newestCapture) : CalendarFields{};
  char text[80];
  std::snprintf(text, sizeof text, "UTC %02d/%02d/%02d %02d:%02d:%02d %s", t.month, t.day, t.year,
                t.hour, t.minute, t.second, enabled ? "Enabled" : "Disabled");
  return text;
}

}  // namespace ombrix
