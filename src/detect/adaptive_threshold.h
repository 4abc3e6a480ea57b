#pragma once

#include <cstdint>
#include <memory>

#include "detect/frame_excess.h"

namespace ombrix {

// The tuning of the noise-adaptive threshold.
struct AdaptiveThresholdParameters {
  // Each row's statistics are updated on every updateEvery-th frame (rows take turns, so every
  // frame does the same share of the work).
  int updateEvery = 4;
  // The running mean and deviation move by 1/2^rateShift of the way per update: a memory of about
  // 2^rateShift * updateEvery frames (256, 8.5 s at 30 frames a second).
  int rateShift = 6;
  // threshold = mean + max(floor, noiseFactor * deviation), noiseFactor in 1/16.
  int floor = 15;
  int noiseFactor16 = 101;  // 6.3
  // A difference is clipped to mean +- clipFactor * deviation before it is learnt, so that a
  // meteor or a flash barely moves the statistics.
  int clipFactor = 4;
  // Frames learnt (every row on every frame) before the adaptive table is used; until then the
  // plain table decides.
  int learnFrames = 45;
  // A pixel over its threshold counts only when at least this many of its 8 neighbours are over
  // theirs too.
  int minNeighbours = 2;
};

// A per-pixel threshold table that follows each pixel's own noise. For every compared pair of
// frames (the frame and its reference triggerGap frames earlier, as the detection pass compares
// them) it keeps the running mean and mean absolute deviation of the difference d = cur - ref,
// and sets the pixel's threshold to mean + max(floor, k * deviation), at most 254. Pixels that the
// plain table masks (255) stay 255. A pixel over its threshold counts only when enough of its
// neighbours are over theirs too, which removes the isolated pixels of noise and compression;
// the neighbours are looked at only around pixels over their threshold, so a quiet frame costs
// about one plain pass and a quarter of the statistics.
//
// One thread uses an instance. Everything is allocated by the constructor; Measure and Learn
// allocate nothing.
class AdaptiveThreshold {
 public:
  explicit AdaptiveThreshold(const AdaptiveThresholdParameters& parameters = {});
  AdaptiveThreshold(const AdaptiveThreshold&) = delete;
  AdaptiveThreshold& operator=(const AdaptiveThreshold&) = delete;

  // Forgets what was learnt (a new source, another trigger gap): learning starts again.
  void Reset();

  // The sums of one pair of 640x480 frames. Until armed: exactly the plain pass through the plain
  // table `plain` (threshold bytes, 255 = masked). Once armed: through the adaptive table, with
  // the neighbour test.
  FrameExcess Measure(const uint8_t* cur, const uint8_t* ref, const uint8_t* plain);

  // Learns from the same pair (after Measure, so a frame is judged by what was known before it)
  // and renews the table rows it updated. Pixels masked in `plain` become 255 in the table, so a
  // new mask is in the whole table after updateEvery frames.
  void Learn(const uint8_t* cur, const uint8_t* ref, const uint8_t* plain);

  // Measure, then Learn.
  FrameExcess Process(const uint8_t* cur, const uint8_t* ref, const uint8_t* plain) {
    const FrameExcess excess = Measure(cur, ref, plain);
    Learn(cur, ref, plain);
    return excess;
  }

  bool armed() const { return framesLearnt_ >= parameters_.learnFrames; }
  // The adaptive table (one byte a pixel, 255 = masked); meaningful once armed.
  const uint8_t* table() const { return table_.get(); }
  // Statistics are kept in 1/kUnit grey level (int16: at most 255 * 64).
  static constexpr int kUnit = 64;
  // The learnt mean and deviation of a pixel's difference, in grey levels.
  double Mean(int pixel) const { return static_cast<double>(mean_[pixel]) / kUnit; }
  double Deviation(int pixel) const { return static_cast<double>(deviation_[pixel]) / kUnit; }

 private:
  void LearnRow(int y, const uint8_t* cur, const uint8_t* ref, const uint8_t* plain, int shift,
                bool clip);

  AdaptiveThresholdParameters parameters_;
  std::unique_ptr<int16_t[]> mean_;
  std::unique_ptr<int16_t[]> deviation_;
  std::unique_ptr<uint8_t[]> table_;
  // Pixels over their threshold in the frame being measured, filled by Measure.
  std::unique_ptr<uint32_t[]> lit_;
  int64_t framesLearnt_ = 0;
};

}  // namespace ombrix
