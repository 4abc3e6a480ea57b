#include "detect/detector.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/stamp.h"
#include "detect/frame_excess.h"
#include "image_files.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

// A clock whose local and UTC times of day the test sets.
class FakeClock final : public Clock {
 public:
  SystemTime UtcNow() const override { return utc; }
  CalendarFields LocalNow() const override { return local; }

  void SetLocal(int hour, int minute, int second = 0) {
    local = CalendarFields{2024, 3, 15, hour, minute, second, 5};
  }
  void SetUtc(int hour, int minute, int second = 0) {
    utc = SystemTime{2024,
                     3,
                     5,
                     15,
                     static_cast<uint16_t>(hour),
                     static_cast<uint16_t>(minute),
                     static_cast<uint16_t>(second),
                     0};
  }

  SystemTime utc{};
  CalendarFields local{};
};

// Records the sink calls and what the detector showed at each.
class RecordingSink final : public ArchiveSink {
 public:
  explicit RecordingSink(const Detector& detector) : detector_(detector) {}
  void LogClipFrame(int32_t excessSum) override {
    EXPECT_EQ(excessSum, detector_.statistics().excessSum);
    calls.push_back('L');
    slots.push_back(detector_.currentSlot());
    stamps.push_back(detector_.currentStamp());
  }
  void RecordArchiveFrame() override { calls.push_back('R'); }

  std::string calls;
  std::vector<uint32_t> slots;
  std::vector<SystemTime> stamps;

 private:
  const Detector& detector_;
};

// A detector on a real ring fed with synthetic 640x480 YUYV samples. Frame n is stamped
// 2024-03-15 21:15:07 plus 33 ms per frame.
class DetectorTest : public ::testing::Test {
 protected:
  DetectorTest()
      : detector(settings, ring, thresholds, events, clock), sample(kSampleSize640, 128) {
    settings.archiveFolder.set(base.str());
    settings.enabled = true;
    detector.BuildThresholdMap();
  }

  SystemTime StampOf(int n) const {
    return ToSystemTime(*MakeCalendarTime(2024, 3, 15, 21, 15, 7) + (n * 33) / 1000,
                        (n * 33) % 1000);
  }

  // Stores a dark frame with `bright` pixels of level 200 starting at the beginning of a row that
  // no nearby frame uses, so its pixel count against any earlier frame is exactly `bright`.
  void Push(int bright) {
    if (levelFrame_) {
      for (size_t i = 0; i < sample.size(); i += 2) {
        sample[i] = 0;
      }
      levelFrame_ = false;
    }
    for (int p = litStart_; p < litStart_ + litCount_; ++p) {
      sample[2 * static_cast<size_t>(p)] = 0;
    }
    litStart_ = (stored_ % 400) * kFrameWidth;
    litCount_ = bright;
    for (int p = litStart_; p < litStart_ + litCount_; ++p) {
      sample[2 * static_cast<size_t>(p)] = 200;
    }
    ring.StoreFrame(sample.data(), StampOf(stored_));
    ++stored_;
  }
  void PushLevel(uint8_t level) {
    for (size_t i = 0; i < sample.size(); i += 2) {
      sample[i] = level;
    }
    levelFrame_ = true;
    ring.StoreFrame(sample.data(), StampOf(stored_));
    ++stored_;
  }
  // Stores one frame and runs one pass.
  void Step(int bright) {
    Push(bright);
    detector.DetectionStep();
  }
  // Fills the reference slots so that the next frame is the first one compared.
  void WarmUp() {
    const int gap = ((settings.triggerGap % 64) + 64) % 64;
    for (int i = 0; i < gap; ++i) {
      Step(0);
    }
  }
  std::filesystem::path EventFile(int frame) const {
    return base / "events" / ("e" + MakeStamp(StampOf(frame)) + ".txt");
  }
  size_t EventFileCount() const {
    if (!std::filesystem::exists(base / "events")) {
      return 0;
    }
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(base / "events"),
                                             std::filesystem::directory_iterator()));
  }

  test::TempDir base;
  Settings settings;
  FrameRing ring;
  ThresholdMap thresholds;
  EventList events;
  FakeClock clock;
  Detector detector;
  std::vector<uint8_t> sample;
  int stored_ = 0;
  bool levelFrame_ = true;
  int litStart_ = 0;
  int litCount_ = 0;
};

TEST_F(DetectorTest, WorkedTriggerExampleFrameByFrame) {
  WarmUp();
  EXPECT_EQ(detector.FramesProcessed(), 0u);  // nothing compared while references are missing

  struct Expected {
    int pixelCount;
    bool activeAfter;
    int runLength;
    int eventFrames;
  };
  std::vector<Expected> table = {
      {20, false, 1, 0}, {3, false, 0, 0}, {15, false, 1, 0}, {12, true, 0, 0}, {30, true, 0, 1}};
  for (int frame = 6; frame <= 54; ++frame) {
    table.push_back({0, true, frame - 5, frame - 4});
  }
  table.push_back({0, true, 50, 51});  // frame 55
  table.push_back({0, false, 0, 0});   // frame 56: the event ends

  const int firstFrame = stored_;  // ring frame number of example frame 1
  for (size_t i = 0; i < table.size(); ++i) {
    const int frame = static_cast<int>(i) + 1;
    SCOPED_TRACE("frame " + std::to_string(frame));
    Step(table[i].pixelCount);
    EXPECT_EQ(detector.statistics().pixelCount, table[i].pixelCount);
    EXPECT_EQ(detector.state().eventActive, table[i].activeAfter);
    EXPECT_EQ(detector.state().runLength, table[i].runLength);
    EXPECT_EQ(detector.state().eventFrames, table[i].eventFrames);
    if (frame == 4) {
      EXPECT_EQ(detector.state().eventStart, StampOf(firstFrame + 3));
    }
    if (frame < 56) {
      EXPECT_TRUE(events.Empty());
    }
  }
  EXPECT_EQ(
      test::ReadFileBytes(EventFile(firstFrame + 3)),
      MakeStamp(StampOf(firstFrame + 3)) + "\r\n" + MakeStamp(StampOf(firstFrame + 55)) + "\r\n");
  EXPECT_EQ(events.TakeHead(), MakeStamp(StampOf(firstFrame + 3)));
  EXPECT_EQ(detector.FramesProcessed(), 56u);
  EXPECT_EQ(detector.FramesLost(), 0u);
}

TEST_F(DetectorTest, EventThatNeverGoesQuietEndsOnItsThousandAndFirstFrame) {
  WarmUp();
  Step(20);
  Step(20);
  ASSERT_TRUE(detector.state().eventActive);
  const int first = stored_ - 1;
  settings.enabled = false;  // does not end an event in progress
  for (int i = 1; i < 1001; ++i) {
    Step(20);
  }
  EXPECT_TRUE(detector.state().eventActive);
  Step(20);
  EXPECT_FALSE(detector.state().eventActive);
  EXPECT_EQ(test::ReadFileBytes(EventFile(first)),
            MakeStamp(StampOf(first)) + "\r\n" + MakeStamp(StampOf(first + 1001)) + "\r\n");
}

TEST_F(DetectorTest, HourlyBudgetAllowsTwelveQuickEventsThenRefuses) {
  settings.hourlyRate = 12;
  WarmUp();
  for (int event = 0; event < 13; ++event) {
    SCOPED_TRACE("event " + std::to_string(event + 1));
    Step(20);
    Step(20);
    const int first = stored_ - 1;
    EXPECT_EQ(detector.state().eventActive, event < 12);
    for (int quiet = 0; quiet < 52; ++quiet) {
      Step(0);
    }
    EXPECT_FALSE(detector.state().eventActive);
    EXPECT_EQ(std::filesystem::exists(EventFile(first)), event < 12);
  }
  EXPECT_EQ(events.Size(), 12u);
  EXPECT_EQ(EventFileCount(), 12u);
  EXPECT_GT(detector.state().rateDebt, kFramesPerHour);

  // Each refused attempt restarts the busy run.
  Step(20);
  EXPECT_EQ(detector.state().runLength, 1);
  Step(20);
  EXPECT_EQ(detector.state().runLength, 0);
  EXPECT_FALSE(detector.state().eventActive);
}

TEST_F(DetectorTest, HourlyRateOfOneOrLessCountsAsTwo) {
  settings.hourlyRate = 0;
  WarmUp();
  for (int event = 0; event < 3; ++event) {
    Step(20);
    Step(20);
    EXPECT_EQ(detector.state().eventActive, event < 2) << "event " << event + 1;
    for (int quiet = 0; quiet < 52; ++quiet) {
      Step(0);
    }
  }
  EXPECT_EQ(events.Size(), 2u);
}

TEST_F(DetectorTest, DisabledDetectionStartsNoEvent) {
  settings.enabled = false;
  WarmUp();
  for (int i = 0; i < 5; ++i) {
    Step(50);
  }
  EXPECT_FALSE(detector.state().eventActive);
  EXPECT_EQ(detector.state().runLength, 5);
}

TEST_F(DetectorTest, ScheduleAcrossMidnight) {
  settings.enableTime = TimeOfDay{22, 0, 0};
  settings.disableTime = TimeOfDay{6, 0, 0};

  clock.SetLocal(23, 30);
  settings.enabled = false;
  detector.ApplyEnableWindow();
  EXPECT_TRUE(settings.enabled);
  clock.SetLocal(12, 0);
  detector.ApplyEnableWindow();
  EXPECT_FALSE(settings.enabled);
  clock.SetLocal(5, 59, 59);
  detector.ApplyEnableWindow();
  EXPECT_TRUE(settings.enabled);
  clock.SetLocal(6, 0, 0);
  detector.ApplyEnableWindow();
  EXPECT_FALSE(settings.enabled);

  settings.enabled = true;
  clock.SetLocal(5, 59, 59);
  detector.DetectionStep();
  EXPECT_TRUE(settings.enabled);
  clock.SetLocal(6, 0, 0);
  detector.DetectionStep();
  EXPECT_FALSE(settings.enabled);
  // Within that minute a manual change is overridden on the next pass.
  settings.enabled = true;
  clock.SetLocal(6, 0, 59);
  detector.DetectionStep();
  EXPECT_FALSE(settings.enabled);
  clock.SetLocal(21, 59, 59);
  detector.DetectionStep();
  EXPECT_FALSE(settings.enabled);
  clock.SetLocal(22, 0, 0);
  detector.DetectionStep();
  EXPECT_TRUE(settings.enabled);
  // Outside the two minutes the schedule leaves a manual change alone.
  clock.SetLocal(22, 1, 0);
  settings.enabled = false;
  detector.DetectionStep();
  EXPECT_FALSE(settings.enabled);
}

TEST_F(DetectorTest, ScheduleFollowsUtcWhenAskedTo) {
  settings.enableTime = TimeOfDay{22, 0, 0};
  settings.disableTime = TimeOfDay{6, 0, 0};
  clock.SetLocal(23, 30);
  clock.SetUtc(12, 0);
  settings.enableDisableTimeIsLocal = false;
  settings.enabled = true;
  detector.ApplyEnableWindow();
  EXPECT_FALSE(settings.enabled);
  settings.enableDisableTimeIsLocal = true;
  detector.ApplyEnableWindow();
  EXPECT_TRUE(settings.enabled);

  settings.enableDisableTimeIsLocal = false;
  clock.SetLocal(6, 0);
  clock.SetUtc(22, 0);
  settings.enabled = false;
  detector.DetectionStep();
  EXPECT_TRUE(settings.enabled);
}

TEST_F(DetectorTest, EqualEnableAndDisableTimesNeverChangeEnabled) {
  settings.enableTime = TimeOfDay{22, 0, 0};
  settings.disableTime = TimeOfDay{22, 0, 0};
  for (bool value : {false, true}) {
    settings.enabled = value;
    for (int minute : {0, 1}) {
      clock.SetLocal(22, minute);
      detector.ApplyEnableWindow();
      detector.DetectionStep();
      EXPECT_EQ(settings.enabled.load(), value);
    }
  }
  // Same minute, different seconds: both switches apply in that minute and enabling wins.
  settings.enableTime = TimeOfDay{22, 0, 30};
  settings.disableTime = TimeOfDay{22, 0, 10};
  settings.enabled = false;
  clock.SetLocal(22, 0, 20);
  detector.DetectionStep();
  EXPECT_TRUE(settings.enabled);
}

TEST_F(DetectorTest, LargeFlashDoesNotOverflowTheCentroid) {
  settings.threshold = 0;
  settings.triggerGap = 1;
  detector.BuildThresholdMap();
  PushLevel(0);
  PushLevel(255);
  detector.DetectionStep();
  EXPECT_EQ(detector.statistics().pixelCount, kFrameBytes);
  EXPECT_EQ(detector.statistics().excessSum, kFrameBytes * 255);
  EXPECT_DOUBLE_EQ(detector.statistics().centroidX, 319.5);
  EXPECT_DOUBLE_EQ(detector.statistics().centroidY, 239.5);

  // A frame without excess keeps the centroid of the last one that had some.
  PushLevel(255);
  detector.DetectionStep();
  EXPECT_EQ(detector.statistics().pixelCount, 0);
  EXPECT_EQ(detector.statistics().excessSum, 0);
  EXPECT_DOUBLE_EQ(detector.statistics().centroidX, 319.5);
  EXPECT_DOUBLE_EQ(detector.statistics().centroidY, 239.5);
}

TEST_F(DetectorTest, MaskFromTheSettingsKeepsMaskedPixelsOutEvenInAFullFlash) {
  test::Picture mask(kFrameWidth, kFrameHeight, test::Rgb{0, 0, 0});
  for (int y = 100; y < 110; ++y) {
    for (int x = 0; x < kFrameWidth; ++x) {
      mask.at(x, y) = test::Rgb{255, 0, 0};
    }
  }
  test::WriteBmp(base / "mask.bmp", mask);
  settings.maskFile.set((base / "mask.bmp").string());
  settings.threshold = 0;
  settings.triggerGap = 1;
  detector.BuildThresholdMap();
  PushLevel(0);
  PushLevel(255);
  detector.DetectionStep();
  EXPECT_EQ(detector.statistics().pixelCount, kFrameBytes - 10 * kFrameWidth);

  settings.maskFile.set("");
  detector.BuildThresholdMap();
  PushLevel(0);
  PushLevel(255);
  detector.DetectionStep();
  EXPECT_EQ(detector.statistics().pixelCount, kFrameBytes);
}

TEST_F(DetectorTest, TriggerGapIsTakenModuloTheRing) {
  constexpr int kFrames = 20;
  std::vector<std::vector<int32_t>> counts;
  for (int gap : {1, 65, -63, 0, 64}) {
    Settings local;
    local.triggerGap = gap;
    FrameRing localRing;
    ThresholdMap localMap;
    EventList localEvents;
    Detector localDetector(local, localRing, localMap, localEvents, clock);
    localDetector.BuildThresholdMap();
    std::vector<int32_t> seen;
    for (int n = 0; n < kFrames; ++n) {
      for (size_t i = 0; i < sample.size(); i += 2) {
        sample[i] = 0;
      }
      for (int p = 0; p < n; ++p) {
        sample[2 * static_cast<size_t>(n * kFrameWidth + p)] = 200;
      }
      localRing.StoreFrame(sample.data(), StampOf(n));
      localDetector.DetectionStep();
      seen.push_back(localDetector.LastPixelCount());
    }
    counts.push_back(seen);
  }
  for (int n = 1; n < kFrames; ++n) {
    EXPECT_EQ(counts[0][n], n);
  }
  EXPECT_EQ(counts[1], counts[0]);
  EXPECT_EQ(counts[2], counts[0]);
  EXPECT_EQ(counts[3], std::vector<int32_t>(kFrames, 0));
  EXPECT_EQ(counts[4], std::vector<int32_t>(kFrames, 0));
}

TEST_F(DetectorTest, SinkIsCalledOncePerProcessedFrameAfterTheStatistics) {
  RecordingSink sink(detector);
  detector.SetArchiveSink(sink);
  WarmUp();
  EXPECT_TRUE(sink.calls.empty());  // skipped slots reach no sink
  Push(7);
  Push(9);
  detector.DetectionStep();
  EXPECT_EQ(sink.calls, "LRLR");
  ASSERT_EQ(sink.slots.size(), 2u);
  EXPECT_EQ(sink.slots[0], static_cast<uint32_t>((stored_ - 2) % 64));
  EXPECT_EQ(sink.slots[1], static_cast<uint32_t>((stored_ - 1) % 64));
  EXPECT_EQ(sink.stamps[1], StampOf(stored_ - 1));
  EXPECT_EQ(detector.statistics().pixelCount, 9);
}

TEST_F(DetectorTest, FramesOverwrittenBeforeTheyWereReadCountAsLost) {
  const int gap = settings.triggerGap;
  const int usable = kRingSlots - gap;  // frames that can still be compared when lapped
  WarmUp();
  Step(1);
  ASSERT_EQ(detector.FramesProcessed(), 1u);

  for (int behind : {100, 64, usable + 1, usable}) {
    SCOPED_TRACE("behind " + std::to_string(behind));
    const uint64_t processed = detector.FramesProcessed();
    const uint64_t lost = detector.FramesLost();
    for (int i = 0; i < behind; ++i) {
      Push(i % 17 + 1);
    }
    detector.DetectionStep();
    const int expectedLost = behind > usable ? behind - usable : 0;
    EXPECT_EQ(detector.FramesLost() - lost, static_cast<uint64_t>(expectedLost));
    EXPECT_EQ(detector.FramesProcessed() - processed, static_cast<uint64_t>(behind - expectedLost));
    // The frames after the jump were compared with their own references.
    EXPECT_EQ(detector.LastPixelCount(), (behind - 1) % 17 + 1);
    EXPECT_EQ(detector.state().readIndex, ring.writeIndex.load());
  }
  const uint64_t lost = detector.FramesLost();
  Step(3);
  EXPECT_EQ(detector.FramesLost(), lost);
  EXPECT_EQ(detector.LastPixelCount(), 3);
}

TEST_F(DetectorTest, LargestGapLosesNothingWhileTheReaderKeepsUp) {
  settings.triggerGap = 63;
  WarmUp();
  for (int i = 0; i < 5; ++i) {
    Step(i + 1);
    EXPECT_EQ(detector.LastPixelCount(), i + 1);
  }
  EXPECT_EQ(detector.FramesProcessed(), 5u);
  EXPECT_EQ(detector.FramesLost(), 0u);
}

// The obvious per-pixel loop, to check the vectorised pass against.
FrameExcess PlainExcess(const uint8_t* cur, const uint8_t* ref, const uint8_t* thresholds) {
  FrameExcess r;
  for (int i = 0; i < kFrameBytes; ++i) {
    const int e = cur[i] - ref[i] - thresholds[i];
    if (e > 0) {
      r.pixelCount += 1;
      r.excessSum += e;
      r.sx += static_cast<int64_t>(i % kFrameWidth) * e;
      r.sy += static_cast<int64_t>(i / kFrameWidth) * e;
    }
  }
  return r;
}

TEST(FrameExcessTest, OnlyBrighteningBeyondTheThresholdCounts) {
  std::vector<uint8_t> cur(kFrameBytes, 100), ref(kFrameBytes, 100), thr(kFrameBytes, 30);
  ref[0] = 200;  // darkening by 100
  cur[1] = 130;  // brightening by exactly the threshold
  cur[2] = 131;  // one above: excess 1
  cur[3] = 255;  // masked below
  thr[3] = 255;
  cur[kFrameBytes - 1] = 255;  // excess 125 at the last pixel
  const FrameExcess r = MeasureFrameExcess(cur.data(), ref.data(), thr.data());
  EXPECT_EQ(r.pixelCount, 2);
  EXPECT_EQ(r.excessSum, 126);
  EXPECT_EQ(r.sx, 2 + 639 * 125);
  EXPECT_EQ(r.sy, 479 * 125);
}

TEST(FrameExcessTest, MatchesThePlainLoopOnRandomFrames) {
  std::mt19937 random(12345);
  std::vector<uint8_t> cur(kFrameBytes), ref(kFrameBytes), thr(kFrameBytes);
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < kFrameBytes; ++i) {
      cur[i] = static_cast<uint8_t>(random());
      ref[i] = static_cast<uint8_t>(random());
      thr[i] =
          round == 3 ? 0 : static_cast<uint8_t>(random() % 64 + (random() % 50 == 0 ? 192 : 0));
    }
    const FrameExcess fast = MeasureFrameExcess(cur.data(), ref.data(), thr.data());
    const FrameExcess plain = PlainExcess(cur.data(), ref.data(), thr.data());
    EXPECT_EQ(fast.pixelCount, plain.pixelCount);
    EXPECT_EQ(fast.excessSum, plain.excessSum);
    EXPECT_EQ(fast.sx, plain.sx);
    EXPECT_EQ(fast.sy, plain.sy);
  }
}

}  // namespace
}  // namespace ombrix
