#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "detect/event_file.h"
#include "review/event_listing.h"
#include "review/export.h"
#include "review/pause_gate.h"
#include "review/replay.h"
#include "review/review_window.h"
#include "storage/review_values.h"

namespace ombrix {

// Message texts of the review commands.
inline constexpr const char* kNoEvents = "No events.";
inline constexpr const char* kNoMoreEvents = "No more events.";
inline constexpr const char* kDeleteNoEvent = "Delete: No event selected.";
inline constexpr const char* kReplayNoEvent = "Replay: No event selected.";
inline constexpr const char* kCompositeNoEvent = "Composite: No event selected.";
inline constexpr const char* kSaveMovieNoEvent = "Save Movie: No event selected.";
inline constexpr const char* kRecalculateNoEvent = "Recalculate: No event selected.";

// Removes one event file; a file that is already gone counts as removed. False with the reason
// when it cannot be removed.
bool RemoveEventPath(const std::string& path, std::string& reason);
// Removes the time history, peak image and movie of an event ("c", "j", "m" + key), each only
// when it exists, stopping at the first that cannot be removed (false, with its path and reason).
bool RemoveEventCompanions(const std::string& eventsFolder, const std::string& key,
                           WriteFailure& failure);

// The review selection and every review command of the window: navigation among the stored
// events, Delete, Replay, Composite, archive playback, Save, the averages, Save Movie,
// Recalculate and Pause. The commands run on one thread (the window's); replays, composites and
// averages run on worker threads that this object owns. A newer reader stops an older one through
// readerGeneration; every worker is stopped and joined by StopWorkers() and the destructor.
//
// Each command reads the settings as they stand when it comes; a worker keeps that record.
// The settings, review values, window and event list must outlive the reviewer. The event list
// may be null when no station runs in the process (Save then only writes the event file).
class Reviewer {
 public:
  Reviewer(const SharedSettings& settings, ReviewValues& review, ReviewWindow& window,
           EventList* eventList);
  ~Reviewer();
  Reviewer(const Reviewer&) = delete;
  Reviewer& operator=(const Reviewer&) = delete;

  // The selection: the current event file, and the archive interval of Play, which takes
  // precedence while both ends are set.
  const std::string& currentEvent() const { return currentEvent_; }
  std::optional<UtcTime> intervalStart() const { return intervalStart_; }
  std::optional<UtcTime> intervalEnd() const { return intervalEnd_; }
  std::optional<UtcTime> averageStart() const { return averageStart_; }
  std::optional<UtcTime> averageEnd() const { return averageEnd_; }

  // Navigation: each clears the interval and lists the events folder afresh.
  void First();
  void Previous();
  void Next();
  void Last();
  // Makes an event file chosen by the operator current (it may lie anywhere; its files are
  // looked up in the events folder under its key). An empty path does nothing.
  void OpenEvent(const std::string& path);
  // Deletes the current event's files ("e", then "c", "j", "m") and moves on. The running reader
  // is stopped before anything is removed.
  void Delete();

  // Shows the selection: its composite when preferComposites is set, else its replay.
  void StartReview();
  void Replay();
  void Composite();

  // Archive playback of the picker interval (widened by 1.5 s each side by the workers).
  void Play(const PickerInterval& interval);
  // Stores the interval as an event: writes its event file and queues its start on the event
  // list. False (reported) when the file could not be written.
  bool Save(const PickerInterval& interval);
  void ShowAverageComposite(const PickerInterval& interval);
  void ShowAverageMovie(const PickerInterval& interval);

  // Save Movie, first step: false after "Save Movie: No event selected." when nothing is
  // selected; else the default file name (the event key, without extension).
  bool SaveMovieBegin(std::string& defaultName);
  // Save Movie, second step: exports the current event's movie with the display options. A
  // failure is reported; a missing movie writes nothing and shows nothing.
  ExportOutcome SaveMovie(const std::string& outputPath);

  // Recalculate Time History of the current event with the calibration now in the settings.
  void Recalculate();

  // "Pause"/"Resume": acts only on the newest worker while it still runs.
  void TogglePause();
  bool paused() const { return paused_; }
  // Whether "Pause" is enabled: a replay started by StartReview or Replay has not yet ended.
  bool PauseEnabled() const { return runningReplays_.load() > 0; }

  // The window shows the live video again: a running replay or composite stops at its next step.
  void LiveVideoShown() { review_.NewReaderGeneration(); }

  // Stops every worker (advancing readerGeneration, resuming a paused one) and joins it.
  void StopWorkers();
  // Workers whose thread has not yet been joined (finished ones are joined at the next start).
  size_t WorkerThreads() const { return workers_.size(); }

 private:
  struct Selection {
    std::string currentEvent;
    std::optional<UtcTime> intervalStart;
    std::optional<UtcTime> intervalEnd;
  };
  enum class Job { kReplay, kComposite, kAverageComposite, kAverageMovie };
  struct Worker {
    std::thread thread;
    std::shared_ptr<PauseGate> gate;
    std::shared_ptr<std::atomic<bool>> done;
  };

  bool HasSelection() const;
  void ClearInterval();
  void StartReplayWorker();
  void StartWorker(Job job);
  void RunJob(Job job, const Selection& selection, std::optional<UtcTime> averageStart,
              std::optional<UtcTime> averageEnd, ReviewContext& context);
  void ReapFinishedWorkers();
  void OnReplayEnded();

  const SharedSettings& settings_;
  ReviewValues& review_;
  ReviewWindow& window_;
  EventList* eventList_;
  std::string currentEvent_;
  std::optional<UtcTime> intervalStart_;
  std::optional<UtcTime> intervalEnd_;
  std::optional<UtcTime> averageStart_;
  std::optional<UtcTime> averageEnd_;
  std::atomic<int> runningReplays_{0};
  bool paused_ = false;
  std::vector<Worker> workers_;  // the last one is the newest (reviewWorker)
};

}  // namespace ombrix
