#pragma once

#include <optional>
#include <string>

#include "base/calendar_time.h"
#include "base/system_time.h"

namespace ombrix {

// A Stamp is the 19-character UTC text YYYYMMDD_hhmmss_mmm of a capture time. It names every
// stored file and folder level and sorts as text in time order.
using Stamp = std::string;
inline constexpr size_t kStampLength = 19;

Stamp MakeStamp(const SystemTime& time);

// The first 16 characters of a Stamp ("%Y%m%d_%H%M%S_"); nullopt when the time has no fields.
std::optional<std::string> FormatStampSeconds(CalendarTime time);

struct ParsedStamp {
  CalendarTime time = 0;
  int milliseconds = 0;
};

// Reads the fields at their fixed places; characters that are not digits read as 0, which makes
// a text that is not a Stamp fail the range check (nullopt).
std::optional<ParsedStamp> ParseStamp(const std::string& stamp);

// The Stamp delta milliseconds later (earlier when negative); empty text when the input does not
// parse.
Stamp ShiftStamp(const Stamp& stamp, int64_t deltaMilliseconds);

// Second 0, millisecond 0 of the next minute (a whole minute on also from second 0).
Stamp NextMinuteStamp(const Stamp& stamp);

// 00:00:00.000 of the next calendar day.
Stamp NextDayStamp(const Stamp& stamp);

// Conversions between capture times and calendar time (the milliseconds are dropped).
CalendarTime ToCalendarTime(const SystemTime& time);
SystemTime ToSystemTime(CalendarTime time, int milliseconds);

}  // namespace ombrix
