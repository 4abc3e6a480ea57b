#include "capture/simulated_sky.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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

// Pixels brighter than in the frame 10 earlier by more than the default threshold.
int BrightenedPixels(const Sample& now, const Sample& before) {
  int count = 0;
  for (size_t i = 0; i < kSampleSize640; i += 2) {
    count += now[i] - before[i] > 30 ? 1 : 0;
  }
  return count;
}

TEST(SkyFrameGenerator, SameSeedGivesSameFramesInAnyOrder) {
  SimulatedSkyOptions options;
  options.seed = 42;
  options.meteorsPerMinute = 900;  // a meteor starting in most frames
  SkyFrameGenerator forward(options);
  SkyFrameGenerator backward(options);
  backward.ScheduleThrough(100000);  // meteors known far ahead change no earlier frame
  constexpr int64_t kFrames = 60;
  std::vector<Sample> first;
  for (int64_t frame = 0; frame < kFrames; ++frame) {
    first.push_back(Generate(forward, frame));
  }
  ASSERT_GE(forward.meteors().size(), 10u);
  for (int64_t frame = kFrames; frame-- > 0;) {
    ASSERT_EQ(Generate(backward, frame), first[frame]) << "frame " << frame;
  }
  EXPECT_EQ(Generate(backward, 7000), Generate(forward, 7000));
  // Every frame has its own noise; chroma is neutral.
  EXPECT_NE(first[0], first[1]);
  for (size_t i = 1; i < kSampleSize640; i += 2) {
    ASSERT_EQ(first[0][i], 128) << i;
  }
  options.seed = 43;
  SkyFrameGenerator other(options);
  EXPECT_NE(Generate(other, 0), first[0]);
}

TEST(SkyFrameGenerator, SkyWithoutMeteorsStaysBelowTheThreshold) {
  SimulatedSkyOptions options;
  options.seed = 7;
  options.meteorsPerMinute = 0;
  SkyFrameGenerator generator(options);
  // A dark sky with stars of many brightnesses.
  const uint8_t* sky = generator.starField();
  int brightStarPixels = 0;
  int faintStarPixels = 0;
  long total = 0;
  for (int i = 0; i < kFrameBytes; ++i) {
    total += sky[i];
    brightStarPixels += sky[i] > 120 ? 1 : 0;
    faintStarPixels += sky[i] > 35 && sky[i] <= 60 ? 1 : 0;
  }
  EXPECT_LT(total / kFrameBytes, 30);
  EXPECT_GT(brightStarPixels, 5);
  EXPECT_GT(faintStarPixels, 50);

  // The last 11 frames, by frame number modulo 11.
  std::vector<Sample> recent(11, Sample(kSampleSize640));
  int largest = 0;
  for (int64_t frame = 0; frame < 300; ++frame) {
    Sample& now = recent[frame % 11];
    generator.GenerateFrame(frame, now.data());
    if (frame >= 10) {
      const Sample& before = recent[(frame - 10) % 11];
      for (size_t i = 0; i < kSampleSize640; i += 2) {
        largest = std::max(largest, std::abs(now[i] - before[i]));
      }
    }
  }
  EXPECT_LE(largest, 2 * SkyFrameGenerator::kMaxNoise);
  EXPECT_GE(largest, 8);  // there is noise
  EXPECT_TRUE(generator.meteors().empty());
}

TEST(SkyFrameGenerator, MeteorsAreSeenByThePixelDifferenceRuleAndNothingElseIs) {
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
    if (frame >= 10) {
      brightened[frame] = BrightenedPixels(recent[frame % 11], recent[(frame - 10) % 11]);
    }
  }
  auto active = [&](int64_t frame) {
    return std::any_of(meteors.begin(), meteors.end(), [frame](const SimulatedMeteor& m) {
      return m.firstFrame <= frame && frame <= m.lastFrame;
    });
  };
  for (int64_t frame = 10; frame < kFrames; ++frame) {
    if (!active(frame)) {
      EXPECT_EQ(brightened[frame], 0) << "frame " << frame;
    }
  }
  for (const SimulatedMeteor& m : meteors) {
    if (m.firstFrame < 10 || m.lastFrame >= kFrames) {
      continue;
    }
    const int64_t frames = m.lastFrame - m.firstFrame + 1;
    EXPECT_GE(frames, 6);
    EXPECT_LE(frames, 45);
    EXPECT_GE(m.peakBrightness, 120);
    // Consecutive frames with a streak of at least 12 pixels.
    int run = 0;
    int longest = 0;
    for (int64_t frame = m.firstFrame; frame <= m.lastFrame; ++frame) {
      run = brightened[frame] >= 12 ? run + 1 : 0;
      longest = std::max(longest, run);
    }
    EXPECT_GE(longest, 3) << "meteor at frame " << m.firstFrame;
  }
}

TEST(SkyFrameGenerator, MeteorRateIsTheMeanPerMinute) {
  const int64_t hour = static_cast<int64_t>(3600 * SkyFrameGenerator::kFramesPerSecond);
  size_t total = 0;
  for (uint32_t seed = 1; seed <= 10; ++seed) {
    SimulatedSkyOptions options;
    options.seed = seed;
    options.meteorsPerMinute = 1;
    SkyFrameGenerator generator(options);
    generator.ScheduleThrough(hour);
    total += generator.meteors().size();
    const auto& meteors = generator.meteors();
    EXPECT_TRUE(std::is_sorted(meteors.begin(), meteors.end(),
                               [](const SimulatedMeteor& a, const SimulatedMeteor& b) {
                                 return a.firstFrame < b.firstFrame;
                               }));
  }
  EXPECT_GT(total, 540u);  // 600 expected
  EXPECT_LT(total, 660u);
}

TEST(SimulatedSkySource, DeliversPacedFramesAndWritesOneTruthLinePerMeteor) {
  test::TempDir dir;
  const std::string truthPath = (dir / "truth.csv").string();
  test::VirtualPacer pacer;
  test::PacerClock clock(pacer);
  FrameRing ring;
  ring.sampleSize = kSampleSize720;
  SimulatedSkyOptions options;
  options.seed = 5;
  options.meteorsPerMinute = 120;
  SimulatedSkySource source(options, clock, pacer, nullptr, truthPath);
  ASSERT_TRUE(source.Start(ring));
  EXPECT_EQ(ring.sampleSize.load(), kSampleSize640);
  while (source.framesDelivered() < 600) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  source.Stop();
  const uint64_t delivered = source.framesDelivered();
  EXPECT_EQ(ring.framesStored.load(), delivered);
  EXPECT_EQ(source.framesSkipped(), 0u);

  // Frame k was due, and stamped, at k * 1001/30 ms.
  const Pacer::TimePoint origin = Pacer::TimePoint{} + std::chrono::nanoseconds(1'000'000'000'000);
  auto due = [&](int64_t frame) {
    return clock.At(origin + std::chrono::nanoseconds(frame * 100100000 / 3));
  };
  const uint32_t newest = ring.NewestSlot();
  EXPECT_EQ(ring.stamps[newest], due(static_cast<int64_t>(delivered) - 1));

  // A line is written when its meteor has been drawn for the last time.
  std::vector<SimulatedMeteor> ended;
  for (const SimulatedMeteor& m : source.generator().meteors()) {
    if (m.lastFrame < static_cast<int64_t>(delivered)) {
      ended.push_back(m);
    }
  }
  std::stable_sort(ended.begin(), ended.end(),
                   [](const auto& a, const auto& b) { return a.lastFrame < b.lastFrame; });
  std::ostringstream expected;
  for (const SimulatedMeteor& m : ended) {
    expected << FormatMeteorTruth(due(m.firstFrame), due(m.lastFrame), m) << "\r\n";
  }
  const std::string truth = test::ReadFileBytes(truthPath);
  EXPECT_EQ(truth, expected.str());
  EXPECT_GE(std::count(truth.begin(), truth.end(), '\n'), 5);
  const std::string firstLine = truth.substr(0, truth.find("\r\n"));
  EXPECT_EQ(std::count(firstLine.begin(), firstLine.end(), ','), 6);
  EXPECT_EQ(firstLine.substr(0, 9), "20261206_");
}

TEST(SimulatedSkySource, FallingFarBehindSkipsFramesInsteadOfRushing) {
  test::VirtualPacer pacer;
  test::PacerClock clock(pacer);
  FrameRing ring;
  SimulatedSkyOptions options;
  options.meteorsPerMinute = 0;
  SimulatedSkySource source(options, clock, pacer, nullptr);
  ASSERT_TRUE(source.Start(ring));
  while (source.framesDelivered() < 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  pacer.Advance(std::chrono::seconds(10));  // the machine stalled for 10 s
  while (source.framesDelivered() < 200) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  source.Stop();
  EXPECT_GE(source.framesSkipped(), 290u);
  EXPECT_LE(source.framesSkipped(), 300u);
}

TEST(SimulatedSkySource, UnwritableTruthFileIsReported) {
  test::TempDir dir;
  test::VirtualPacer pacer;
  test::PacerClock clock(pacer);
  FrameRing ring;
  std::vector<std::string> reports;
  SimulatedSkySource source(
      SimulatedSkyOptions{}, clock, pacer,
      [&](const std::string& text) { reports.push_back(text); },
      (dir / "missing" / "truth.csv").string());
  EXPECT_FALSE(source.Start(ring));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(ring.framesStored.load(), 0u);
}

}  // namespace
}  // namespace ombrix
