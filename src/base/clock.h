#pragma once

#include "base/calendar_time.h"
#include "base/system_time.h"

namespace ombrix {

// Where the station learns the time. Tests put their own clock in to drive schedules, retention
// and file names.
class Clock {
 public:
  virtual ~Clock() = default;
  // The wall clock as UTC calendar fields with milliseconds.
  virtual SystemTime UtcNow() const = 0;
  // The wall clock as local calendar fields (the detection schedule may run on local time).
  virtual CalendarFields LocalNow() const = 0;
};

class SystemClock final : public Clock {
 public:
  SystemTime UtcNow() const override;
  CalendarFields LocalNow() const override;
};

// The calendar fields of a UTC capture time.
CalendarFields FieldsOf(const SystemTime& time);

}  // namespace ombrix
