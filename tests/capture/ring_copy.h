#pragma once

#include <cstdint>
#include <vector>

#include "capture/frame_ring.h"

namespace ombrix::test {

// Frame n of the ring and its capture time, copied out; empty pixels when it is not there.
struct FrameCopy {
  std::vector<uint8_t> pixels;
  UtcTime stamp;
};

inline FrameCopy CopyOfFrame(const FrameRing& ring, uint64_t n) {
  FrameCopy copy{std::vector<uint8_t>(kFrameBytes), {}};
  if (!ring.CopyFrame(n, copy.pixels.data(), &copy.stamp)) {
    copy.pixels.clear();
  }
  return copy;
}

}  // namespace ombrix::test
