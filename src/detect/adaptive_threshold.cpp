#include "detect/adaptive_threshold.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "capture/frame_ring.h"

namespace ombrix {
namespace {

// The statistics move towards a sample by (sample - value) / 2^shift, rounded to nearest.
inline int32_t Step(int32_t value, int32_t sample, int shift) {
  const int32_t half = shift > 0 ? 1 << (shift - 1) : 0;
  return value + ((sample - value + half) >> shift);
}

template <bool kClip>
OMBRIX_AVX2_CLONES void LearnPixels(const uint8_t* __restrict cur, const uint8_t* __restrict ref,
                                    const uint8_t* __restrict plain, int16_t* __restrict means,
                                    int16_t* __restrict deviations, uint8_t* __restrict table,
                                    int count, int shift, const AdaptiveThresholdParameters& p) {
  constexpr int32_t kUnit = AdaptiveThreshold::kUnit;
  static_assert(kUnit == 1 << 6, "the threshold is the statistics shifted by 6");
  const int32_t floor = p.floor * kUnit;
  for (int x = 0; x < count; ++x) {
    int32_t d = (int32_t{cur[x]} - int32_t{ref[x]}) * kUnit;
    int32_t mean = means[x];
    int32_t deviation = deviations[x];
    if constexpr (kClip) {
      const int32_t limit = std::max(deviation * p.clipFactor, kUnit);
      d = std::clamp(d, mean - limit, mean + limit);
    }
    mean = Step(mean, d, shift);
    const int32_t off = d > mean ? d - mean : mean - d;
    deviation = Step(deviation, off, shift);
    means[x] = static_cast<int16_t>(mean);
    deviations[x] = static_cast<int16_t>(deviation);
    const int32_t margin = std::max(floor, (deviation * p.noiseFactor16) >> 4);
    const int32_t threshold =
        std::clamp((mean + margin + kUnit / 2) >> 6, int32_t{0}, int32_t{254});
    table[x] = plain[x] == 255 ? uint8_t{255} : static_cast<uint8_t>(threshold);
  }
}

inline bool Over(const uint8_t* cur, const uint8_t* ref, const uint8_t* table, size_t i) {
  return int{cur[i]} - int{ref[i]} - int{table[i]} > 0;
}

// The pixels of a row over their threshold, branch-free (16-bit lanes, as the plain pass).
OMBRIX_AVX2_CLONES int CountOver(const uint8_t* __restrict cur, const uint8_t* __restrict ref,
                                 const uint8_t* __restrict table) {
  int16_t count = 0;
  for (int x = 0; x < kFrameWidth; ++x) {
    const int16_t e = static_cast<int16_t>(int16_t{cur[x]} - int16_t{ref[x]} - int16_t{table[x]});
    count = static_cast<int16_t>(count + (e > 0));
  }
  return count;
}

// The same, marking each pixel of the row over its threshold with 1 in `over`.
OMBRIX_AVX2_CLONES void MarkOver(const uint8_t* __restrict cur, const uint8_t* __restrict ref,
                                 const uint8_t* __restrict table, uint8_t* __restrict over) {
  for (int x = 0; x < kFrameWidth; ++x) {
    const int16_t e = static_cast<int16_t>(int16_t{cur[x]} - int16_t{ref[x]} - int16_t{table[x]});
    over[x] = static_cast<uint8_t>(e > 0);
  }
}

// The first byte 1 from p on, or end.
const uint8_t* NextMarked(const uint8_t* p, const uint8_t* end) {
  const void* found = std::memchr(p, 1, static_cast<size_t>(end - p));
  return found != nullptr ? static_cast<const uint8_t*>(found) : end;
}

}  // namespace

AdaptiveThreshold::AdaptiveThreshold(const AdaptiveThresholdParameters& parameters)
    : parameters_(parameters),
      mean_(std::make_unique<int16_t[]>(kFrameBytes)),
      deviation_(std::make_unique<int16_t[]>(kFrameBytes)),
      table_(std::make_unique<uint8_t[]>(kFrameBytes)),
      lit_(std::make_unique<uint32_t[]>(kFrameBytes)) {
  parameters_.updateEvery = std::max(parameters_.updateEvery, 1);
  parameters_.rateShift = std::clamp(parameters_.rateShift, 0, 12);
  Reset();
}

void AdaptiveThreshold::Reset() {
  std::fill_n(mean_.get(), kFrameBytes, int16_t{0});
  std::fill_n(deviation_.get(), kFrameBytes, int16_t{0});
  std::fill_n(table_.get(), kFrameBytes, uint8_t{255});
  framesLearnt_ = 0;
}

FrameExcess AdaptiveThreshold::Measure(const uint8_t* cur, const uint8_t* ref,
                                       const uint8_t* plain) {
  if (!armed()) {
    return MeasureFrameExcess(cur, ref, plain);
  }
  // Pixels over their threshold, row by row: a branch-free count first, which is all a quiet row
  // costs, and the positions only of rows that have any, marked branch-free and then found.
  const uint8_t* table = table_.get();
  uint32_t* lit = lit_.get();
  size_t litCount = 0;
  uint8_t over[kFrameWidth];
  for (int y = 0; y < kFrameHeight; ++y) {
    const size_t start = static_cast<size_t>(y) * kFrameWidth;
    if (CountOver(cur + start, ref + start, table + start) == 0) {
      continue;
    }
    MarkOver(cur + start, ref + start, table + start, over);
    const uint8_t* const end = over + kFrameWidth;
    for (const uint8_t* p = NextMarked(over, end); p != end; p = NextMarked(p + 1, end)) {
      lit[litCount++] = static_cast<uint32_t>(start + static_cast<size_t>(p - over));
    }
  }
  FrameExcess result;
  const int needed = parameters_.minNeighbours;
  for (size_t k = 0; k < litCount; ++k) {
    const uint32_t i = lit[k];
    const int x = static_cast<int>(i % kFrameWidth);
    const int y = static_cast<int>(i / kFrameWidth);
    int neighbours = 0;
    for (int dy = -1; dy <= 1 && neighbours < needed; ++dy) {
      const int ny = y + dy;
      if (ny < 0 || ny >= kFrameHeight) {
        continue;
      }
      for (int dx = -1; dx <= 1; ++dx) {
        const int nx = x + dx;
        if ((dx != 0 || dy != 0) && nx >= 0 && nx < kFrameWidth &&
            Over(cur, ref, table, static_cast<size_t>(ny) * kFrameWidth + nx)) {
          ++neighbours;
        }
      }
    }
    if (neighbours >= needed) {
      const int e = int{cur[i]} - int{ref[i]} - int{table[i]};
      result.pixelCount += 1;
      result.excessSum += e;
      result.sx += int64_t{x} * e;
      result.sy += int64_t{y} * e;
    }
  }
  return result;
}

void AdaptiveThreshold::Learn(const uint8_t* cur, const uint8_t* ref, const uint8_t* plain) {
  const AdaptiveThresholdParameters& p = parameters_;
  if (!armed()) {
    // Learning: every row on every frame, the first samples weighted like a plain average
    // (1, 1/2, 1/4, ...), clipped only once a few have been seen.
    const int shift = std::min(
        p.rateShift, static_cast<int>(std::bit_width(static_cast<uint64_t>(framesLearnt_))));
    for (int y = 0; y < kFrameHeight; ++y) {
      LearnRow(y, cur, ref, plain, shift, framesLearnt_ >= 8);
    }
  } else {
    for (int y = static_cast<int>(framesLearnt_ % p.updateEvery); y < kFrameHeight;
         y += p.updateEvery) {
      LearnRow(y, cur, ref, plain, p.rateShift, true);
    }
  }
  ++framesLearnt_;
}

void AdaptiveThreshold::LearnRow(int y, const uint8_t* cur, const uint8_t* ref,
                                 const uint8_t* plain, int shift, bool clip) {
  const size_t start = static_cast<size_t>(y) * kFrameWidth;
  const auto row = clip ? LearnPixels<true> : LearnPixels<false>;
  row(cur + start, ref + start, plain + start, mean_.get() + start, deviation_.get() + start,
      table_.get() + start, kFrameWidth, shift, parameters_);
}

}  // namespace ombrix
