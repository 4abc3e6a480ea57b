#pragma once

#include <cstdint>
#include <optional>

#include "base/utc_time.h"

namespace ombrix {

// Turns the driver's buffer timestamps, taken on the monotonic clock when the frame was captured,
// into UTC. The offset between the wall clock and the monotonic clock is measured at every
// dequeue and smoothed, so a frame's time follows the steady spacing of the driver's stamps
// rather than the moment the capture thread got round to the buffer. A measured offset that
// differs from the smoothed one by more than kStepLimit_us (the wall clock was stepped) is taken
// at once. Used by the capture thread only.
class CaptureTimeMapper {
 public:
  static constexpr int64_t kStepLimit_us = 100000;
  static constexpr int64_t kSmoothing = 16;  // each measurement moves the offset by 1/16 of it
  static constexpr int64_t kStaleLimit_us = 10000000;

  // The UTC time of a buffer stamped buffer_us on the monotonic clock, given the wall clock and
  // the monotonic clock (microseconds) read together just now. A zero stamp, or one from the
  // future or more than kStaleLimit_us old, cannot be trusted: the wall clock reading is the time.
  UtcTime ToUtc(int64_t buffer_us, UtcTime wallNow, int64_t monotonicNow_us);

 private:
  std::optional<int64_t> offset_us_;  // wall clock minus monotonic clock
};

}  // namespace ombrix
