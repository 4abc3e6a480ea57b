#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace ombrix {

// Where a review worker waits between frames: the frame wait, and while paused, until resumed. A
// worker passes it holding no other lock. A stop of the worker ends every wait at once, also a
// paused one.
class PauseGate {
 public:
  void Pause();
  void Resume();

  // Waits frameWait, then for as long as the gate is paused. False when the worker's stop was
  // requested (it stops); true when it may read the next frame.
  bool Pass(std::stop_token stop, std::chrono::milliseconds frameWait);

 private:
  std::mutex mutex_;
  std::condition_variable_any changed_;
  bool paused_ = false;
};

}  // namespace ombrix
