#pragma once

#include <atomic>

namespace ombrix {

// A value shared between threads where each reader only needs to see either the old or the new
// value of this one field (settings, counters shown in the window). Loads and stores are relaxed
// atomics: no data race, no ordering promised across fields.
template <typename T>
class Relaxed {
 public:
  constexpr Relaxed(T value = T{}) noexcept : value_(value) {}
  Relaxed(const Relaxed&) = delete;
  Relaxed& operator=(const Relaxed&) = delete;

  T load() const noexcept { return value_.load(std::memory_order_relaxed); }
  void store(T value) noexcept { value_.store(value, std::memory_order_relaxed); }
  operator T() const noexcept { return load(); }
  Relaxed& operator=(T value) noexcept {
    store(value);
    return *this;
  }

 private:
  std::atomic<T> value_;
  static_assert(std::atomic<T>::is_always_lock_free);
};

}  // namespace ombrix
