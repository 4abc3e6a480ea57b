#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

namespace ombrix {

// A count of frames that one thread moves forward and others read or wait on: the frames the
// detector has moved past, which the fast replay waits on so it never overwrites a frame still
// needed. Set is a release store, Get an acquire load, so a reader that sees the count also sees
// everything the counting thread did before. Set takes a lock only to wake waiters without a
// lost wake-up; it allocates nothing.
class FrameProgress {
 public:
  uint64_t Get() const { return count_.load(std::memory_order_acquire); }
  void Set(uint64_t count) {
    {
      std::lock_guard lock(mutex_);
      count_.store(count, std::memory_order_release);
    }
    changed_.notify_all();
  }
  // Waits until the count differs from `seen`; false when a stop was requested first.
  bool WaitPast(uint64_t seen, std::stop_token stop) const {
    std::unique_lock lock(mutex_);
    return changed_.wait(lock, stop,
                         [&] { return count_.load(std::memory_order_acquire) != seen; });
  }

 private:
  std::atomic<uint64_t> count_{0};
  mutable std::mutex mutex_;
  mutable std::condition_variable_any changed_;
};

}  // namespace ombrix
