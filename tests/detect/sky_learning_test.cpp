#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "capture/simulated_sky.h"
#include "detect/adaptive_threshold.h"
#include "detect/mask_learning.h"
#include "detect/threshold_map.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

using Frame = std::vector<uint8_t>;

// A pair of frames whose difference is noise of +-2 grey levels in the left half of the picture
// and +-24 in the right half.
void NoisyPair(std::mt19937& random, Frame& cur, Frame& ref) {
  for (int i = 0; i < kFrameBytes; ++i) {
    const int spread = i % kFrameWidth < kFrameWidth / 2 ? 2 : 24;
    ref[i] = 100;
    cur[i] = static_cast<uint8_t>(100 + static_cast<int>(random() % (2 * spread + 1)) - spread);
  }
}

TEST(AdaptiveThreshold, LearnsEachPixelsNoiseAndCountsOnlyLitGroups) {
  AdaptiveThreshold adaptive;
  std::mt19937 random(5);
  Frame cur(kFrameBytes), ref(kFrameBytes), plain(kFrameBytes, 30);
  plain[100 * kFrameWidth + 100] = 255;
  for (int frame = 0; frame < 200; ++frame) {
    NoisyPair(random, cur, ref);
    adaptive.Learn(cur.data(), ref.data(), plain.data());
  }
  ASSERT_TRUE(adaptive.armed());
  const int quiet = 200 * kFrameWidth + 100, noisy = 200 * kFrameWidth + 500;
  EXPECT_NEAR(adaptive.Deviation(quiet), 1.2, 0.4);
  EXPECT_NEAR(adaptive.Deviation(noisy), 12.5, 2.0);
  EXPECT_EQ(adaptive.table()[quiet], 15);  // the floor: 6.3 deviations are less
  EXPECT_GE(adaptive.table()[noisy], 70);  // mean + 6.3 deviations
  EXPECT_EQ(adaptive.table()[100 * kFrameWidth + 100], 255);

  // Noise passes unseen; a 3x3 brightening of 40 counts where the sky is quiet, not where it is
  // noisy, and a single bright pixel never does.
  NoisyPair(random, cur, ref);
  EXPECT_EQ(adaptive.Measure(cur.data(), ref.data(), plain.data()).pixelCount, 0);
  for (const int centre : {quiet, noisy}) {
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        cur[centre + dy * kFrameWidth + dx] = 140;
      }
    }
  }
  cur[300 * kFrameWidth + 50] = 250;
  const FrameExcess excess = adaptive.Measure(cur.data(), ref.data(), plain.data());
  EXPECT_EQ(excess.pixelCount, 9);
  EXPECT_NEAR(static_cast<double>(excess.sx) / excess.excessSum, 100, 0.1);
  EXPECT_NEAR(static_cast<double>(excess.sy) / excess.excessSum, 200, 0.1);
}

// A simulated sky with a burned-in clock, flickering hot pixels and many meteors, learnt from a
// ring for 20 s as the station's frames come: the mask covers the clock's whole line of text and
// the hot pixels but no meteor's track, and the station reads the written image back as it is.
TEST(RingMaskLearner, MasksClockAndHotPixelsButNoMeteorTrack) {
  SkyFrameGenerator sky({.seed = 4, .meteorsPerMinute = 30, .clock = true, .hotPixels = 4});
  FrameRing ring;
  RingMaskLearner learner(ring, 30, 10, std::chrono::seconds(20));
  Frame sample(kSampleSize640);
  constexpr std::chrono::milliseconds kSpacing{33};
  for (int frame = 0; learner.Poll();) {
    for (int k = 0; k < 40; ++k, ++frame) {  // the ring holds 54 with their references
      sky.GenerateFrame(frame, sample.data());
      ring.StoreFrame(sample.data(), UtcTime{} + frame * kSpacing);
    }
  }
  EXPECT_EQ(learner.learnt() / kSpacing, (20000 + 32) / 33);  // the first frame that completes
  EXPECT_EQ(learner.learner().framesSeen(), learner.learnt() / kSpacing + 1);  // each one
  const std::vector<uint8_t> mask = learner.Propose();
  const auto masked = [&](double x, double y) {
    return mask[static_cast<int>(y) * kFrameWidth + static_cast<int>(x)] != 0;
  };
  for (const SimulatedObject& o : sky.objects()) {
    for (double y = o.startY; y <= o.endY; ++y) {
      for (double x = o.startX; x <= o.endX; ++x) {
        ASSERT_TRUE(masked(x, y)) << SkyObjectKindName(o.kind) << " at " << x << "," << y;
      }
    }
  }
  ASSERT_GE(sky.meteors().size(), 5u);
  for (const SimulatedMeteor& m : sky.meteors()) {
    for (double u = 0; u <= 1; u += 0.02) {
      EXPECT_FALSE(masked(m.startX + (m.endX - m.startX) * u, m.startY + (m.endY - m.startY) * u))
          << "meteor from frame " << m.firstFrame;
    }
  }

  test::TempDir dir;
  const std::string path = (dir / "mask.png").string();
  ASSERT_TRUE(learner.Write(path));
  ThresholdMap map;
  map.Build(30, path);
  for (int i = 0; i < kFrameBytes; ++i) {
    ASSERT_EQ(map.data()[i], mask[i] != 0 ? 255 : 30) << i;
  }
}

}  // namespace
}  // namespace ombrix
