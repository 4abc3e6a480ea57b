#pragma once

#include <cstdint>

namespace ombrix {

// The sums of one frame's comparison with its reference frame: for every pixel the excess
// e = cur - ref - threshold counts when it is positive.
struct FrameExcess {
  int32_t pixelCount = 0;  // pixels with e > 0 (at most 307200)
  int32_t excessSum = 0;   // sum of the positive e (at most 307200 * 255)
  int64_t sx = 0;          // sum of column * e
  int64_t sy = 0;          // sum of row * e
};

// Compares two 640x480 frames through a threshold table. Integer arithmetic only, no allocation;
// the pixel loop is branch-free so that it vectorises.
FrameExcess MeasureFrameExcess(const uint8_t* cur, const uint8_t* ref, const uint8_t* thresholds);

}  // namespace ombrix
