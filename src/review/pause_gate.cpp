#include "review/pause_gate.h"

namespace ombrix {

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

bool PauseGate::Pass(std::stop_token stop, std::chrono::milliseconds frameWait) {
  const auto waitEnd = std::chrono::steady_clock::now() + frameWait;
  std::unique_lock lock(mutex_);
  changed_.wait_until(lock, stop, waitEnd, [] { return false; });
  changed_.wait(lock, stop, [this] { return !paused_; });
  return !stop.stop_requested();
}

}  // namespace ombrix
