#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/atomic_file.h"
#include "base/clock.h"
#include "base/notice.h"
#include "base/utc_time.h"
#include "config/settings.h"
#include "detect/event_file.h"
#include "storage/archive_recorder.h"

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

// An event whose cut failed (the disk was full at that moment) is tried again after these pauses,
// while the archive still holds any of its window; after the last it is given up.
inline constexpr std::chrono::seconds kCutRetryPauses[] = {
    std::chrono::seconds(10), std::chrono::seconds(30), std::chrono::seconds(60),
    std::chrono::seconds(120), std::chrono::seconds(300)};

// The topic of an event that cannot be cut.
inline constexpr std::string_view kCutTopic = "cut";

// The archive thread's work: cuts each event taken off the event list out of the archive (peak
// image "j", movie "m" and time history "c" in the events folder, each named by the Stamp of the
// event's first frame, its key), then deletes the station's event files older than daysToKeep
// days.
//
// An event is cut only when the archive holds its whole window: the recorder must have closed a
// clip that begins after the window's end (L + 1500 ms), since a movie still being written cannot
// be read and the clips after the event do not exist yet when the event ends. When recording has
// stopped, or the event has waited 1.5 s + 10 s on the steady clock, the event is cut with what
// the archive has. Events are cut in list order: one that waits holds back the ones after it.
//
// The three files are written under temporary names in the events folder (which the event
// listing and the uncut-event scan do not take) and renamed, the movie last, once all three are
// complete; an event whose files could not all be written leaves none of them and is not
// announced as cut. So an event file without its movie is an event not cut. A cut that fails is
// said and tried again after each of kCutRetryPauses while the archive holds any of the event's
// window, without holding back the events after it; giving up is said too. A window in which the
// archive holds no clip movie at all is nothing to cut: said at once as a failure, not retried.
// An event taken off the list whose event file cannot be read is said and dropped; an event movie
// that cannot be made at all for want of an encoder is fatal.
//
// One thread at a time calls Pass, DrainAll, QueueUncutEvents and the Extract functions. Each
// pass reads one settings record throughout. The cuts share nothing with the operator's review:
// a review never stops a cut, a cut never stops a review nor changes what it shows. Everything
// passed to the constructor must outlive the extractor.
class EventExtractor {
 public:
  using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;

  // wallClock ages the event files for retention (also during a replay whose frames carry other
  // times); steadyNow (default: std::chrono::steady_clock) bounds the wait for clips and times
  // the retries.
  EventExtractor(const SharedSettings& settings, EventList& eventList, const Clock& wallClock,
                 const ArchiveProgress& archiveProgress, Notices& notices,
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
  // list order, then the failed cuts whose pause is over, and after a pass that cut or tried one,
  // apply event retention.
  void Pass();

  // For shutdown, after the recorder's FinishClip: cut every event still waiting or on the list
  // without waiting for clips, and try each failed cut once more, as long as the time spent stays
  // within bound. Returns how many events were left uncut (0 when all were cut).
  size_t DrainAll(std::chrono::milliseconds bound);

  // For start-up, before the archive thread runs: appends to the event list, oldest first, every
  // event file of the events folder that has no movie yet and whose window the archive may still
  // hold (its end is not before the oldest archive minute), so that events recorded but not cut
  // before the process died are cut now. Removes temporaries left by an interrupted cut or event
  // file. Returns how many events were queued.
  size_t QueueUncutEvents();

  // Each writes into the open temporary of output (the caller commits it) from the archive of
  // settings.archiveFolder, and returns false when output could not be written.
  // Peak image of the clip peak images whose first frame lies after from and not after to.
  bool ExtractEventImage(const Settings& settings, UtcTime from, UtcTime to, AtomicFile& output);
  // Movie of the archived frames from first - 1000 ms to last.
  struct Movie {
    bool written = false;
    int frames = 0;       // the frames it holds
    std::string failure;  // why it was not written
  };
  Movie ExtractEventMovie(const Settings& settings, UtcTime first, UtcTime last,
                          AtomicFile& output);
  // Time history of the same frames, with the azimuth and elevation of each centroid by the
  // calibration of settings.
  bool ExtractEventTimeHistory(const Settings& settings, UtcTime first, UtcTime last,
                               AtomicFile& output);

  // Deletes the station's own files in the events folder (e, j, m, c and a + Stamp with their
  // extensions; never a file of another name, such as an operator's notes) older than daysToKeep
  // days by the wall clock, by birth time where the file system records it, else by modification
  // time. A negative daysToKeep is refused (nothing is deleted); values above 24855 count as
  // 24855. Each event file deleted is told to the delete observer.
  void DeleteOldEvents(const Settings& settings, const std::string& eventsFolder);

 private:
  struct WaitingEvent {
    UtcTime key;
    UtcTime first;
    UtcTime last;
    std::chrono::steady_clock::time_point takenAt;  // when it left the list
  };
  // A failed cut waiting for its next try.
  struct Retry {
    WaitingEvent event;
    size_t attempts;                            // cuts tried so far
    std::chrono::steady_clock::time_point due;  // when the next is tried
  };
  enum class Cut { kDone, kFailed, kNothing };

  // Takes the next event off the list into waiting_ (reading its event file); false when the
  // list is empty or the event file cannot be read (that event is said and dropped).
  bool TakeNextEvent(const std::string& eventsFolder);
  bool ClipsComplete(const WaitingEvent& event) const;
  void CutWaitingEvent(const Settings& settings, const std::string& eventsFolder);
  // Tries the retries that are due (all of them when `all`); true when one was tried.
  bool RetryCuts(const Settings& settings, const std::string& eventsFolder, bool all);
  // Writes all three files and renames them into place, or none; *why says what failed.
  Cut CutEvent(const Settings& settings, const std::string& eventsFolder, const WaitingEvent& event,
               std::string* why);
  std::chrono::steady_clock::time_point SteadyTime() const;

  const SharedSettings& settings_;
  EventList& eventList_;
  const Clock& wallClock_;
  const ArchiveProgress& archiveProgress_;
  Notices& notices_;
  SteadyNow steadyNow_;
  std::function<void(UtcTime key)> cutObserver_;
  std::function<void(UtcTime key)> deleteObserver_;
  std::optional<WaitingEvent> waiting_;
  std::vector<Retry> retries_;
  std::unique_ptr<uint8_t[]> image_;
  std::unique_ptr<uint8_t[]> frame_;
};

}  // namespace ombrix
