#include "detect/frame_excess.h"

#include "capture/frame_ring.h"

namespace ombrix {

// One row at a time with row-local accumulators: within a row the pixel count fits 16 bits and
// the sums (at most 640 * 255 and 639 * 640 * 255) fit 32 bits, which keeps the vector lanes
// narrow; the row totals go into the frame's wider sums. Clamping e at 0 makes a pixel that does
// not count add nothing, so the body needs no branch. The AVX2 variant is chosen at load time
// where the processor has it (not in sanitizer builds).
OMBRIX_AVX2_CLONES FrameExcess MeasureFrameExcess(const uint8_t* __restrict cur,
                                                  const uint8_t* __restrict ref,
                                                  const uint8_t* __restrict thresholds) {
  FrameExcess result;
  for (int y = 0; y < kFrameHeight; ++y) {
    const size_t rowStart = static_cast<size_t>(y) * kFrameWidth;
    const uint8_t* c = cur + rowStart;
    const uint8_t* r = ref + rowStart;
    const uint8_t* t = thresholds + rowStart;
    int16_t rowCount = 0;
    int32_t rowSum = 0;
    int32_t rowSx = 0;
    for (int x = 0; x < kFrameWidth; ++x) {
      int16_t e = static_cast<int16_t>(int16_t{c[x]} - int16_t{r[x]} - int16_t{t[x]});
      e = e > 0 ? e : int16_t{0};
      rowCount = static_cast<int16_t>(rowCount + (e != 0));
      rowSum += e;
      rowSx += int32_t{static_cast<int16_t>(x)} * int32_t{e};
    }
    result.pixelCount += rowCount;
    result.excessSum += rowSum;
    result.sx += rowSx;
    result.sy += static_cast<int64_t>(y) * rowSum;
  }
  return result;
}

}  // namespace ombrix
