#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace ombrix {

// Tells systemd how the station stands, through sd_notify: "READY=1" once the station's threads
// run, "WATCHDOG=1" while detection passes keep coming, "STATUS=..." with the status line, and
// "STOPPING=1" when the station stops. A detection thread that hangs stops the watchdog pings, so
// systemd (WatchdogSec= in the unit) ends and restarts the process.
//
// Outside systemd (NOTIFY_SOCKET not set) every call does nothing and no thread is started.
// The watchdog interval is systemd's WATCHDOG_USEC, read when the notifier is made.
class ServiceNotifier {
 public:
  ServiceNotifier();
  ~ServiceNotifier();
  ServiceNotifier(const ServiceNotifier&) = delete;
  ServiceNotifier& operator=(const ServiceNotifier&) = delete;

  // Called by the detection thread after every pass: lock-free, allocates nothing.
  void DetectionPassDone() { passes_.fetch_add(1, std::memory_order_relaxed); }

  // READY=1; starts the watchdog thread when systemd asked for pings.
  void Ready();
  // STATUS=text (shown by systemctl status).
  void Status(const std::string& text);
  // STOPPING=1; the watchdog pings end, as the detection thread is about to stop. Safe to call
  // twice and without Ready().
  void Stopping();

  // Zero when systemd asked for no watchdog pings.
  std::chrono::microseconds watchdogInterval() const { return watchdog_; }

 private:
  void Watch(std::stop_token stop);
  void StopWatch();

  std::atomic<uint64_t> passes_{0};
  std::chrono::microseconds watchdog_{0};
  bool stopping_ = false;
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::jthread watch_;  // last: stopped and joined before what it uses goes
};

}  // namespace ombrix
