#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ombrix {

// Seconds on one continuous scale for calendar fields, with no time zone or daylight-saving rule
// applied: fields converted to a CalendarTime and back come out unchanged. 0 is 1970-01-01
// 00:00:00, so a CalendarTime of UTC fields is also a Unix time.
using CalendarTime = int64_t;

struct CalendarFields {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int dayOfWeek = 0;  // 0 = Sunday
};

// Fields must be in range: year 1900..9999, month 1..12, day 1..31, hour 0..23, minute and second
// 0..59. A day past the end of its month carries into the next month. nullopt reports a range
// error.
std::optional<CalendarTime> MakeCalendarTime(int year, int month, int day, int hour, int minute,
                                             int second);

// The calendar fields of a time; nullopt when they fall outside the years 1900..9999.
std::optional<CalendarFields> BreakCalendarTime(CalendarTime time);

// Formats through a strftime pattern ("%Y", "%m", "%d", "%H", "%M", "%S", ...). The result has at
// most 127 characters; a longer result or an empty pattern gives empty text. nullopt when the time
// cannot be broken into calendar fields.
std::optional<std::string> FormatCalendarTime(CalendarTime time, const char* pattern);

}  // namespace ombrix
