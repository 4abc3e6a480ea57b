#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "base/atomic_file.h"
#include "base/clock.h"
#include "base/notice.h"
#include "base/utc_time.h"
#include "config/settings.h"
#include "detect/event_file.h"
#include "storage/archive_recorder.h"
#include "storage/review_values.h"

namespace ombrix {

// Window of an event in the archive, relative to the times of its first (F) and last (L) frames:
// the peak image from F - 1.5 s to L + 1.5 s; the movie and the time history search from F - 2 s
// and take the frames from F - 1 s to L.
inline constexpr std::chrono::milliseconds kImageWindowBefore{1500};
inline constexpr std::chrono::milliseconds kImageWindowAfter{1500};
inline constexpr std::chrono::milliseconds kSearchStartBefore{2000};
inline constexpr std::chrono::milliseconds kFirstFrameBefore{1000};
// An event waits for the archive to close the clips of its window, but no longer than this past
// the window's end (recording may have stopped, or the camera gone quiet). Measured on a steady
// clock from when the event is taken off the list, plus the window's 1500 ms after its last frame.
inline constexpr std::chrono::milliseconds kClipWaitLimit{10000};
// daysToKeep beyond this would overflow 32-bit seconds; larger values keep events that long.
inline constexpr int32_t kMaxDaysToKeep = 24855;

// The topic of an event that cannot be cut.
inline constexpr std::string_view kCutTopic = "cut";

// The archive thread's work: cuts each event taken off the event list out of the archive (peak
// image "j", movie "m" and time history "c" in the events folder, each named by the Stamp of the
// event's first frame, its key), then deletes event files older than daysToKeep days.
//
// An event is cut only when the archive holds its whole window: the recorder must have closed a
// clip that begins after the window's end (L + 1500 ms), since a movie still being written cannot
// be read and the clips after the event do not exist yet when the event ends. When recording has
// stopped, or the event has waited 1.5 s + 10 s on the steady clock, the event is cut with what
// the archive has. Events are cut in list order: one that waits holds back the ones after it.
//
// The three files are written under temporary names in the events folder ("." + the final name,
// which the event listing and the uncut-event scan do not take) and renamed, the movie last, once
// all three are complete; an event whose files could not all be written leaves none of them, is
// said and is not announced as cut. So an event file without its movie is an event not cut. An
// event taken off the list whose event file cannot be read is said and dropped; an event movie
// that cannot be made at all for want of an encoder is fatal.
//
// One thread at a time calls Pass, DrainAll, QueueUncutEvents and the Extract functions. Each
// pass reads one settings record throughout. Everything passed to the constructor must outlive
// the extractor.
class EventExtractor {
 public:
  using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;

  // wallClock ages the event files for retention (also during a replay whose frames carry other
  // times); steadyNow (default: std::chrono::steady_clock) bounds the wait for clips.
  EventExtractor(const SharedSettings& settings, EventList& eventList, ReviewValues& review,
                 const Clock& wallClock, const ArchiveProgress& archiveProgress, Notices& notices,
                 SteadyNow steadyNow = nullptr);
  EventExtractor(const EventExtractor&) = delete;
  EventExtractor& operator=(const EventExtractor&) = delete;

  // Called with the event's key after each event is cut (its image, movie and history written),
  // on the thread that cut it. Set before the archive thread starts.
  void SetCutObserver(std::function<void(UtcTime key)> observer) {
    cutObserver_ = std::move(observer);
  }

  // Called with the event's key for each event file ("e" + key + ".txt") that retention deleted,
  // on the thread that ran it. Set before the archive thread starts.
  void SetDeleteObserver(std::function<void(UtcTime key)> observer) {
    deleteObserver_ = std::move(observer);
  }

  // One pass of the archive thread (run about once a second): cut every event that is ready, in
  // list order, and after a pass that cut one, apply event retention.
  void Pass();

  // For shutdown, after the recorder's FinishClip: cut every event still waiting or on the list
  // without waiting for clips, as long as the time spent stays within bound. Returns how many
  // events were left uncut (0 when all were cut).
  size_t DrainAll(std::chrono::milliseconds bound);

  // Whether an event is still held back waiting for its clips. Any thread may ask.
  bool HasWaitingEvent() const { return hasWaiting_.load(); }

  // For start-up, before the archive thread runs: appends to the event list, oldest first, every
  // event file of the events folder that has no movie yet and whose window the archive may still
  // hold (its end is not before the oldest archive minute), so that events recorded but not cut
  // before the process died are cut now. Removes temporaries left by an interrupted cut or event
  // file. Returns how many events were queued.
  size_t QueueUncutEvents();

  // Each returns true when its file was written whole and closed; each reads the archive of
  // settings.archiveFolder.
  // Peak image of the clip peak images whose first frame lies after from and not after to.
  // Cancellable through readerGeneration (the image so far is still written).
  bool ExtractEventImage(const Settings& settings, UtcTime from, UtcTime to,
                         const std::string& outputPath);
  // Movie of the archived frames from first - 1000 ms to last.
  bool ExtractEventMovie(const Settings& settings, UtcTime first, UtcTime last,
                         const std::string& outputPath);
  // Time history of the same frames, with the azimuth and elevation of each centroid by the
  // calibration of settings.
  bool ExtractEventTimeHistory(const Settings& settings, UtcTime first, UtcTime last,
                               const std::string& outputPath);

  // Deletes every file in the events folder older than daysToKeep days by the wall clock, by
  // birth time where the file system records it, else by modification time. A negative
  // daysToKeep is refused (nothing is deleted); values above 24855 count as 24855. Each event
  // file deleted is told to the delete observer.
  void DeleteOldEvents(const Settings& settings, const std::string& eventsFolder);

 private:
  struct WaitingEvent {
    UtcTime key;
    UtcTime first;
    UtcTime last;
    std::chrono::steady_clock::time_point takenAt;  // when it left the list
  };

  // Takes the next event off the list into waiting_ (reading its event file); false when the
  // list is empty or the event file cannot be read (that event is said and dropped).
  bool TakeNextEvent(const std::string& eventsFolder);
  bool ClipsComplete(const WaitingEvent& event) const;
  void CutWaitingEvent(const Settings& settings, const std::string& eventsFolder);
  // True when all three files were written and renamed into place.
  bool CutEvent(const Settings& settings, const std::string& eventsFolder,
                const WaitingEvent& event);
  // The time history into output (left uncommitted); false when a write failed.
  bool WriteEventTimeHistory(const Settings& settings, UtcTime first, UtcTime last,
                             AtomicFile& output);
  std::chrono::steady_clock::time_point SteadyTime() const;

  const SharedSettings& settings_;
  EventList& eventList_;
  ReviewValues& review_;
  const Clock& wallClock_;
  const ArchiveProgress& archiveProgress_;
  Notices& notices_;
  SteadyNow steadyNow_;
  std::function<void(UtcTime key)> cutObserver_;
  std::function<void(UtcTime key)> deleteObserver_;
  std::optional<WaitingEvent> waiting_;
  std::atomic<bool> hasWaiting_{false};  // waiting_ holds an event
  std::unique_ptr<uint8_t[]> image_;
  std::unique_ptr<uint8_t[]> frame_;
};

}  // namespace ombrix
