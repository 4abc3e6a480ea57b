#include "detect/detector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "capture/simulated_sky.h"
#include "detect/frame_excess.h"
#include "detect/mask_learning.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

class FakeClock final : public Clock {
 public:
  UtcTime UtcNow() const override { return {}; }
  CalendarFields LocalNow() const override { return local; }
  CalendarFields local{};
};

// A detector on a real ring; frame n is stamped 2024-03-15 21:15:07 + 33 ms per frame.
class DetectorTest : public ::testing::Test {
 protected:
  DetectorTest() : detector(settings, ring, thresholds, events, clock, notices) {
    Set([this](Settings& s) {
      s.archiveFolder = base.str();
      s.enabled = true;
    });
    detector.BuildThresholdMap();
  }
  UtcTime StampOf(int n) const {
    return *ParseStamp("20240315_211507_000") + n * std::chrono::milliseconds{33};
  }
  // A frame of `level` whose pixel count against any earlier dark frame is exactly `bright`.
  void Push(int bright, uint8_t level = 0) {
    for (size_t i = 0; i < sample.size(); i += 2) {
      sample[i] = level;
    }
    for (int p = 0; p < bright; ++p) {
      sample[2 * ((stored % 400) * kFrameWidth + p)] = 200;
    }
    ring.StoreFrame(sample.data(), StampOf(stored++) + late);
  }
  // Stores and processes `count` such frames.
  void Step(int bright, int count = 1) {
    for (int i = 0; i < count; ++i) {
      Push(bright);
      detector.DetectionStep();
    }
  }
  void Set(const SettingsEdit& edit) { settings.Update(edit); }
  int Gap() const { return settings.Get()->triggerGap; }
  std::filesystem::path EventFile(int frame) const {
    return base / "events" / ("e" + MakeStamp(StampOf(frame)) + ".txt");
  }

  test::TempDir base;
  SharedSettings settings;
  FrameRing ring;
  ThresholdMap thresholds;
  EventList events;
  FakeClock clock;
  Notices notices;
  Detector detector;
  std::vector<uint8_t> sample = std::vector<uint8_t>(kSampleSize640, 128);
  int stored = 0;
  std::chrono::milliseconds late{};  // added to every stamp from now on
};

// triggerCountBegin busy frames begin an event, triggerCountEnd quiet ones end it after 50 frames;
// a stop ends an open event on the last processed frame, and without one writes nothing.
TEST_F(DetectorTest, WorkedTriggerExampleFrameByFrameThenAStopEndsAnOpenEvent) {
  detector.EndActiveEvent();
  Step(0, Gap());                             // fills the reference slots
  EXPECT_EQ(detector.FramesProcessed(), 0u);  // nothing compared while references are missing
  std::vector<int> counts = {20, 3, 15, 12, 30};
  counts.resize(56, 0);
  int first = stored;  // ring frame number of example frame 1
  for (size_t i = 0; i < counts.size(); ++i) {
    Step(counts[i]);
    EXPECT_EQ(detector.statistics().pixelCount, counts[i]) << "frame " << i + 1;
    EXPECT_EQ(events.Empty(), i < 55) << "frame " << i + 1;
  }
  EXPECT_EQ(test::ReadFileBytes(EventFile(first + 3)),
            MakeStamp(StampOf(first + 3)) + "\r\n" + MakeStamp(StampOf(first + 55)) + "\r\n");
  EXPECT_EQ(events.TakeHead(), StampOf(first + 3));
  EXPECT_EQ(detector.FramesProcessed(), 56u);
  EXPECT_EQ(detector.FramesLost(), 0u);
  Step(20, 2);  // the second busy frame begins the event
  first = stored - 1;
  Step(6, 40);  // busy enough to hold it open
  Push(50);     // stored, not processed
  detector.EndActiveEvent();
  EXPECT_EQ(test::ReadFileBytes(EventFile(first)),
            MakeStamp(StampOf(first)) + "\r\n" + MakeStamp(StampOf(stored - 2)) + "\r\n");
  EXPECT_EQ(events.TakeHead(), StampOf(first));
  detector.EndActiveEvent();
  EXPECT_TRUE(events.Empty());
}

// Over the hourly budget the first refusal of a run is said at once, the others' count at its end.
TEST_F(DetectorTest, RefusedEventsAreSaidOncePerRunAndCountedWhenItEnds) {
  std::vector<std::string> reports;
  notices.SetSink([&](const Notice& notice) { reports.push_back(notice.text); });
  std::vector<int> attempts;                // the frame of each attempt to begin an event
  auto refusal = [&](int i, int minutes) {  // until the debt run up before it is paid
    return "Event at " + MakeStamp(StampOf(attempts[i])) +
           " not recorded: the events recorded before it have spent the hourly budget; the next "
           "can be recorded in about " +
           std::to_string(minutes) + " minute(s) (the budget is now 2 events per hour).";
  };
  auto more = [&](int count, int i, int last) {
    return std::to_string(count) + " more event(s) after the one at " +
           MakeStamp(StampOf(attempts[i])) + ", the last at " + MakeStamp(StampOf(attempts[last])) +
           ", were not recorded: the hourly budget was spent.";
  };
  // An hour of debt per event: two quick events, then refusals.
  Set([](Settings& s) { s.hourlyRate = 2; });
  Step(0, Gap());
  auto burst = [&](int quiet) {
    Step(20, 2);
    attempts.push_back(stored - 1);
    Step(0, quiet);
  };
  for (int i = 0; i < 6; ++i) {
    burst(60);
  }
  EXPECT_EQ(events.Size(), 2u);
  EXPECT_EQ(reports, std::vector<std::string>{refusal(2, 60)});
  burst(static_cast<int>(Detector::kRefusalRunGap));  // the last of this run, then a long pause
  burst(60);                                          // a new run
  burst(60);
  detector.EndActiveEvent();
  EXPECT_EQ(reports, (std::vector<std::string>{refusal(2, 60), more(4, 2, 6), refusal(7, 59),
                                               more(1, 7, 8)}));
  EXPECT_EQ(events.Size(), 2u);
}

// Start-up follows the window; later only a switch minute acts (enable wins); equal times never.
TEST_F(DetectorTest, ScheduleAcrossMidnightAndEqualTimes) {
  const TimeOfDay pm10{22, 0, 0}, am6{6, 0, 0}, late{22, 0, 30}, early{22, 0, 10};
  const struct {
    TimeOfDay enable, disable;
    bool startUp;
    int at;  // hhmmss
    bool before, after;
  } cases[] = {
      {pm10, am6, 1, 233000, 0, 1},  {pm10, am6, 1, 120000, 1, 0},  {pm10, am6, 1, 55959, 0, 1},
      {pm10, am6, 1, 60000, 1, 0},   {pm10, am6, 0, 55959, 1, 1},   {pm10, am6, 0, 60000, 1, 0},
      {pm10, am6, 0, 60059, 1, 0},   {pm10, am6, 0, 215959, 0, 0},  {pm10, am6, 0, 220000, 0, 1},
      {pm10, am6, 0, 220100, 0, 0},  {pm10, pm10, 1, 220000, 0, 0}, {pm10, pm10, 1, 230000, 1, 1},
      {pm10, pm10, 0, 220000, 0, 0}, {pm10, pm10, 0, 220000, 1, 1}, {late, early, 0, 220020, 0, 1},
  };
  for (const auto& c : cases) {
    Set([&c](Settings& s) {
      s.enableTime = c.enable;
      s.disableTime = c.disable;
      s.enabled = c.before;
    });
    clock.local = CalendarFields{2024, 3, 15, c.at / 10000, c.at / 100 % 100, c.at % 100};
    if (c.startUp) {
      detector.ApplyEnableWindow();
    } else {
      detector.DetectionStep();
    }
    EXPECT_EQ(settings.Get()->enabled, c.after) << c.at;
  }
}

TEST_F(DetectorTest, FramesOverwrittenBeforeTheyWereReadCountAsLost) {
  const int usable = kRingSlots - Gap();  // frames still comparable when lapped
  Step(1, Gap() + 1);                     // the last one is compared
  for (int behind : {100, 64, usable + 1, usable}) {
    SCOPED_TRACE("behind " + std::to_string(behind));
    const uint64_t processed = detector.FramesProcessed(), lost = detector.FramesLost();
    for (int i = 0; i < behind; ++i) {
      Push(i % 17 + 1);
    }
    detector.DetectionStep();
    const int expectedLost = std::max(behind - usable, 0);
    EXPECT_EQ(detector.FramesLost() - lost, static_cast<uint64_t>(expectedLost));
    EXPECT_EQ(detector.FramesProcessed() - processed, static_cast<uint64_t>(behind - expectedLost));
    // The frames after the jump were compared with their own references.
    EXPECT_EQ(detector.LastPixelCount(), (behind - 1) % 17 + 1);
    EXPECT_EQ(detector.FramesRead(), ring.FramesStored());
  }
}

// The ring refilled during a slow archive write: the sink keeps the compared frame; lost counted.
TEST_F(DetectorTest, ArchiveSinkGetsTheProcessedFrameEvenWhenItsSlotIsRefilled) {
  struct CallbackSink final : ArchiveSink {
    std::function<void()> log, record;
    void LogClipFrame(int32_t) override { log(); }
    void RecordArchiveFrame() override { record(); }
  } sink;
  int calls = 0;
  std::vector<uint8_t> frameAfter;
  UtcTime stamp;
  sink.log = [&] {
    if (calls++ == 0) {  // the first frame's archive write is the slow one
      for (int i = 0; i < kRingSlots; ++i) {
        Push(0, 90);  // every slot now holds a uniform 90
      }
    }
  };
  sink.record = [&] {
    if (!frameAfter.empty()) {
      return;
    }
    frameAfter.assign(detector.currentFrame(), detector.currentFrame() + kFrameBytes);
    stamp = detector.currentStamp();
  };
  detector.SetArchiveSink(sink);
  Step(0, Gap());
  Push(25, 10);
  const int processedFrame = stored - 1;
  const uint64_t lost = detector.FramesLost();
  detector.DetectionStep();
  ASSERT_GE(calls, 1);
  EXPECT_EQ(frameAfter[kFrameBytes - 1], 10);
  EXPECT_EQ(std::count(frameAfter.begin(), frameAfter.end(), 200), 25);
  EXPECT_EQ(stamp, StampOf(processedFrame));
  // Of the 64 frames stored during the write, those whose reference went with the lap are lost.
  EXPECT_EQ(detector.FramesLost() - lost, static_cast<uint64_t>(Gap()));
}

// Off, the pass is the plain one. On, it learns, then counts no noise and shows its own table;
// after a break in the capture times, or switched on again, it learns anew (plain meanwhile).
TEST_F(DetectorTest, AdaptiveThresholdLearnsAndArmsAndIsNotRunWhenOff) {
  std::mt19937 random(7);
  std::vector<std::vector<uint8_t>> luma(kRingSlots, std::vector<uint8_t>(kFrameBytes));
  // Processes frames of noise 100 +-20; true when every one measured as the plain pass.
  const auto noise = [&](int frames) {
    bool plain = true;
    for (int k = 0; k < frames; ++k) {
      std::vector<uint8_t>& y = luma[stored % kRingSlots];
      for (int i = 0; i < kFrameBytes; ++i) {
        sample[2 * i] = y[i] = static_cast<uint8_t>(80 + random() % 41);
      }
      ring.StoreFrame(sample.data(), StampOf(stored++) + late);
      detector.DetectionStep();
      if (stored <= Gap()) {
        continue;  // no reference yet
      }
      const FrameExcess e =
          MeasureFrameExcess(y.data(), luma[(stored - 1 + kRingSlots - Gap()) % kRingSlots].data(),
                             thresholds.Current()->data());
      const FrameStatistics& s = detector.statistics();
      plain = plain && e.pixelCount == s.pixelCount && e.excessSum == s.excessSum &&
              static_cast<double>(e.sx) / e.excessSum == s.centroidX;
    }
    return plain;
  };
  std::vector<uint8_t> shown(kFrameBytes);
  const auto showsPlainTable = [&] {
    return detector.CopyThresholdTable(shown.data()) &&
           std::equal(shown.begin(), shown.end(), thresholds.Current()->data());
  };
  EXPECT_TRUE(noise(60));
  EXPECT_GT(detector.LastPixelCount(), 1000);
  Set([](Settings& s) { s.adaptiveThreshold = true; });
  EXPECT_FALSE(noise(60));
  EXPECT_EQ(detector.LastPixelCount(), 0);
  EXPECT_FALSE(showsPlainTable());
  EXPECT_GT(*std::min_element(shown.begin(), shown.end()), 30);
  late = std::chrono::minutes(5);  // another source
  EXPECT_TRUE(noise(50));
  EXPECT_TRUE(showsPlainTable());
  EXPECT_FALSE(noise(20));
  Set([](Settings& s) { s.adaptiveThreshold = false; });
  EXPECT_TRUE(noise(5));
  EXPECT_TRUE(showsPlainTable());
  Set([](Settings& s) { s.adaptiveThreshold = true; });
  EXPECT_TRUE(noise(40));
}

TEST(FrameExcessTest, MatchesThePlainLoopOnRandomFrames) {
  std::mt19937 random(12345);
  std::vector<uint8_t> cur(kFrameBytes), ref(kFrameBytes), thr(kFrameBytes);
  for (int round = 0; round < 4; ++round) {
    FrameExcess plain;
    for (int i = 0; i < kFrameBytes; ++i) {
      cur[i] = static_cast<uint8_t>(random());
      ref[i] = static_cast<uint8_t>(random());
      thr[i] = round == 3 ? 0 : static_cast<uint8_t>(random() % 64 + (random() % 50 ? 0 : 192));
      const int e = cur[i] - ref[i] - thr[i];
      if (e > 0) {
        plain.pixelCount += 1;
        plain.excessSum += e;
        plain.sx += static_cast<int64_t>(i % kFrameWidth) * e;
        plain.sy += static_cast<int64_t>(i / kFrameWidth) * e;
      }
    }
    const FrameExcess fast = MeasureFrameExcess(cur.data(), ref.data(), thr.data());
    EXPECT_EQ(std::tie(fast.pixelCount, fast.excessSum, fast.sx, fast.sy),
              std::tie(plain.pixelCount, plain.excessSum, plain.sx, plain.sy));
  }
}

using Frame = std::vector<uint8_t>;

// Frames whose difference is noise of +-2 in the left half and +-24 in the right half.
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

  // A 3x3 brightening of 40 counts where the sky is quiet, not where noisy; one pixel never.
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

// Learnt from a ring for 20 s of a sky with a clock, hot pixels and meteors, the mask covers the
// clock and hot pixels but no meteor's track, and reads back as written.
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
    ASSERT_EQ((*map.Current())[i], mask[i] != 0 ? 255 : 30) << i;
  }
}

}  // namespace
}  // namespace ombrix
