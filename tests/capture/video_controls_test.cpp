#include "capture/video_controls.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "capture/capture_graph.h"
#include "capture/device_source.h"
#include "capture/frame_ring.h"
#include "fake_v4l2_device.h"

namespace ombrix {
namespace {

using Reports = std::vector<std::string>;

test::FakeControl Control(uint32_t id, uint32_t type, const char* name, int32_t minimum,
                          int32_t maximum, int32_t value, uint32_t flags = 0,
                          std::vector<std::string> menu = {}) {
  test::FakeControl control;
  control.query.id = id;
  control.query.type = type;
  std::strncpy(reinterpret_cast<char*>(control.query.name), name, sizeof control.query.name - 1);
  control.query.minimum = minimum;
  control.query.maximum = maximum;
  control.query.step = id == V4L2_CID_CONTRAST ? 5 : 1;
  control.query.default_value = id == V4L2_CID_BRIGHTNESS ? 128 : value;
  control.query.flags = flags;
  control.value = value;
  control.menu = std::move(menu);
  return control;
}

// A camera with one control of every kind, a heading, a gap in a menu and a private control.
test::FakeCamera CameraWithControls() {
  test::FakeCamera camera;
  camera.controls = {
      Control(V4L2_CID_BRIGHTNESS, V4L2_CTRL_TYPE_INTEGER, "Brightness", 0, 255, 100),
      Control(V4L2_CID_CONTRAST, V4L2_CTRL_TYPE_INTEGER, "Contrast", -10, 11, 5),
      Control(V4L2_CID_HUE, V4L2_CTRL_TYPE_INTEGER, "Hue", -180, 180, 0, V4L2_CTRL_FLAG_DISABLED),
      Control(V4L2_CID_AUTO_WHITE_BALANCE, V4L2_CTRL_TYPE_BOOLEAN, "White Balance, Auto", 0, 1, 1),
      Control(V4L2_CID_DO_WHITE_BALANCE, V4L2_CTRL_TYPE_BUTTON, "Do White Balance", 0, 0, 0,
              V4L2_CTRL_FLAG_WRITE_ONLY),
      Control(V4L2_CID_GAIN, V4L2_CTRL_TYPE_INTEGER, "Gain", 0, 100, 10, V4L2_CTRL_FLAG_READ_ONLY),
      Control(V4L2_CID_POWER_LINE_FREQUENCY, V4L2_CTRL_TYPE_MENU, "Power Line Frequency", 0, 3, 1,
              0, {"Disabled", "50 Hz", "", "Auto"}),
      Control(V4L2_CID_CAMERA_CLASS, V4L2_CTRL_TYPE_CTRL_CLASS, "Camera Controls", 0, 0, 0,
              V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY),
      Control(V4L2_CID_EXPOSURE_ABSOLUTE, V4L2_CTRL_TYPE_INTEGER, "Exposure Time", 1, 5000, 156,
              V4L2_CTRL_FLAG_INACTIVE),
      Control(V4L2_CID_PRIVATE_BASE, V4L2_CTRL_TYPE_INTEGER_MENU, "Pixel Rate", 0, 1, 1, 0,
              {"100000000", "200000000"}),
  };
  return camera;
}

class VideoControlsTest : public ::testing::Test {
 protected:
  test::FakeV4l2Device device_;
  SharedSettings settings_;
  SystemClock clock_;
  FrameRing ring_;
  Reports reports_;
  Notices notices_;
  void SetUp() override {
    notices_.SetSink([this](const Notice& notice) { reports_.push_back(notice.text); });
  }
};

// Both walks find the same controls (the old drivers' knows only user and private ids), listed with
// menu, state and value; sets are clamped to the control's steps and refusals said once.
TEST_F(VideoControlsTest, ListingShowsEveryKindAndSetsAreClampedAndRefusalsReportedOnce) {
  const std::string exposure = "Exposure Time: 156 (1..5000, default 156) [inactive]\n";
  const std::string listing =
      "/dev/video0\n"
      "Brightness: 100 (0..255, default 128)\n"
      "Contrast: 5 (-10..11, default 5)\n"
      "Hue: 0 (-180..180, default 0) [disabled]\n"
      "White Balance, Auto: 1 (0..1, default 1)\n"
      "Do White Balance: button\n"
      "Gain: 10 (0..100, default 10) [read-only]\n"
      "Power Line Frequency: 1 = 50 Hz (0..3, default 1)\n";
  const std::string privateLine = "Pixel Rate: 1 = 200000000 (0..1, default 1)\n";
  for (const bool nextControl : {true, false}) {
    device_.cameras = {CameraWithControls()};
    device_.cameras[0].nextControl = nextControl;
    CaptureGraph graph(device_, settings_, clock_, notices_);
    std::ostringstream none;
    graph.ShowDeviceProperties(none);
    EXPECT_EQ(none.str(), "");
    EXPECT_FALSE(graph.ListControls());
    ASSERT_TRUE(graph.BuildCaptureGraph(ring_));
    std::ostringstream out;
    graph.ShowDeviceProperties(out);
    EXPECT_EQ(out.str(), listing + (nextControl ? exposure : "") + privateLine) << nextControl;

    const std::vector<VideoControl> controls = graph.ListControls().value();
    EXPECT_EQ(controls[3].type, VideoControlType::kBoolean);
    ASSERT_EQ(controls[6].menu.size(), 3u);  // the gap at 2 is left out
    EXPECT_EQ(controls[6].menu[2].index, 3);
    EXPECT_FALSE(controls[5].adjustable());  // read-only
  }
  // Sets go through the device source, as the station's do while the capture thread runs.
  DeviceSource source(device_, settings_, clock_, notices_);
  EXPECT_FALSE(source.SetVideoControl(V4L2_CID_BRIGHTNESS, 1));
  EXPECT_EQ(reports_, Reports{"Setting a video control failed: no capture device is open."});
  device_.cameras = {CameraWithControls()};
  ASSERT_TRUE(source.Start(ring_));
  ASSERT_EQ(source.ListVideoControls().value().size(), 9u);

  const std::string failed = "Setting the video control ";
  const std::vector<std::tuple<uint32_t, int32_t, int, std::string, std::string>> rows = {
      // id, value asked, S_CTRL error, what the device is sent, the report
      {V4L2_CID_CONTRAST, 8, 0, "10", ""},   // on the steps of 5 from -10
      {V4L2_CID_CONTRAST, 12, 0, "10", ""},  // 11 is off the steps
      {V4L2_CID_AUTO_WHITE_BALANCE, 5, 0, "1", ""},
      {V4L2_CID_DO_WHITE_BALANCE, 7, 0, "0", ""},      // a button is pressed with 0
      {V4L2_CID_POWER_LINE_FREQUENCY, 2, 0, "1", ""},  // the nearest item below the gap
      {V4L2_CID_GAIN, 20, 0, "", failed + "\"Gain\" failed: it is read-only."},
      {V4L2_CID_HUE, 20, 0, "", failed + "\"Hue\" failed: it is disabled."},
      {0x00980999, 1, 0, "", failed + "0x00980999 failed: Invalid argument."},
      {V4L2_CID_BRIGHTNESS, 300, EBUSY, "255",
       failed + "\"Brightness\" failed: Device or resource busy."},
  };
  for (const auto& [id, value, error, sent, report] : rows) {
    reports_.clear();
    device_.ClearLog();
    device_.SetControlError(error);
    EXPECT_EQ(source.SetVideoControl(id, value), report.empty()) << id;
    EXPECT_EQ(reports_, report.empty() ? Reports{} : Reports{report}) << id;
    const Reports log = device_.Now().log;
    EXPECT_EQ(log, sent.empty() ? Reports{} : Reports{"S_CTRL " + std::to_string(id) + " " + sent})
        << id;
  }
  // The busy control refuses again while a slider is dragged: held back, not repeated.
  reports_.clear();
  EXPECT_FALSE(source.SetVideoControl(V4L2_CID_BRIGHTNESS, 10));
  EXPECT_EQ(reports_, Reports{});
  device_.SetControlError(0);
  EXPECT_TRUE(source.SetVideoControl(V4L2_CID_BRIGHTNESS, 10));
  EXPECT_EQ(source.ListVideoControls().value()[0].value, 10);
  source.Stop();
  EXPECT_FALSE(source.ListVideoControls());
}

}  // namespace
}  // namespace ombrix
