#include "capture/capture_graph.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "base/utc_time.h"

#include "capture/capture_time.h"
#include "capture/device_source.h"
#include "capture/frame_ring.h"
#include "fake_v4l2_device.h"
#include "support/movies.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

using Reports = std::vector<std::string>;
using std::chrono::milliseconds;
using std::chrono::seconds;
using test::Yuyv;

// A 720-wide sample keeps its luma from pixel 7 on, one in 11 dropped (17, 28, ...). Frame n is
// copied with its stamp until overwritten, refused before; a sample without bytes stores nothing.
TEST(FrameRing, FramesAreCopiedByNumberWithTheirStampsUntilOverwritten) {
  FrameRing ring;
  ring.SampleArrived(SystemClock(), nullptr);
  EXPECT_FALSE(ring.NewestStamp().has_value());
  std::vector<uint8_t> wide(kSampleSize720, 0xEE);  // luma from its position, chroma 0xEE
  for (size_t i = 0; i < wide.size() / 2; ++i) {
    wide[2 * i] = static_cast<uint8_t>((i % 720 * 7 + i / 720 * 3 + 1) % 0xE0);
  }
  ring.sampleSize = kSampleSize720;
  ring.StoreFrame(wide.data(), UtcTime{});
  const std::vector<uint8_t> frame = test::CopyOfFrame(ring, 0).pixels;
  ASSERT_EQ(frame.size(), static_cast<size_t>(kFrameBytes));
  for (int row : {0, 1, 241, 479}) {
    for (int c : {0, 1, 5, 9, 10, 21, 22, 330, 638, 639}) {
      EXPECT_EQ(frame[row * kFrameWidth + c], wide[(row * 720 + 7 + c + c / 10) * 2]) << row << c;
    }
  }
  ring.sampleSize = kSampleSize640;
  std::vector<uint8_t> sample(kSampleSize640);
  for (int n = 1; n < 70; ++n) {
    std::ranges::fill(sample, static_cast<uint8_t>(n));
    ring.StoreFrame(sample.data(), UtcTime{seconds{1700000000 + n} + milliseconds{n}});
  }
  EXPECT_EQ(ring.FramesStored(), 70u);
  std::vector<uint8_t> out(kFrameBytes);
  for (uint64_t n : {0, 1, 5, 70, 71}) {  // overwritten, or not stored yet
    EXPECT_FALSE(ring.CopyFrame(n, out.data(), nullptr)) << n;
  }
  for (uint64_t n : {6, 40, 69}) {
    UtcTime stamp;
    ASSERT_TRUE(ring.CopyFrame(n, out.data(), &stamp)) << n;
    EXPECT_EQ(stamp, UtcTime{seconds{1700000000 + n} + milliseconds{n}}) << n;
    EXPECT_EQ(std::ranges::count(out, static_cast<uint8_t>(n)), kFrameBytes) << n;
  }
  UtcTime stamp;
  ASSERT_TRUE(ring.CopyNewest(out.data(), &stamp));
  EXPECT_EQ(stamp, UtcTime{seconds{1700000069} + milliseconds{69}});
  EXPECT_EQ(out[kFrameBytes - 1], 69);
}

// Readers racing a lapping writer get whole frames with their own stamps, or a refusal.
TEST(FrameRing, CopiesTakenWhileTheWriterLapsAreWholeOrRefused) {
  FrameRing ring;
  constexpr int kFrames = 200;  // three laps
  std::atomic<bool> done{false};
  std::jthread writer([&] {
    std::vector<uint8_t> sample(kSampleSize640);
    for (int n = 0; n < kFrames; ++n) {
      std::ranges::fill(sample, static_cast<uint8_t>(n % 251));
      ring.StoreFrame(sample.data(), UtcTime{seconds{1700000000} + milliseconds{n}});
    }
    done = true;
  });
  int accepted = 0;
  int torn = 0;
  std::vector<uint8_t> out(kFrameBytes);
  while (!done) {
    UtcTime stamp;
    const uint64_t stored = ring.FramesStored();
    // The newest frame, and the oldest one still in the ring: the one the writer takes next.
    for (uint64_t n : {stored - 1, stored >= 64 ? stored - 64 : 0}) {
      if (stored == 0 || !ring.CopyFrame(n, out.data(), &stamp)) {
        continue;
      }
      ++accepted;
      torn += stamp != UtcTime{seconds{1700000000} + milliseconds{n}} ||
              std::ranges::count(out, static_cast<uint8_t>(n % 251)) != kFrameBytes;
    }
  }
  EXPECT_GT(accepted, 0);
  EXPECT_EQ(torn, 0);
}

// A wall clock standing at 2026-12-07 03:00:00.000 UTC.
class StoppedClock final : public Clock {
 public:
  UtcTime UtcNow() const override { return *ParseStamp("20261207_030000_000"); }
  CalendarFields LocalNow() const override { return BreakUtcTime(UtcNow()); }
};

class CaptureGraphTest : public ::testing::Test {
 protected:
  CaptureGraphTest() {
    notices_.SetSink([this](const Notice& notice) { said_.push_back(notice.text); });
  }
  bool Build() {
    device_.log.clear();
    return graph_.BuildCaptureGraph(ring_);
  }

  test::FakeV4l2Device device_;
  SharedSettings settings_;
  StoppedClock clock_;
  FrameRing ring_;
  // The steady time of the health checks, and of the notices' repeats.
  std::chrono::steady_clock::time_point now_ =
      std::chrono::steady_clock::time_point{} + seconds(50);
  Notices notices_{[this] { return now_; }};
  Reports said_;
  CaptureGraph graph_{device_, settings_, clock_, notices_};
  DeviceSource source_{device_, settings_, clock_, notices_};
  // The STREAMON calls so far, after a health check of source_ at t0 + s seconds.
  int StreamOns(int s) {
    now_ = std::chrono::steady_clock::time_point{} + seconds(50 + s);
    source_.CheckHealth(now_);
    return device_.Now().Count("STREAMON");
  }
};

// Each row one build: the cameras (the last one taken unless not a capture node), the index
// asked (-1 reads as the largest) and taken, the failure, the sample size (1: unchanged) and the
// input routed (-1: none). A failed build releases what it took; probed nodes are closed again.
TEST_F(CaptureGraphTest, BuildTakesADeviceItsCompositeInputAndASupportedFormatOrSaysWhy) {
  v4l2_pix_format padded = Yuyv(640, 480);
  padded.bytesperline = 1344;
  padded.sizeimage = 1344 * 480;
  const std::string size = "Could not set size to 640x480.";
  const struct Row {
    std::vector<test::FakeCamera> cameras;
    std::string failure;
    uint32_t sampleSize = kSampleSize640;
    int routed = -1;
    uint32_t index = 0, taken = 0;
  } rows[] = {
      {{}, "Creation of the enumerator for video capture devices failed.", 1},
      {{{}, {.capture = false}, {}}, "", kSampleSize640, -1, 5, 1},
      {{{}, {}, {.capture = false}, {}}, "", kSampleSize640, -1, 4294967295u, 2},
      {{{.current = Yuyv(1280, 720, V4L2_PIX_FMT_MJPEG)}}, ""},
      {{{.answer = Yuyv(720, 480)}}, "", kSampleSize720},
      {{{.current = Yuyv(720, 480), .setFormatError = EBUSY}}, "", kSampleSize720},
      {{{.answer = Yuyv(1280, 720)}}, size, 1},
      {{{.answer = Yuyv(640, 480, V4L2_PIX_FMT_MJPEG)}}, size, 1},
      {{{.answer = padded}}, size, 1},
      {{{.current = Yuyv(1280, 720), .setFormatError = EBUSY}}, size, 1},
      {{{.inputs = {"Television", "S-Video", "COMPOSITE 1", "Composite 2"}}},
       "",
       kSampleSize640,
       2},
      {{{.inputs = {"Television", "S-Video"}}}, "Pins not found.", 1},
      {{{.inputs = {}}}, "Finding crossbar preview failed.", 1},
      {{{.mmapFailsAt = 2}}, "Render Stream failed. c", kSampleSize640},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(&row - rows);
    device_.cameras = row.cameras;
    ring_.sampleSize = 1;
    settings_.Update([&row](Settings& s) { s.captureDeviceIndex = row.index; });
    EXPECT_EQ(Build(), row.failure.empty());
    EXPECT_EQ(graph_.failure(), row.failure);
    EXPECT_EQ(ring_.sampleSize.load(), row.sampleSize);
    EXPECT_EQ(settings_.Get()->captureDeviceIndex, row.taken);
    EXPECT_EQ(graph_.built(), row.failure.empty());
    const auto seen = device_.Now();  // a failed build releases what it took
    EXPECT_EQ(seen.open + seen.mapped, row.failure.empty() ? 1 + CaptureGraph::kBufferCount : 0);
    EXPECT_TRUE(!row.failure.empty() ||
                graph_.devicePath() == "/dev/video" + std::to_string(row.cameras.size() - 1));
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(device_.Now().Count("S_INPUT " + std::to_string(i)), i == row.routed) << i;
    }
    graph_.TearDownCaptureGraph();
  }
}

// Good samples reach the ring stamped with the driver's monotonic buffer time in UTC (without a
// usable one, the wall clock at dequeue); failed and short buffers are dropped; all are requeued.
TEST_F(CaptureGraphTest, GoodSamplesReachTheRingInUtcAndEveryBufferIsRequeued) {
  device_.cameras = {{}};
  ASSERT_TRUE(Build());
  ASSERT_TRUE(graph_.Run());
  const int64_t now_us = device_.MonotonicNow_us();  // it stays there: every stamp is older
  const std::vector<std::pair<test::Delivery, std::string>> rows = {
      {{.luma = 1, .timestamp_us = now_us - 40000}, "20261207_025959_960"},
      {{.luma = 2, .timestamp_us = now_us - 100000}, "20261207_025959_900"},
      {{.luma = 3}, "20261207_030000_000"},
      {{.luma = 4, .flags = 0, .timestamp_us = now_us - 40000}, "20261207_030000_000"},
      {{.luma = 5, .flags = V4L2_BUF_FLAG_TIMESTAMP_COPY, .timestamp_us = now_us - 40000},
       "20261207_030000_000"},
      {{.luma = 6, .timestamp_us = 0}, "20261207_030000_000"},
      {{.luma = 7, .timestamp_us = now_us - 20000000}, "20261207_030000_000"},  // stale
  };
  device_.Deliver({99, V4L2_BUF_FLAG_ERROR});
  device_.Deliver({98, V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC, 1000});  // short
  for (const auto& row : rows) {
    device_.Deliver(row.first);
  }
  ASSERT_TRUE(test::WaitUntil([&] {
    return graph_.framesDelivered() == rows.size() &&
           device_.Now().queued == CaptureGraph::kBufferCount;
  }));
  EXPECT_EQ(graph_.buffersDropped(), 2u);
  for (uint32_t slot = 0; slot < rows.size(); ++slot) {
    const test::FrameCopy copy = test::CopyOfFrame(ring_, slot);
    ASSERT_FALSE(copy.pixels.empty()) << slot;
    EXPECT_EQ(std::ranges::count(copy.pixels, slot + 1), kFrameBytes) << slot;
    EXPECT_EQ(MakeStamp(copy.stamp), rows[slot].second) << slot;
  }
  graph_.TearDownCaptureGraph();
  const auto seen = device_.Now();
  EXPECT_EQ(seen.Count("STREAMOFF"), 1);
  EXPECT_EQ(seen.mapped + seen.open, 0);
}

// Jittery dequeues keep the capture spacing to the millisecond; a stepped clock is followed.
TEST(CaptureTimeMapper, SmoothsTheClockOffsetAndFollowsASteppedClock) {
  CaptureTimeMapper mapper;
  const int64_t wall0_us = 1796594400000000;  // the true wall clock at monotonic 0
  uint32_t random = 12345;
  int64_t previous = 0;
  int64_t step_us = 0;
  for (int n = 0; n < 300; ++n) {
    const int64_t captured = 1000000000 + n * int64_t{33367};
    random = random * 1103515245 + 12345;
    const int64_t dequeued = captured + (random >> 8) % 25000;
    if (n == 200) {
      step_us = 3600000000;  // the wall clock is set an hour ahead
    }
    const UtcTime wall{milliseconds{(wall0_us + step_us + dequeued) / 1000}};
    const int64_t utc = mapper.ToUtc(captured, wall, dequeued).time_since_epoch().count();
    const int64_t exact = (wall0_us + step_us + captured) / 1000;
    if (n > 0) {
      EXPECT_LE(std::abs(utc - exact), 1) << n;  // the first sample sets the offset exactly
      // 33 or 34 give or take rounding; dequeue stamps would be 8 to 58 ms apart.
      EXPECT_NEAR(utc - previous - (n == 200 ? 3600000 : 0), 33.5, 1.5) << n;
    }
    previous = utc;
  }
}

// A device missing at start is tried every 30 s, said once a minute (eleven lines in ten minutes)
// with the tries held back, until it enumerates. Like any device it is then rebuilt 5 s after its
// last frame, and every 30 s while that fails, until frames flow again; stopped, nothing is open.
TEST_F(CaptureGraphTest, MissingOrSilentDeviceIsTriedAgainUntilFramesFlow) {
  const std::string missing =
      "Creation of the enumerator for video capture devices failed. No capture device can be "
      "used; trying again in 30 s.";
  const std::string stalled =
      "No frame from the capture device for 5 s; rebuilding the capture graph.";
  EXPECT_FALSE(source_.Start(ring_));
  EXPECT_EQ(said_, Reports{missing});
  for (int s = 0; s <= 600; ++s) {
    ASSERT_EQ(StreamOns(s), 0);
  }
  ASSERT_EQ(said_.size(), 11u);
  EXPECT_EQ(said_[1], missing + " (repeated 1 time since the last report)");
  device_.cameras = {{}};  // the capture card enumerates late
  EXPECT_EQ(StreamOns(629), 0);
  EXPECT_EQ(StreamOns(630), 1);
  EXPECT_EQ(said_.back(), "Capture device /dev/video0 found; capture runs.");
  device_.Deliver({40});
  ASSERT_TRUE(test::WaitUntil([&] { return source_.graph().framesDelivered() == 1; }));
  EXPECT_EQ(StreamOns(631), 1);
  EXPECT_EQ(StreamOns(635), 1);
  EXPECT_EQ(StreamOns(636), 2);
  EXPECT_EQ(said_.back(), stalled);
  const size_t said = said_.size();
  device_.cameras[0].capture = false;  // unplugged: the rebuild fails and is tried again
  EXPECT_EQ(StreamOns(665), 2);
  EXPECT_EQ(StreamOns(666), 2);
  EXPECT_EQ(said_.size(), said);  // the failed rebuild is a repeat within the minute
  device_.cameras[0].capture = true;
  EXPECT_EQ(StreamOns(696), 3);
  device_.Deliver({50});
  ASSERT_TRUE(test::WaitUntil([&] { return source_.graph().framesDelivered() == 2; }));
  EXPECT_EQ(StreamOns(697), 3);
  EXPECT_EQ(said_.back(),
            "Frames from the capture device arrive again. (the failure repeated 1 more time)");
  EXPECT_EQ(StreamOns(702), 4);  // a new stall is news at once
  EXPECT_EQ(said_.back(), stalled);
  source_.Stop();
  EXPECT_EQ(StreamOns(1000), 4);
  EXPECT_EQ(device_.Now().open, 0);
  EXPECT_EQ(test::CopyOfFrame(ring_, 1).pixels.at(0), 50);
}

}  // namespace
}  // namespace ombrix
