#include "capture/frame_ring.h"

namespace ombrix {

void FrameRing::StoreFrame(const uint8_t* sample, const SystemTime& stamp) {
  const uint32_t w = writeIndex.load(std::memory_order_relaxed);
  stamps[w] = stamp;
  if (!buffers_[w]) {
    buffers_[w] = std::make_unique_for_overwrite<uint8_t[]>(kFrameBytes);
  }
  uint8_t* out = buffers_[w].get();
  if (sampleSize.load(std::memory_order_relaxed) == kSampleSize720) {
    // 720x480: skip 7 pixels, then of the next 704 drop every 11th; output column c takes input
    // pixel 7 + c + c / 10. The luma of pixel p is byte 2p of the row.
    for (int row = 0; row < kFrameHeight; ++row) {
      const uint8_t* in = sample + static_cast<size_t>(row) * 1440;
      uint8_t* dst = out + static_cast<size_t>(row) * kFrameWidth;
      for (int c = 0; c < kFrameWidth; ++c) {
        dst[c] = in[2 * (7 + c + c / 10)];
      }
    }
  } else {
    for (int i = 0; i < kFrameBytes; ++i) {
      out[i] = sample[2 * i];
    }
  }
  // Publish in this order: the slot's pointer, the running count, then writeIndex. Both the count
  // and writeIndex are release stores, so a reader that acquires either one sees every pixel and
  // the stamp of each frame it counts.
  frames[w].store(out, std::memory_order_release);
  framesStored.fetch_add(1, std::memory_order_release);
  writeIndex.store((w + 1) % kRingSlots, std::memory_order_release);
}

}  // namespace ombrix
