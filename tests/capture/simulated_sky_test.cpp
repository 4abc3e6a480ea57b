#include "capture/simulated_sky.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <thread>
#include <vector>

#include "capture/frame_ring.h"
#include "support/temp_dir.h"
#include "virtual_time.h"

namespace ombrix {
namespace {

using Sample = std::vector<uint8_t>;

Sample Generate(SkyFrameGenerator& generator, int64_t frame) {
  Sample sample(kSampleSize640);
  generator.GenerateFrame(frame, sample.data());
  return sample;
}

TEST(SkyFrameGenerator, SameSeedGivesSameFramesInAnyOrder) {
  SimulatedSkyOptions options;
  options.seed = 42;
  options.meteorsPerMinute = 900;  // a meteor starting in most frames
  SkyFrameGenerator forward(options);
  SkyFrameGenerator backward(options);
  backward.ScheduleThrough(100000);  // meteors known far ahead change no earlier frame
  std::vector<Sample> first;
  for (int64_t frame = 0; frame < 60; ++frame) {
    first.push_back(Generate(forward, frame));
  }
  ASSERT_GE(forward.meteors().size(), 10u);
  for (int64_t frame = 60; frame-- > 0;) {
    ASSERT_EQ(Generate(backward, frame), first[frame]) << frame;
  }
  EXPECT_NE(first[0], first[1]);  // every frame has its own noise
  options.seed = 43;
  SkyFrameGenerator other(options);
  EXPECT_NE(Generate(other, 0), first[0]);
}

// Pixels brighter than 10 frames earlier by more than the default threshold of 30: none but
// while a meteor is drawn, and a streak of at least 12 for 3 frames in a row of every meteor.
TEST(SkyFrameGenerator, OnlyMeteorsPassThePixelDifferenceRule) {
  SimulatedSkyOptions options;
  options.seed = 11;
  options.meteorsPerMinute = 60;
  SkyFrameGenerator generator(options);
  constexpr int64_t kFrames = 900;
  generator.ScheduleThrough(kFrames);
  const std::vector<SimulatedMeteor> meteors = generator.meteors();
  ASSERT_GE(meteors.size(), 5u);

  std::vector<Sample> recent(11, Sample(kSampleSize640));
  std::vector<int> brightened(kFrames, 0);
  for (int64_t frame = 0; frame < kFrames; ++frame) {
    generator.GenerateFrame(frame, recent[frame % 11].data());
    const Sample& now = recent[frame % 11];
    const Sample& before = recent[(frame + 1) % 11];
    for (size_t i = 0; frame >= 10 && i < kSampleSize640; i += 2) {
      brightened[frame] += now[i] - before[i] > 30 ? 1 : 0;
    }
  }
  for (int64_t frame = 10; frame < kFrames; ++frame) {
    const bool active = std::ranges::any_of(meteors, [frame](const SimulatedMeteor& m) {
      return m.firstFrame <= frame && frame <= m.lastFrame;
    });
    EXPECT_TRUE(active || brightened[frame] == 0) << frame;
  }
  for (const SimulatedMeteor& m : meteors) {
    if (m.firstFrame < 10 || m.lastFrame >= kFrames) {
      continue;
    }
    int run = 0;
    int longest = 0;
    for (int64_t frame = m.firstFrame; frame <= m.lastFrame; ++frame) {
      run = brightened[frame] >= 12 ? run + 1 : 0;
      longest = std::max(longest, run);
    }
    EXPECT_GE(longest, 3) << "meteor at frame " << m.firstFrame;
  }
}

TEST(SimulatedSkySource, DeliversPacedFramesAndWritesOneTruthLinePerMeteor) {
  test::TempDir dir;
  const std::string truthPath = (dir / "truth.csv").string();
  test::VirtualPacer pacer;
  test::PacerClock clock(pacer);
  FrameRing ring;
  SimulatedSkyOptions options;
  options.seed = 5;
  options.meteorsPerMinute = 120;
  SimulatedSkySource source(options, clock, pacer, nullptr, truthPath);
  ASSERT_TRUE(source.Start(ring));
  while (source.framesDelivered() < 600) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  source.Stop();
  const int64_t delivered = static_cast<int64_t>(source.framesDelivered());
  EXPECT_EQ(ring.framesStored.load(), source.framesDelivered());

  // Frame k is due, and stamped, at k * 1001/30 ms.
  const Pacer::TimePoint origin = Pacer::TimePoint{} + std::chrono::nanoseconds(1'000'000'000'000);
  auto due = [&](int64_t frame) {
    return clock.At(origin + std::chrono::nanoseconds(frame * 100100000 / 3));
  };
  EXPECT_EQ(ring.stamps[ring.NewestSlot()], due(delivered - 1));

  // A line is written when its meteor has been drawn for the last time.
  std::vector<SimulatedMeteor> ended;
  std::ranges::copy_if(source.generator().meteors(), std::back_inserter(ended),
                       [&](const SimulatedMeteor& m) { return m.lastFrame < delivered; });
  std::ranges::stable_sort(ended, {}, &SimulatedMeteor::lastFrame);
  std::ostringstream expected;
  for (const SimulatedMeteor& m : ended) {
    expected << FormatMeteorTruth(due(m.firstFrame), due(m.lastFrame), m) << "\r\n";
  }
  const std::string truth = test::ReadFileBytes(truthPath);
  EXPECT_EQ(truth, expected.str());
  EXPECT_GE(std::ranges::count(truth, '\n'), 5);
  EXPECT_EQ(truth.substr(0, 9), "20261206_");
  EXPECT_EQ(std::count(truth.begin(), truth.begin() + truth.find("\r\n"), ','), 6);
}

}  // namespace
}  // namespace ombrix
