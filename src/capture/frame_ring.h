#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/clock.h"
#include "base/system_time.h"

namespace ombrix {

inline constexpr int kFrameWidth = 640;
inline constexpr int kFrameHeight = 480;
inline constexpr int kFrameBytes = kFrameWidth * kFrameHeight;  // 307200
inline constexpr int kRingSlots = 64;
inline constexpr uint32_t kSampleSize640 = 614400;  // 640x480 YUYV
inline constexpr uint32_t kSampleSize720 = 691200;  // 720x480 YUYV

// A frame distance such as triggerGap as a distance in the ring: taken modulo 64, never negative.
inline uint32_t RingDistance(int32_t frames) {
  return static_cast<uint32_t>(((frames % kRingSlots) + kRingSlots) % kRingSlots);
}

// The 64 most recent frames with their UTC capture times. One capture thread writes; any number
// of threads read. A slot is published by the release store of writeIndex after its stamp and
// pixels are written; readers load writeIndex with acquire ordering. A reader that falls 64 or
// more frames behind has unread slots overwritten; framesStored (the total count of frames ever
// stored) lets it tell by how much it was lapped.
class FrameRing {
 public:
  FrameRing() = default;
  FrameRing(const FrameRing&) = delete;
  FrameRing& operator=(const FrameRing&) = delete;

  // The capture entry point for every source: takes the capture time from the clock before
  // anything else, then stores the sample. A sample without bytes stores nothing.
  void SampleArrived(const Clock& clock, const uint8_t* sampleBytes) {
    const SystemTime arrival = clock.UtcNow();
    if (sampleBytes == nullptr) {
      return;
    }
    StoreFrame(sampleBytes, arrival);
  }

  // Converts one YUYV sample (sampleSize decides the layout) into the slot at writeIndex and
  // advances writeIndex. Only the capture thread calls this.
  void StoreFrame(const uint8_t* sampleBytes, const SystemTime& stamp);

  // The frame in a slot, or nullptr while that slot has never been written.
  const uint8_t* Frame(uint32_t slot) const {
    return frames[slot % kRingSlots].load(std::memory_order_acquire);
  }
  // The newest slot, (writeIndex + 63) mod 64; it may still be empty.
  uint32_t NewestSlot() const { return (writeIndex.load(std::memory_order_acquire) + 63) % 64; }

  std::array<std::atomic<const uint8_t*>, kRingSlots> frames{};
  std::array<SystemTime, kRingSlots> stamps{};
  std::atomic<uint32_t> writeIndex{0};
  std::atomic<uint32_t> sampleSize{kSampleSize640};
  std::atomic<uint64_t> framesStored{0};

 private:
  std::array<std::unique_ptr<uint8_t[]>, kRingSlots> buffers_;
};

}  // namespace ombrix
