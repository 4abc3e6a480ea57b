#include "review/pause_gate.h"

namespace ombrix {
namespace {

// How often a waiting worker looks whether a newer reader has started.
constexpr std::chrono::milliseconds kCancelPoll{20};

}  // namespace

void PauseGate::Pause() {
  std::lock_guard lock(mutex_);
  paused_ = true;
}

void PauseGate::Resume() {
  {
    std::lock_guard lock(mutex_);
    paused_ = false;
  }
  changed_.notify_all();
}

bool PauseGate::paused() const {
  std::lock_guard lock(mutex_);
  return paused_;
}

bool PauseGate::Pass(const ReviewValues& review, int generation,
                     std::chrono::milliseconds frameWait) {
  const auto waitEnd = std::chrono::steady_clock::now() + frameWait;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!review.ReaderCurrent(generation)) {
      return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= waitEnd && !paused_) {
      return true;
    }
    auto until = now + kCancelPoll;
    if (!paused_ && waitEnd < until) {
      until = waitEnd;
    }
    changed_.wait_until(lock, until);
  }
}

}  // namespace ombrix
