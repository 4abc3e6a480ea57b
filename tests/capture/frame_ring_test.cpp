#include "capture/frame_ring.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace ombrix {
namespace {

// A clock that hands out a fixed time whose milliseconds field counts the calls.
class CountingClock final : public Clock {
 public:
  SystemTime UtcNow() const override {
    SystemTime t{2024, 3, 5, 15, 21, 15, 7, 0};
    t.milliseconds = static_cast<uint16_t>(calls_++);
    return t;
  }
  CalendarFields LocalNow() const override { return {}; }
  int calls() const { return calls_; }

 private:
  mutable int calls_ = 0;
};

// A YUYV sample whose luma bytes encode their position and whose chroma bytes are 0xEE, so a
// misplaced chroma byte shows at once.
std::vector<uint8_t> MakeSample(int width, int height, uint8_t seed) {
  std::vector<uint8_t> sample(static_cast<size_t>(width) * height * 2, 0xEE);
  for (int row = 0; row < height; ++row) {
    for (int p = 0; p < width; ++p) {
      sample[(static_cast<size_t>(row) * width + p) * 2] =
          static_cast<uint8_t>((p * 7 + row * 3 + seed) % 0xE0);
    }
  }
  return sample;
}

uint8_t LumaAt(const std::vector<uint8_t>& sample, int width, int row, int pixel) {
  return sample[(static_cast<size_t>(row) * width + pixel) * 2];
}

TEST(FrameRingTest, WideSampleKeepsTenOfEveryElevenPixelsAfterTheFirstSeven) {
  FrameRing ring;
  ring.sampleSize = kSampleSize720;
  const auto sample = MakeSample(720, 480, 1);
  ASSERT_EQ(sample.size(), kSampleSize720);
  ring.StoreFrame(sample.data(), SystemTime{});
  const uint8_t* frame = ring.Frame(0);
  ASSERT_NE(frame, nullptr);

  for (int c = 0; c < 10; ++c) {
    EXPECT_EQ(frame[c], LumaAt(sample, 720, 0, 7 + c)) << "column " << c;
  }
  EXPECT_EQ(frame[10], LumaAt(sample, 720, 0, 18));  // pixel 17 is dropped
  EXPECT_EQ(frame[639], LumaAt(sample, 720, 0, 709));
  for (int row : {1, 241, 479}) {
    for (int c : {0, 9, 10, 21, 22, 330, 638, 639}) {
      EXPECT_EQ(frame[row * kFrameWidth + c], LumaAt(sample, 720, row, 7 + c + c / 10))
          << "row " << row << " column " << c;
    }
  }
}

TEST(FrameRingTest, NarrowSampleAndAnyOtherSizeTakeEverySecondByte) {
  for (uint32_t size : {kSampleSize640, 0u, 691199u, 691201u}) {
    FrameRing ring;
    ring.sampleSize = size;
    const auto sample = MakeSample(640, 480, 5);
    ring.StoreFrame(sample.data(), SystemTime{});
    const uint8_t* frame = ring.Frame(0);
    ASSERT_NE(frame, nullptr);
    int mismatches = 0;
    for (int i = 0; i < kFrameBytes; ++i) {
      mismatches += frame[i] != sample[2 * static_cast<size_t>(i)];
    }
    EXPECT_EQ(mismatches, 0) << "sampleSize " << size;
  }
}

TEST(FrameRingTest, MissingSampleStoresNothingAndTheNextGoesIntoTheSameSlot) {
  FrameRing ring;
  CountingClock clock;
  const auto first = MakeSample(640, 480, 1);
  const auto second = MakeSample(640, 480, 2);

  ring.SampleArrived(clock, first.data());
  ring.SampleArrived(clock, nullptr);
  EXPECT_EQ(ring.writeIndex.load(), 1u);
  EXPECT_EQ(ring.framesStored.load(), 1u);
  EXPECT_EQ(ring.Frame(1), nullptr);

  ring.SampleArrived(clock, second.data());
  EXPECT_EQ(ring.writeIndex.load(), 2u);
  ASSERT_NE(ring.Frame(1), nullptr);
  EXPECT_EQ(ring.Frame(1)[5], second[10]);
  // The time is taken on arrival, also for the sample that is then dropped.
  EXPECT_EQ(clock.calls(), 3);
  EXPECT_EQ(ring.stamps[0].milliseconds, 0);
  EXPECT_EQ(ring.stamps[1].milliseconds, 2);
}

TEST(FrameRingTest, NewestSlotWrapsAndCountKeepsRunning) {
  FrameRing ring;
  EXPECT_EQ(ring.NewestSlot(), 63u);  // before any frame: the last slot, still empty
  EXPECT_EQ(ring.Frame(ring.NewestSlot()), nullptr);

  const auto sample = MakeSample(640, 480, 0);
  std::vector<const uint8_t*> buffers;
  for (int n = 0; n < 130; ++n) {
    SystemTime stamp{};
    stamp.milliseconds = static_cast<uint16_t>(n);
    ring.StoreFrame(sample.data(), stamp);
    EXPECT_EQ(ring.NewestSlot(), static_cast<uint32_t>(n % 64));
    EXPECT_EQ(ring.stamps[ring.NewestSlot()].milliseconds, n);
    if (n < 64) {
      buffers.push_back(ring.Frame(n));
    } else {
      // After the first lap every slot reuses its buffer.
      EXPECT_EQ(ring.Frame(n % 64), buffers[n % 64]);
    }
  }
  EXPECT_EQ(ring.framesStored.load(), 130u);
  EXPECT_EQ(ring.writeIndex.load(), 130u % 64);
}

}  // namespace
}  // namespace ombrix
