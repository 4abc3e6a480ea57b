#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "base/notice.h"

namespace ombrix {

// How much CPU a worker asks for. Raising a thread above normal needs privileges; the loop asks
// and carries on at normal when the system says no. Lowering always works.
enum class ThreadPriority { kTimeCritical, kNormal, kBelowNormal, kLowest };

// A thread that runs one pass, waits its period, and runs the next pass until stopped. The wait
// ends at once when Stop() is called, so a stop never waits out a long period. The owner must
// call Stop() (or destroy the loop) before anything the pass uses is freed. A raised priority
// that the system refuses is said once (a warning), from the loop's thread, with what would allow
// it.
class WorkerLoop {
 public:
  WorkerLoop(std::string name, ThreadPriority priority, std::chrono::milliseconds period,
             std::function<void()> pass, Notices* notices = nullptr);
  ~WorkerLoop();
  WorkerLoop(const WorkerLoop&) = delete;
  WorkerLoop& operator=(const WorkerLoop&) = delete;

  void Start();
  // Asks the loop to stop after the pass in progress and joins the thread. Safe to call twice.
  void Stop();
  // Ends the wait in progress, or the next one, at once: the next pass comes without the period.
  void Wake();

 private:
  void Run(std::stop_token stop);

  std::string name_;
  ThreadPriority priority_;
  std::chrono::milliseconds period_;
  std::function<void()> pass_;
  Notices* notices_;
  bool refusalReported_ = false;  // the loop's thread only (threads of one loop never overlap)
  std::mutex mutex_;
  bool woken_ = false;  // under mutex_
  std::condition_variable_any wake_;
  std::jthread thread_;
};

}  // namespace ombrix
