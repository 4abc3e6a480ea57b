#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace ombrix {

// Where the delivering threads of the simulated and file sources take their steady time and do
// their waiting, so tests can run them on a virtual time without real sleeps.
class Pacer {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~Pacer() = default;
  virtual TimePoint Now() const = 0;
  // Returns at the deadline, or earlier when a stop is requested; false when stopped.
  virtual bool SleepUntil(TimePoint deadline, std::stop_token stop) = 0;
};

// The steady clock; a stop request ends a sleep at once. Safe for several threads.
class SteadyPacer final : public Pacer {
 public:
  TimePoint Now() const override { return std::chrono::steady_clock::now(); }
  bool SleepUntil(TimePoint deadline, std::stop_token stop) override {
    std::unique_lock lock(mutex_);
    wake_.wait_until(lock, stop, deadline, [] { return false; });
    return !stop.stop_requested();
  }

 private:
  std::mutex mutex_;
  std::condition_variable_any wake_;
};

}  // namespace ombrix
