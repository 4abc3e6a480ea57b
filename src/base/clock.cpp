#include "base/clock.h"

#include <time.h>

namespace ombrix {

SystemTime SystemClock::UtcNow() const {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm fields{};
  gmtime_r(&ts.tv_sec, &fields);
  SystemTime t;
  t.year = static_cast<uint16_t>(fields.tm_year + 1900);
  t.month = static_cast<uint16_t>(fields.tm_mon + 1);
  t.dayOfWeek = static_cast<uint16_t>(fields.tm_wday);
  t.day = static_cast<uint16_t>(fields.tm_mday);
  t.hour = static_cast<uint16_t>(fields.tm_hour);
  t.minute = static_cast<uint16_t>(fields.tm_min);
  t.second = static_cast<uint16_t>(fields.tm_sec);
  t.milliseconds = static_cast<uint16_t>(ts.tv_nsec / 1000000);
  return t;
}

CalendarFields SystemClock::LocalNow() const {
  const time_t now = time(nullptr);
  tm fields{};
  localtime_r(&now, &fields);
  return CalendarFields{fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday, fields.tm_hour,
                        fields.tm_min,         fields.tm_sec,     fields.tm_wday};
}

CalendarFields FieldsOf(const SystemTime& t) {
  return CalendarFields{t.year, t.month, t.day, t.hour, t.minute, t.second, t.dayOfWeek};
}

}  // namespace ombrix
