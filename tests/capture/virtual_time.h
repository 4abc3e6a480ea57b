#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "base/clock.h"
#include "base/stamp.h"
#include "capture/pacer.h"

namespace ombrix::test {

// Steady time that moves only when a sleep asks it to: a source runs flat out on its schedule.
class VirtualPacer final : public Pacer {
 public:
  TimePoint Now() const override { return TimePoint{} + std::chrono::nanoseconds(now_ns_.load()); }
  bool SleepUntil(TimePoint deadline, std::stop_token stop) override {
    const int64_t target = (deadline - TimePoint{}) / std::chrono::nanoseconds(1);
    int64_t now = now_ns_.load();
    while (target > now && !now_ns_.compare_exchange_weak(now, target)) {
    }
    std::this_thread::yield();
    return !stop.stop_requested();
  }
  void Advance(std::chrono::nanoseconds by) { now_ns_ += by.count(); }

 private:
  std::atomic<int64_t> now_ns_{1'000'000'000'000};
};

// 2026-12-06 22:00:00.000 UTC at the pacer's first reading plus the virtual time since.
class PacerClock final : public Clock {
 public:
  explicit PacerClock(const Pacer& pacer) : pacer_(pacer), origin_(pacer.Now()) {}
  SystemTime UtcNow() const override { return At(pacer_.Now()); }
  CalendarFields LocalNow() const override { return FieldsOf(UtcNow()); }
  SystemTime At(Pacer::TimePoint time) const {
    const int64_t ms = (time - origin_) / std::chrono::milliseconds(1);
    return ToSystemTime(kOrigin + ms / 1000, static_cast<int>(ms % 1000));
  }
  static constexpr CalendarTime kOrigin = 1796594400;

 private:
  const Pacer& pacer_;
  Pacer::TimePoint origin_;
};

}  // namespace ombrix::test
