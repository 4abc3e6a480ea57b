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
  bool Running() const { return thread_.joinable(); }

 private:
  void Run(std::stop_token stop);

  std::string name_;
  ThreadPriority priority_;
  std::chrono::milliseconds period_;
  std::function<void()> pass_;
  Notices* notices_;
  bool refusalReported_ = false;  // the loop's thread only (threads of one loop never overlap)
  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::jthread thread_;
};

// Applies a priority to the calling thread; false when the system refused.
bool SetCurrentThreadPriority(ThreadPriority priority);

// What a loop reports when the system refuses its raised priority.
std::string PriorityRefusedText(const std::string& threadName);

}  // namespace ombrix
