#include "app/service_notify.h"

#include <systemd/sd-daemon.h>

namespace ombrix {

ServiceNotifier::ServiceNotifier() {
  uint64_t usec = 0;
  // Positive only when WATCHDOG_USEC is set (and WATCHDOG_PID, when set, names this process).
  if (sd_watchdog_enabled(0, &usec) > 0) {
    watchdog_ = std::chrono::microseconds(usec);
  }
}

ServiceNotifier::~ServiceNotifier() {
  StopWatch();
}

void ServiceNotifier::Ready() {
  sd_notify(0, "READY=1");
  if (watchdog_.count() > 0 && !watch_.joinable() && !stopping_) {
    watch_ = std::jthread([this](std::stop_token stop) { Watch(stop); });
  }
}

void ServiceNotifier::Status(const std::string& text) {
  sd_notify(0, ("STATUS=" + text).c_str());
}

void ServiceNotifier::Stopping() {
  if (stopping_) {
    return;
  }
  stopping_ = true;
  StopWatch();
  sd_notify(0, "STOPPING=1");
}

void ServiceNotifier::StopWatch() {
  if (watch_.joinable()) {
    watch_.request_stop();  // wakes the wait: it is tied to the thread's stop token
    watch_.join();
  }
}

// Pings at half the watchdog interval, as systemd advises, and only when at least one detection
// pass has ended since the previous look: a detection thread stuck for the whole interval gets
// no ping, and systemd's timer runs out.
void ServiceNotifier::Watch(std::stop_token stop) {
  const auto period = watchdog_ / 2;
  uint64_t seen = passes_.load(std::memory_order_relaxed);
  while (!stop.stop_requested()) {
    {
      std::unique_lock lock(mutex_);
      if (wake_.wait_for(lock, stop, period, [] { return false; }) || stop.stop_requested()) {
        break;
      }
    }
    const uint64_t passes = passes_.load(std::memory_order_relaxed);
    if (passes != seen) {
      seen = passes;
      sd_notify(0, "WATCHDOG=1");
    }
  }
}

}  // namespace ombrix
