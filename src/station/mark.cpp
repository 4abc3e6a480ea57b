#include "station/mark.h"

#include <thread>

#include "base/folders.h"
#include "detect/event_file.h"
#include "review/event_listing.h"
#include "station/base_lock.h"
#include "storage/archive_recorder.h"
#include "storage/event_extractor.h"

namespace ombrix {
namespace {

constexpr auto kPoll = std::chrono::milliseconds(200);
// How long `mark` may spend cutting its stretch.
constexpr std::chrono::minutes kMarkCutBound{10};

// The start of the newest clip movie after `after`; none when there is none.
std::optional<UtcTime> NewestClip(const std::string& archiveFolder, UtcTime after) {
  std::optional<UtcTime> newest;
  while (const std::optional<UtcTime> next =
             FindNextArchiveTime(archiveFolder, newest.value_or(after), "s", ".mp4")) {
    newest = next;
  }
  return newest;
}

}  // namespace

MarkOutcome MarkStretch(const SharedSettings& settings, UtcTime start, UtcTime end,
                        Notices& notices, const std::function<void()>& waiting,
                        std::stop_token stop) {
  const std::string archiveFolder = settings.Get()->archiveFolder;
  const std::string base = GetBaseFolder(archiveFolder);
  const UtcTime windowEnd = end + kImageWindowAfter;
  if (BaseFolderLock::Held(base) && !FindNextArchiveTime(archiveFolder, windowEnd, "t", ".jpg")) {
    // A running station may record the stretch still: wait for the clip after its window to be
    // closed (its peak image is written then), as long as the archive grows.
    std::optional<UtcTime> newest = NewestClip(archiveFolder, windowEnd - kMarkWaitAhead);
    if (!newest || windowEnd - *newest > kMarkWaitAhead) {
      return {MarkResult::kTooEarly,
              "Mark: the stretch ends after what the station has recorded; no event was stored. "
              "Mark it again once it is recorded."};
    }
    if (waiting) {
      waiting();
    }
    auto grew = std::chrono::steady_clock::now();
    while (!FindNextArchiveTime(archiveFolder, windowEnd, "t", ".jpg") &&
           BaseFolderLock::Held(base) && std::chrono::steady_clock::now() - grew < kClipWaitLimit) {
      if (stop.stop_requested()) {
        return {MarkResult::kTooEarly,
                "Mark: stopped before the stretch was recorded; no event was stored."};
      }
      std::this_thread::sleep_for(kPoll);
      if (const std::optional<UtcTime> now = NewestClip(archiveFolder, *newest)) {
        newest = now;
        grew = std::chrono::steady_clock::now();
      }
    }
  }
  // The movie takes the clips that begin after start - 2 s and not after end.
  const std::optional<UtcTime> first =
      FindNextArchiveTime(archiveFolder, start - kSearchStartBefore, "s", ".mp4");
  if (!first || *first > end) {
    return {MarkResult::kEmpty,
            "Mark: nothing in the archive for that stretch; no event was stored."};
  }
  WriteFailure failure;
  if (!WriteEventFileAtomically(archiveFolder, {start, end}, failure)) {
    return {MarkResult::kNotSaved, "Save: " + failure.path + ": " + failure.reason};
  }
  // No archive thread runs here: cut the stretch as it would.
  EventList eventList;
  eventList.Append(start);
  SystemClock clock;
  ArchiveProgress idle;
  EventExtractor extractor(settings, eventList, clock, idle, notices);
  if (extractor.DrainAll(kMarkCutBound) != 0) {
    return {MarkResult::kNotCut, "Event " + MakeStamp(start) + " could not be cut."};
  }
  return {MarkResult::kCut, "Event cut: " + MakeStamp(start)};
}

}  // namespace ombrix
