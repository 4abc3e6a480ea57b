#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/utc_time.h"
#include "config/settings.h"
#include "review/event_listing.h"
#include "review/export.h"
#include "review/light_curve.h"
#include "review/review_window.h"

namespace ombrix {

class PauseGate;
class ReviewValues;
struct ReviewContext;

// Message texts of the review commands.
inline constexpr const char* kNoEvents = "No events.";
inline constexpr const char* kNoMoreEvents = "No more events.";
inline constexpr const char* kDeleteNoEvent = "Delete: No event selected.";
inline constexpr const char* kReplayNoEvent = "Replay: No event selected.";
inline constexpr const char* kCompositeNoEvent = "Composite: No event selected.";
inline constexpr const char* kSaveMovieNoEvent = "Save Movie: No event selected.";
inline constexpr const char* kRecalculateNoEvent = "Recalculate: No event selected.";
inline constexpr const char* kLightCurveNoEvent = "Light Curve: No event selected.";
inline constexpr const char* kDeleteNotShown =
    "Delete: The selected event is not on screen; Replay or Composite shows it.";

// Where Save puts the start of a stretch it has stored as an event, for the archive thread to cut
// (the station's event list).
class EventQueue {
 public:
  virtual ~EventQueue() = default;
  virtual void Append(UtcTime key) = 0;
};

// What is shown with the frame on display.
struct ShownFrame {
  int displayCount = 0;
  std::optional<UtcTime> time;  // none: the time readout stays as it is
};

// The time readout of a shown frame: "UTC 06/10/2016 21:05:10.980".
std::string ShownTimeText(UtcTime time);

// One operator's review: the selection and every review command of the window (navigation among
// the stored events, Delete, Replay, Composite, archive playback, Save, the averages, Save
// Movie, Recalculate, Pause), and the frame on display with what is shown with it. The commands
// run on one thread (the window's); replays, composites, averages and the export run on threads
// this session owns, each stopped through its own stop token. A newer reader (a replay,
// composite or average, the live video shown again, Delete, Exit) stops the older ones: from that
// moment they change nothing on display. The station's cuts share nothing with a session.
//
// Each command reads the settings as they stand when it comes; a worker keeps that record. The
// settings, the window and the queue must outlive the session; the queue may be null (Save then
// only writes the event file).
class ReviewSession {
 public:
  ReviewSession(const SharedSettings& settings, ReviewWindow& window, EventQueue* queue);
  ~ReviewSession();
  ReviewSession(const ReviewSession&) = delete;
  ReviewSession& operator=(const ReviewSession&) = delete;

  // The current event file; empty when there is none. The archive interval of Play takes
  // precedence over it until a navigation command clears the interval.
  const std::string& currentEvent() const { return currentEvent_; }

  // Navigation: each clears the interval and lists the events folder afresh.
  void First();
  void Previous();
  void Next();
  void Last();
  // Makes an event file chosen by the operator current (it may lie anywhere; its files are
  // looked up in the events folder under its key). An empty path does nothing.
  void OpenEvent(const std::string& path);
  // Deletes the current event's files ("e", then "c", "j", "m") and moves on, showing the event
  // it moves to. Only an event on display is deleted: a stretch of the archive, an average, a
  // still or the live video on screen refuses. The running reader is stopped and has let go of
  // the files before anything is removed.
  void Delete();

  // Shows the selection: its composite when preferComposites is set, else its replay.
  void StartReview();
  void Replay();
  void Composite();

  // Archive playback of the picker interval (widened by 1.5 s each side by the workers).
  void Play(const PickerInterval& interval);
  // Stores the interval as an event: writes its event file and queues its start. False
  // (reported) when the file could not be written.
  bool Save(const PickerInterval& interval);
  void ShowAverageComposite(const PickerInterval& interval);
  void ShowAverageMovie(const PickerInterval& interval);

  // Save Movie, first step: false after "Save Movie: No event selected." when nothing is
  // selected; else the default file name (the event key, without extension).
  bool SaveMovieBegin(std::string& defaultName);
  // Save Movie, second step: exports the current event's movie with the display options on a
  // thread of the session; the window hears ExportEnded. False when an export is running.
  bool StartExport(const std::string& outputPath);
  // Cancel of the export's progress: it stops at its next frame and leaves nothing behind.
  void CancelExport();

  // Recalculate Time History of the current event with the calibration now in the settings.
  void Recalculate();
  // The light curve of the current event; empty after saying why there is none.
  std::vector<LightCurvePoint> LightCurve();

  // "Pause"/"Resume": acts only on the newest worker while it still runs.
  void TogglePause();
  bool paused() const { return paused_; }
  // Whether "Pause" is enabled: a replay started by StartReview or Replay has not yet ended.
  bool PauseEnabled() const { return runningReplays_.load() > 0; }

  // The window shows the live video again: the running reader stops at once.
  void LiveVideoShown() {
    StopReaders();
    eventShown_ = false;
  }
  // The window put something else on display (a still, the mask).
  void OtherShown() { eventShown_ = false; }
  // Stops every worker and the export, and joins them (Exit).
  void StopWorkers();

  // The frame on display (640x480) and what is shown with it; false before the first frame.
  // Any thread.
  bool CopyShownFrame(uint8_t* pixels, ShownFrame* shown) const;

 private:
  struct Selection {
    std::string currentEvent;
    std::optional<UtcTime> intervalStart;
    std::optional<UtcTime> intervalEnd;
  };
  enum class Job { kReplay, kComposite, kAverageComposite, kAverageMovie };
  struct Worker {
    std::jthread thread;
    std::shared_ptr<PauseGate> gate;
    std::shared_ptr<std::atomic<bool>> done;
  };

  bool HasSelection() const;
  void ClearInterval();
  void StartReplayWorker();
  void StartWorker(Job job);
  // Empty, or why the selection has nothing to show when that is not the archive's doing.
  std::string RunJob(Job job, const Selection& selection, std::optional<UtcTime> averageStart,
                     std::optional<UtcTime> averageEnd, ReviewContext& context);
  // Every reader stops (nothing it does is shown from now on); none is joined.
  void StopReaders();
  // Stops and joins every reader.
  void JoinReaders();
  void ReapFinishedWorkers();
  void OnReplayEnded();

  const SharedSettings& settings_;
  ReviewWindow& window_;
  EventQueue* queue_;
  std::unique_ptr<ReviewValues> values_;
  std::string currentEvent_;
  std::optional<UtcTime> intervalStart_;
  std::optional<UtcTime> intervalEnd_;
  std::optional<UtcTime> averageStart_;
  std::optional<UtcTime> averageEnd_;
  std::atomic<int> runningReplays_{0};
  bool paused_ = false;
  bool eventShown_ = false;      // the current event is what is on display
  std::vector<Worker> workers_;  // the last one is the newest (reviewWorker)
  std::jthread exporter_;
  std::shared_ptr<std::atomic<bool>> exportDone_;
};

}  // namespace ombrix
