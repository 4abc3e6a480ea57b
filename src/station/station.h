#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/folders.h"
#include "base/notice.h"
#include "capture/capture_source.h"
#include "capture/frame_ring.h"
#include "config/settings.h"
#include "detect/detector.h"
#include "detect/event_file.h"
#include "detect/threshold_map.h"
#include "review/reviewer.h"
#include "station/worker_loop.h"
#include "storage/archive_recorder.h"
#include "storage/disk_cleaner.h"
#include "storage/event_extractor.h"
#include "storage/review_values.h"

namespace ombrix {

// Which time names the frames' files and drives the schedule. Event retention always ages files
// by the wall clock, and the wait for an event's clips is measured on the steady clock.
enum class TimeBase {
  kWallClock,  // the system clock (a camera, the simulated sky)
  kFrameTime,  // the capture time of the newest frame (a video file replayed at its own pace)
};

// The topics the station says itself: events recorded, cut and deleted (info), the archive
// folder that cannot be used, the system clock, and what Start and Stop find.
inline constexpr std::string_view kEventTopic = "event";
inline constexpr std::string_view kArchiveFolderTopic = "archive-folder";
inline constexpr std::string_view kClockTopic = "clock";
inline constexpr std::string_view kStationTopic = "station";

// What the station tells its owner. The notes are called on the station's worker threads, so a
// window posts itself an event rather than touch a widget; empty ones are skipped.
struct StationHooks {
  // Where the station's notices go (see Notices::SetSink): any thread. A fatal one asks the owner
  // to stop the station.
  Notices::Sink notice;
  // After every detection pass (the live status refresh); detection thread.
  std::function<void()> detectionPassDone;
};

// One look at the running station, for the window's and the runner's status lines. Each figure is
// read on its own (no common instant); any thread may ask.
struct StationStatus {
  std::optional<UtcTime> newestCapture;  // the newest frame's capture time; none before one
  int32_t pixelCount = 0;                // changed pixels of the newest detection pass
  bool enabled = false;
  bool recording = false;     // the archive records, or a clip is still open
  uint64_t framesStored = 0;  // captured into the ring
  uint64_t framesRead = 0;
  uint64_t framesLost = 0;
  uint64_t archiveFramesDropped = 0;   // left out of the archive clips: the writer fell behind
  size_t eventsWaiting = 0;            // recorded events the extractor has not cut yet
  std::optional<double> freeFraction;  // of the volume holding the base folder
};

struct StationOptions {
  bool readConfiguration = true;  // read config.txt at start-up (tests work on fresh settings)
  bool enableAtStart = false;     // arm detection after the schedule, as "Enable Now" does
  TimeBase timeBase = TimeBase::kWallClock;
  // Pause of the detection thread between passes. A replayed file runs as fast as the station can
  // process it and gives it a short pause.
  std::chrono::milliseconds detectionPeriod{50};
  std::chrono::milliseconds diskPeriod{10000};
  std::chrono::milliseconds extractionPeriod{1000};
  // How long Stop() may spend cutting the events still waiting for the archive.
  std::chrono::milliseconds drainBound{5000};
  // How the archive's writer is fed; a replay sets waitWhenFull so that no frame is left out.
  ArchiveRecorderOptions archive;
};

// The running station: the settings, the frame ring, detection with its event list, the archive
// recorder, the event extractor and the disk cleaner, with their threads, and the one channel of
// notices they all say what they have to say through. The window or the headless runner owns one,
// starts it once and stops it once, and reaches its parts only through the methods below.
//
// Start-up order: configuration, enable schedule, threshold table, the events left uncut by the
// last run queued, capture source, then the detection, disk and extraction threads. Stop order:
// capture, detection (the frames still in the ring are processed and an event in progress ends on
// the last of them), the archive's queued frames are written and the clip being recorded is
// closed, disk, extraction (the events still waiting are cut, within drainBound). Every thread is
// joined before anything it uses is freed.
//
// Threads: the reading methods may be called from any thread. The changing methods are meant for
// the owner's one thread (the window's, the runner's); each takes effect while the workers run.
// The settings are one shared record (SharedSettings): every worker reads one record per pass,
// and the owner changes them only through Apply, which also does what the change asks for.
class Station {
 public:
  // Makes a capture source for this station (not started); may return null (no video).
  using SourceFactory = std::function<std::unique_ptr<CaptureSource>(Station&)>;

  // What Apply does besides the side effects of the fields that changed.
  enum class Redo {
    kWhatChanged,
    kThresholdTable,  // rebuild the threshold table: the mask image behind the same path may
                      // have been edited
    kCapture,         // rebuild capture: Change Video Source with a single device
  };

  // The wall clock stamps frames and drives the schedule for kWallClock, and ages event files in
  // every mode; it must outlive the station.
  Station(const Clock& wallClock, FreeSpace& freeSpace, StationOptions options, StationHooks hooks);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Runs the start-up sequence; the source may be null (no video). The source is started here
  // and stopped by Stop(). Returns whether the source started (false for none); the station
  // runs either way, and a capture device that is missing is tried again by the source. remake,
  // when given, makes the source anew when Apply changes the capture device.
  bool Start(std::unique_ptr<CaptureSource> source, SourceFactory remake = {});
  // Change Video Source: stops the running source and starts this one (may be null) while the
  // station runs; detection keeps its state. Returns whether the new source started. Not after
  // Stop(); waits while the health thread checks the old source.
  bool ReplaceSource(std::unique_ptr<CaptureSource> source);
  // The exit sequence; returns once every thread is joined, so a window calls it from a helper
  // thread and keeps painting meanwhile. Safe to call twice and without Start.
  void Stop();

  // The controls of the current source's capture device; nullopt when there is no device (no
  // source, the simulated sky, a file). Waits while the health thread checks the source.
  std::optional<std::vector<VideoControl>> ListVideoControls();
  // Sets one of them on the running device; false when it cannot (a device source reports why).
  bool SetVideoControl(uint32_t id, int32_t value);

  // Reading ---------------------------------------------------------------------------------

  // The newest frame (640x480) and its capture time, copied without tearing; false before the
  // first frame.
  bool CopyNewestFrame(uint8_t* out, UtcTime* stamp) const { return ring_.CopyNewest(out, stamp); }
  // The status snapshot. Reading the free space touches the file system: not per frame.
  StationStatus Status() const;
  // Changed pixels of the newest detection pass (cheap).
  int32_t PixelCount() const { return detector_.LastPixelCount(); }
  // The newest capture time only (cheap: for a status line shown many times a second).
  std::optional<UtcTime> NewestCapture() const { return ring_.NewestStamp(); }
  // Frames captured into the ring so far (cheap: tells a painter whether a new frame came).
  uint64_t FramesStored() const { return ring_.FramesStored(); }
  // Frames the capture side overwrote before detection could read them (cheap).
  uint64_t FramesLost() const { return detector_.FramesLost(); }
  // Frames stored in the ring that the detection thread has not processed yet (0 when idle).
  uint64_t FramesPending() const;
  // Events recorded by the detector or cut by the extractor so far.
  uint64_t EventsRecorded() const { return eventsRecorded_; }
  uint64_t EventsCut() const { return eventsCut_; }
  // The settings as they stand: a record that stays as it is while the caller holds it.
  std::shared_ptr<const Settings> settings() const { return settings_.Get(); }
  // The shared settings, for a capture source made for this station (a device source may lower
  // the device index to the last device present).
  SharedSettings& sharedSettings() { return settings_; }
  // The threshold table detection uses now (255 marks a masked pixel); null before Start().
  std::shared_ptr<const ThresholdMap::Table> ThresholdTable() const {
    return thresholdMap_.Current();
  }
  // What the archive readers (the extractor, the reviewer) publish with the frame on display:
  // the replayed frame, its Stamp, frame and detection counts.
  const ReviewValues& reviewValues() const { return review_; }
  // Frames the detection thread has read, for a replayed file that paces itself by them.
  const FrameProgress& readProgress() const { return detector_.readProgress(); }
  // The station's channel: what has been said, and for sources and owners to say more.
  Notices& notices() { return notices_; }

  // Changes -----------------------------------------------------------------------------------

  // Changes the settings: edit runs on a copy of the current record, which is then published, and
  // what the change asks for is done at once. A new threshold or mask file rebuilds the
  // threshold table (detection runs on); a new captureDeviceIndex rebuilds capture with the
  // source Start's remake makes (see ReplaceSource), while the caller waits; a new archive folder
  // is taken by the next clip (the clip being recorded finishes where it began), the next cut and
  // the next retention pass. Every other field is read by the next pass that needs it.
  void Apply(const SettingsEdit& edit, Redo redo = Redo::kWhatChanged);
  // Save Configuration: writes config.txt; false when it could not be written whole.
  bool SaveConfiguration() const;
  // The review commands on this station's settings, review values and event list (Save puts its
  // stretch on the list, and the archive thread cuts it). The window and the station must
  // outlive the reviewer.
  std::unique_ptr<Reviewer> MakeReviewer(ReviewWindow& window);
  // For an archive reader run outside a Reviewer (tests that play one): the values it writes.
  ReviewValues& readerValues() { return review_; }

 private:
  // The capture time of the newest frame, for TimeBase::kFrameTime.
  class FrameTimeClock final : public Clock {
   public:
    explicit FrameTimeClock(const FrameRing& ring) : ring_(ring) {}
    UtcTime UtcNow() const override;
    CalendarFields LocalNow() const override { return BreakUtcTime(UtcNow()); }

   private:
    const FrameRing& ring_;
  };

  void DetectionPass();
  void HealthPass();
  // Says when the archive folder starts or stops being usable as it is set.
  void CheckBaseFolder();

  Notices notices_;  // first: every part says what it has to say through it
  SharedSettings settings_;
  FrameRing ring_;
  ThresholdMap thresholdMap_;
  EventList eventList_;
  ReviewValues review_;
  StationOptions options_;
  StationHooks hooks_;
  FreeSpace& freeSpace_;
  FrameTimeClock frameClock_;
  const Clock* clock_;
  Detector detector_;
  ArchiveRecorder recorder_;
  EventExtractor extractor_;
  DiskCleaner cleaner_;
  std::mutex sourceMutex_;  // source_ between the health thread and ReplaceSource
  std::unique_ptr<CaptureSource> source_;
  SourceFactory remake_;
  Relaxed<uint64_t> eventsRecorded_{0};
  Relaxed<uint64_t> eventsCut_{0};
  std::chrono::steady_clock::time_point nextClockCheck_{};
  // The health thread's last view of archiveFolder: the setting and what was wrong with it.
  std::string checkedArchiveFolder_;
  BaseFolderFallback archiveFolderState_;
  bool started_ = false;
  bool stopped_ = false;
  // Last: destroyed (and so stopped) before everything they use.
  WorkerLoop detectionLoop_;
  WorkerLoop diskLoop_;
  WorkerLoop extractionLoop_;
  WorkerLoop healthLoop_;
};

}  // namespace ombrix
