#pragma once

#include <cstdint>
#include <vector>

#include "capture/frame_ring.h"

namespace ombrix::test {

// What a ring slot holds, copied out; empty pixels when the slot has never been filled.
struct SlotCopy {
  std::vector<uint8_t> pixels;
  UtcTime stamp;
};

inline SlotCopy CopyOfSlot(const FrameRing& ring, uint32_t slot) {
  SlotCopy copy{std::vector<uint8_t>(kFrameBytes), {}};
  if (!ring.CopySlot(slot, copy.pixels.data(), &copy.stamp)) {
    copy.pixels.clear();
  }
  return copy;
}

}  // namespace ombrix::test
