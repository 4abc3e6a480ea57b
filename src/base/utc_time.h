#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace ombrix {

// A UTC instant to the millisecond, counted from 1970-01-01 00:00:00 without leap seconds: every
// capture time, event time and archive position. Arithmetic and comparison are those of time.
using UtcTime = std::chrono::sys_time<std::chrono::milliseconds>;

// Calendar fields, for display, for names and for the time of day: broken from a UTC time by
// BreakUtcTime, or the local wall clock's (Clock::LocalNow).
struct CalendarFields {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// The calendar fields of a UTC time (proleptic Gregorian calendar, any year).
CalendarFields BreakUtcTime(UtcTime time);

// The UTC time of calendar fields. nullopt unless every field is in range: year 1900..9999,
// month 1..12, day 1 to the last day of its month, hour 0..23, minute and second 0..59, millisecond
// 0..999.
std::optional<UtcTime> MakeUtcTime(const CalendarFields& fields);

// A Stamp is the 19-character text YYYYMMDD_hhmmss_mmm of a UTC time. It names every stored file
// and folder level and sorts as text in time order. It is made only where a file or folder is
// named or a line written, and read back only where a name or a line is read.
using Stamp = std::string;
inline constexpr size_t kStampLength = 19;

// The times a Stamp can hold: the years 1900 to 9999.
inline constexpr UtcTime kFirstStampTime = std::chrono::sys_days{std::chrono::year{1900} / 1 / 1};
inline constexpr UtcTime kLastStampTime =
    std::chrono::sys_days{std::chrono::year{10000} / 1 / 1} - std::chrono::milliseconds{1};
constexpr bool FitsStamp(UtcTime time) {
  return time >= kFirstStampTime && time <= kLastStampTime;
}
// Whether every time from start to start + length fits: a replay given that start (the command
// line's --start) and lasting that long names every file it records.
constexpr bool FitsStamps(UtcTime start, std::chrono::milliseconds length) {
  return FitsStamp(start) && length.count() >= 0 && start <= kLastStampTime - length;
}

// Writes the Stamp of a time and a terminating NUL into fixed storage, without allocating. False,
// with out empty, for a time that no Stamp can hold: a time outside the years never names a file.
bool FormatStamp(UtcTime time, char (&out)[kStampLength + 1]);
// The Stamp of a time; empty text for a time that no Stamp can hold.
Stamp MakeStamp(UtcTime time);

// The time of a Stamp. Strict: exactly 19 characters, digits where digits belong, underscores at
// 8 and 15, and fields that name a real date and time (no 30 February, no hour 24); nullopt
// otherwise. So ParseStamp(text) succeeds exactly when MakeStamp(*ParseStamp(text)) == text.
std::optional<UtcTime> ParseStamp(std::string_view text);

// "2024-03-15T21:14:50Z" (the Z may be left out; always UTC), in the years 1900 to 9999, to its
// time; nullopt for any other text.
std::optional<UtcTime> ParseIsoUtc(const std::string& text);

// "2024-03-15 21:14": the UTC time to the minute, for people.
std::string MinuteText(UtcTime time);

// "2024-03-15T21:14:50Z", or with milliseconds "2024-03-15T21:14:50.123Z": the time in ISO 8601
// form, for machines.
std::string IsoUtc(UtcTime time, bool milliseconds = false);

}  // namespace ombrix
