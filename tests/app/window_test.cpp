// The operator's window, driven through its real widgets on Qt's offscreen platform.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTest>
#include <QTimeEdit>
#include <QToolButton>
#include <QTreeWidget>
#include <cstring>
#include <iterator>
#include <map>
#include <thread>
#include <vector>

#include "app/headless.h"
#include "app/light_curve.h"
#include "app/main_window.h"
#include "app/options_dialogs.h"
#include "app/picture_view.h"
#include "app/video_dialog.h"
#include "app/window_hooks.h"
#include "base/folders.h"
#include "calib/calibration.h"
#include "config/config_file.h"
#include "storage/calibration_settings.h"
#include "storage/disk_cleaner.h"
#include "support/movies.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

// What the replaced hooks were asked, one line each.
struct HookLog {
  std::vector<std::string> lines;
  QString answer;  // what file and folder questions return (empty: cancelled)

  void Install() {
    Hooks().info = [this](QWidget*, const QString& text) {
      lines.push_back("info: " + text.toStdString());
    };
    Hooks().openFile = [this](QWidget*, const QString& caption, const QString& filter) {
      lines.push_back("open: " + caption.toStdString() + " | " + filter.toStdString());
      return answer;
    };
    Hooks().saveFile = [this](QWidget*, const QString& caption, const QString& name,
                              const QString& filter) {
      lines.push_back("save: " + caption.toStdString() + " | " + name.toStdString() + " | " +
                      filter.toStdString());
      return answer;
    };
    Hooks().folder = [this](QWidget*, const QString& title) {
      lines.push_back("folder: " + title.toStdString());
      return answer;
    };
  }
  std::string Last() const { return lines.empty() ? "" : lines.back(); }
};

// A source whose frames the test stores, as a camera would; it may log its starts and stops.
class HandSource final : public CaptureSource {
 public:
  explicit HandSource(std::vector<std::string>* log = nullptr) : log_(log) {}
  bool Start(FrameRing& ring) override {
    ring_ = &ring;
    Log("start");
    return true;
  }
  void Stop() override {
    if (ring_ != nullptr) {
      Log("stop");
    }
    ring_ = nullptr;
  }
  // A 640x480 YUYV sample of one brightness.
  void Store(uint8_t level, const Stamp& stamp) {
    std::vector<uint8_t> sample(kSampleSize640, 128);
    for (size_t i = 0; i < sample.size(); i += 2) {
      sample[i] = level;
    }
    ring_->StoreFrame(sample.data(), *ParseStamp(stamp));
  }

 private:
  void Log(const char* what) {
    if (log_ != nullptr) {
      log_->push_back(what);
    }
  }
  std::vector<std::string>* log_;
  FrameRing* ring_ = nullptr;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { log.Install(); }
  void TearDown() override { ResetHooks(); }

  // For a station that reads no configuration, with no source unless one is made.
  WindowSetup Setup(Station::SourceFactory source = {}) {
    WindowSetup setup;
    setup.wallClock = &parts.clock;
    setup.freeSpace = &freeSpace;
    setup.stationOptions.readConfiguration = false;
    setup.makeSource = std::move(source);
    setup.notice = [](const Notice&) {};
    setup.show = false;
    return setup;
  }
  std::unique_ptr<MainWindow> Make(Station::SourceFactory source = {}) {
    return std::make_unique<MainWindow>(Setup(std::move(source)));
  }
  // A started window whose frames come from hand.
  std::unique_ptr<MainWindow> MakeStartedByHand() {
    auto window = Make([this](Station&) {
      auto source = std::make_unique<HandSource>();
      hand = source.get();
      return source;
    });
    window->Start();
    return window;
  }

  static QLineEdit* Field(QWidget& w, const char* name) {
    return w.findChild<QLineEdit*>(QString::fromLatin1(name));
  }
  static std::string Status(MainWindow& w) { return Field(w, "status")->text().toStdString(); }
  static QPushButton* Button(QWidget& w, const char* name) {
    return w.findChild<QPushButton*>(QString::fromLatin1(name));
  }
  template <typename Widget>
  static Widget* Input(QWidget& dialog, uint32_t id) {
    return dialog.findChild<Widget*>("control_" + QString::number(id));
  }
  // Opens the dialog through its menu item.
  static QDialog* Open(MainWindow& w, const char* action, const char* dialog) {
    w.action(QString::fromLatin1(action))->trigger();
    return w.findChild<QDialog*>(QString::fromLatin1(dialog));
  }

  test::ScopedHome home;
  SourceParts parts;
  StatvfsFreeSpace freeSpace;
  HookLog log;
  HandSource* hand = nullptr;
};

// Each item's trace: a hook line, "dialog NAME", "picture" (live video hidden), or none.
struct MenuItem {
  const char* menu;
  const char* text;
  const char* action;
  const char* key;
  const char* trace;
};
const MenuItem kMenuItems[] = {
    {"&File", "New Archive Directory...", "actionNewArchiveDirectory", "",
     "folder: Select folder where the archive and event files will be stored.."},
    {"&File", "Open Event...", "actionOpenEvent", "", "open: Open Event | Event File (*.txt)"},
    {"&File", "Open Image...", "actionOpenImage", "",
     "open: Open Image | JPEG or PNG File (*.jpg *.png)"},
    {"&File", "Save Image...", "actionSaveImage", "",
     "save: Save Image | image | JPEG File (*.jpg);;PNG File (*.png)"},
    {"&File", "Save Movie...", "actionSaveMovie", "", "info: Save Movie: No event selected."},
    {"&File", "Read Mask File...", "actionReadMaskFile", "",
     "open: Read Mask File | JPEG or PNG File (*.jpg *.png)"},
    {"&File", "Show Mask", "actionShowMask", "", "picture"},
    {"&File", "Overlay Mask", "actionOverlayMask", "", "picture"},
    {"&File", "Overlay Grid", "actionOverlayGrid", "", "picture"},
    {"&File", "Save Configuration", "actionSaveConfiguration", "", nullptr},
    {"&File", "&Exit", "actionExit", "Ctrl+E", nullptr},
    {"&Options", "Video...", "actionVideo", "", nullptr},
    {"&Options", "Display...", "actionDisplay", "", "dialog vardexOptions"},
    {"&Options", "Trigger...", "actionTrigger", "", "dialog eventOptions"},
    {"&Options", "Calibration...", "actionCalibration", "", "dialog calibration"},
    {"&Events", "First", "actionFirst", "Ctrl+Home", "info: No events."},
    {"&Events", "Previous", "actionPrevious", "Ctrl+Left", "info: No more events."},
    {"&Events", "Next", "actionNext", "Ctrl+Right", "info: No more events."},
    {"&Events", "Last", "actionLast", "Ctrl+End", "info: No events."},
    {"&Events", "Delete", "actionDelete", "Ctrl+Del", "info: Delete: No event selected."},
    {"Special", "Show Average Composite", "actionShowAverageComposite", "", nullptr},
    {"Special", "Show Average Movie", "actionShowAverageMovie", "", nullptr},
    {"Special", "Recalculate Time History", "actionRecalculateTimeHistory", "",
     "info: Recalculate: No event selected."},
    {"Special", "Change Video Source", "actionChangeVideoSource", "", nullptr},
    {"Special", "Messages...", "actionMessages", "", "dialog messagesDialog"},
    {"&Help", "&About...", "actionAbout", "", "dialog about"},
};

TEST_F(WindowTest, EveryMenuItemIsInPlaceAndRunsItsCommand) {
  auto window = Make();
  window->Start();
  std::map<QString, QMenu*> menus;
  for (QAction* top : window->menuBar()->actions()) {
    menus[top->text()] = top->menu();
  }
  ASSERT_EQ(menus.size(), 5u);
  std::map<QString, int> items;
  for (const MenuItem& item : kMenuItems) {
    SCOPED_TRACE(item.text);
    QMenu* menu = menus[QString::fromLatin1(item.menu)];
    ASSERT_NE(menu, nullptr);
    QAction* action = window->action(QString::fromLatin1(item.action));
    ASSERT_NE(action, nullptr);
    EXPECT_TRUE(menu->actions().contains(action));
    EXPECT_EQ(action->text().toStdString(), item.text);
    EXPECT_EQ(action->shortcut(), QKeySequence(QString::fromLatin1(item.key)));
    ++items[QString::fromLatin1(item.menu)];
    const std::string trace = item.trace != nullptr ? item.trace : "";
    if (trace.empty()) {
      continue;
    }
    window->ShowLiveVideo();
    log.lines.clear();
    action->trigger();
    if (trace == "picture") {
      EXPECT_FALSE(window->realTimeShown());
    } else if (trace.rfind("dialog ", 0) == 0) {
      auto* d = window->findChild<QDialog*>(QString::fromStdString(trace.substr(7)));
      ASSERT_NE(d, nullptr);
      EXPECT_TRUE(d->isVisible());
    } else {
      EXPECT_EQ(log.Last(), trace);
    }
  }
  // Nothing else is in the menus but the two separators of File and the one of Events.
  for (const auto& [name, menu] : menus) {
    int separators = 0;
    for (QAction* a : menu->actions()) {
      separators += a->isSeparator() ? 1 : 0;
    }
    EXPECT_EQ(menu->actions().size() - separators, items[name]) << name.toStdString();
  }
  // The About box with its texts.
  auto* about = window->findChild<QDialog*>("about");
  EXPECT_EQ(about->windowTitle().toStdString(), "About Ombrix");
  QStringList texts;
  for (auto* label : about->findChildren<QLabel*>()) {
    texts << label->text();
  }
  EXPECT_TRUE(texts.contains("Ombrix, Version 1.2.3"));
  EXPECT_TRUE(texts.contains("June 10, 2016"));
}

TEST_F(WindowTest, AcceleratorsReachTheirCommands) {
  auto window = Make();
  window->Start();
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  // Even with the focus in the duration field the accelerators win.
  Field(*window, "duration")->setFocus();
  for (const MenuItem& item : kMenuItems) {
    if (*item.key != '\0' && item.trace != nullptr) {
      log.lines.clear();
      QTest::keySequence(window.get(), QKeySequence(QString::fromLatin1(item.key)));
      EXPECT_EQ(log.Last(), item.trace) << item.key;
    }
  }
  QTest::keyClick(window.get(), Qt::Key_E, Qt::ControlModifier);
  EXPECT_EQ(Status(*window), "Stopping...");
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->stopped(); }, 20000));
}

// The buttons with their texts and the commands they share with the menus (none: checked apart).
TEST_F(WindowTest, ControlsCarryTheirTextsAndRunTheirCommands) {
  auto window = Make();
  EXPECT_EQ(Button(*window, "buttonLive")->text().toStdString(), "Start");
  EXPECT_FALSE(Button(*window, "buttonPause")->isEnabled());
  window->Start();
  const std::tuple<const char*, const char*, const char*> buttons[] = {
      {"buttonFirst", "||< First", "info: No events."},
      {"buttonPrevious", "<< Previous", "info: No more events."},
      {"buttonNext", "Next >>", "info: No more events."},
      {"buttonLast", "Last >||", "info: No events."},
      {"buttonReplay", "Replay", "info: Replay: No event selected."},
      {"buttonPause", "Pause", nullptr},
      {"buttonComposite", "Composite", "info: Composite: No event selected."},
      {"buttonDelete", "Delete", "info: Delete: No event selected."},
      {"buttonLive", "Hide RT", nullptr},
      {"buttonPlay", "Play", nullptr},
      {"buttonSave", "Save", nullptr}};
  for (const auto& [name, text, trace] : buttons) {
    QPushButton* button = Button(*window, name);
    ASSERT_NE(button, nullptr) << name;
    EXPECT_EQ(button->text().toStdString(), text);
    if (trace != nullptr) {
      log.lines.clear();
      QTest::mouseClick(button, Qt::LeftButton);
      EXPECT_EQ(log.Last(), trace) << name;
    }
  }
  // Save takes the picker's interval and puts it on the station's event list.
  log.lines.clear();
  Button(*window, "buttonSave")->click();
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(window->station().Status().eventsWaiting, 1u);
  auto* picker = window->findChild<QDateTimeEdit*>("startTime");
  EXPECT_EQ(picker->displayFormat().toStdString(), "MM/dd/yyyy HH:mm:ss");
  EXPECT_LE(std::abs(picker->dateTime().secsTo(QDateTime::currentDateTimeUtc())), 5);
  // The duration reads "10" and takes digits only.
  QLineEdit* duration = Field(*window, "duration");
  EXPECT_EQ(duration->text().toStdString(), "10");
  duration->clear();
  QTest::keyClicks(duration, "1a2-");
  EXPECT_EQ(duration->text().toStdString(), "12");
  // "Hide RT" / "Show RT" toggles the live video.
  auto* live = Button(*window, "buttonLive");
  for (const bool shown : {true, false, true}) {
    EXPECT_EQ(live->text().toStdString(), shown ? "Hide RT" : "Show RT");
    EXPECT_EQ(window->realTimeShown(), shown);
    QTest::mouseClick(live, Qt::LeftButton);
  }
}

// Escape and the close box leave the station running; Exit stops it while the window paints.
TEST_F(WindowTest, OnlyExitStopsTheStation) {
  auto window = Make([this](Station& station) {
    HeadlessOptions options;
    options.source = SourceKind::kSimulated;
    return MakeCaptureSource(options, station, parts, nullptr);
  });
  window->Start();
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  QTest::keyClick(window.get(), Qt::Key_Escape);
  EXPECT_FALSE(window->close());
  QCoreApplication::processEvents();
  EXPECT_TRUE(window->isVisible());
  EXPECT_FALSE(window->stopped());
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->station().FramesStored() > 10; }, 10000));
  window->action("actionExit")->trigger();
  EXPECT_EQ(Status(*window), "Stopping...");
  // Nothing reaches the stopping station.
  EXPECT_FALSE(window->action("actionChangeVideoSource")->isEnabled());
  EXPECT_FALSE(Button(*window, "buttonNext")->isEnabled());
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->stopped(); }, 20000));
  EXPECT_EQ(window->station().FramesPending(), 0u);
  const uint64_t stored = window->station().FramesStored();
  QTest::qWait(200);
  EXPECT_EQ(window->station().FramesStored(), stored);  // capture has ended
  window->action("actionExit")->trigger();              // a second Exit does nothing
  EXPECT_TRUE(window->close());                         // and now the window may close
}

TEST_F(WindowTest, LiveStatusTextAndTheEveryThirtiethCopy) {
  auto window = MakeStartedByHand();
  Station& station = window->station();
  station.Apply([](Settings& s) { s.enabled = false; });
  // No frame yet: the time reads as zeros.
  window->LiveStatus();
  EXPECT_EQ(Status(*window), "UTC 00/00/00 00:00:00 Disabled");
  hand->Store(40, "20160610_210509_990");
  station.Apply([](Settings& s) { s.enabled = true; });
  const uint8_t* display = window->picture().displayPixels();
  window->LiveStatus();  // the 2nd message: no copy
  EXPECT_EQ(Status(*window), "UTC 06/10/2016 21:05:09 Enabled");
  EXPECT_EQ(display[1000], 0);
  for (int i = 2; i < 30; ++i) {
    window->LiveStatus();
  }
  EXPECT_EQ(display[1000], 0);
  window->LiveStatus();  // the 31st: copies
  EXPECT_EQ(display[1000], 40);
  hand->Store(90, "20160610_210510_000");
  for (int i = 0; i < 29; ++i) {
    window->LiveStatus();
  }
  EXPECT_EQ(display[1000], 40);
  EXPECT_EQ(Status(*window), "UTC 06/10/2016 21:05:10 Enabled");
  window->LiveStatus();
  EXPECT_EQ(display[1000], 90);
  EXPECT_EQ(Field(*window, "count")->text().toStdString(), "0");
  // Hidden live video: neither field changes.
  window->HideLiveVideo();
  hand->Store(90, "20160610_210600_000");
  Field(*window, "count")->setText("x");
  window->LiveStatus();
  EXPECT_EQ(Status(*window), "UTC 06/10/2016 21:05:10 Enabled");
  EXPECT_EQ(Field(*window, "count")->text().toStdString(), "x");
  // The detection thread's note after each pass refreshes it through the window's queue.
  window->ShowLiveVideo();
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return Status(*window) == "UTC 06/10/2016 21:06:00 Enabled"; }, 5000));
}

TEST_F(WindowTest, ReplayFrameShowsTheTimeWithMilliseconds) {
  auto window = Make();
  ReviewValues& review = window->station().readerValues();
  review.replayFrame.Update(187, [](uint8_t*) {});
  review.displayCount = 7;
  review.archiveFrameCount = 30;
  // No time: the count and the picture are refreshed, not the time.
  Field(*window, "status")->setText("before");
  window->ReplayFrameShown();
  EXPECT_EQ(Status(*window), "before");
  EXPECT_EQ(Field(*window, "count")->text().toStdString(), "7");
  EXPECT_EQ(window->picture().displayPixels()[5], 187);
  const std::tuple<const char*, int, const char*> cases[] = {
      {"20160610_210509_990", 30, "UTC 06/10/2016 21:05:10.980"},
      {"20160610_210509_990", 0, "UTC 06/10/2016 21:05:09.990"},
      {"20161231_235959_999", 1, "UTC 01/01/2017 00:00:00.032"}};
  for (const auto& [stamp, frames, expected] : cases) {
    review.currentArchiveFile.set(ParseStamp(stamp));
    review.archiveFrameCount = frames;
    window->ReplayFrameShown();
    EXPECT_EQ(Status(*window), expected);
  }
  // From a worker thread, the note is posted and handled on the window's thread.
  review.archiveFrameCount = 30;
  review.currentArchiveFile.set(ParseStamp("20160610_210509_990"));
  Field(*window, "status")->clear();
  std::thread worker([&window] { window->FrameReady(); });
  worker.join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Status(*window) == "UTC 06/10/2016 21:05:10.980"; }));
}

TEST_F(WindowTest, GridMarksFlipAndTheZenithIsMarked) {
  auto window = Make();
  uint8_t* display = window->picture().displayPixels();
  std::memset(display, 100, kFrameBytes);
  window->OverlayGrid();
  std::vector<int> marked;
  for (int i = 0; i < kFrameBytes; ++i) {
    if (display[i] != 100) {
      EXPECT_EQ(display[i], 255);
      marked.push_back(i);
    }
  }
  // The zenith lies at the centre of projection.
  EXPECT_EQ(display[240 * 640 + 320], 255);
  EXPECT_GT(marked.size(), 60u);
  EXPECT_LE(marked.size(), 123u);
  window->OverlayGrid();  // each mark flips: 255 becomes 0, the rest is untouched
  for (int i = 0; i < kFrameBytes; ++i) {
    const bool wasMarked = std::binary_search(marked.begin(), marked.end(), i);
    ASSERT_EQ(display[i], wasMarked ? 0 : 100) << i;
  }
}

TEST_F(WindowTest, MaskIsShownAndOverlaid) {
  auto window = Make();
  window->Start();
  // No mask: the table is the threshold everywhere.
  window->ShowMask();
  const uint8_t* display = window->picture().displayPixels();
  EXPECT_EQ(display[0], 30);
  EXPECT_EQ(display[kFrameBytes - 1], 30);
  // A mask with a red block, chosen through Read Mask File.
  QImage mask(640, 480, QImage::Format_RGB32);
  mask.fill(Qt::black);
  for (int y = 100; y < 110; ++y) {
    for (int x = 200; x < 220; ++x) {
      mask.setPixel(x, y, qRgb(255, 0, 0));
    }
  }
  const QString path = QString::fromStdString((home.home() / "mask.png").string());
  ASSERT_TRUE(mask.save(path));
  log.answer = path;
  window->action("actionReadMaskFile")->trigger();
  EXPECT_EQ(window->station().settings()->maskFile, path.toStdString());
  window->ShowMask();
  EXPECT_EQ(display[105 * 640 + 210], 255);
  EXPECT_EQ(display[50 * 640 + 50], 30);
  std::memset(window->picture().displayPixels(), 50, kFrameBytes);
  window->OverlayMask();
  EXPECT_EQ(display[105 * 640 + 210], 255);
  EXPECT_EQ(display[100 * 640 + 199], 50);
  EXPECT_EQ(display[50 * 640 + 50], 50);
}

TEST_F(WindowTest, ClickReadsOutThePixelAndItsDirection) {
  auto window = Make();
  window->Start();
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  const Calibration calibration = CalibrationFromSettings(*window->station().settings());
  for (const QPoint pixel : {QPoint(320, 240), QPoint(0, 0), QPoint(639, 10)}) {
    QTest::mouseClick(&window->picture(), Qt::LeftButton, {}, pixel + QPoint(2, 2));
    const AzEl d = PixelToAzEl(calibration, pixel.x(), pixel.y());
    char expected[96];
    std::snprintf(expected, sizeof expected, "(%d,%d)  Az: %6.2f El: %6.2f", pixel.x(), pixel.y(),
                  d.azimuth, d.elevation);
    EXPECT_EQ(Status(*window), expected);
    EXPECT_FALSE(window->realTimeShown());
  }
  QTest::mouseClick(&window->picture(), Qt::LeftButton, {}, QPoint(322, 242));
  EXPECT_NE(Status(*window).find("El:  90.00"), std::string::npos);
}

TEST_F(WindowTest, ChangeVideoSourceCyclesTheDeviceIndexAndRebuildsCapture) {
  std::vector<std::string> sources;
  std::vector<uint32_t> indexes;
  WindowSetup setup = Setup([&](Station& station) {
    indexes.push_back(station.settings()->captureDeviceIndex);
    return std::make_unique<HandSource>(&sources);
  });
  setup.countDevices = [] { return 3; };
  MainWindow window(std::move(setup));
  // No source is started on a station that has not started or has stopped.
  EXPECT_FALSE(window.station().ReplaceSource(std::make_unique<HandSource>(&sources)));
  window.Start();
  for (int i = 0; i < 3; ++i) {
    window.action("actionChangeVideoSource")->trigger();
  }
  EXPECT_EQ(indexes, (std::vector<uint32_t>{0, 1, 2, 0}));
  EXPECT_EQ(sources,
            (std::vector<std::string>{"start", "stop", "start", "stop", "start", "stop", "start"}));
  window.Exit();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.stopped(); }, 20000));
  EXPECT_FALSE(window.station().ReplaceSource(std::make_unique<HandSource>(&sources)));
  EXPECT_EQ(sources.back(), "stop");
}

// The station's notices reach the window through its queue, also from other threads: the failed
// configuration in its box, the newest warning in the strip until dismissed (the archive folder
// replaced by a plain file), every notice of the run in the messages list, newest first, and a
// fatal one in a box before the window stops the station.
TEST_F(WindowTest, NoticesReachTheStripTheMessagesListAndTheirBoxes) {
  const std::filesystem::path disk = home.home() / "disk";
  std::filesystem::create_directories(disk);
  test::WriteFileBytes(home.home() / "config.txt",
                       "archiveFolder:" + disk.string() + "\r\nenableTime:24 0 0\r\n");
  SetConfigurationPath((home.home() / "config.txt").string());
  WindowSetup setup = Setup();
  setup.stationOptions.readConfiguration = true;
  MainWindow window(std::move(setup));
  QWidget* strip = window.findChild<QWidget*>("noticeStrip");
  QLabel* text = window.findChild<QLabel*>("noticeText");
  window.Start();
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return log.Last() == "info: Reading configuration file failed."; }));
  QTest::qWait(1500);  // what the station says once at the start (the clock, the priority) is said
  std::filesystem::remove_all(disk);
  test::WriteFileBytes(disk, "x");
  const std::string warning = "The archive folder " + disk.string() +
                              " cannot be used (Not a directory): nothing can be recorded until "
                              "it is a folder again.";
  const QString shown = QString::fromStdString(" UTC  warning: " + warning);  // after HH:MM:SS
  ASSERT_TRUE(QTest::qWaitFor([&] { return text->toolTip().endsWith(shown); }, 5000))
      << text->toolTip().toStdString();
  EXPECT_TRUE(text->text().startsWith(text->toolTip().left(40)));  // elided to one line
  EXPECT_TRUE(strip->isVisibleTo(&window));
  window.findChild<QToolButton*>("noticeDismiss")->click();
  EXPECT_FALSE(strip->isVisibleTo(&window));

  window.action("actionMessages")->trigger();
  auto* list = window.findChild<QTreeWidget*>("messagesList");
  const auto row = [list](int i, int column) {
    return list->topLevelItem(i)->text(column).toStdString();
  };
  const int rows = list->topLevelItemCount();
  ASSERT_GE(rows, 2);
  EXPECT_EQ(row(0, 2), warning);
  EXPECT_EQ(row(0, 1), "warning");
  EXPECT_EQ(row(rows - 1, 2), "Reading configuration file failed.");
  EXPECT_TRUE(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$")
                  .match(list->topLevelItem(0)->text(0))
                  .hasMatch());

  const std::string fatal = "The clip movie encoder failed: codec not found.";
  std::thread([&window, &fatal] {
    window.station().notices().Say(Severity::kFatal, "recording", fatal);
  }).join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.stopped(); }, 20000));
  EXPECT_EQ(window.fatalText(), fatal);
  EXPECT_EQ(log.Last(), "info: " + fatal);
  EXPECT_EQ(row(0, 1), "fatal");  // the open list takes new notices
  EXPECT_TRUE(text->toolTip().endsWith(QString::fromStdString(fatal)));
  SetConfigurationPath("");
}

TEST_F(WindowTest, NewArchiveDirectoryStripsTrailingSeparators) {
  auto window = Make();
  Station& station = window->station();
  station.Apply([](Settings& s) { s.archiveFolder = "/old"; });
  for (const auto& [answer, expected] : {std::pair{"", "/old"},  // cancelled
                                         {"/data/sky/ //", "/data/sky"}}) {
    log.answer = QString::fromLatin1(answer);
    window->action("actionNewArchiveDirectory")->trigger();
    EXPECT_EQ(station.settings()->archiveFolder, expected);
  }
}

// "Vardex Options": refilled on every show; the rules of OK.
TEST_F(WindowTest, VardexOptionsRules) {
  auto window = Make();
  Station& station = window->station();
  auto* dialog = Open(*window, "actionDisplay", "vardexOptions");
  ASSERT_NE(dialog, nullptr);
  const auto edit = [dialog](const char* name) { return Field(*dialog, name); };
  const auto ok = [dialog] { Button(*dialog, "ok")->click(); };
  const std::map<std::string, std::function<int(const Settings&)>> read = {
      {"diskUsage", [](const Settings& s) { return static_cast<int>(s.diskUsage); }},
      {"pngIntegrationFactor",
       [](const Settings& s) { return static_cast<int>(s.pngIntegrationFactor); }},
      {"hourlyRate", [](const Settings& s) { return s.hourlyRate; }},
      {"slowdownFactor", [](const Settings& s) { return s.slowdownFactor; }},
      {"daysToKeep", [](const Settings& s) { return s.daysToKeep; }}};
  const std::tuple<const char*, const char*, int> cases[] = {{"diskUsage", "10", 25},
                                                             {"diskUsage", "95", 90},
                                                             {"diskUsage", "60", 60},
                                                             {"pngIntegrationFactor", "0", 1},
                                                             {"pngIntegrationFactor", "12", 10},
                                                             {"hourlyRate", "0", 12},
                                                             {"hourlyRate", "", 12},
                                                             {"hourlyRate", "40", 40},
                                                             {"slowdownFactor", "0", 1},
                                                             {"slowdownFactor", "3", 3},
                                                             {"daysToKeep", "0", 99},
                                                             {"daysToKeep", "7", 7}};
  for (const auto& [field, text, expected] : cases) {
    SCOPED_TRACE(std::string(field) + " = '" + text + "'");
    window->action("actionDisplay")->trigger();
    edit(field)->setText(QString::fromLatin1(text));
    ok();
    EXPECT_EQ(read.at(field)(*station.settings()), expected);
    EXPECT_FALSE(dialog->isVisible());
  }
  // Refilled on show: a setting changed meanwhile is what it shows.
  station.Apply([](Settings& s) { s.enabled = true; });
  window->action("actionDisplay")->trigger();
  EXPECT_TRUE(dialog->findChild<QCheckBox*>("enableNow")->isChecked());
  EXPECT_EQ(edit("daysToKeep")->text().toStdString(), "7");
  // Time base, schedule times, check boxes and the colour table.
  dialog->findChild<QComboBox*>("timeBase")->setCurrentIndex(1);
  dialog->findChild<QTimeEdit*>("enableAt")->setTime(QTime(21, 30, 5));
  dialog->findChild<QTimeEdit*>("disableAt")->setTime(QTime(5, 0, 0));
  dialog->findChild<QCheckBox*>("pseudoColor")->setChecked(true);
  dialog->findChild<QCheckBox*>("preferComposites")->setChecked(true);
  dialog->findChild<QCheckBox*>("enableNow")->setChecked(false);
  ok();
  const std::shared_ptr<const Settings> s = station.settings();
  EXPECT_FALSE(s->enableDisableTimeIsLocal);
  EXPECT_EQ(s->enableTime, (TimeOfDay{21, 30, 5}));
  EXPECT_EQ(s->disableTime, (TimeOfDay{5, 0, 0}));
  EXPECT_TRUE(s->pseudoColor);
  EXPECT_TRUE(s->preferComposites);
  EXPECT_FALSE(s->enabled);
  uint8_t* display = window->picture().displayPixels();
  display[0] = 255;
  display[1] = 0;
  EXPECT_EQ(window->picture().DisplayColor(0, 0), qRgb(0xE7, 0xF3, 0x9B));
  EXPECT_EQ(window->picture().DisplayColor(1, 0), qRgb(0, 0, 0));
  // Cancel changes nothing, and the next show refills.
  window->action("actionDisplay")->trigger();
  edit("diskUsage")->setText("33");
  Button(*dialog, "cancel")->click();
  EXPECT_EQ(station.settings()->diskUsage, 60u);
  EXPECT_FALSE(dialog->isVisible());
  window->action("actionDisplay")->trigger();
  EXPECT_EQ(edit("diskUsage")->text().toStdString(), "60");
  dialog->findChild<QCheckBox*>("pseudoColor")->setChecked(false);
  ok();
  EXPECT_EQ(window->picture().DisplayColor(0, 0), qRgb(255, 255, 255));
}

TEST_F(WindowTest, EventOptionsRules) {
  auto window = Make();
  window->Start();  // builds the threshold table
  Station& station = window->station();
  auto* dialog = Open(*window, "actionTrigger", "eventOptions");
  ASSERT_NE(dialog, nullptr);
  const auto edit = [dialog](const char* name) { return Field(*dialog, name); };
  const auto ok = [dialog] { Button(*dialog, "ok")->click(); };
  EXPECT_EQ(edit("threshold")->text().toStdString(), "30");
  // The same threshold, or one below 1, does not rebuild the table; another one does, at once.
  const auto before = station.ThresholdTable();
  ASSERT_NE(before, nullptr);
  for (const char* text : {"30", "0"}) {
    edit("threshold")->setText(QString::fromLatin1(text));
    ok();
    EXPECT_EQ(station.ThresholdTable(), before) << text;
    EXPECT_EQ(station.settings()->threshold, 30);
  }
  edit("threshold")->setText("45");
  ok();
  EXPECT_NE(station.ThresholdTable(), before);
  EXPECT_EQ(station.settings()->threshold, 45);
  EXPECT_EQ((*station.ThresholdTable())[1234], 45);
  // The others are taken only when greater than 0; text reads as its leading number.
  const std::tuple<const char*, const char*, int32_t Settings::*, int> cases[] = {
      {"triggerGap", "0", &Settings::triggerGap, 10},
      {"triggerGap", "7x", &Settings::triggerGap, 7},
      {"triggerCountBegin", "abc", &Settings::triggerCountBegin, 2},
      {"triggerCountBegin", "4", &Settings::triggerCountBegin, 4},
      {"triggerCountEnd", "3", &Settings::triggerCountEnd, 3},
      {"triggerSumBegin", "-5", &Settings::triggerSumBegin, 12},
      {"triggerSumEnd", "8", &Settings::triggerSumEnd, 8},
      {"maxEventTime", "60", &Settings::maxEventTime, 60},
  };
  for (const auto& [name, text, setting, expected] : cases) {
    SCOPED_TRACE(std::string(name) + " = " + text);
    window->action("actionTrigger")->trigger();
    edit(name)->setText(QString::fromLatin1(text));
    ok();
    EXPECT_EQ((*station.settings()).*setting, expected);
  }
  // Filled once: typed text survives Cancel, the setting keeps its value.
  window->action("actionTrigger")->trigger();
  edit("maxEventTime")->setText("77");
  Button(*dialog, "cancel")->click();
  EXPECT_EQ(station.settings()->maxEventTime, 60);
  station.Apply([](Settings& s) { s.triggerGap = 3; });  // not shown: the dialog is not refilled
  window->action("actionTrigger")->trigger();
  EXPECT_EQ(window->findChild<QDialog*>("eventOptions"), dialog);
  EXPECT_EQ(edit("maxEventTime")->text().toStdString(), "77");
  EXPECT_EQ(edit("triggerGap")->text().toStdString(), "7x");
}

TEST_F(WindowTest, CalibrationRules) {
  auto window = Make();
  Station& station = window->station();
  station.Apply([](Settings& s) { s.calDegPerPixel1 = 0.123456789; });
  auto* dialog = Open(*window, "actionCalibration", "calibration");
  ASSERT_NE(dialog, nullptr);
  const auto edit = [dialog](const char* name) { return Field(*dialog, name); };
  EXPECT_EQ(edit("calDegPerPixel1")->text().toStdString(), "0.123457");
  EXPECT_EQ(edit("calCOPx")->text().toStdString(), "320");
  edit("calRotation")->setText("12.5deg");
  edit("calTrueLatitude")->setText("north");
  edit("calCOPy")->setText("-1e2");
  edit("calDegPerPixel1")->setText("0.4");
  Button(*dialog, "ok")->click();
  const std::shared_ptr<const Settings> s = station.settings();
  EXPECT_DOUBLE_EQ(s->calRotation, 12.5);
  EXPECT_DOUBLE_EQ(s->calTrueLatitude, 0.0);
  EXPECT_DOUBLE_EQ(s->calCOPy, -100.0);
  EXPECT_DOUBLE_EQ(s->calDegPerPixel1, 0.4);
  // Typed and cancelled text stays in the fields.
  window->action("actionCalibration")->trigger();
  edit("calRotation")->setText("99");
  Button(*dialog, "cancel")->click();
  EXPECT_DOUBLE_EQ(station.settings()->calRotation, 12.5);
  window->action("actionCalibration")->trigger();
  EXPECT_EQ(edit("calRotation")->text().toStdString(), "99");
}

TEST_F(WindowTest, LightCurveOfTheCurrentEvent) {
  auto window = Make();
  auto* button = Button(*window, "buttonLightCurve");
  EXPECT_TRUE(button->isVisibleTo(window.get()));
  button->click();
  EXPECT_EQ(log.Last(), "info: Light Curve: No event selected.");

  // A garbage line is skipped; times count from the first row.
  std::string events;
  ASSERT_TRUE(GetEventsFolder("", events));
  const std::string key = "20160610_210509_990";
  test::WriteFileBytes(events + "/e" + key + ".txt", key + "\r\n20160610_210511_000\r\n");
  const std::string history =
      "20160610_210509_990,     3,      40,   0.0,   0.0, 120.00,  30.00\r\n"
      "20160610_210510_023,     9,     150,   0.0,   0.0, 121.50,  31.00\r\ngarbage line\r\n"
      "20160610_210510_990,     2,      25,   0.0,   0.0, 124.00,  33.50\r\n";
  test::WriteFileBytes(events + "/c" + key + ".csv", history);
  const auto points = ReadLightCurve(events + "/c" + key + ".csv");
  ASSERT_EQ(points.size(), 3u);
  EXPECT_DOUBLE_EQ(points[0].time_s, 0.0);
  EXPECT_NEAR(points[1].time_s, 0.033, 1e-9);
  EXPECT_NEAR(points[2].time_s, 1.0, 1e-9);
  EXPECT_EQ(points[1].pixelCount, 9);
  EXPECT_EQ(points[1].excessSum, 150);
  EXPECT_DOUBLE_EQ(points[2].azimuth, 124.0);
  EXPECT_DOUBLE_EQ(points[2].elevation, 33.5);
  EXPECT_TRUE(ReadLightCurve(events + "/missing.csv").empty());

  log.answer = QString::fromStdString(events + "/e" + key + ".txt");
  window->action("actionOpenEvent")->trigger();
  ASSERT_EQ(window->reviewer().currentEvent(), log.answer.toStdString());
  button->click();
  auto* dialog = window->findChild<LightCurveDialog*>("lightCurve");
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->points().size(), 3u);
  EXPECT_FALSE(dialog->grab().isNull());  // it paints
  window->reviewer().StopWorkers();
}

// Save Movie exports on its own thread behind a progress dialog; Cancel leaves no file behind.
TEST_F(WindowTest, SaveMovieRunsBehindAProgressDialogThatCancels) {
  auto window = Make();
  std::string events;
  ASSERT_TRUE(GetEventsFolder("", events));
  const std::string key = "20160610_210509_990";
  test::WriteFileBytes(events + "/e" + key + ".txt", key + "\r\n20160610_210515_000\r\n");
  test::WriteSky(events + "/m" + key + ".mp4", 150, 7, [](int, auto&) {});
  log.answer = QString::fromStdString(events + "/e" + key + ".txt");
  window->action("actionOpenEvent")->trigger();
  window->reviewer().StopWorkers();
  const auto progress = [&] { return window->findChild<QProgressDialog*>("saveMovieProgress"); };

  test::TempDir out;
  log.answer = QString::fromStdString((out / "whole.mp4").string());
  window->action("actionSaveMovie")->trigger();
  EXPECT_EQ(log.Last(), "save: Save Movie | " + key + " | MPEG File (*.mpg);;MPEG-4 File (*.mp4)");
  ASSERT_TRUE(QTest::qWaitFor([&] { return progress() == nullptr; }, 30000));
  EXPECT_EQ(test::MovieFrames(out / "whole.mp4"), 150);

  log.answer = QString::fromStdString((out / "cancelled.mp4").string());
  window->action("actionSaveMovie")->trigger();
  ASSERT_NE(progress(), nullptr);
  auto* cancel = progress()->findChild<QPushButton*>();
  ASSERT_NE(cancel, nullptr);
  EXPECT_EQ(cancel->text(), "Cancel");
  cancel->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return progress() == nullptr; }, 30000));
  EXPECT_EQ(log.Last().rfind("save: ", 0), 0u) << log.Last();  // a cancel is not a failure
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out.path()),
                          std::filesystem::directory_iterator()),
            1);
}

// "Video...": a device as the station sees it, logging every set. Focus refuses every value;
// switching the automatic white balance on makes the colour temperature inactive.
enum : uint32_t { kBrightness = 1, kContrast, kAuto, kTemperature, kMains, kPush, kGain, kFocus };
using Log = std::vector<std::string>;
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

std::vector<VideoControl> Camera() {
  using T = VideoControlType;
  std::vector<VideoControl> controls = {
      {kBrightness, "Brightness", T::kInteger, 0, 255, 1, 128, 100},
      {kContrast, "Contrast", T::kInteger, -10, 10, 5, 0, 5},
      {kAuto, "White Balance, Auto", T::kBoolean, 0, 1, 1, 1, 0},
      {kTemperature, "White Balance Temperature", T::kInteger, 2800, 6500, 10, 4600, 5000},
      {kMains, "Power Line Frequency", T::kMenu, 0, 3, 1, 1, 1},
      {kPush, "Do White Balance", T::kButton, 0, 0, 1, 0, 0},
      {kGain, "Gain", T::kInteger, 0, 100, 1, 10, 10},
      {kFocus, "Focus", T::kInteger, 0, 100, 1, 20, 20}};
  controls[kMains - 1].menu = {{0, "Disabled"}, {1, "50 Hz"}, {3, "Auto"}};
  controls[kGain - 1].flags = V4L2_CTRL_FLAG_READ_ONLY;
  return controls;
}

TEST_F(WindowTest, VideoWithoutADeviceSaysSoAndOpensNothing) {
  auto window =
      Make([this](Station&) { return std::make_unique<ControlSource>(std::nullopt, log.lines); });
  window->Start();
  window->action("actionVideo")->trigger();
  EXPECT_EQ(log.lines, Log{"info: Video: No capture device is open."});
  EXPECT_EQ(window->findChild<VideoDialog*>("videoDialog"), nullptr);
}

TEST_F(WindowTest, VideoControlsAreShownByKindAndAppliedAtOnce) {
  Log& sets = log.lines;
  auto window = Make([&sets](Station&) { return std::make_unique<ControlSource>(Camera(), sets); });
  window->Start();
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
  EXPECT_TRUE(sets.empty());

  brightness->setValue(200);
  contrast->setValue(0);
  automatic->click();
  mains->setCurrentIndex(2);
  push->click();
  EXPECT_EQ(sets, (Log{"set 1 200", "set 2 -10", "set 3 1", "set 5 3", "set 6 0"}));
  EXPECT_EQ(valueText(kBrightness), "200");
  // Read back: the automatic white balance has made the temperature inactive.
  EXPECT_FALSE(Input<QSlider>(*dialog, kTemperature)->isEnabled());

  // A value the device refuses: said in the dialog, and the slider shows the device's value.
  Input<QSlider>(*dialog, kFocus)->setValue(50);
  EXPECT_EQ(sets.back(), "set 8 50");
  EXPECT_EQ(Input<QSlider>(*dialog, kFocus)->value(), 20);
  EXPECT_EQ(dialog->findChild<QLabel*>("message")->text(), "\"Focus\" could not be set.");

  // Defaults: only what differs, nothing inactive, read-only or a button.
  sets.clear();
  Button(*dialog, "defaultsButton")->click();
  EXPECT_EQ(sets, (Log{"set 1 128", "set 2 0", "set 5 1"}));
  EXPECT_EQ(Input<QSlider>(*dialog, kBrightness)->value(), 128);
  EXPECT_EQ(dialog->findChild<QLabel*>("message")->text(), "");

  Button(*dialog, "closeButton")->click();
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
