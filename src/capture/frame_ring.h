#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "base/clock.h"
#include "base/frame.h"
#include "base/utc_time.h"

namespace ombrix {

inline constexpr int kRingSlots = 64;
inline constexpr uint32_t kSampleSize640 = 614400;  // 640x480 YUYV
inline constexpr uint32_t kSampleSize720 = 691200;  // 720x480 YUYV

// A frame distance such as triggerGap as a distance in the ring: taken modulo 64, never negative.
inline uint32_t RingDistance(int32_t frames) {
  return static_cast<uint32_t>(((frames % kRingSlots) + kRingSlots) % kRingSlots);
}

// The 64 most recent frames with their UTC capture times. One capture thread writes; any number
// of threads read, and a reader never sees a slot's memory directly: it copies a frame out and
// learns afterwards whether the copy is whole.
//
// Frames are numbered from 0 in the order they are stored; frame n lives in slot n % 64 and
// framesStored counts the frames stored so far. Each slot carries a sequence number: 2n + 1 while
// frame n is being written into it, 2n + 2 once frame n and its stamp are complete. The writer
// marks the slot odd, issues a release fence and stores the pixels and the stamp (its UtcTime in
// one word) as relaxed stores of 8-byte atomic words; a reader checks the sequence (acquire),
// copies the words with relaxed loads, issues an acquire fence and checks the sequence again. A
// word it read from a later write brings that write's odd mark with it (fence to fence), so the
// second check fails and the copy is refused, never used half old, half new. On x86 these atomic
// loads and stores are plain moves and the fences cost nothing.
class FrameRing {
 public:
  FrameRing() = default;
  FrameRing(const FrameRing&) = delete;
  FrameRing& operator=(const FrameRing&) = delete;

  // The capture entry point for the paced sources: takes the capture time from the clock before
  // anything else, then stores the sample. A sample without bytes stores nothing.
  void SampleArrived(const Clock& clock, const uint8_t* sampleBytes) {
    const UtcTime arrival = clock.UtcNow();
    if (sampleBytes == nullptr) {
      return;
    }
    StoreFrame(sampleBytes, arrival);
  }

  // Converts one YUYV sample (sampleSize decides the layout) into the slot at writeIndex and
  // advances writeIndex. Only the capture thread calls this; it allocates only the first time a
  // slot is filled.
  void StoreFrame(const uint8_t* sampleBytes, UtcTime stamp);

  // Frames stored so far (acquire): frames up to this count minus one may be read.
  uint64_t FramesStored() const { return framesStored.load(std::memory_order_acquire); }

  // Copies frame n (kFrameBytes into out, which may be null when only the stamp is wanted) and
  // its capture time. False, with out and stamp unusable, when frame n has not been stored yet,
  // has been overwritten, or was being overwritten during the copy.
  bool CopyFrame(uint64_t n, uint8_t* out, UtcTime* stamp) const;
  // The newest frame and its capture time; false while the ring is empty.
  bool CopyNewest(uint8_t* out, UtcTime* stamp) const;
  // The capture time of the newest frame; nullopt while the ring is empty.
  std::optional<UtcTime> NewestStamp() const;

  std::atomic<uint32_t> writeIndex{0};
  std::atomic<uint32_t> sampleSize{kSampleSize640};
  std::atomic<uint64_t> framesStored{0};

 private:
  static constexpr int kWords = kFrameBytes / 8;
  static constexpr int kRowWords = kFrameWidth / 8;

  struct alignas(64) Slot {
    std::atomic<uint64_t> sequence{0};  // 0: never filled; 2n + 1: frame n being written
    std::atomic<int64_t> stamp{0};      // milliseconds since 1970
    // Made by the writer before the slot's first sequence mark; read only after an even,
    // non-zero sequence has been acquired.
    std::unique_ptr<std::atomic<uint64_t>[]> pixels;
  };

  // Copies the slot's content when its sequence is `expected`.
  static bool CopyValidated(const Slot& slot, uint64_t expected, uint8_t* out, UtcTime* stamp);

  std::array<Slot, kRingSlots> slots_;
};

}  // namespace ombrix
