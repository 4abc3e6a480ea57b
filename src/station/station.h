#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"
#include "base/notice.h"
#include "base/utc_time.h"
#include "base/video_control.h"
#include "config/settings.h"

namespace ombrix {

class CaptureSource;
class FrameProgress;
class FreeSpace;
class ReviewSession;
class ReviewWindow;

// The topics the station says itself: events recorded, cut and deleted (info), the archive
// folder that cannot be used, the system clock, the video source, and what Start and Stop find.
inline constexpr std::string_view kEventTopic = "event";
inline constexpr std::string_view kArchiveFolderTopic = "archive-folder";
inline constexpr std::string_view kClockTopic = "clock";
inline constexpr std::string_view kStationTopic = "station";
// A replayed file has delivered its last frame (info, said once): no more frames come.
inline constexpr std::string_view kVideoEndedTopic = "video-ended";

// Where the frames come from. The station makes the source itself.
enum class SourceKind {
  kNone,       // no video
  kDevice,     // the capture device of captureDeviceIndex
  kSimulated,  // a simulated night sky with meteors
  kFile,       // a video file replayed as a camera, its frames stamped with its own times
};

struct SourceSpec {
  SourceKind kind = SourceKind::kDevice;
  uint32_t simSeed = 1;
  double simRate = 1.0;      // simulated meteors per minute
  std::string simTruthPath;  // one line per simulated meteor or object drawn; empty: none
  std::string filePath;
  // A file replayed as fast as the station can process it, losing no frame, rather than at its
  // own pace; the station then also cuts and drains at a replay's pace.
  bool fast = false;
  std::optional<UtcTime> start;  // the capture time of a file's first frame (default: its own)
  // What else the simulated sky shows (see SimulatedObjectsProblem); empty: meteors only.
  std::string simObjects;
};

// What a source made for the station by a test's makeSource uses.
struct SourceContext {
  SharedSettings& settings;
  Notices& notices;
  const Clock& clock;
  const FrameProgress& framesRead;  // frames the detection thread has moved past
};

struct StationSetup {
  SourceSpec source;
  bool readConfiguration = true;  // read config.txt at start-up
  bool enableAtStart = false;     // arm detection after the schedule, as "Enable Now" does
  // Where the station's notices go (see Notices::SetSink): any thread. The owner stops the
  // station when a fatal one arrives.
  Notices::Sink notice;
  // After every detection pass (the live status refresh, a watchdog); detection thread.
  std::function<void()> detectionPassDone;
  // Seams for tests; null: the system's. The clock and the free space must outlive the station.
  const Clock* wallClock = nullptr;
  FreeSpace* freeSpace = nullptr;
  std::function<std::unique_ptr<CaptureSource>(SourceContext&)> makeSource;  // instead of source
  std::function<int()> countDevices;  // capture devices present, for Change Video Source
};

// One look at the running station. Each figure is read on its own (no common instant); cheap
// enough for a status line many times a second; any thread.
struct StationStatus {
  std::optional<UtcTime> newestCapture;  // the newest frame's capture time; none before one
  bool live = false;                     // frames have arrived within the last kLiveWithin
  int32_t pixelCount = 0;                // changed pixels of the newest detection pass
  bool enabled = false;
  bool recording = false;             // the archive records, or a clip is still open
  uint64_t framesStored = 0;          // captured into the ring
  uint64_t framesRead = 0;            // moved past by the detection thread
  uint64_t framesLost = 0;            // overwritten before detection could read them
  uint64_t archiveFramesDropped = 0;  // left out of the archive clips: the writer fell behind
  size_t eventsWaiting = 0;           // recorded events the extractor has not cut yet
  uint64_t eventsRecorded = 0;
  uint64_t eventsCut = 0;
  int64_t replayFrames = 0;  // the frames a replayed file holds (estimated); 0: unknown, no file
  // A replayed file is delivered whole and every frame is processed; an event in progress was
  // then ended on the last frame and queued to be cut, as at a stop.
  bool replayDone = false;
  // Deliveries to the collector (none while uploadTarget is empty): the jobs waiting, when the
  // oldest of them was queued, and when the newest delivery was done.
  size_t outboxWaiting = 0;
  std::optional<UtcTime> outboxOldestWaiting;
  std::optional<UtcTime> outboxLastSuccess;
};

// How recently frames must have arrived for the station to be live (the capture time is no
// guide: a replayed file is stamped with its own times).
inline constexpr std::chrono::seconds kLiveWithin{5};

// A mask learnt from the sky: pixels that brighten past the threshold again and again at one place
// (a burned-in clock, a blinking light, a flapping branch) are masked, a meteor's track is not.
struct LearntMask {
  std::vector<uint8_t> mask;  // 640x480, 1: masked
  std::vector<uint8_t> mean;  // the mean picture it was learnt on (640x480 grey)
  int64_t frames = 0;         // frames learnt from
  double seconds = 0;         // video learnt from, first to last frame
  int64_t MaskedPixels() const;
};

// Live learning gives up when no frame has arrived for this long.
inline constexpr std::chrono::seconds kLearnNoVideoWait{10};

// What Start found.
enum class StartResult {
  kRunning,      // the station runs with its source
  kNoVideo,      // the station runs, but its source did not start (said; a device is retried)
  kFolderInUse,  // another station holds the base folder: said (fatal), nothing runs
};

// The running station: settings, capture, detection with its event list, the archive recorder,
// the event extractor and the disk cleaner, with their threads, and the one channel of notices
// they all say what they have to say through. The window or the headless runner owns one,
// starts it once and stops it once, and reaches it only through the methods below; the operator's
// review is a session opened on it.
//
// Start-up order: configuration, the lock of the base folder (one station per folder), enable
// schedule, threshold table, the events left uncut by the last run queued, the outbox and its
// deliverer (when uploadTarget is set: each cut event is queued for the collector), capture
// source, then the detection, disk, extraction and health threads. Stop order: capture,
// detection (the frames still in the ring are processed and an event in progress ends on the last
// of them), the archive's queued frames are written and the clip being recorded is closed, disk,
// extraction (the events still waiting are cut, within a bound), the outbox's deliverer (the
// events cut meanwhile wait in the outbox for the next start). Every thread is joined before
// anything it uses is freed.
//
// Threads: the reading methods may be called from any thread; the changing methods are meant for
// the owner's one thread. The settings are one shared record: every worker reads one record per
// pass, and the owner changes them only through Apply, which also does what the change asks for.
class Station {
 public:
  // What Apply does besides the side effects of the fields that changed.
  enum class Redo {
    kWhatChanged,
    kThresholdTable,  // rebuild the threshold table: the mask image behind the same path may
                      // have been edited
  };

  explicit Station(StationSetup setup);
  ~Station();
  Station(const Station&) = delete;
  Station& operator=(const Station&) = delete;

  // Runs the start-up sequence once.
  StartResult Start();
  // The exit sequence; returns once every thread is joined, so a window calls it from a helper
  // thread and keeps painting meanwhile. Safe to call twice and without Start.
  void Stop();

  StationStatus Status() const;
  // The free part of the volume holding the base folder; touches the file system.
  std::optional<double> FreeFraction() const;
  // The newest frame (640x480) and its capture time, copied without tearing; false before the
  // first frame.
  bool CopyNewestFrame(uint8_t* out, UtcTime* stamp) const;
  // Frames captured so far (cheap: tells a painter whether a new frame came).
  uint64_t FramesStored() const;
  // The settings as they stand: a record that stays as it is while the caller holds it.
  std::shared_ptr<const Settings> settings() const;
  // The threshold table detection uses now (640x480; 255 marks a masked pixel): with
  // adaptiveThreshold on and learnt, the adaptive table as it stood a second ago at most; false
  // before Start.
  bool CopyThresholdTable(uint8_t* out) const;
  // The station's channel: what has been said, and for the owner to say more.
  Notices& notices();

  // Changes the settings: edit runs on a copy of the current record, which is then published,
  // and what the change asks for is done at once. A new threshold or mask file rebuilds the
  // threshold table; a new captureDeviceIndex rebuilds capture on the station's own thread; a new
  // archive folder is locked (refused, said, when another station holds it) and taken by the next
  // clip, the next cut and the next retention pass. Every other field is read by the next pass
  // that needs it. An edit that changes only fields read by the next pass (such as `enabled`,
  // which the detector's schedule and the disk cleaner also update from their own threads) may
  // come from any thread: it does nothing but publish the record.
  void Apply(const SettingsEdit& edit, Redo redo = Redo::kWhatChanged);
  // Save Configuration: writes config.txt; false when it could not be written whole.
  bool SaveConfiguration() const;

  // Change Video Source: the next capture device (after the last, the first) is opened on the
  // station's own thread; this returns at once and the notices say what became of it. A single
  // device is opened anew. Nothing happens before Start or after Stop.
  void ChangeVideoSource();
  // The controls of the source's capture device; nullopt when there is none (no source, the
  // simulated sky, a file).
  std::optional<std::vector<VideoControl>> ListVideoControls();
  // Sets one of them on the running device; false when it cannot (the source says why).
  bool SetVideoControl(uint32_t id, int32_t value);

  // Learn Mask: learns a mask from the live video for duration (by the frames' capture times)
  // with the threshold and trigger gap in use; what the mask in use covers is learnt again, so
  // that the learnt mask can replace it. Blocks: a window calls it from a helper thread, while the
  // station runs. nullopt, with why, when stopped or when no frame arrived for kLearnNoVideoWait.
  std::optional<LearntMask> LearnMask(std::chrono::milliseconds duration, std::stop_token stop,
                                      std::string& why) const;

  // A review session on this station's settings, whose Save queues its stretch for the archive
  // thread. The station must outlive it.
  std::unique_ptr<ReviewSession> OpenReview(ReviewWindow& window);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// "UTC 06/10/2016 21:05:09 Enabled": the live status line of a capture time (zeros before the
// first frame) and the detection state.
std::string LiveStatusText(std::optional<UtcTime> newestCapture, bool enabled);

// Silences the media library's own log lines; once, before anything reads or writes media.
void QuietMediaLibrary();

// Why a replay could not be stamped: a start so late that the file's frames would run past the
// last time a file name can hold (9999-12-31 23:59:59.999); nullopt when there is no problem.
std::optional<std::string> ReplayStartProblem(const SourceSpec& source);

// Why the text of --sim-objects cannot be used; nullopt when it can. It is a comma-separated
// list of "satellites", "aircraft", "lightning" and "clouds" (each optionally "=N", N an hour),
// "clock" and "hotpixels" (optionally "=N" pixels), or "all".
std::optional<std::string> SimulatedObjectsProblem(const std::string& text);

// `ombrix mask learn`: learns a mask from a source no station runs (a file is replayed as fast as
// the learning goes, from first to last frame) for duration, or for the whole file when none, with
// the threshold and trigger gap of settings (which also choose the capture device). nullopt when
// the source could not start or delivered no frame (said through notices), or when stopped.
std::optional<LearntMask> LearnMaskFromSource(const SourceSpec& source, const Settings& settings,
                                              std::optional<std::chrono::milliseconds> duration,
                                              Notices& notices, std::stop_token stop = {});

// Writes a learnt mask as a mask image the station reads: masked pixels strong red, the others
// the grey of its mean picture (PNG or JPEG by the extension; PNG keeps the red exact). The file
// is whole or absent; false when it could not be written.
bool WriteLearntMask(const std::string& path, const LearntMask& mask);

// --device-properties: prints the controls of the configured capture device on out; false
// (said) when it cannot be opened.
bool PrintDeviceProperties(std::ostream& out, Notices& notices);

}  // namespace ombrix
