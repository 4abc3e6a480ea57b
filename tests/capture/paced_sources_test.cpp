#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string_view>
#include <thread>
#include <tuple>

#include "base/utc_time.h"
#include "capture/file_source.h"
#include "capture/frame_ring.h"
#include "capture/simulated_sky.h"
#include "support/movies.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

using std::chrono::milliseconds;
using Sample = std::vector<uint8_t>;

// Time that moves only by sleeps; the wall clock reads 2026-12-06 22:00:00.000 UTC at kStart.
class VirtualTime final : public Pacer, public Clock {
 public:
  static constexpr TimePoint kStart = TimePoint{} + std::chrono::hours(1000);
  static constexpr UtcTime kOrigin{std::chrono::seconds{1796594400}};
  TimePoint Now() const override { return kStart + std::chrono::nanoseconds(ns_.load()); }
  bool SleepUntil(TimePoint deadline, std::stop_token stop) override {
    const int64_t target = (deadline - kStart) / std::chrono::nanoseconds(1);
    for (int64_t now = ns_.load(); target > now && !ns_.compare_exchange_weak(now, target);) {
    }
    std::this_thread::yield();
    return !stop.stop_requested();
  }
  void Advance(std::chrono::nanoseconds by) { ns_ += by.count(); }
  UtcTime UtcNow() const override { return At(Now()); }
  CalendarFields LocalNow() const override { return BreakUtcTime(UtcNow()); }
  static UtcTime At(TimePoint time) {
    return kOrigin + std::chrono::floor<milliseconds>(time - kStart);
  }

 private:
  std::atomic<int64_t> ns_{0};
};

Sample Generate(SkyFrameGenerator& generator, int64_t frame) {
  Sample sample(kSampleSize640);
  generator.GenerateFrame(frame, sample.data());
  return sample;
}

size_t Hash(const Sample& s) {
  return std::hash<std::string_view>{}({reinterpret_cast<const char*>(s.data()), s.size()});
}

// Pixels 30 brighter than 10 frames before: none without a meteor, 12+ for 3 frames of each. The
// same seed gives the same frames in any order (meteors known far ahead change none).
TEST(SkyFrameGenerator, OnlyMeteorsPassThePixelDifferenceRuleAndFramesRepeat) {
  SkyFrameGenerator generator({.seed = 11, .meteorsPerMinute = 60});
  constexpr int64_t kFrames = 900;
  std::vector<Sample> recent(11, Sample(kSampleSize640));
  std::vector<int> brightened(kFrames, 0);
  std::vector<size_t> hashes;
  for (int64_t frame = 0; frame < kFrames; ++frame) {
    generator.GenerateFrame(frame, recent[frame % 11].data());
    const Sample& now = recent[frame % 11];
    const Sample& before = recent[(frame + 1) % 11];
    hashes.push_back(Hash(now));
    for (size_t i = 0; frame >= 10 && i < kSampleSize640; i += 2) {
      brightened[frame] += now[i] - before[i] > 30 ? 1 : 0;
    }
  }
  generator.ScheduleThrough(kFrames);
  const std::vector<SimulatedMeteor> meteors = generator.meteors();
  ASSERT_GE(meteors.size(), 5u);
  for (int64_t frame = 10; frame < kFrames; ++frame) {
    const bool active = std::ranges::any_of(meteors, [frame](const SimulatedMeteor& m) {
      return m.firstFrame <= frame && frame <= m.lastFrame;
    });
    EXPECT_TRUE(active || brightened[frame] == 0) << frame;
  }
  for (const SimulatedMeteor& m : meteors) {
    int run = 0;
    int longest = 0;
    for (int64_t frame = m.firstFrame; frame <= m.lastFrame && frame < kFrames; ++frame) {
      run = brightened[frame] >= 12 ? run + 1 : 0;
      longest = std::max(longest, run);
    }
    EXPECT_TRUE(longest >= 3 || m.firstFrame < 10 || m.lastFrame >= kFrames) << m.firstFrame;
  }
  SkyFrameGenerator backward({.seed = 11, .meteorsPerMinute = 60});
  backward.ScheduleThrough(100000);
  for (int64_t frame = kFrames; frame-- > 0;) {
    ASSERT_EQ(Hash(Generate(backward, frame)), hashes[frame]) << frame;
  }
  EXPECT_NE(hashes[0], hashes[1]);  // every frame has its own noise
}

// The lies named on the command line are drawn: a lightning brightens the whole frame, a
// satellite shines where it is. Paced frames are stamped k * 1001/30 ms from the start; each
// meteor and lie has its truth line when it ends (the clock and hot pixels when first shown).
TEST(SimulatedSkySource, DeliversPacedFramesAndTellsTheTruthOfEveryObject) {
  SimulatedSkyOptions options{.seed = 6, .meteorsPerMinute = 60};
  std::string error;
  for (const char* wrong : {"planes", "clock=2", "satellites=-1", "hotpixels=2.5", "clouds,"}) {
    EXPECT_FALSE(ParseSimulatedObjects(wrong, options, error)) << wrong;
  }
  ASSERT_TRUE(
      ParseSimulatedObjects("satellites=1800,lightning=1800,clock,hotpixels=2", options, error));
  EXPECT_EQ(std::tie(options.satellitesPerHour, options.aircraftPerHour, options.hotPixels),
            std::make_tuple(1800.0, 0.0, 2));
  SkyFrameGenerator sky(options);
  const auto mean = [](const Sample& s) {
    int64_t sum = 0;
    for (size_t i = 0; i < s.size(); i += 2) {
      sum += s[i];
    }
    return sum / kFrameBytes;
  };
  sky.ScheduleThrough(600);
  std::map<SkyObjectKind, int> seen;
  for (const SimulatedObject& o : sky.objects()) {
    const int x = static_cast<int>(o.startX), y = static_cast<int>(o.startY);
    if (o.kind == SkyObjectKind::kLightning && o.firstFrame > 0 && o.firstFrame < 600) {
      EXPECT_GT(mean(Generate(sky, o.firstFrame)), mean(Generate(sky, o.firstFrame - 1)) + 15);
    } else if (o.kind == SkyObjectKind::kSatellite && o.firstFrame < 600) {
      EXPECT_GT(Generate(sky, o.firstFrame)[2 * (y * kFrameWidth + x)],
                sky.starField()[y * kFrameWidth + x] + 20);
    }
    ++seen[o.kind];
  }
  EXPECT_GE(std::min(seen[SkyObjectKind::kLightning], seen[SkyObjectKind::kSatellite]), 2);

  test::TempDir dir;
  VirtualTime time;
  FrameRing ring;
  Notices notices;
  SimulatedSkySource source(options, time, time, notices, (dir / "truth.csv").string());
  ASSERT_TRUE(source.Start(ring));
  while (source.framesDelivered() < 600) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  source.Stop();
  const int64_t delivered = static_cast<int64_t>(source.framesDelivered());
  EXPECT_EQ(ring.FramesStored(), source.framesDelivered());
  auto due = [](int64_t k) {
    return VirtualTime::At(VirtualTime::kStart + std::chrono::nanoseconds(k * 100100000 / 3));
  };
  EXPECT_EQ(ring.NewestStamp(), due(delivered - 1));
  std::ostringstream expected;
  for (int64_t f = 0; f < delivered; ++f) {
    for (const SimulatedMeteor& m : source.generator().meteors()) {
      if (m.lastFrame == f) {
        expected << FormatMeteorTruth(due(m.firstFrame), due(f), m) << "\r\n";
      }
    }
    for (const SimulatedObject& o : source.generator().objects()) {
      const int64_t first = std::max<int64_t>(o.firstFrame, 0);
      const bool always = o.kind == SkyObjectKind::kClock || o.kind == SkyObjectKind::kHotPixel;
      if (always ? first == f : o.lastFrame == f) {
        expected << FormatObjectTruth(due(first), due(always ? first : f), o) << "\r\n";
      }
    }
  }
  const std::string truth = test::ReadFileBytes(dir / "truth.csv");
  EXPECT_EQ(truth, expected.str());
  for (const char* kind : {",meteor\r", ",lightning\r", ",clock\r", ",hot pixel\r"}) {
    EXPECT_NE(truth.find(kind), std::string::npos) << kind;
  }
}

// A 320x240 MPEG-4 movie whose frame n is a flat grey of Brightness(n); true when it was made.
bool MakeMovie(const std::string& path, int frames, const std::string& rate,
               const std::string& creationTime = {}) {
  const std::string command =
      "ffmpeg -nostdin -v error -y -f lavfi -i \"color=black:s=320x240:r=" + rate +
      ",geq=lum='20+mod(2*N\\,200)':cb=128:cr=128\" -frames:v " + std::to_string(frames) +
      " -c:v mpeg4 -q:v 2 -pix_fmt yuv420p " +
      (creationTime.empty() ? "" : "-metadata creation_time=" + creationTime) + " '" + path + "'";
  return std::system(command.c_str()) == 0;
}
int Brightness(uint64_t frame) {
  return static_cast<int>(20 + (2 * frame) % 200);
}

class FileSourceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(MakeMovie(movie_, 100, "25", "2025-03-04T05:06:07Z")); }
  std::unique_ptr<FileSource> Source(const std::string& path, const FrameProgress* detector) {
    FileSourceOptions options;
    options.path = path;
    options.fast = detector != nullptr;
    options.start = start_;
    return std::make_unique<FileSource>(options, settings_, time_, time_, notices_, detector);
  }

  test::TempDir dir_;
  const std::string movie_ = (dir_ / "night.mp4").string();
  SharedSettings settings_;
  VirtualTime time_;
  FrameRing ring_;
  Notices notices_;
  std::optional<UtcTime> start_;
};

// Scaled to 640x480; stamped creation time (else now) + presentation time, rounded down.
TEST_F(FileSourceTest, StampsAreTheStartPlusThePresentationTime) {
  auto source = Source((dir_ / "missing.mp4").string(), nullptr);
  EXPECT_FALSE(source->Start(ring_));
  const std::vector<Notice> said = notices_.Recent();
  ASSERT_EQ(said.size(), 1u);
  EXPECT_NE(said[0].text.find("missing.mp4"), std::string::npos);

  source = Source(movie_, nullptr);
  ring_.sampleSize = kSampleSize720;
  ASSERT_TRUE(source->Start(ring_));
  EXPECT_EQ(ring_.sampleSize.load(), kSampleSize640);
  const UtcTime created = *ParseStamp("20250304_050607_000");
  EXPECT_EQ(source->startTime(), created);
  test::WaitUntil([&] { return source->Finished(); });
  EXPECT_EQ(ring_.framesStored.load(), 100u);
  EXPECT_EQ(time_.Now() - VirtualTime::kStart, milliseconds(99 * 40));  // kept to real time
  for (int frame = 36; frame < 100; ++frame) {
    const test::FrameCopy copy = test::CopyOfFrame(ring_, frame);
    ASSERT_FALSE(copy.pixels.empty()) << frame;
    const std::vector<uint8_t>& picture = copy.pixels;
    EXPECT_EQ(copy.stamp, created + milliseconds(frame * 40));
    for (int pixel : {0, 240 * 640 + 320, kFrameBytes - 1}) {
      EXPECT_NEAR(picture[pixel], Brightness(frame), 2) << frame;
    }
  }

  ASSERT_TRUE(MakeMovie((dir_ / "ntsc.mp4").string(), 4, "30000/1001"));
  time_.Advance(std::chrono::seconds(90) - milliseconds(99 * 40));
  source = Source((dir_ / "ntsc.mp4").string(), nullptr);
  ASSERT_TRUE(source->Start(ring_));
  test::WaitUntil([&] { return source->Finished(); });
  EXPECT_EQ(source->startTime(), VirtualTime::kOrigin + std::chrono::seconds(90));
  // frames 100..103: 36..39
  EXPECT_EQ(MakeStamp(test::CopyOfFrame(ring_, 102).stamp), "20261206_220130_066");
  EXPECT_EQ(MakeStamp(test::CopyOfFrame(ring_, 103).stamp), "20261206_220130_100");
}

// Recordings joined end to end (presentation times start again) go on with the file's own
// spacing: no capture time repeats. A start that would run past the last Stamp is refused.
TEST_F(FileSourceTest, TimesNeverRepeatAndAStartPastTheLastStampIsRefused) {
  const std::string joined = (dir_ / "joined.ts").string();
  for (const char* part : {"a.ts", "b.ts"}) {
    ASSERT_TRUE(MakeMovie((dir_ / part).string(), 5, "25"));
  }
  test::WriteFileBytes(joined,
                       test::ReadFileBytes(dir_ / "a.ts") + test::ReadFileBytes(dir_ / "b.ts"));
  start_ = ParseStamp("20260102_235959_000");
  auto source = Source(joined, nullptr);
  ASSERT_TRUE(source->Start(ring_));
  test::WaitUntil([&] { return source->Finished(); });
  ASSERT_EQ(ring_.FramesStored(), 10u);
  for (uint64_t n = 0; n < 10; ++n) {
    EXPECT_EQ(test::CopyOfFrame(ring_, n).stamp, *start_ + milliseconds(40 * n)) << n;
  }
  start_ = ParseStamp("99991231_235957_000");  // the movie lasts 4 s
  source = Source(movie_, nullptr);
  EXPECT_FALSE(source->Start(ring_));
  EXPECT_EQ(notices_.Recent().back().text,
            "Video file " + movie_ +
                " is not replayed: its frames from 99991231_235957_000 on "
                "would run past the last time a file can be named (9999-12-31 23:59:59.999 UTC).");
}

// A fast source runs exactly 64 - gap frames ahead of the detector, and a stop ends its wait.
TEST_F(FileSourceTest, FastDeliveryStaysWithinReachOfTheDetector) {
  start_ = ParseStamp("20260102_235959_000");
  // -1 reaches back 63 frames, like 63.
  for (auto [gap, stop] : {std::pair{10, true}, {10, false}, {63, false}, {-1, false}}) {
    settings_.Update([gap](Settings& s) { s.triggerGap = gap; });
    const uint64_t reach = gap == 10 ? 54 : 1;
    FrameProgress processed;
    FrameRing ring;
    auto source = Source(movie_, &processed);
    ASSERT_TRUE(source->Start(ring));
    test::WaitUntil([&] { return ring.framesStored.load() >= reach; });
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(ring.framesStored.load(), reach) << gap;
    if (stop) {
      source->Stop();
      EXPECT_FALSE(source->Finished());
      continue;
    }
    uint64_t largestLead = 0;
    int wrongFrames = 0;
    std::vector<uint8_t> picture(kFrameBytes);
    for (uint64_t n = 0; n < 100; processed.Set(++n)) {
      test::WaitUntil([&] { return ring.framesStored.load() > n; });
      largestLead = std::max(largestLead, ring.framesStored.load() - n);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      for (uint64_t frame : {n, n >= 64 - reach ? n - (64 - reach) : n}) {
        wrongFrames += !ring.CopyFrame(frame, picture.data(), nullptr) ||
                       std::abs(picture[1000] - Brightness(frame)) > 2;
      }
    }
    test::WaitUntil([&] { return source->Finished(); });
    EXPECT_TRUE(source->Finished()) << gap;
    EXPECT_EQ(wrongFrames, 0) << gap;
    EXPECT_EQ(largestLead, reach) << gap;
    if (gap == 10) {  // virtual times from the given start, across midnight
      EXPECT_EQ(MakeStamp(test::CopyOfFrame(ring, 36).stamp), "20260103_000000_440");
    }
  }
}

}  // namespace
}  // namespace ombrix
