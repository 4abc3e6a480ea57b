#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/utc_time.h"

namespace ombrix {

// The event key of a path: the 19 characters that begin 23 characters before its end, the Stamp
// of a name "e" + Stamp + ".txt" (and of "j" + Stamp + ".jpg"). Empty text for a path shorter than
// 23 characters, which has no key.
std::string EventKey(const std::string& path);

// The full paths of the event files (events folder + "/e*.txt"), sorted byte-wise; empty when the
// events folder cannot be had.
std::vector<std::string> ListEvents(const std::string& archiveFolderSetting);

// The first path of the listing greater than current (every path when current is empty); empty
// text when there is none.
std::string NextEventPath(const std::vector<std::string>& listing, const std::string& current);
// The last path smaller than current (the last path when current is empty); empty when none.
std::string PreviousEventPath(const std::vector<std::string>& listing, const std::string& current);

// The archive interval chosen with a start time and a duration, in whole seconds.
struct PickerInterval {
  UtcTime start;
  UtcTime end;
};

// start = the picker's time to the second (a time before the year 1900 counts as 1970-01-01
// 00:00:00), end = start plus the leading whole number of durationText (0 when it has none).
PickerInterval ReadPickerInterval(UtcTime picker, const std::string& durationText);

// Writes events folder + "/e" + Stamp of start + ".txt" with the Stamps of start and end, each
// followed by CR LF, under a temporary name that is renamed into place once it is complete; an
// existing event file of that start is never replaced (refused). On success returns the path; on
// failure (also for a time that no Stamp can hold) nullopt with the path concerned and the
// reason.
struct WriteFailure {
  std::string path;
  std::string reason;
};
std::optional<std::string> WriteEventFileAtomically(const std::string& archiveFolderSetting,
                                                    const PickerInterval& interval,
                                                    WriteFailure& failure);

// Removes one event file; a file that is already gone counts as removed. False with the reason
// when it cannot be removed.
bool RemoveEventPath(const std::string& path, std::string& reason);
// Removes the time history, peak image and movie of an event ("c", "j", "m" + key), each only
// when it exists, stopping at the first that cannot be removed (false, with its path and reason).
bool RemoveEventCompanions(const std::string& eventsFolder, const std::string& key,
                           WriteFailure& failure);

// One event of the events folder as a listing shows it.
struct EventSummary {
  Stamp key;
  std::optional<UtcTime> first;  // the event file's two times; none when it does not hold them
  std::optional<UtcTime> last;
  bool image = false;    // "j" + key + ".jpg" exists
  bool movie = false;    // "m" + key + ".mp4"
  bool history = false;  // "c" + key + ".csv"
  // VerdictName of what its time history shows; "-" without one.
  const char* verdict = "-";
};

// The events of the events folder in time order: every file named "e" + Stamp + ".txt" (another
// name, such as "e.txt", is no event), each judged from its time history as it stands now. Empty
// when the events folder cannot be had.
std::vector<EventSummary> SummariseEvents(const std::string& archiveFolderSetting);

// VerdictName of the event of an event file's path ("e" + key + ".txt", its time history beside
// it); empty text when it has no time history.
std::string EventVerdictText(const std::string& eventPath);

}  // namespace ombrix
