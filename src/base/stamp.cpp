#include "base/stamp.h"

#include <algorithm>
#include <cstdio>

namespace ombrix {
namespace {

// Leading-integer conversion of a fixed-width piece: blanks, an optional sign, then digits; 0
// when no digit follows.
int LeadingInt(const std::string& text, size_t pos, size_t width) {
  if (pos >= text.size()) {
    return 0;
  }
  const size_t end = std::min(text.size(), pos + width);
  size_t i = pos;
  while (i < end && (text[i] == ' ' || text[i] == '\t')) {
    ++i;
  }
  bool negative = false;
  if (i < end && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  int value = 0;
  while (i < end && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i] - '0');
    ++i;
  }
  return negative ? -value : value;
}

Stamp StampOf(CalendarTime time, int milliseconds) {
  const auto head = FormatStampSeconds(time);
  if (!head || head->empty()) {
    return {};
  }
  char ms[8];
  std::snprintf(ms, sizeof ms, "%03d", milliseconds);
  return *head + ms;
}

}  // namespace

Stamp MakeStamp(const SystemTime& t) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d_%02d%02d%02d_%03d", t.year, t.month, t.day,
                t.hour, t.minute, t.second, t.milliseconds);
  return buffer;
}

std::optional<std::string> FormatStampSeconds(CalendarTime time) {
  return FormatCalendarTime(time, "%Y%m%d_%H%M%S_");
}

std::optional<ParsedStamp> ParseStamp(const std::string& stamp) {
  const auto time =
      MakeCalendarTime(LeadingInt(stamp, 0, 4), LeadingInt(stamp, 4, 2), LeadingInt(stamp, 6, 2),
                       LeadingInt(stamp, 9, 2), LeadingInt(stamp, 11, 2), LeadingInt(stamp, 13, 2));
  if (!time) {
    return std::nullopt;
  }
  return ParsedStamp{*time, LeadingInt(stamp, 16, 3)};
}

Stamp ShiftStamp(const Stamp& stamp, int64_t deltaMilliseconds) {
  const auto parsed = ParseStamp(stamp);
  if (!parsed) {
    return {};
  }
  int64_t ms = parsed->milliseconds + deltaMilliseconds;
  int64_t seconds = ms / 1000;
  ms %= 1000;
  if (ms < 0) {
    ms += 1000;
    seconds -= 1;
  }
  return StampOf(parsed->time + seconds, static_cast<int>(ms));
}

Stamp NextMinuteStamp(const Stamp& stamp) {
  const auto parsed = ParseStamp(stamp);
  if (!parsed) {
    return {};
  }
  const CalendarTime minuteStart = parsed->time - ((parsed->time % 60) + 60) % 60;
  return StampOf(minuteStart + 60, 0);
}

Stamp NextDayStamp(const Stamp& stamp) {
  const auto parsed = ParseStamp(stamp);
  if (!parsed) {
    return {};
  }
  const CalendarTime dayStart = parsed->time - ((parsed->time % 86400) + 86400) % 86400;
  return StampOf(dayStart + 86400, 0);
}

CalendarTime ToCalendarTime(const SystemTime& t) {
  return MakeCalendarTime(t.year, t.month, t.day, t.hour, t.minute, t.second).value_or(0);
}

SystemTime ToSystemTime(CalendarTime time, int milliseconds) {
  SystemTime t;
  if (const auto f = BreakCalendarTime(time)) {
    t.year = static_cast<uint16_t>(f->year);
    t.month = static_cast<uint16_t>(f->month);
    t.dayOfWeek = static_cast<uint16_t>(f->dayOfWeek);
    t.day = static_cast<uint16_t>(f->day);
    t.hour = static_cast<uint16_t>(f->hour);
    t.minute = static_cast<uint16_t>(f->minute);
    t.second = static_cast<uint16_t>(f->second);
    t.milliseconds = static_cast<uint16_t>(milliseconds);
  }
  return t;
}

}  // namespace ombrix
