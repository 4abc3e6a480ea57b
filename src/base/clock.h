#pragma once

#include "base/utc_time.h"

namespace ombrix {

// Where the station learns the time. Tests put their own clock in to drive schedules, retention
// and file names.
class Clock {
 public:
  virtual ~Clock() = default;
  // The wall clock in UTC, to the millisecond.
  virtual UtcTime UtcNow() const = 0;
  // The wall clock as local calendar fields (the detection schedule may run on local time).
  virtual CalendarFields LocalNow() const = 0;
};

class SystemClock final : public Clock {
 public:
  UtcTime UtcNow() const override;
  CalendarFields LocalNow() const override;
};

}  // namespace ombrix
