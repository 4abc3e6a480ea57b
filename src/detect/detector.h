#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "base/clock.h"
#include "base/notice.h"
#include "base/relaxed.h"
#include "base/utc_time.h"
#include "capture/frame_progress.h"
#include "capture/frame_ring.h"
#include "config/settings.h"
#include "detect/adaptive_threshold.h"
#include "detect/event_file.h"
#include "detect/threshold_map.h"

namespace ombrix {

// The detection result of the last processed frame.
struct FrameStatistics {
  int32_t pixelCount = 0;  // pixels whose excess is positive
  int32_t excessSum = 0;   // sum of the positive excesses
  double centroidX = 0;    // excess-weighted mean column; kept from the last frame with excess
  double centroidY = 0;    // excess-weighted mean row; kept likewise
};

// The trigger state machine. runLength counts consecutive busy frames while idle and consecutive
// quiet frames while an event is active; eventFrames counts the frames of the active event after
// its first; rateDebt is the hourly event budget already spent, in frames.
struct DetectionState {
  uint32_t readIndex = 0;  // next ring slot to process
  bool eventActive = false;
  int32_t runLength = 0;
  int32_t eventFrames = 0;
  UtcTime eventStart{};
  int32_t rateDebt = 0;
};

// Called by the detector after each processed frame, in this order; the archive recorder
// implements it and reads the detector's statistics(), currentFrame(), currentStamp() and
// passSettings().
class ArchiveSink {
 public:
  virtual ~ArchiveSink() = default;
  virtual void LogClipFrame(int32_t excessSum) = 0;
  virtual void RecordArchiveFrame() = 0;
};

class NullArchiveSink final : public ArchiveSink {
 public:
  void LogClipFrame(int32_t) override {}
  void RecordArchiveFrame() override {}
};

// One frame of every 108000 (an hour at 30 frames a second) budgets events per hour.
inline constexpr int32_t kFramesPerHour = 108000;

// The topic of an event refused because the hourly budget is spent.
inline constexpr std::string_view kBudgetTopic = "budget";

// The detection loop's work: compares every new ring frame with the frame triggerGap slots
// earlier, turns the run of results into events and switches detection on and off on schedule.
// With adaptiveThreshold on, the comparison goes through an AdaptiveThreshold (the threshold map
// then only says which pixels are masked); its learning starts again when the setting comes on,
// when the trigger gap changes and after a break in the capture times (another source, a camera
// back after a loss). With the setting off it is not run at all.
// One thread (the detection thread) calls DetectionStep; the relaxed counters may be read from
// any thread. An event refused because the hourly budget is spent is said at once when it begins a
// run of refusals, and the count of the others in the run when the run ends: refusals closer
// together than kRefusalRunGap frames are one run, counted in frames so that a fast replay is told
// the same as a camera. The settings, ring, threshold map, event list,
// clock and notices must outlive the detector. Each pass reads one settings record throughout.
class Detector {
 public:
  Detector(SharedSettings& settings, FrameRing& ring, ThresholdMap& thresholds,
           EventList& eventList, const Clock& clock, Notices& notices);
  Detector(const Detector&) = delete;
  Detector& operator=(const Detector&) = delete;

  // The sink must outlive the detector or be replaced before it dies; default: nothing.
  void SetArchiveSink(ArchiveSink& sink) { sink_ = &sink; }
  // Told of every event written and queued, on the detection thread.
  using EventObserver = std::function<void(UtcTime first, UtcTime last)>;
  void SetEventObserver(EventObserver observer) { eventObserver_ = std::move(observer); }

  // Refusals of the budget closer together than this (in frames, a minute) are one run.
  static constexpr uint64_t kRefusalRunGap = 1800;

  // One pass: the schedule check, then every frame that has arrived since the last pass, with
  // the settings as they stand when it begins (the schedule's switch included).
  void DetectionStep();
  // For a stop (end of a replayed file, Exit, a signal): an event in progress ends on the last
  // processed frame, its event file is written and it is queued like any other, and a run of
  // budget refusals in progress is summed up. Detection thread, or after it has stopped.
  void EndActiveEvent();
  // Start-up evaluation of the enable window: enabled is set by whether the time of day lies in
  // [enableTime, disableTime), a window that may span midnight; equal times leave it alone.
  // Before the detection thread starts.
  void ApplyEnableWindow();
  // (Re)builds the threshold map from the threshold and maskFile settings.
  void BuildThresholdMap();
  // The threshold table in use, for showing (kFrameBytes into out; 255 marks a masked pixel): the
  // adaptive table, as it stood at most kTableShownEvery frames ago, while adaptiveThreshold is on
  // and has learnt; else the threshold map's. False, out untouched, before the map is first built.
  // Any thread; allocates nothing.
  bool CopyThresholdTable(uint8_t* out) const;
  static constexpr int kTableShownEvery = 30;
  // A frame stamped this much later than the time of the frames since the last one processed, or
  // earlier than it, is a break: the adaptive threshold learns again.
  static constexpr std::chrono::seconds kStampBreak{2};

  // Detection thread only (and the sink calls it makes).
  const FrameStatistics& statistics() const { return statistics_; }
  uint32_t currentSlot() const { return currentSlot_; }
  // The detector's own whole copy of the frame just processed (kFrameBytes) and its capture
  // time: the ring slot may already be refilled.
  const uint8_t* currentFrame() const { return current_.get(); }
  UtcTime currentStamp() const { return currentStamp_; }
  // The settings of the pass in progress (or the last one).
  const std::shared_ptr<const Settings>& passSettings() const { return pass_; }

  // For other threads (status line).
  int32_t LastPixelCount() const { return lastPixelCount_; }
  uint64_t FramesProcessed() const { return framesProcessed_; }
  // Frames the detector has moved past: processed, skipped for lack of a reference, or lost.
  uint64_t FramesRead() const { return framesRead_.Get(); }
  // The same count to wait on (the fast replay's back-pressure).
  const FrameProgress& readProgress() const { return framesRead_; }
  // Frames that the capture side overwrote before they could be processed (also those caught
  // being overwritten while the detector copied them).
  uint64_t FramesLost() const { return framesLost_; }

 private:
  struct TimeOfDayNow {
    int hour;
    int minute;
    int second;
  };
  TimeOfDayNow Now(const Settings& settings) const;
  // Switches enabled when the schedule says so; true when it changed it.
  bool CheckSchedule(const Settings& settings);
  void ProcessFrame(uint64_t number, uint32_t gap);
  FrameExcess MeasureAdaptive(uint64_t number, uint32_t gap, const uint8_t* ref,
                              const uint8_t* plain);
  void ShowAdaptiveTable(bool shown);
  void BeginEvent();
  void EndEvent();
  // Says how many events the budget refused after the first of the run, and ends the run.
  void EndRefusalRun();

  SharedSettings& settings_;
  std::shared_ptr<const Settings> pass_;  // the record the pass in progress reads
  FrameRing& ring_;
  ThresholdMap& thresholds_;
  EventList& eventList_;
  const Clock& clock_;
  Notices& notices_;
  NullArchiveSink nullSink_;
  ArchiveSink* sink_ = &nullSink_;

  DetectionState state_;
  FrameStatistics statistics_;
  uint64_t position_ = 0;  // frames read so far, lost ones included; readIndex = position_ % 64
  uint32_t currentSlot_ = 0;
  UtcTime currentStamp_{};
  // Copies of the frame being processed and of its reference, made once per frame.
  std::unique_ptr<uint8_t[]> current_;
  std::unique_ptr<uint8_t[]> reference_;

  Relaxed<int32_t> lastPixelCount_{0};
  Relaxed<uint64_t> framesProcessed_{0};
  Relaxed<uint64_t> framesLost_{0};
  FrameProgress framesRead_;
  EventObserver eventObserver_;
  bool refusing_ = false;     // a run of refusals of the budget is in progress
  uint64_t lastRefusal_ = 0;  // position_ of its last refusal
  uint64_t refusedInRun_ = 0;
  UtcTime firstRefusal_{};  // the capture times of its first and last refusals
  UtcTime currentRefusal_{};

  // The adaptive threshold, made when the setting is first on; detection thread only.
  std::unique_ptr<AdaptiveThreshold> adaptive_;
  bool adaptiveOn_ = false;      // the setting, as the last frame processed had it
  uint32_t adaptiveGap_ = 0;     // the gap its statistics are of
  uint64_t adaptiveNumber_ = 0;  // the last frame it processed, and that frame's stamp
  UtcTime adaptiveStamp_{};
  uint64_t learnFrom_ = 0;  // after a break: the first frame whose reference follows it
  int framesToShow_ = 0;    // until the table is copied for showing again
  // The copy of the adaptive table that CopyThresholdTable gives.
  mutable std::mutex shownMutex_;
  std::unique_ptr<uint8_t[]> shown_;  // made with adaptive_
  bool tableShown_ = false;           // shown_ holds a learnt table
};

}  // namespace ombrix
