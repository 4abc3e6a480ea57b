#include "capture/file_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "base/stamp.h"
#include "capture/frame_ring.h"
#include "support/temp_dir.h"
#include "test_video.h"
#include "virtual_time.h"

namespace ombrix {
namespace {

using std::chrono::milliseconds;

void WaitUntilFinished(const FileSource& source) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!source.Finished() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(1));
  }
}

TEST(ParseCreationTime, ReadsIsoTimesToTheSecond) {
  EXPECT_EQ(ParseCreationTime("2025-03-04T05:06:07.000000Z"),
            MakeCalendarTime(2025, 3, 4, 5, 6, 7));
  EXPECT_EQ(ParseCreationTime("2025-03-04 05:06:07"), MakeCalendarTime(2025, 3, 4, 5, 6, 7));
  EXPECT_EQ(ParseCreationTime(""), std::nullopt);
  EXPECT_EQ(ParseCreationTime("2025-13-04T05:06:07Z"), std::nullopt);
  EXPECT_EQ(ParseCreationTime("yesterday"), std::nullopt);
}

class FileSourceTest : public ::testing::Test {
 protected:
  // One movie of 100 frames at 25 frames/s for every test of the suite.
  static void SetUpTestSuite() {
    folder_ = std::make_unique<test::TempDir>();
    movie_ = (*folder_ / "night.mp4").string();
    made_ = test::MakeTestVideo(movie_, 100, 25, "2025-03-04T05:06:07.000000Z");
  }
  static void TearDownTestSuite() { folder_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(made_);
    path_ = movie_;
  }

  static inline std::unique_ptr<test::TempDir> folder_;
  static inline std::string movie_;
  static inline bool made_ = false;
  test::TempDir dir_;
  std::string path_;
  Settings settings_;
  test::VirtualPacer pacer_;
  test::PacerClock clock_{pacer_};
  FrameRing ring_;
  std::vector<std::string> reports_;
};

TEST_F(FileSourceTest, RealTimeDeliveryKeepsThePresentationTimes) {
  FileSourceOptions options;
  options.path = path_;
  const Pacer::TimePoint begin = pacer_.Now();
  FileSource source(options, settings_, clock_, pacer_, nullptr, nullptr);
  ring_.sampleSize = kSampleSize720;
  ASSERT_TRUE(source.Start(ring_));
  EXPECT_EQ(ring_.sampleSize.load(), kSampleSize640);
  EXPECT_EQ(source.estimatedFrameCount(), 100);
  EXPECT_EQ(source.startTime(), *MakeCalendarTime(2025, 3, 4, 5, 6, 7));
  WaitUntilFinished(source);
  ASSERT_TRUE(source.Finished());
  source.Stop();
  EXPECT_EQ(source.framesDelivered(), 100u);
  EXPECT_EQ(ring_.framesStored.load(), 100u);
  // The last picture was due 99 * 40 ms after the start.
  EXPECT_EQ(pacer_.Now() - begin, milliseconds(99 * 40));
  // The newest 64 frames, 36..99, carry the creation time plus their presentation times.
  for (int frame = 36; frame < 100; ++frame) {
    const uint32_t slot = static_cast<uint32_t>(frame % kRingSlots);
    const Stamp expected = ShiftStamp("20250304_050607_000", frame * 40);
    EXPECT_EQ(MakeStamp(ring_.stamps[slot]), expected);
    EXPECT_NEAR(ring_.Frame(slot)[320 * 240], test::TestVideoBrightness(frame), 2) << frame;
  }
}

struct DetectorRun {
  uint64_t processed = 0;
  uint64_t largestLead = 0;  // frames stored but not yet processed
  int wrongFrames = 0;
};

// Runs a fast file source against a slow detector that checks, for each frame, that the frame and
// the one triggerGap back are still in the ring. The detector starts late, so that the source
// runs as far ahead as it may.
DetectorRun RunAgainstDetector(const std::string& path, int gap, Settings& settings,
                               const Clock& clock, Pacer& pacer, FrameRing& ring) {
  settings.triggerGap = gap;
  gap = ((gap % kRingSlots) + kRingSlots) % kRingSlots;  // as the detector counts it
  FileSourceOptions options;
  options.path = path;
  options.fast = true;
  options.start = *MakeCalendarTime(2026, 1, 2, 23, 59, 59);
  const uint64_t reach = static_cast<uint64_t>(kRingSlots - gap);
  std::atomic<uint64_t> processed{0};
  DetectorRun run;
  FileSource source(options, settings, clock, pacer, nullptr, [&] { return processed.load(); });
  EXPECT_TRUE(source.Start(ring));
  const auto late = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ring.framesStored.load() < reach && std::chrono::steady_clock::now() < late) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  std::this_thread::sleep_for(milliseconds(50));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (processed.load() < 100 && std::chrono::steady_clock::now() < deadline) {
    const uint64_t stored = ring.framesStored.load(std::memory_order_acquire);
    const uint64_t n = processed.load();
    if (stored <= n) {
      std::this_thread::yield();
      continue;
    }
    run.largestLead = std::max(run.largestLead, stored - n);
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    for (uint64_t frame : {n, n >= static_cast<uint64_t>(gap) ? n - gap : n}) {
      const int brightness = ring.Frame(static_cast<uint32_t>(frame % kRingSlots))[1000];
      if (std::abs(brightness - test::TestVideoBrightness(static_cast<int>(frame))) > 2) {
        ++run.wrongFrames;
      }
    }
    processed = n + 1;
  }
  WaitUntilFinished(source);
  EXPECT_TRUE(source.Finished());
  run.processed = processed.load();
  return run;
}

TEST_F(FileSourceTest, FastDeliveryStaysWithinReachOfTheDetector) {
  const DetectorRun run = RunAgainstDetector(path_, 10, settings_, clock_, pacer_, ring_);
  EXPECT_EQ(run.processed, 100u);
  EXPECT_EQ(run.wrongFrames, 0);
  // Every frame the detector needs is kept, and the source runs that far ahead, no less.
  EXPECT_EQ(run.largestLead, 54u);
  // Virtual times from the given start, across midnight; frames 36..99 are in the ring.
  EXPECT_EQ(MakeStamp(ring_.stamps[36]), "20260103_000000_440");
  EXPECT_EQ(MakeStamp(ring_.stamps[35]), "20260103_000002_960");
}

TEST_F(FileSourceTest, FastDeliveryWithTheLargestGapStillMoves) {
  // A gap of -1 reaches back 63 frames in the ring, like 63.
  for (int gap : {63, -1}) {
    FrameRing ring;
    const DetectorRun run = RunAgainstDetector(path_, gap, settings_, clock_, pacer_, ring);
    EXPECT_EQ(run.processed, 100u) << gap;
    EXPECT_EQ(run.wrongFrames, 0) << gap;
    EXPECT_EQ(run.largestLead, 1u) << gap;
  }
}

TEST_F(FileSourceTest, WithoutCreationTimeTheStartIsNow) {
  const std::string bare = (dir_ / "bare.mp4").string();
  ASSERT_TRUE(test::MakeTestVideo(bare, 3, 25));
  FileSourceOptions options;
  options.path = bare;
  options.fast = true;
  pacer_.Advance(std::chrono::seconds(90));
  FileSource source(options, settings_, clock_, pacer_, nullptr, nullptr);
  ASSERT_TRUE(source.Start(ring_));
  WaitUntilFinished(source);
  EXPECT_EQ(source.startTime(), test::PacerClock::kOrigin + 90);
  EXPECT_EQ(MakeStamp(ring_.stamps[2]), "20261206_220130_080");
}

TEST_F(FileSourceTest, MissingFileIsReportedAndStartsNothing) {
  FileSourceOptions options;
  options.path = (dir_ / "missing.mp4").string();
  FileSource source(
      options, settings_, clock_, pacer_,
      [&](const std::string& text) { reports_.push_back(text); }, nullptr);
  EXPECT_FALSE(source.Start(ring_));
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_NE(reports_[0].find("missing.mp4"), std::string::npos);
  EXPECT_FALSE(source.Finished());
  source.Stop();
  EXPECT_EQ(ring_.framesStored.load(), 0u);
}

TEST_F(FileSourceTest, StopEndsAWaitingSource) {
  FileSourceOptions options;
  options.path = path_;
  options.fast = true;
  // A detector that never processes anything: the source fills the ring's reach and waits.
  FileSource source(options, settings_, clock_, pacer_, nullptr, [] { return uint64_t{0}; });
  ASSERT_TRUE(source.Start(ring_));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ring_.framesStored.load() < 54 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(ring_.framesStored.load(), 54u);  // 64 - triggerGap (10)
  source.Stop();
  EXPECT_FALSE(source.Finished());
}

}  // namespace
}  // namespace ombrix
