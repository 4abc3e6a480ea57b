#include "capture/capture_graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include "capture/frame_ring.h"
#include "fake_v4l2_device.h"

namespace ombrix {
namespace {

using test::Camera;
using test::Delivery;
using test::FakeCamera;
using test::FakeV4l2Device;
using test::YuyvFormat;

class CaptureGraphTest : public ::testing::Test {
 protected:
  CaptureGraph& Graph() {
    if (!graph_) {
      graph_ = std::make_unique<CaptureGraph>(
          device_, settings_, clock_,
          [this](const std::string& text) { reports_.push_back(text); });
    }
    return *graph_;
  }
  bool HasLog(const std::string& entry) { return device_.CountInLog(entry) > 0; }

  FakeV4l2Device device_;
  Settings settings_;
  test::SteppingClock clock_;
  FrameRing ring_;
  std::vector<std::string> reports_;
  std::unique_ptr<CaptureGraph> graph_;
};

TEST_F(CaptureGraphTest, NoUsableDeviceFailsAtTheDeviceEnumerator) {
  device_.listFails = true;
  EXPECT_FALSE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(reports_, std::vector<std::string>{"Creation of the system device enumerator failed."});

  device_.listFails = false;
  reports_.clear();
  EXPECT_FALSE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(reports_, std::vector<std::string>{
                          "Creation of the enumerator for video capture devices failed."});

  // A node that offers no video capture is not a capture device.
  device_.cameras.push_back(Camera("/dev/video0"));
  device_.cameras.back().capture = false;
  reports_.clear();
  EXPECT_FALSE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(reports_, std::vector<std::string>{
                          "Creation of the enumerator for video capture devices failed."});
  EXPECT_EQ(Graph().CountCaptureDevices(), 0);
  EXPECT_EQ(device_.OpenCount(), 0u);
  EXPECT_FALSE(Graph().built());
}

TEST_F(CaptureGraphTest, TooLargeDeviceIndexFallsToTheLastDevice) {
  device_.cameras = {Camera("/dev/video0"), Camera("/dev/video1"), Camera("/dev/video2")};
  device_.cameras[1].capture = false;  // a metadata node between the two cameras
  settings_.captureDeviceIndex = 5;
  EXPECT_EQ(Graph().CountCaptureDevices(), 2);
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_)) << reports_.front();
  EXPECT_EQ(settings_.captureDeviceIndex.load(), 1u);
  EXPECT_EQ(Graph().devicePath(), "/dev/video2");
  EXPECT_TRUE(reports_.empty());
  EXPECT_EQ(device_.OpenCount(), 1u);  // the probes closed their descriptors

  // A valid index is kept.
  Graph().TearDownCaptureGraph();
  settings_.captureDeviceIndex = 0;
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(settings_.captureDeviceIndex.load(), 0u);
  EXPECT_EQ(Graph().devicePath(), "/dev/video0");
}

TEST_F(CaptureGraphTest, AtMostEightDevicesCount) {
  for (int i = 0; i < 11; ++i) {
    device_.cameras.push_back(Camera("/dev/video" + std::to_string(i)));
  }
  EXPECT_EQ(Graph().CountCaptureDevices(), 8);
  settings_.captureDeviceIndex = 9;
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(settings_.captureDeviceIndex.load(), 7u);
  EXPECT_EQ(Graph().devicePath(), "/dev/video7");
}

TEST_F(CaptureGraphTest, DeviceTakenAfterTheProbeFailsToBind) {
  device_.cameras = {Camera("/dev/video0")};
  device_.cameras[0].opensAllowed = 1;  // the probe opens it, then it is gone
  EXPECT_FALSE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(reports_, std::vector<std::string>{"Binding the moniker to a filter object failed."});
  EXPECT_EQ(device_.OpenCount(), 0u);
  EXPECT_FALSE(Graph().built());
}

TEST_F(CaptureGraphTest, SaturationIsSetToZeroWithinTheControlRange) {
  device_.cameras = {Camera("/dev/video0")};
  device_.cameras[0].saturationRange = std::make_pair(-50, 50);
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(device_.saturation, 0);
  EXPECT_TRUE(HasLog("G_CTRL"));
  Graph().TearDownCaptureGraph();

  device_.cameras[0].saturationRange = std::make_pair(10, 100);
  device_.saturation = 64;
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(device_.saturation, 10);
  Graph().TearDownCaptureGraph();

  device_.cameras[0].saturationRange.reset();
  device_.log.clear();
  device_.saturation = 64;
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(device_.saturation, 64);
  EXPECT_FALSE(HasLog("G_CTRL"));
}

TEST_F(CaptureGraphTest, CompositeInputIsRouted) {
  device_.cameras = {Camera("/dev/video0")};
  device_.cameras[0].inputs = {"Television", "S-Video", "COMPOSITE 1", "Composite 2"};
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  EXPECT_TRUE(HasLog("S_INPUT 2"));
  EXPECT_EQ(device_.CountInLog("S_INPUT 2") + device_.CountInLog("S_INPUT 3"), 1u);
}

TEST_F(CaptureGraphTest, SingleInputIsUsedWithoutRouting) {
  device_.cameras = {Camera("/dev/video0")};
  device_.cameras[0].inputs = {"Camera 1"};
  device_.cameras[0].setInputError = EINVAL;  // a device that has nothing to switch
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  EXPECT_FALSE(HasLog("S_INPUT 0"));
}

TEST_F(CaptureGraphTest, InputFailures) {
  device_.cameras = {Camera("/dev/video0")};
  device_.cameras[0].inputs = {"Television", "S-Video"};
  EXPECT_FALSE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(reports_.back(), "Pins not found.");
  EXPECT_EQ(device_.OpenCount(), 0u);

  device_.cameras[0].inputs = {"Television", "Composite"};
  device_.cameras[0].setInputError = EBUSY;
  EXPECT_FALSE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(reports_.back(), "Crossbar route failed.");

  device_.cameras[0].enumInputErrorAt = 1;
  EXPECT_FALSE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(reports_.back(), "Get Crossbar Pin Info1 failed.");

  device_.cameras[0].inputs.clear();
  device_.cameras[0].enumInputErrorAt = -1;
  EXPECT_FALSE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(reports_.back(), "Finding crossbar preview failed.");
  EXPECT_EQ(reports_.size(), 4u);
  EXPECT_EQ(device_.OpenCount(), 0u);
  EXPECT_FALSE(Graph().built());
}

TEST_F(CaptureGraphTest, FormatIs640x480OrAnAnswered720x480) {
  device_.cameras = {Camera("/dev/video0")};
  FakeCamera& camera = device_.cameras[0];
  camera.current = YuyvFormat(1280, 720);
  camera.current.pixelformat = V4L2_PIX_FMT_MJPEG;
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(ring_.sampleSize.load(), kSampleSize640);
  EXPECT_EQ(camera.current.width, 640u);
  EXPECT_EQ(camera.current.pixelformat, static_cast<uint32_t>(V4L2_PIX_FMT_YUYV));
  Graph().TearDownCaptureGraph();

  // A device that can only give 720x480 answers with it.
  camera.setFormat = [](v4l2_pix_format& pix) {
    pix = YuyvFormat(720, 480);
    return 0;
  };
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(ring_.sampleSize.load(), kSampleSize720);
  Graph().TearDownCaptureGraph();

  // A device that refuses any change while it delivers 720x480 YUYV is taken as it is.
  camera.current = YuyvFormat(720, 480);
  camera.setFormat = [](v4l2_pix_format&) { return EBUSY; };
  ring_.sampleSize = kSampleSize640;
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(ring_.sampleSize.load(), kSampleSize720);
  EXPECT_TRUE(reports_.empty());
}

TEST_F(CaptureGraphTest, OtherFormatsAreRefused) {
  device_.cameras = {Camera("/dev/video0")};
  FakeCamera& camera = device_.cameras[0];
  const std::vector<std::function<int(v4l2_pix_format&)>> answers = {
      [](v4l2_pix_format& pix) { return pix = YuyvFormat(1280, 720), 0; },
      [](v4l2_pix_format& pix) {
        pix.pixelformat = V4L2_PIX_FMT_MJPEG;
        return 0;
      },
      [](v4l2_pix_format& pix) {
        pix = YuyvFormat(640, 480);
        pix.bytesperline = 1344;  // padded rows
        pix.sizeimage = 1344 * 480;
        return 0;
      },
      [](v4l2_pix_format&) { return EBUSY; },  // and the current format is 1280x720
  };
  camera.current = YuyvFormat(1280, 720);
  for (const auto& answer : answers) {
    camera.setFormat = answer;
    reports_.clear();
    EXPECT_FALSE(Graph().BuildCaptureGraph(ring_));
    EXPECT_EQ(reports_, std::vector<std::string>{"Could not set size to 640x480."});
    EXPECT_EQ(device_.OpenCount(), 0u);
  }
}

TEST_F(CaptureGraphTest, StreamingFailuresPrintTheErrorInHexadecimal) {
  device_.cameras = {Camera("/dev/video0")};
  device_.cameras[0].reqbufsError = EBUSY;
  EXPECT_FALSE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(reports_.back(), "Render Stream failed. 10");

  device_.cameras[0].reqbufsError = 0;
  device_.cameras[0].streamonError = ENOSPC;
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  EXPECT_FALSE(Graph().Run());
  EXPECT_EQ(reports_.back(), "Render Stream failed. 1c");
  EXPECT_FALSE(Graph().built());
  EXPECT_EQ(device_.OpenCount(), 0u);
  EXPECT_EQ(device_.MappedCount(), 0u);
}

TEST_F(CaptureGraphTest, TearDownReleasesAPartlyBuiltGraph) {
  // Nothing built: tear-down touches no device.
  Graph().TearDownCaptureGraph();
  Graph().TearDownCaptureGraph();
  EXPECT_TRUE(device_.Log().empty());

  // The third buffer cannot be mapped: the first two are unmapped, the buffers released and the
  // device closed.
  device_.cameras = {Camera("/dev/video0")};
  device_.cameras[0].mmapFailsAt = 2;
  EXPECT_FALSE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(reports_.back(), "Render Stream failed. c");
  EXPECT_EQ(device_.MappedCount(), 0u);
  EXPECT_EQ(device_.OpenCount(), 0u);
  const std::vector<std::string> log = device_.Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2], "REQBUFS 0");
  EXPECT_EQ(log.back(), "close");
  EXPECT_FALSE(HasLog("STREAMOFF"));
}

TEST_F(CaptureGraphTest, BuildingABuiltGraphStartsAfresh) {
  device_.cameras = {Camera("/dev/video0")};
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  ASSERT_TRUE(Graph().Run());
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(device_.OpenCount(), 1u);
  EXPECT_EQ(device_.MappedCount(), CaptureGraph::kBufferCount);
  EXPECT_EQ(device_.CountInLog("STREAMOFF"), 1u);
  EXPECT_FALSE(Graph().running());
}

bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST_F(CaptureGraphTest, CaptureThreadStoresGoodBuffersAndRequeuesEveryBuffer) {
  device_.cameras = {Camera("/dev/video0")};
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  EXPECT_EQ(device_.QueuedCount(), CaptureGraph::kBufferCount);
  EXPECT_TRUE(device_.AllDelivered());
  ASSERT_TRUE(Graph().Run());

  device_.Deliver({Delivery::Kind::kFrame, 10, 0, 0});
  device_.Deliver({Delivery::Kind::kInterrupt, 0, 0, 0});
  device_.Deliver({Delivery::Kind::kFrame, 20, 0, 0});
  device_.Deliver({Delivery::Kind::kFrame, 99, V4L2_BUF_FLAG_ERROR, 0});
  device_.Deliver({Delivery::Kind::kFrame, 98, 0, 1000});  // short buffer
  for (uint8_t luma = 30; luma < 36; ++luma) {
    device_.Deliver({Delivery::Kind::kFrame, luma, 0, 0});
  }
  ASSERT_TRUE(WaitFor([&] { return device_.AllDelivered() && Graph().framesDelivered() == 8; }));
  ASSERT_TRUE(WaitFor([&] { return device_.QueuedCount() == CaptureGraph::kBufferCount; }));
  EXPECT_EQ(Graph().buffersDropped(), 2u);
  EXPECT_EQ(ring_.framesStored.load(), 8u);
  EXPECT_EQ(ring_.writeIndex.load(), 8u);
  const std::vector<uint8_t> expected = {10, 20, 30, 31, 32, 33, 34, 35};
  for (uint32_t slot = 0; slot < expected.size(); ++slot) {
    ASSERT_NE(ring_.Frame(slot), nullptr);
    EXPECT_EQ(ring_.Frame(slot)[0], expected[slot]);
    EXPECT_EQ(ring_.Frame(slot)[kFrameBytes - 1], expected[slot]);
  }
  // One clock reading per stored frame, in order.
  EXPECT_EQ(clock_.readings(), 8u);
  EXPECT_EQ(ring_.stamps[1].milliseconds, 33);
  EXPECT_EQ(ring_.stamps[7].milliseconds, 231);

  Graph().TearDownCaptureGraph();
  EXPECT_TRUE(HasLog("STREAMOFF"));
  EXPECT_EQ(device_.OpenCount(), 0u);
  EXPECT_EQ(device_.MappedCount(), 0u);
  EXPECT_FALSE(Graph().running());
}

TEST_F(CaptureGraphTest, PropertiesListTheDeviceControls) {
  std::ostringstream none;
  Graph().ShowDeviceProperties(none);
  EXPECT_TRUE(none.str().empty());

  device_.cameras = {Camera("/dev/video0")};
  device_.cameras[0].saturationRange = std::make_pair(-50, 50);
  ASSERT_TRUE(Graph().BuildCaptureGraph(ring_));
  std::ostringstream out;
  Graph().ShowDeviceProperties(out);
  EXPECT_EQ(out.str(), "/dev/video0\nSaturation: 0 (-50..50, default 64)\n");
}

}  // namespace
}  // namespace ombrix
