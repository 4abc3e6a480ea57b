#include "capture/device_source.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "capture/frame_ring.h"
#include "fake_v4l2_device.h"

namespace ombrix {
namespace {

using std::chrono::seconds;
using Action = StallWatchdog::Action;

const std::string kStalled =
    "No frame from the capture device for 5 s; rebuilding the capture graph.";
const std::string kRecovered = "Frames from the capture device arrive again.";

TEST(StallWatchdog, RebuildsAfterFiveSilentSecondsThenEveryThirty) {
  std::vector<std::string> reports;
  StallWatchdog watchdog([&](const std::string& text) { reports.push_back(text); });
  const auto t0 = std::chrono::steady_clock::time_point{} + seconds(1000);

  // Not armed: a silent device that never started is left alone.
  EXPECT_EQ(watchdog.Check(0, t0 + seconds(100)), Action::kNone);

  watchdog.Arm();
  EXPECT_EQ(watchdog.Check(7, t0), Action::kNone);               // baseline
  EXPECT_EQ(watchdog.Check(8, t0 + seconds(3)), Action::kNone);  // a frame at t0 + 3
  EXPECT_EQ(watchdog.Check(8, t0 + seconds(7)), Action::kNone);
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(watchdog.Check(8, t0 + seconds(8)), Action::kRebuild);  // 5 s after the last frame
  EXPECT_EQ(reports, std::vector<std::string>{kStalled});
  for (int s = 9; s < 38; ++s) {
    EXPECT_EQ(watchdog.Check(8, t0 + seconds(s)), Action::kNone) << s;
  }
  EXPECT_EQ(watchdog.Check(8, t0 + seconds(38)), Action::kRebuild);
  EXPECT_EQ(watchdog.Check(8, t0 + seconds(67)), Action::kNone);
  EXPECT_EQ(watchdog.Check(8, t0 + seconds(68)), Action::kRebuild);
  EXPECT_EQ(reports.size(), 1u);  // reported once per stall

  EXPECT_EQ(watchdog.Check(9, t0 + seconds(70)), Action::kNone);
  EXPECT_EQ(reports.back(), kRecovered);
  EXPECT_FALSE(watchdog.stalled());
  EXPECT_EQ(watchdog.Check(9, t0 + seconds(74)), Action::kNone);
  EXPECT_EQ(watchdog.Check(9, t0 + seconds(75)), Action::kRebuild);  // a new stall
  EXPECT_EQ(reports.back(), kStalled);

  // Re-arming (a new start) takes a fresh baseline: no stall from the old silence.
  watchdog.Arm();
  EXPECT_EQ(watchdog.Check(9, t0 + seconds(500)), Action::kNone);
  EXPECT_EQ(watchdog.Check(9, t0 + seconds(504)), Action::kNone);
  watchdog.Disarm();
  EXPECT_EQ(watchdog.Check(9, t0 + seconds(600)), Action::kNone);
}

bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(DeviceSource, SilentDeviceIsRebuiltUntilFramesFlowAgain) {
  test::FakeV4l2Device device;
  device.cameras = {test::Camera("/dev/video0")};
  Settings settings;
  test::SteppingClock clock;
  FrameRing ring;
  std::vector<std::string> reports;
  DeviceSource source(device, settings, clock,
                      [&](const std::string& text) { reports.push_back(text); });
  ASSERT_TRUE(source.Start(ring));
  EXPECT_EQ(device.CountInLog("STREAMON"), 1u);
  const auto t0 = std::chrono::steady_clock::time_point{} + seconds(50);

  source.CheckHealth(t0);
  device.Deliver({test::Delivery::Kind::kFrame, 40, 0, 0});
  ASSERT_TRUE(WaitFor([&] { return source.graph().framesDelivered() == 1; }));
  source.CheckHealth(t0 + seconds(1));
  source.CheckHealth(t0 + seconds(5));
  EXPECT_EQ(device.CountInLog("STREAMON"), 1u);
  source.CheckHealth(t0 + seconds(6));
  EXPECT_EQ(reports, std::vector<std::string>{kStalled});
  EXPECT_EQ(device.CountInLog("STREAMOFF"), 1u);
  EXPECT_EQ(device.CountInLog("STREAMON"), 2u);
  EXPECT_TRUE(source.graph().running());

  // The device is unplugged: the rebuild fails with its own message and is tried again later.
  device.cameras.clear();
  source.CheckHealth(t0 + seconds(35));
  EXPECT_EQ(device.CountInLog("STREAMON"), 2u);
  source.CheckHealth(t0 + seconds(36));
  EXPECT_EQ(reports.back(), "Creation of the enumerator for video capture devices failed.");
  EXPECT_FALSE(source.graph().built());

  device.cameras = {test::Camera("/dev/video0")};
  source.CheckHealth(t0 + seconds(66));
  EXPECT_EQ(device.CountInLog("STREAMON"), 3u);
  device.Deliver({test::Delivery::Kind::kFrame, 50, 0, 0});
  ASSERT_TRUE(WaitFor([&] { return source.graph().framesDelivered() == 2; }));
  source.CheckHealth(t0 + seconds(67));
  EXPECT_EQ(reports.back(), kRecovered);
  source.CheckHealth(t0 + seconds(200));  // silent again later: one more rebuild, not a loop
  source.CheckHealth(t0 + seconds(201));
  EXPECT_EQ(device.CountInLog("STREAMON"), 4u);

  source.Stop();
  EXPECT_EQ(device.OpenCount(), 0u);
  source.CheckHealth(t0 + seconds(400));
  EXPECT_EQ(device.OpenCount(), 0u);
  EXPECT_EQ(ring.Frame(0)[0], 40);
  EXPECT_EQ(ring.Frame(1)[0], 50);
}

TEST(DeviceSource, FailedStartIsNotRetried) {
  test::FakeV4l2Device device;
  Settings settings;
  test::SteppingClock clock;
  FrameRing ring;
  std::vector<std::string> reports;
  DeviceSource source(device, settings, clock,
                      [&](const std::string& text) { reports.push_back(text); });
  EXPECT_FALSE(source.Start(ring));
  device.cameras = {test::Camera("/dev/video0")};
  const auto t0 = std::chrono::steady_clock::time_point{} + seconds(50);
  source.CheckHealth(t0);
  source.CheckHealth(t0 + seconds(60));
  EXPECT_EQ(device.OpenCount(), 0u);
  EXPECT_EQ(reports.size(), 1u);
}

}  // namespace
}  // namespace ombrix
