#include "base/utc_time.h"

#include <cstdint>
#include <cstdio>

namespace ombrix {
namespace {

using std::chrono::milliseconds;

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Year, month and day of a count of days since 1970-01-01 (proleptic Gregorian), for any count.
void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

// Writes value as `width` decimal digits, most significant first.
char* Digits(char* out, int value, int width) {
  for (int i = width - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + width;
}

// The `width` digits at text[pos]; -1 when any of them is not a digit.
int ReadDigits(std::string_view text, size_t pos, size_t width) {
  int value = 0;
  for (size_t i = pos; i < pos + width; ++i) {
    if (text[i] < '0' || text[i] > '9') {
      return -1;
    }
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

CalendarFields BreakUtcTime(UtcTime time) {
  constexpr int64_t kDay_ms = 86400000;
  const int64_t ms = time.time_since_epoch().count();
  const int64_t days = FloorDiv(ms, kDay_ms);
  const int64_t ofDay = ms - days * kDay_ms;
  CalendarFields f;
  CivilFromDays(days, f.year, f.month, f.day);
  f.hour = static_cast<int>(ofDay / 3600000);
  f.minute = static_cast<int>(ofDay / 60000 % 60);
  f.second = static_cast<int>(ofDay / 1000 % 60);
  f.millisecond = static_cast<int>(ofDay % 1000);
  return f;
}

std::optional<UtcTime> MakeUtcTime(const CalendarFields& f) {
  if (f.year < 1900 || f.year > 9999 || f.hour < 0 || f.hour > 23 || f.minute < 0 ||
      f.minute > 59 || f.second < 0 || f.second > 59 || f.millisecond < 0 || f.millisecond > 999 ||
      f.month < 1 || f.month > 12 || f.day < 1 || f.day > 31) {
    return std::nullopt;
  }
  const std::chrono::year_month_day date{std::chrono::year{f.year},
                                         std::chrono::month{static_cast<unsigned>(f.month)},
                                         std::chrono::day{static_cast<unsigned>(f.day)}};
  if (!date.ok()) {
    return std::nullopt;  // a day past the end of its month
  }
  return UtcTime{std::chrono::sys_days{date}} + std::chrono::hours{f.hour} +
         std::chrono::minutes{f.minute} + std::chrono::seconds{f.second} +
         milliseconds{f.millisecond};
}

bool FormatStamp(UtcTime time, char (&out)[kStampLength + 1]) {
  out[0] = '\0';
  if (!FitsStamp(time)) {
    return false;
  }
  const CalendarFields f = BreakUtcTime(time);
  char* p = Digits(out, f.year, 4);
  p = Digits(p, f.month, 2);
  p = Digits(p, f.day, 2);
  *p++ = '_';
  p = Digits(p, f.hour, 2);
  p = Digits(p, f.minute, 2);
  p = Digits(p, f.second, 2);
  *p++ = '_';
  p = Digits(p, f.millisecond, 3);
  *p = '\0';
  return true;
}

Stamp MakeStamp(UtcTime time) {
  char text[kStampLength + 1];
  FormatStamp(time, text);
  return text;
}

std::optional<UtcTime> ParseStamp(std::string_view text) {
  if (text.size() != kStampLength || text[8] != '_' || text[15] != '_') {
    return std::nullopt;
  }
  CalendarFields f;
  f.year = ReadDigits(text, 0, 4);
  f.month = ReadDigits(text, 4, 2);
  f.day = ReadDigits(text, 6, 2);
  f.hour = ReadDigits(text, 9, 2);
  f.minute = ReadDigits(text, 11, 2);
  f.second = ReadDigits(text, 13, 2);
  f.millisecond = ReadDigits(text, 16, 3);
  return MakeUtcTime(f);  // a field that is not all digits reads as -1 and is out of range
}

std::optional<UtcTime> ParseIsoUtc(const std::string& text) {
  CalendarFields f;
  char tail[4] = {};
  const int n = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%3s", &f.year, &f.month, &f.day,
                            &f.hour, &f.minute, &f.second, tail);
  if (n < 6 || (n == 7 && std::string(tail) != "Z")) {
    return std::nullopt;
  }
  return MakeUtcTime(f);  // a day past the end of its month is refused, not carried
}

std::string IsoUtc(UtcTime time, bool milliseconds) {
  const CalendarFields f = BreakUtcTime(time);
  char text[40];
  if (milliseconds) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", f.year, f.month, f.day,
                  f.hour, f.minute, f.second, f.millisecond);
  } else {
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", f.year, f.month, f.day,
                  f.hour, f.minute, f.second);
  }
  return text;
}

std::string MinuteText(UtcTime time) {
  const CalendarFields f = BreakUtcTime(time);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", f.year, f.month, f.day, f.hour,
                f.minute);
  return text;
}

}  // namespace ombrix
