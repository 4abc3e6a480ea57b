#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/calendar_time.h"
#include "base/stamp.h"
#include "detect/event_file.h"

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

// The archive interval chosen with a start time and a duration: two Stamps with millisecond 000.
struct PickerInterval {
  Stamp start;
  Stamp end;
};

// start = the picker's time to the second (a year before 1900 counts as time 0), end = start plus
// the leading whole number of durationText (0 when it has none).
PickerInterval ReadPickerInterval(const CalendarFields& picker, const std::string& durationText);
PickerInterval ReadPickerInterval(CalendarTime start, const std::string& durationText);

// Writes events folder + "/e" + start + ".txt" with the two Stamps, each followed by CR LF, under
// a temporary name that is renamed over the file once it is complete. On success returns the
// path; on failure nullopt with the path concerned and the reason.
struct WriteFailure {
  std::string path;
  std::string reason;
};
std::optional<std::string> WriteEventFileAtomically(const std::string& archiveFolderSetting,
                                                    const PickerInterval& interval,
                                                    WriteFailure& failure);

}  // namespace ombrix
