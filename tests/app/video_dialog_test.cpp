// "Video...": the controls dialog, driven through its widgets on Qt's offscreen platform.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <algorithm>

#include "app/headless.h"
#include "app/main_window.h"
#include "app/video_dialog.h"
#include "app/window_hooks.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

using Log = std::vector<std::string>;

enum : uint32_t { kBrightness = 1, kContrast, kAuto, kTemperature, kMains, kPush, kGain, kFocus };

// A capture device as the station sees it: its controls, with every set logged. Focus refuses
// every value; switching the automatic white balance on makes the colour temperature inactive.
class ControlSource final : public CaptureSource {
 public:
  ControlSource(std::optional<std::vector<VideoControl>> controls, Log& log)
      : controls_(std::move(controls)), log_(log) {}
  bool Start(FrameRing&) override { return true; }
  void Stop() override {}
  std::optional<std::vector<VideoControl>> ListVideoControls() override { return controls_; }
  bool SetVideoControl(uint32_t id, int32_t value) override {
    log_.push_back("set " + std::to_string(id) + " " + std::to_string(value));
    auto control = std::ranges::find(*controls_, id, &VideoControl::id);
    if (!control->adjustable() || id == kFocus) {
      return false;
    }
    control->value = ClampControlValue(*control, value);
    if (id == kAuto) {
      (*controls_)[kTemperature - 1].flags = value != 0 ? V4L2_CTRL_FLAG_INACTIVE : 0;
    }
    return true;
  }

 private:
  std::optional<std::vector<VideoControl>> controls_;
  Log& log_;
};

VideoControl Control(uint32_t id, VideoControlType type, const char* name, int32_t minimum,
                     int32_t maximum, int32_t step, int32_t defaultValue, int32_t value) {
  return VideoControl{id, name, type, minimum, maximum, step, defaultValue, value};
}

std::vector<VideoControl> Camera() {
  using T = VideoControlType;
  std::vector<VideoControl> controls = {
      Control(kBrightness, T::kInteger, "Brightness", 0, 255, 1, 128, 100),
      Control(kContrast, T::kInteger, "Contrast", -10, 10, 5, 0, 5),
      Control(kAuto, T::kBoolean, "White Balance, Auto", 0, 1, 1, 1, 0),
      Control(kTemperature, T::kInteger, "White Balance Temperature", 2800, 6500, 10, 4600, 5000),
      Control(kMains, T::kMenu, "Power Line Frequency", 0, 3, 1, 1, 1),
      Control(kPush, T::kButton, "Do White Balance", 0, 0, 1, 0, 0),
      Control(kGain, T::kInteger, "Gain", 0, 100, 1, 10, 10),
      Control(kFocus, T::kInteger, "Focus", 0, 100, 1, 20, 20)};
  controls[kMains - 1].menu = {{0, "Disabled"}, {1, "50 Hz"}, {3, "Auto"}};
  controls[kGain - 1].flags = V4L2_CTRL_FLAG_READ_ONLY;
  return controls;
}

class VideoDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Hooks().info = [this](QWidget*, const QString& text) {
      log.push_back("info: " + text.toStdString());
    };
  }
  void TearDown() override { ResetHooks(); }

  // A started window whose station captures from a ControlSource with these controls (none: a
  // source with no device behind it, as the simulated sky or a file).
  std::unique_ptr<MainWindow> Start(std::optional<std::vector<VideoControl>> controls) {
    WindowSetup setup;
    setup.wallClock = &parts.clock;
    setup.freeSpace = &freeSpace;
    setup.stationOptions.readConfiguration = false;
    setup.report = [](const std::string&) {};
    setup.show = false;
    setup.makeSource = [this, controls](Station&) {
      return std::make_unique<ControlSource>(controls, log);
    };
    auto window = std::make_unique<MainWindow>(std::move(setup));
    window->Start();
    return window;
  }

  template <typename Widget>
  static Widget* Input(QWidget& dialog, uint32_t id) {
    return dialog.findChild<Widget*>("control_" + QString::number(id));
  }

  test::ScopedHome home;
  SourceParts parts;
  StatvfsFreeSpace freeSpace;
  Log log;
};

TEST_F(VideoDialogTest, WithoutADeviceVideoSaysSoAndOpensNothing) {
  auto window = Start(std::nullopt);
  window->action("actionVideo")->trigger();
  EXPECT_EQ(log, Log{"info: Video: No capture device is open."});
  EXPECT_EQ(window->findChild<VideoDialog*>("videoDialog"), nullptr);
}

TEST_F(VideoDialogTest, ControlsAreShownByKindAndAppliedAtOnce) {
  auto window = Start(Camera());
  window->action("actionVideo")->trigger();
  auto* dialog = window->findChild<VideoDialog*>("videoDialog");
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(dialog->isVisible());
  QSlider* brightness = Input<QSlider>(*dialog, kBrightness);
  QSlider* contrast = Input<QSlider>(*dialog, kContrast);
  QCheckBox* automatic = Input<QCheckBox>(*dialog, kAuto);
  QComboBox* mains = Input<QComboBox>(*dialog, kMains);
  QPushButton* push = Input<QPushButton>(*dialog, kPush);
  ASSERT_TRUE(brightness && contrast && automatic && mains && push);
  auto valueText = [&](uint32_t id) {
    return dialog->findChild<QLabel*>("value_" + QString::number(id))->text();
  };
  EXPECT_EQ(valueText(kBrightness), "100");
  EXPECT_EQ(contrast->maximum(), 4);  // -10..10 in steps of 5
  EXPECT_EQ(contrast->value(), 3);
  EXPECT_FALSE(automatic->isChecked());
  ASSERT_EQ(mains->count(), 3);
  EXPECT_EQ(mains->currentText(), "50 Hz");
  EXPECT_FALSE(Input<QSlider>(*dialog, kGain)->isEnabled());  // read-only
  EXPECT_TRUE(Input<QSlider>(*dialog, kTemperature)->isEnabled());
  EXPECT_TRUE(log.empty());

  brightness->setValue(200);
  contrast->setValue(0);
  automatic->click();
  mains->setCurrentIndex(2);
  push->click();
  EXPECT_EQ(log, (Log{"set 1 200", "set 2 -10", "set 3 1", "set 5 3", "set 6 0"}));
  EXPECT_EQ(valueText(kBrightness), "200");
  // Read back: the automatic white balance has made the temperature inactive.
  EXPECT_FALSE(Input<QSlider>(*dialog, kTemperature)->isEnabled());

  // A value the device refuses: said in the dialog, and the slider shows the device's value.
  Input<QSlider>(*dialog, kFocus)->setValue(50);
  EXPECT_EQ(log.back(), "set 8 50");
  EXPECT_EQ(Input<QSlider>(*dialog, kFocus)->value(), 20);
  EXPECT_EQ(dialog->findChild<QLabel*>("message")->text(), "\"Focus\" could not be set.");

  // Defaults: only what differs, nothing inactive, read-only or a button.
  log.clear();
  dialog->findChild<QPushButton*>("defaultsButton")->click();
  EXPECT_EQ(log, (Log{"set 1 128", "set 2 0", "set 5 1"}));
  EXPECT_EQ(Input<QSlider>(*dialog, kBrightness)->value(), 128);
  EXPECT_EQ(dialog->findChild<QLabel*>("message")->text(), "");

  dialog->findChild<QPushButton*>("closeButton")->click();
  EXPECT_FALSE(dialog->isVisible());
}

}  // namespace
}  // namespace ombrix

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
