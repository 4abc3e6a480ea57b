#pragma once

#include <cstdint>

// A function marked OMBRIX_AVX2_CLONES is compiled twice, for AVX2 and for the baseline, and the
// variant the processor can run is chosen when the program is loaded: the detection pass's pixel
// loops. Sanitizer builds define OMBRIX_NO_TARGET_CLONES: the resolver of a cloned function runs
// while the program is being loaded, before the sanitizer runtime is ready for instrumented code.
#ifdef OMBRIX_NO_TARGET_CLONES
#define OMBRIX_AVX2_CLONES
#else
#define OMBRIX_AVX2_CLONES __attribute__((target_clones("avx2", "default")))
#endif

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
