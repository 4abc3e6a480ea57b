#include "capture/capture_graph.h"

#include <gtest/gtest.h>
#include <sys/timex.h>

#include <chrono>
#include <thread>

#include "capture/clock_sync.h"
#include "capture/device_source.h"
#include "capture/frame_ring.h"
#include "config/config_file.h"
#include "fake_v4l2_device.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

using Reports = std::vector<std::string>;
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
  ring.StoreFrame(wide.data(), SystemTime{});
  const uint8_t* frame = ring.Frame(0);
  auto luma = [&](int row, int pixel) { return wide[(row * 720 + pixel) * 2]; };
  for (int c = 0; c < 10; ++c) {
    EXPECT_EQ(frame[c], luma(0, 7 + c)) << c;
  }
  EXPECT_EQ(frame[10], luma(0, 18));  // pixel 17 is dropped
  EXPECT_EQ(frame[639], luma(0, 709));
  for (int row : {1, 241, 479}) {
    for (int c : {0, 9, 10, 21, 22, 330, 638, 639}) {
      EXPECT_EQ(frame[row * kFrameWidth + c], luma(row, 7 + c + c / 10)) << row << " " << c;
    }
  }
  // 640x480 takes every second byte.
  const std::vector<uint8_t> narrow = MakeSample(640, 5);
  ring.sampleSize = kSampleSize640;
  ring.StoreFrame(narrow.data(), SystemTime{});
  int mismatches = 0;
  for (int i = 0; i < kFrameBytes; ++i) {
    mismatches += ring.Frame(1)[i] != narrow[2 * static_cast<size_t>(i)];
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(FrameRing, MissingSampleStoresNothingAndCountsRunOnAcrossLaps) {
  FrameRing ring;
  SystemClock clock;
  const std::vector<uint8_t> first = MakeSample(640, 1);
  const std::vector<uint8_t> second = MakeSample(640, 2);
  ring.SampleArrived(clock, first.data());
  ring.SampleArrived(clock, nullptr);
  EXPECT_EQ(ring.writeIndex.load(), 1u);
  EXPECT_EQ(ring.framesStored.load(), 1u);
  EXPECT_EQ(ring.Frame(1), nullptr);
  ring.SampleArrived(clock, second.data());
  EXPECT_EQ(ring.writeIndex.load(), 2u);
  ASSERT_NE(ring.Frame(1), nullptr);
  EXPECT_EQ(ring.Frame(1)[5], second[10]);
  const uint8_t* slotOne = ring.Frame(1);
  for (int n = 2; n < 130; ++n) {
    ring.SampleArrived(clock, first.data());
  }
  EXPECT_EQ(ring.framesStored.load(), 130u);
  EXPECT_EQ(ring.NewestSlot(), 1u);
  EXPECT_EQ(ring.Frame(1), slotOne);  // every lap reuses the slot's buffer
}

class CaptureGraphTest : public ::testing::Test {
 protected:
  bool Build() {
    reports_.clear();
    device_.log.clear();
    return graph_.BuildCaptureGraph(ring_);
  }

  test::FakeV4l2Device device_;
  Settings settings_;
  SystemClock clock_;
  FrameRing ring_;
  Reports reports_;
  CaptureGraph graph_{device_, settings_, clock_,
                      [this](const std::string& text) { reports_.push_back(text); }};
};

TEST_F(CaptureGraphTest, TooLargeIndexTakesTheLastCaptureDevice) {
  EXPECT_FALSE(Build());
  EXPECT_EQ(reports_, Reports{"Creation of the enumerator for video capture devices failed."});

  device_.cameras = {{}, {.capture = false}, {}};  // a metadata node between two cameras
  settings_.captureDeviceIndex = 5;
  ASSERT_TRUE(Build());
  EXPECT_EQ(settings_.captureDeviceIndex.load(), 1u);
  EXPECT_EQ(graph_.devicePath(), "/dev/video2");
  EXPECT_EQ(device_.Now().open, 1);  // the probes closed their descriptors
}

// captureDeviceIndex:-1 in config.txt counts as too large: the last device is taken.
TEST_F(CaptureGraphTest, NegativeIndexFromTheFileTakesTheLastCaptureDevice) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "config.txt", "captureDeviceIndex:-1\r\n");
  ASSERT_EQ(ReadConfiguration(settings_, (dir / "config.txt").string()), ConfigReadResult::Ok);
  device_.cameras = {{}, {}, {.capture = false}, {}};
  ASSERT_TRUE(Build());
  EXPECT_EQ(settings_.captureDeviceIndex.load(), 2u);
  EXPECT_EQ(graph_.devicePath(), "/dev/video3");
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
    EXPECT_EQ(reports_, size != 0 ? Reports{} : Reports{"Could not set size to 640x480."}) << i;
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
    EXPECT_EQ(reports_, report.empty() ? Reports{} : Reports{report});
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(device_.Now().Count("S_INPUT " + std::to_string(i)), i == routed ? 1 : 0) << i;
    }
  }
}

TEST_F(CaptureGraphTest, FailedMappingReleasesThePartlyBuiltGraph) {
  device_.cameras = {{}};
  device_.cameras[0].mmapFailsAt = 2;
  EXPECT_FALSE(Build());
  EXPECT_EQ(reports_, Reports{"Render Stream failed. c"});
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
    ASSERT_NE(ring_.Frame(slot), nullptr);
    EXPECT_EQ(ring_.Frame(slot)[0], expected[slot]);
    EXPECT_EQ(ring_.Frame(slot)[kFrameBytes - 1], expected[slot]);
  }
  graph_.TearDownCaptureGraph();
  const auto seen = device_.Now();
  EXPECT_EQ(seen.Count("STREAMOFF"), 1);
  EXPECT_EQ(seen.mapped + seen.open, 0);
}

TEST_F(CaptureGraphTest, SilentDeviceIsRebuiltEveryThirtySecondsUntilFramesFlow) {
  const std::string stalled =
      "No frame from the capture device for 5 s; rebuilding the capture graph.";
  device_.cameras = {{}};
  DeviceSource source(device_, settings_, clock_,
                      [this](const std::string& text) { reports_.push_back(text); });
  const auto t0 = std::chrono::steady_clock::time_point{} + seconds(50);
  auto streamOns = [&](int s) {  // after a health check at t0 + s
    source.CheckHealth(t0 + seconds(s));
    return device_.Now().Count("STREAMON");
  };
  EXPECT_EQ(streamOns(100), 0);  // not started
  ASSERT_TRUE(source.Start(ring_));
  EXPECT_EQ(streamOns(0), 1);  // baseline
  device_.Deliver({40});
  ASSERT_TRUE(WaitFor([&] { return source.graph().framesDelivered() == 1; }));
  EXPECT_EQ(streamOns(1), 1);
  EXPECT_EQ(streamOns(5), 1);
  EXPECT_EQ(streamOns(6), 2);
  EXPECT_EQ(reports_, Reports{stalled});
  device_.cameras[0].capture = false;  // unplugged: the rebuild fails and is tried again
  EXPECT_EQ(streamOns(35), 2);
  EXPECT_EQ(reports_.size(), 1u);  // reported once per stall
  EXPECT_EQ(streamOns(36), 2);
  EXPECT_EQ(reports_.back(), "Creation of the enumerator for video capture devices failed.");
  device_.cameras[0].capture = true;
  EXPECT_EQ(streamOns(66), 3);
  device_.Deliver({50});
  ASSERT_TRUE(WaitFor([&] { return source.graph().framesDelivered() == 2; }));
  EXPECT_EQ(streamOns(67), 3);
  EXPECT_EQ(reports_.back(), "Frames from the capture device arrive again.");
  EXPECT_EQ(streamOns(72), 4);  // a new stall
  EXPECT_EQ(reports_.back(), stalled);
  source.Stop();
  EXPECT_EQ(streamOns(400), 4);
  EXPECT_EQ(device_.Now().open, 0);
  EXPECT_EQ(ring_.Frame(1)[0], 50);
}

TEST_F(CaptureGraphTest, DeviceMissingAtStartIsTriedEveryThirtySecondsAndPickedUp) {
  const std::string absent = "Creation of the enumerator for video capture devices failed.";
  const std::string retry = "No capture device can be used; trying again in 30 s.";
  DeviceSource source(device_, settings_, clock_,
                      [this](const std::string& text) { reports_.push_back(text); });
  const auto t0 = std::chrono::steady_clock::time_point{} + seconds(50);
  auto streamOns = [&](int s) {  // after a health check at t0 + s
    source.CheckHealth(t0 + seconds(s));
    return device_.Now().Count("STREAMON");
  };
  EXPECT_FALSE(source.Start(ring_));
  EXPECT_EQ(reports_, (Reports{absent, retry}));
  EXPECT_EQ(streamOns(0), 0);
  EXPECT_EQ(streamOns(29), 0);
  EXPECT_EQ(reports_.size(), 2u);  // no try before the interval
  EXPECT_EQ(streamOns(30), 0);     // still absent: said again
  EXPECT_EQ(reports_, (Reports{absent, retry, absent, retry}));
  device_.cameras = {{}};  // the capture card enumerates late
  EXPECT_EQ(streamOns(59), 0);
  EXPECT_EQ(streamOns(60), 1);
  EXPECT_EQ(reports_.back(), "Capture device /dev/video0 found; capture runs.");
  device_.Deliver({77});
  ASSERT_TRUE(WaitFor([&] { return ring_.framesStored.load() == 1; }));
  EXPECT_EQ(ring_.Frame(0)[0], 77);
  // From now on the device is watched for silence as any other; no more start-up tries.
  EXPECT_EQ(streamOns(61), 1);
  EXPECT_EQ(streamOns(65), 1);
  source.Stop();
  EXPECT_EQ(streamOns(200), 1);
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
