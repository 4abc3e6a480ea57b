#include "base/clock.h"

#include <time.h>

namespace ombrix {

UtcTime SystemClock::UtcNow() const {
  return std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now());
}

CalendarFields SystemClock::LocalNow() const {
  const time_t now = time(nullptr);
  tm fields{};
  localtime_r(&now, &fields);
  CalendarFields local;
  local.year = fields.tm_year + 1900;
  local.month = fields.tm_mon + 1;
  local.day = fields.tm_mday;
  local.hour = fields.tm_hour;
  local.minute = fields.tm_min;
  local.second = fields.tm_sec;
  return local;
}

}  // namespace ombrix
