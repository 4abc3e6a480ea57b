#include "base/calendar_time.h"

#include <ctime>

namespace ombrix {
namespace {

constexpr int kMinYear = 1900;
constexpr int kMaxYear = 9999;

// Days since 1970-01-01 of a proleptic Gregorian date; linear in the day, so a day past the end
// of its month lands in the next month.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

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

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

}  // namespace

std::optional<CalendarTime> MakeCalendarTime(int year, int month, int day, int hour, int minute,
                                             int second) {
  if (year < kMinYear || year > kMaxYear || month < 1 || month > 12 || day < 1 || day > 31 ||
      hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    return std::nullopt;
  }
  const int64_t days = DaysFromCivil(year, month, day);
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

std::optional<CalendarFields> BreakCalendarTime(CalendarTime time) {
  const int64_t days = FloorDiv(time, 86400);
  const int64_t secs = time - days * 86400;
  CalendarFields f;
  CivilFromDays(days, f.year, f.month, f.day);
  if (f.year < kMinYear || f.year > kMaxYear) {
    return std::nullopt;
  }
  f.hour = static_cast<int>(secs / 3600);
  f.minute = static_cast<int>(secs / 60 % 60);
  f.second = static_cast<int>(secs % 60);
  f.dayOfWeek = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  return f;
}

std::optional<std::string> FormatCalendarTime(CalendarTime time, const char* pattern) {
  const auto f = BreakCalendarTime(time);
  if (!f) {
    return std::nullopt;
  }
  if (pattern == nullptr || *pattern == '\0') {
    return std::string();
  }
  std::tm tm{};
  tm.tm_year = f->year - 1900;
  tm.tm_mon = f->month - 1;
  tm.tm_mday = f->day;
  tm.tm_hour = f->hour;
  tm.tm_min = f->minute;
  tm.tm_sec = f->second;
  tm.tm_wday = f->dayOfWeek;
  tm.tm_yday = static_cast<int>(FloorDiv(time, 86400) - DaysFromCivil(f->year, 1, 1));
  tm.tm_isdst = 0;
  char buffer[128];
  const size_t n = std::strftime(buffer, sizeof buffer, pattern, &tm);
  return std::string(buffer, n);
}

}  // namespace ombrix
