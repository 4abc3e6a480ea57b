#include "capture/file_source.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

#include "base/stamp.h"
#include "capture/frame_ring.h"
#include "media/video_file_decoder.h"
#include "support/temp_dir.h"
#include "virtual_time.h"

namespace ombrix {
namespace {

using std::chrono::milliseconds;

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

void WaitUntilFinished(const FileSource& source) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!source.Finished() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(1));
  }
}

class FileSourceTest : public ::testing::Test {
 protected:
  // One movie of 100 frames at 25 frames/s for the whole suite.
  static void SetUpTestSuite() {
    folder_ = std::make_unique<test::TempDir>();
    movie_ = (*folder_ / "night.mp4").string();
    made_ = MakeMovie(movie_, 100, "25", "2025-03-04T05:06:07.000000Z");
  }
  static void TearDownTestSuite() { folder_.reset(); }
  void SetUp() override { ASSERT_TRUE(made_); }
  FileSourceOptions Options(bool fast) {
    FileSourceOptions options;
    options.path = movie_;
    options.fast = fast;
    return options;
  }

  static inline std::unique_ptr<test::TempDir> folder_;
  static inline std::string movie_;
  static inline bool made_ = false;
  test::TempDir dir_;
  Settings settings_;
  test::VirtualPacer pacer_;
  test::PacerClock clock_{pacer_};
  FrameRing ring_;
};

TEST_F(FileSourceTest, DecoderReadsEveryPictureScaledWithItsTimeRoundedDown) {
  VideoFileDecoder yuyv(movie_, VideoFileDecoder::Layout::kYuyv);
  ASSERT_FALSE(yuyv.failed()) << yuyv.error();
  EXPECT_EQ(yuyv.estimatedFrameCount(), 100);
  std::vector<uint8_t> sample(kSampleSize640);
  int64_t presentation_ms = -1;
  int frames = 0;
  while (yuyv.ReadFrame(sample.data(), presentation_ms)) {
    EXPECT_EQ(presentation_ms, frames * 40);
    for (size_t pixel : {size_t{0}, size_t{240 * 640 + 320}, size_t{479 * 640 + 639}}) {
      EXPECT_NEAR(sample[2 * pixel], Brightness(frames), 2) << frames;
    }
    ++frames;
  }
  EXPECT_EQ(frames, 100);

  const std::string ntsc = (dir_ / "ntsc.mp4").string();
  ASSERT_TRUE(MakeMovie(ntsc, 4, "30000/1001"));
  VideoFileDecoder grey(ntsc, VideoFileDecoder::Layout::kGrey);
  std::vector<int64_t> times;
  while (grey.ReadFrame(sample.data(), presentation_ms)) {
    times.push_back(presentation_ms);
  }
  EXPECT_EQ(times, (std::vector<int64_t>{0, 33, 66, 100}));
  // Full-range grey of a limited-range picture.
  EXPECT_NEAR(sample[240 * 640 + 320], (26 - 16) * 255 / 219, 3);
}

TEST_F(FileSourceTest, RealTimeDeliveryStampsTheCreationTimePlusThePresentationTime) {
  const Pacer::TimePoint begin = pacer_.Now();
  FileSource source(Options(false), settings_, clock_, pacer_, nullptr, nullptr);
  ring_.sampleSize = kSampleSize720;
  ASSERT_TRUE(source.Start(ring_));
  EXPECT_EQ(ring_.sampleSize.load(), kSampleSize640);
  EXPECT_EQ(source.startTime(), *MakeCalendarTime(2025, 3, 4, 5, 6, 7));
  WaitUntilFinished(source);
  ASSERT_TRUE(source.Finished());
  EXPECT_EQ(ring_.framesStored.load(), 100u);
  EXPECT_EQ(pacer_.Now() - begin, milliseconds(99 * 40));
  for (int frame = 36; frame < 100; ++frame) {
    const uint32_t slot = static_cast<uint32_t>(frame % kRingSlots);
    EXPECT_EQ(MakeStamp(ring_.stamps[slot]), ShiftStamp("20250304_050607_000", frame * 40));
    EXPECT_NEAR(ring_.Frame(slot)[320 * 240], Brightness(frame), 2) << frame;
  }

  // Without a creation time the start is now.
  const std::string bare = (dir_ / "bare.mp4").string();
  ASSERT_TRUE(MakeMovie(bare, 3, "25"));
  FileSourceOptions options = Options(true);
  options.path = bare;
  test::VirtualPacer pacer;
  test::PacerClock clock(pacer);
  pacer.Advance(std::chrono::seconds(90));
  FileSource now(options, settings_, clock, pacer, nullptr, nullptr);
  FrameRing ring;
  ASSERT_TRUE(now.Start(ring));
  WaitUntilFinished(now);
  EXPECT_EQ(now.startTime(), test::PacerClock::kOrigin + 90);
  EXPECT_EQ(MakeStamp(ring.stamps[2]), "20261206_220130_080");
}

// A fast source against a detector that starts late and then checks, frame by frame, that the
// frame and the one triggerGap back are still in the ring: the source runs 64 - gap frames ahead,
// no more and no less.
TEST_F(FileSourceTest, FastDeliveryStaysWithinReachOfTheDetector) {
  for (int gap : {10, 63, -1}) {  // -1 reaches back 63 frames, like 63
    settings_.triggerGap = gap;
    const uint64_t reach = gap == 10 ? 54 : 1;
    FileSourceOptions options = Options(true);
    options.start = *MakeCalendarTime(2026, 1, 2, 23, 59, 59);
    std::atomic<uint64_t> processed{0};
    FrameRing ring;
    FileSource source(options, settings_, clock_, pacer_, nullptr,
                      [&] { return processed.load(); });
    ASSERT_TRUE(source.Start(ring));
    const auto late = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ring.framesStored.load() < reach && std::chrono::steady_clock::now() < late) {
      std::this_thread::sleep_for(milliseconds(1));
    }
    std::this_thread::sleep_for(milliseconds(50));
    uint64_t largestLead = 0;
    int wrongFrames = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (processed.load() < 100 && std::chrono::steady_clock::now() < deadline) {
      const uint64_t stored = ring.framesStored.load(std::memory_order_acquire);
      const uint64_t n = processed.load();
      if (stored <= n) {
        std::this_thread::yield();
        continue;
      }
      largestLead = std::max(largestLead, stored - n);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      for (uint64_t frame : {n, n >= 64 - reach ? n - (64 - reach) : n}) {
        wrongFrames +=
            std::abs(ring.Frame(frame % kRingSlots)[1000] - Brightness(frame)) > 2 ? 1 : 0;
      }
      processed = n + 1;
    }
    WaitUntilFinished(source);
    EXPECT_TRUE(source.Finished()) << gap;
    EXPECT_EQ(processed.load(), 100u) << gap;
    EXPECT_EQ(wrongFrames, 0) << gap;
    EXPECT_EQ(largestLead, reach) << gap;
    if (gap == 10) {  // virtual times from the given start, across midnight
      EXPECT_EQ(MakeStamp(ring.stamps[36]), "20260103_000000_440");
      EXPECT_EQ(MakeStamp(ring.stamps[35]), "20260103_000002_960");
    }
  }
}

TEST_F(FileSourceTest, MissingFileIsReportedAndStopEndsAWaitingSource) {
  std::vector<std::string> reports;
  FileSourceOptions options = Options(true);
  options.path = (dir_ / "missing.mp4").string();
  FileSource missing(
      options, settings_, clock_, pacer_, [&](const std::string& text) { reports.push_back(text); },
      nullptr);
  EXPECT_FALSE(missing.Start(ring_));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("missing.mp4"), std::string::npos);
  EXPECT_EQ(ring_.framesStored.load(), 0u);

  // A detector that never moves: the source fills the ring's reach and waits until stopped.
  FileSource source(Options(true), settings_, clock_, pacer_, nullptr, [] { return uint64_t{0}; });
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
