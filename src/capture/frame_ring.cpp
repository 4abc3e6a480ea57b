#include "capture/frame_ring.h"

#include <cstring>

namespace ombrix {
namespace {

// Row r of the output frame from a 720x480 sample: skip 7 pixels, then of the next 704 drop every
// 11th; output column c takes input pixel 7 + c + c / 10. The luma of pixel p is byte 2p.
void ConvertRow720(const uint8_t* sample, int row, uint8_t* dst) {
  const uint8_t* in = sample + static_cast<size_t>(row) * 1440;
  for (int c = 0; c < kFrameWidth; ++c) {
    dst[c] = in[2 * (7 + c + c / 10)];
  }
}

void ConvertRow640(const uint8_t* sample, int row, uint8_t* dst) {
  const uint8_t* in = sample + static_cast<size_t>(row) * kFrameWidth * 2;
  for (int c = 0; c < kFrameWidth; ++c) {
    dst[c] = in[2 * c];
  }
}

}  // namespace

// ThreadSanitizer does not model fences, and GCC 12 and later say so. Every access they order here
// is atomic, so no race can hide behind them; the slot's buffer pointer is ordered by the
// sequence's own release store and acquire load, which the sanitizer does follow.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif

void FrameRing::StoreFrame(const uint8_t* sample, UtcTime stamp) {
  const uint64_t n = framesStored.load(std::memory_order_relaxed);  // this thread's own count
  const uint32_t w = static_cast<uint32_t>(n % kRingSlots);
  Slot& slot = slots_[w];
  if (!slot.pixels) {
    slot.pixels = std::make_unique<std::atomic<uint64_t>[]>(kWords);
  }
  // The odd mark goes first, and the release fence keeps every store below after it: a reader
  // whose copy loads any of them also sees this mark when it checks the sequence afterwards.
  slot.sequence.store(2 * n + 1, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  const bool wide = sampleSize.load(std::memory_order_relaxed) == kSampleSize720;
  alignas(8) uint8_t row[kFrameWidth];
  std::atomic<uint64_t>* words = slot.pixels.get();
  for (int r = 0; r < kFrameHeight; ++r) {
    if (wide) {
      ConvertRow720(sample, r, row);
    } else {
      ConvertRow640(sample, r, row);
    }
    for (int k = 0; k < kRowWords; ++k) {
      uint64_t word;
      std::memcpy(&word, row + 8 * k, 8);
      words[r * kRowWords + k].store(word, std::memory_order_relaxed);
    }
  }
  slot.stamp.store(stamp.time_since_epoch().count(), std::memory_order_relaxed);
  slot.sequence.store(2 * n + 2, std::memory_order_release);
  framesStored.store(n + 1, std::memory_order_release);
  writeIndex.store((w + 1) % kRingSlots, std::memory_order_release);
}

bool FrameRing::CopyValidated(const Slot& slot, uint64_t expected, uint8_t* out, UtcTime* stamp) {
  const uint64_t before = slot.sequence.load(std::memory_order_acquire);
  if (before == 0 || before % 2 != 0 || (expected != 0 && before != expected)) {
    return false;
  }
  if (out != nullptr) {
    const std::atomic<uint64_t>* words = slot.pixels.get();
    for (int k = 0; k < kWords; ++k) {
      const uint64_t word = words[k].load(std::memory_order_relaxed);
      std::memcpy(out + 8 * static_cast<size_t>(k), &word, 8);
    }
  }
  const int64_t stamp_ms = slot.stamp.load(std::memory_order_relaxed);
  // The acquire fence pairs with the writer's release fence: if any load above read a value of a
  // later write, the sequence loaded below is that write's odd mark or later.
  std::atomic_thread_fence(std::memory_order_acquire);
  if (slot.sequence.load(std::memory_order_relaxed) != before) {
    return false;
  }
  if (stamp != nullptr) {
    *stamp = UtcTime{std::chrono::milliseconds{stamp_ms}};
  }
  return true;
}

#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

bool FrameRing::CopyFrame(uint64_t n, uint8_t* out, UtcTime* stamp) const {
  return CopyValidated(slots_[n % kRingSlots], 2 * n + 2, out, stamp);
}

bool FrameRing::CopySlot(uint32_t slot, uint8_t* out, UtcTime* stamp) const {
  return CopyValidated(slots_[slot % kRingSlots], 0, out, stamp);
}

bool FrameRing::CopyNewest(uint8_t* out, UtcTime* stamp) const {
  // The writer would have to store 64 frames during one copy to defeat a retry; a few suffice.
  for (int attempt = 0; attempt < 4; ++attempt) {
    const uint64_t stored = FramesStored();
    if (stored == 0) {
      return false;
    }
    if (CopyFrame(stored - 1, out, stamp)) {
      return true;
    }
  }
  return false;
}

std::optional<UtcTime> FrameRing::NewestStamp() const {
  UtcTime stamp;
  if (CopyNewest(nullptr, &stamp)) {
    return stamp;
  }
  return std::nullopt;
}

}  // namespace ombrix
