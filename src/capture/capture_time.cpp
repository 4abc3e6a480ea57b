#include "capture/capture_time.h"

namespace ombrix {
namespace {

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - (a % b != 0 && (a < 0) != (b < 0) ? 1 : 0);
}

}  // namespace

UtcTime CaptureTimeMapper::ToUtc(int64_t buffer_us, UtcTime wallNow, int64_t monotonicNow_us) {
  // The wall clock is read to the millisecond, truncated: its middle is the better estimate.
  const int64_t measured = wallNow.time_since_epoch().count() * 1000 + 500 - monotonicNow_us;
  if (!offset_us_ || measured - *offset_us_ > kStepLimit_us ||
      *offset_us_ - measured > kStepLimit_us) {
    offset_us_ = measured;
  } else {
    *offset_us_ += (measured - *offset_us_) / kSmoothing;
  }
  const int64_t age_us = monotonicNow_us - buffer_us;
  if (buffer_us == 0 || age_us < 0 || age_us > kStaleLimit_us) {
    return wallNow;
  }
  return UtcTime{std::chrono::milliseconds{FloorDiv(buffer_us + *offset_us_, 1000)}};
}

}  // namespace ombrix
