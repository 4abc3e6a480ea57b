#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "storage/review_values.h"

namespace ombrix {

// Where a review worker waits between frames: the frame wait, and while paused, until resumed.
// A worker passes it holding no other lock. A newer reader (a readerGeneration that no longer
// matches the worker's) ends every wait within about 20 ms, also a paused one.
class PauseGate {
 public:
  void Pause();
  void Resume();
  bool paused() const;

  // Waits frameWait, then for as long as the gate is paused. False when the reader's generation
  // is no longer current (the worker stops); true when it may read the next frame.
  bool Pass(const ReviewValues& review, int generation, std::chrono::milliseconds frameWait);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool paused_ = false;
};

}  // namespace ombrix
