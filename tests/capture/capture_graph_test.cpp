#include "capture/capture_graph.h"

#include <gtest/gtest.h>
#include <sys/timex.h>

#include <cstdlib>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "base/utc_time.h"

#include "capture/capture_time.h"
#include "capture/clock_sync.h"
#include "capture/device_source.h"
#include "capture/frame_ring.h"
#include "fake_v4l2_device.h"
#include "ring_copy.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

using Reports = std::vector<std::string>;
using std::chrono::milliseconds;
using std::chrono::seconds;
using test::Yuyv;

bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + seconds(5);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return done();
}

// A 480-row YUYV sample whose luma encodes its position and whose chroma is 0xEE.
std::vector<uint8_t> MakeSample(int width, uint8_t seed) {
  std::vector<uint8_t> sample(static_cast<size_t>(width) * 480 * 2, 0xEE);
  for (size_t i = 0; i < sample.size() / 2; ++i) {
    sample[2 * i] = static_cast<uint8_t>((i % width * 7 + i / width * 3 + seed) % 0xE0);
  }
  return sample;
}

TEST(FrameRing, KeepsTheLumaOfBothSampleLayouts) {
  FrameRing ring;
  ring.sampleSize = kSampleSize720;
  const std::vector<uint8_t> wide = MakeSample(720, 1);
  ring.StoreFrame(wide.data(), UtcTime{});
  const std::vector<uint8_t> frame = test::CopyOfSlot(ring, 0).pixels;
  ASSERT_EQ(frame.size(), static_cast<size_t>(kFrameBytes));
  auto luma = [&](int row, int pixel) { return wide[(row * 720 + pixel) * 2]; };
  for (int row : {0, 1, 241, 479}) {  // from pixel 7 on, one in 11 dropped: 17, 28, ...
    for (int c : {0, 1, 5, 9, 10, 21, 22, 330, 638, 639}) {
      EXPECT_EQ(frame[row * kFrameWidth + c], luma(row, 7 + c + c / 10)) << row << " " << c;
    }
  }
  // 640x480 takes every second byte.
  const std::vector<uint8_t> narrow = MakeSample(640, 5);
  ring.sampleSize = kSampleSize640;
  ring.StoreFrame(narrow.data(), UtcTime{});
  const std::vector<uint8_t> second = test::CopyOfSlot(ring, 1).pixels;
  ASSERT_EQ(second.size(), static_cast<size_t>(kFrameBytes));
  int mismatches = 0;
  for (int i = 0; i < kFrameBytes; ++i) {
    mismatches += second[i] != narrow[2 * static_cast<size_t>(i)];
  }
  EXPECT_EQ(mismatches, 0);
}

// Frame n is refused once overwritten or before it arrived.
TEST(FrameRing, FramesAreCopiedByNumberWithTheirStampsUntilOverwritten) {
  FrameRing ring;
  SystemClock clock;
  const std::vector<uint8_t> first = MakeSample(640, 1);
  ring.SampleArrived(clock, first.data());
  ring.SampleArrived(clock, nullptr);
  EXPECT_EQ(ring.writeIndex.load(), 1u);
  EXPECT_EQ(ring.FramesStored(), 1u);
  EXPECT_TRUE(test::CopyOfSlot(ring, 1).pixels.empty());
  std::vector<uint8_t> sample(kSampleSize640);
  for (int n = 1; n < 70; ++n) {
    std::ranges::fill(sample, static_cast<uint8_t>(n));
    ring.StoreFrame(sample.data(), UtcTime{seconds{1700000000 + n} + milliseconds{n}});
  }
  EXPECT_EQ(ring.FramesStored(), 70u);
  EXPECT_EQ(ring.NewestSlot(), 5u);
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
  const UtcTime newest{seconds{1700000069} + milliseconds{69}};
  EXPECT_EQ(ring.NewestStamp(), newest);
  UtcTime stamp;
  ASSERT_TRUE(ring.CopyNewest(out.data(), &stamp));
  EXPECT_EQ(stamp, newest);
  EXPECT_EQ(out[kFrameBytes - 1], 69);
  EXPECT_FALSE(FrameRing().NewestStamp().has_value());
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
    notices_.SetSink([this](const Notice& notice) {
      said_.push_back(notice.text);
      saidAt_.push_back(now_);
    });
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
  std::vector<std::chrono::steady_clock::time_point> saidAt_;
  CaptureGraph graph_{device_, settings_, clock_, notices_};
  DeviceSource source_{device_, settings_, clock_, notices_};
  // The STREAMON calls so far, after a health check of source_ at t0 + s seconds.
  int StreamOns(int s) {
    now_ = std::chrono::steady_clock::time_point{} + seconds(50 + s);
    source_.CheckHealth(now_);
    return device_.Now().Count("STREAMON");
  }
};

// An index past the list (captureDeviceIndex:-1 reads as the largest) takes the last device.
TEST_F(CaptureGraphTest, TooLargeIndexTakesTheLastCaptureDevice) {
  EXPECT_FALSE(Build());
  EXPECT_EQ(graph_.failure(), "Creation of the enumerator for video capture devices failed.");
  const std::vector<std::tuple<std::vector<test::FakeCamera>, uint32_t, uint32_t>> rows = {
      {{{}, {.capture = false}, {}}, 5, 1},  // a metadata node between two cameras
      {{{}, {}, {.capture = false}, {}}, 4294967295u, 2},
  };
  for (const auto& [cameras, index, taken] : rows) {
    device_.cameras = cameras;
    settings_.Update([index](Settings& s) { s.captureDeviceIndex = index; });
    ASSERT_TRUE(Build());
    EXPECT_EQ(settings_.Get()->captureDeviceIndex, taken);
    EXPECT_EQ(graph_.devicePath(), "/dev/video" + std::to_string(cameras.size() - 1));
    EXPECT_EQ(device_.Now().open, 1);  // the probes closed their descriptors
    graph_.TearDownCaptureGraph();
  }
}

TEST_F(CaptureGraphTest, AcceptsOnly640x480Or720x480Yuyv) {
  v4l2_pix_format padded = Yuyv(640, 480);
  padded.bytesperline = 1344;
  padded.sizeimage = 1344 * 480;
  const std::vector<std::pair<test::FakeCamera, uint32_t>> rows = {
      // sample size, 0: refused
      {{.current = Yuyv(1280, 720, V4L2_PIX_FMT_MJPEG)}, kSampleSize640},
      {{.answer = Yuyv(720, 480)}, kSampleSize720},  // the device answers with 720x480
      {{.current = Yuyv(720, 480), .setFormatError = EBUSY}, kSampleSize720},  // takes no change
      {{.answer = Yuyv(1280, 720)}, 0},
      {{.answer = Yuyv(640, 480, V4L2_PIX_FMT_MJPEG)}, 0},
      {{.answer = padded}, 0},
      {{.current = Yuyv(1280, 720), .setFormatError = EBUSY}, 0},
  };
  for (size_t i = 0; i < rows.size(); ++i) {
    const uint32_t size = rows[i].second;
    device_.cameras = {rows[i].first};
    ring_.sampleSize = 1;
    EXPECT_EQ(Build(), size != 0) << i;
    EXPECT_EQ(graph_.failure(), size != 0 ? "" : "Could not set size to 640x480.") << i;
    EXPECT_EQ(ring_.sampleSize.load(), size != 0 ? size : 1) << i;
    EXPECT_EQ(device_.Now().open, size != 0 ? 1 : 0) << i;
  }
}

TEST_F(CaptureGraphTest, RoutesTheCompositeInput) {
  const std::vector<std::tuple<std::vector<std::string>, int, std::string>> rows = {
      {{"Television", "S-Video", "COMPOSITE 1", "Composite 2"}, 2, ""},
      {{"Camera 1"}, -1, ""},  // a single input is used as it is
      {{"Television", "S-Video"}, -1, "Pins not found."},
      {{}, -1, "Finding crossbar preview failed."},
  };
  for (const auto& [inputs, routed, report] : rows) {
    device_.cameras = {{.inputs = inputs}};
    EXPECT_EQ(Build(), report.empty()) << routed;
    EXPECT_EQ(graph_.failure(), report);
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(device_.Now().Count("S_INPUT " + std::to_string(i)), i == routed ? 1 : 0) << i;
    }
  }
}

TEST_F(CaptureGraphTest, FailedMappingReleasesThePartlyBuiltGraph) {
  device_.cameras = {{}};
  device_.cameras[0].mmapFailsAt = 2;
  EXPECT_FALSE(Build());
  EXPECT_EQ(graph_.failure(), "Render Stream failed. c");
  const auto seen = device_.Now();
  EXPECT_EQ(seen.mapped + seen.open, 0);
  ASSERT_GE(seen.log.size(), 2u);
  EXPECT_EQ(Reports(seen.log.end() - 2, seen.log.end()), (Reports{"REQBUFS 0", "close"}));
  EXPECT_FALSE(graph_.built());
}

TEST_F(CaptureGraphTest, GoodSamplesReachTheRingAndEveryBufferIsRequeued) {
  device_.cameras = {{}};
  ASSERT_TRUE(Build());
  ASSERT_TRUE(graph_.Run());
  device_.Deliver({10});
  device_.Deliver({99, V4L2_BUF_FLAG_ERROR});
  device_.Deliver({98, 0, 1000});  // short
  for (uint8_t luma = 20; luma < 26; ++luma) {
    device_.Deliver({luma});
  }
  ASSERT_TRUE(WaitFor([&] {
    return graph_.framesDelivered() == 7 && device_.Now().queued == CaptureGraph::kBufferCount;
  }));
  EXPECT_EQ(graph_.buffersDropped(), 2u);
  EXPECT_EQ(ring_.framesStored.load(), 7u);
  const std::vector<uint8_t> expected = {10, 20, 21, 22, 23, 24, 25};
  for (uint32_t slot = 0; slot < expected.size(); ++slot) {
    const std::vector<uint8_t> frame = test::CopyOfSlot(ring_, slot).pixels;
    ASSERT_EQ(frame.size(), static_cast<size_t>(kFrameBytes));
    EXPECT_EQ(frame[0], expected[slot]);
    EXPECT_EQ(frame[kFrameBytes - 1], expected[slot]);
  }
  graph_.TearDownCaptureGraph();
  const auto seen = device_.Now();
  EXPECT_EQ(seen.Count("STREAMOFF"), 1);
  EXPECT_EQ(seen.mapped + seen.open, 0);
}

// The driver's monotonic buffer time in UTC; without a usable one, the wall clock at dequeue.
TEST_F(CaptureGraphTest, FramesCarryTheDriversBufferTimeInUtc) {
  device_.cameras = {{}};
  ASSERT_TRUE(Build());
  ASSERT_TRUE(graph_.Run());
  const int64_t now_us = device_.MonotonicNow_us();  // it stays there: every stamp is older
  const std::vector<std::pair<test::Delivery, std::string>> rows = {
      {{.luma = 1, .timestamp_us = now_us - 40000}, "20261207_025959_960"},
      {{.luma = 2, .timestamp_us = now_us - 100000}, "20261207_025959_900"},
      {{.luma = 3, .timestamp_us = now_us}, "20261207_030000_000"},
      {{.luma = 4, .flags = 0, .timestamp_us = now_us - 40000}, "20261207_030000_000"},
      {{.luma = 5, .flags = V4L2_BUF_FLAG_TIMESTAMP_COPY, .timestamp_us = now_us - 40000},
       "20261207_030000_000"},
      {{.luma = 6, .timestamp_us = 0}, "20261207_030000_000"},
      {{.luma = 7, .timestamp_us = now_us - 20000000}, "20261207_030000_000"},  // stale
  };
  for (const auto& row : rows) {
    device_.Deliver(row.first);
  }
  ASSERT_TRUE(WaitFor([&] { return graph_.framesDelivered() == rows.size(); }));
  for (uint32_t slot = 0; slot < rows.size(); ++slot) {
    const test::SlotCopy copy = test::CopyOfSlot(ring_, slot);
    ASSERT_FALSE(copy.pixels.empty()) << slot;
    EXPECT_EQ(copy.pixels[0], slot + 1);
    EXPECT_EQ(MakeStamp(copy.stamp), rows[slot].second) << slot;
  }
  graph_.TearDownCaptureGraph();
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
  // No usable stamp: the wall clock as read.
  for (int64_t stamp : {int64_t{0}, int64_t{2000000000}, int64_t{1}}) {
    const UtcTime wall{milliseconds{1796594400123}};
    EXPECT_EQ(mapper.ToUtc(stamp, wall, 1900000000), wall) << stamp;
  }
}

TEST_F(CaptureGraphTest, SilentDeviceIsRebuiltEveryThirtySecondsUntilFramesFlow) {
  const std::string stalled =
      "No frame from the capture device for 5 s; rebuilding the capture graph.";
  device_.cameras = {{}};
  EXPECT_EQ(StreamOns(100), 0);  // not started
  ASSERT_TRUE(source_.Start(ring_));
  EXPECT_EQ(StreamOns(0), 1);  // baseline
  device_.Deliver({40});
  ASSERT_TRUE(WaitFor([&] { return source_.graph().framesDelivered() == 1; }));
  EXPECT_EQ(StreamOns(1), 1);
  EXPECT_EQ(StreamOns(5), 1);
  EXPECT_EQ(StreamOns(6), 2);
  EXPECT_EQ(said_, Reports{stalled});
  device_.cameras[0].capture = false;  // unplugged: the rebuild fails and is tried again
  EXPECT_EQ(StreamOns(35), 2);
  EXPECT_EQ(StreamOns(36), 2);
  EXPECT_EQ(said_.size(), 1u);  // the failed rebuild is a repeat within the minute
  device_.cameras[0].capture = true;
  EXPECT_EQ(StreamOns(66), 3);
  device_.Deliver({50});
  ASSERT_TRUE(WaitFor([&] { return source_.graph().framesDelivered() == 2; }));
  EXPECT_EQ(StreamOns(67), 3);
  EXPECT_EQ(said_.back(),
            "Frames from the capture device arrive again. (the failure repeated 1 more time)");
  EXPECT_EQ(StreamOns(72), 4);  // a new stall is news at once
  EXPECT_EQ(said_.back(), stalled);
  source_.Stop();
  EXPECT_EQ(StreamOns(400), 4);
  EXPECT_EQ(device_.Now().open, 0);
  EXPECT_EQ(test::CopyOfSlot(ring_, 1).pixels.at(0), 50);
}

// Ten minutes without a device: a try every 30 s, a line at most once a minute (eleven in all),
// each after the first with the count of the tries held back.
TEST_F(CaptureGraphTest, DeviceMissingAtStartIsTriedEveryThirtySecondsSaidOnceAMinuteAndPickedUp) {
  const std::string missing =
      "Creation of the enumerator for video capture devices failed. No capture device can be "
      "used; trying again in 30 s.";
  EXPECT_FALSE(source_.Start(ring_));
  EXPECT_EQ(said_, Reports{missing});
  for (int s = 0; s <= 600; ++s) {
    ASSERT_EQ(StreamOns(s), 0);
  }
  ASSERT_EQ(said_.size(), 11u);
  EXPECT_EQ(said_[1], missing + " (repeated 1 time since the last report)");
  for (size_t i = 1; i < saidAt_.size(); ++i) {
    EXPECT_GE(saidAt_[i] - saidAt_[i - 1], seconds(60)) << i;
  }
  device_.cameras = {{}};  // the capture card enumerates late
  EXPECT_EQ(StreamOns(629), 0);
  EXPECT_EQ(StreamOns(630), 1);
  EXPECT_EQ(said_.back(), "Capture device /dev/video0 found; capture runs.");
  device_.Deliver({77});
  ASSERT_TRUE(WaitFor([&] { return ring_.framesStored.load() == 1; }));
  EXPECT_EQ(test::CopyOfSlot(ring_, 0).pixels.at(0), 77);
  // From now on the device is watched for silence as any other; no more start-up tries.
  EXPECT_EQ(StreamOns(631), 1);
  EXPECT_EQ(StreamOns(635), 1);
  source_.Stop();
  EXPECT_EQ(StreamOns(800), 1);
  EXPECT_EQ(device_.Now().open, 0);
}

TEST(ClockSync, UnsynchronisedOrErrorStateIsNotSynchronised) {
  EXPECT_TRUE(ClockStateSynchronised(TIME_OK, STA_PLL));
  EXPECT_FALSE(ClockStateSynchronised(TIME_OK, STA_PLL | STA_UNSYNC));
  EXPECT_FALSE(ClockStateSynchronised(TIME_ERROR, 0));
  EXPECT_FALSE(ClockStateSynchronised(-1, 0));  // the call itself failed
}

}  // namespace
}  // namespace ombrix
