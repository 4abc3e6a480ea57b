// The operator's window, driven through its real widgets on Qt's offscreen platform. What the
// window computes (grid, readout, composites, export) is tested in the review library; here is
// what only the window shows.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
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
#include <algorithm>
#include <map>
#include <thread>

#include "app/light_curve_dialog.h"
#include "app/main_window.h"
#include "app/picture_view.h"
#include "app/video_dialog.h"
#include "app/window_hooks.h"
#include "base/folders.h"
#include "capture/capture_source.h"
#include "capture/frame_ring.h"
#include "config/config_file.h"
#include "support/movies.h"
#include "support/review_archive.h"

namespace ombrix {
namespace {

// What the replaced hooks were asked, one line each; file and folder questions get `answer`
// (empty: cancelled).
struct HookLog {
  std::vector<std::string> lines;
  QString answer;
  std::optional<int> number;  // the number typed; nullopt: cancelled
  QString type;               // the type chosen in a save dialog

  void Install() {
    const auto ask = [this](const std::string& line) {
      lines.push_back(line);
      return answer;
    };
    Hooks().info = [ask](QWidget*, const QString& text) { ask("info: " + text.toStdString()); };
    Hooks().openFile = [ask](QWidget*, const QString& caption, const QString& filter) {
      return ask("open: " + caption.toStdString() + " | " + filter.toStdString());
    };
    Hooks().saveFile = [ask, this](QWidget*, const QString& caption, const QString& name,
                                   const QString& filter, QString* chosen) {
      *chosen = type;
      return ask("save: " + (caption + " | " + name + " | " + filter).toStdString());
    };
    Hooks().folder = [ask](QWidget*, const QString& title) {
      return ask("folder: " + title.toStdString());
    };
    Hooks().number = [this](QWidget*, const QString& title, const QString&, int value, int, int) {
      lines.push_back("number: " + title.toStdString() + " " + std::to_string(value));
      return number;
    };
  }
  std::string Last() const { return lines.empty() ? "" : lines.back(); }
};

// A source whose frames the test stores by hand, as a camera would.
class HandSource final : public CaptureSource {
 public:
  bool Start(FrameRing& ring) override {
    ring_ = &ring;
    return true;
  }
  void Stop() override { ring_ = nullptr; }
  void Store(uint8_t level, const Stamp& stamp) {  // a 640x480 YUYV sample of one brightness
    std::vector<uint8_t> sample(kSampleSize640, 128);
    for (size_t i = 0; i < sample.size(); i += 2) {
      sample[i] = level;
    }
    ring_->StoreFrame(sample.data(), test::At(stamp));
  }

 private:
  FrameRing* ring_ = nullptr;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { log.Install(); }
  void TearDown() override { ResetHooks(); }

  // A window on a station that reads no configuration, without video unless a source is made or
  // a file given (replayed fast and detected).
  std::unique_ptr<MainWindow> Make(
      std::function<std::unique_ptr<CaptureSource>(SourceContext&)> source = {}, bool start = true,
      SourceKind kind = SourceKind::kNone, const std::string& file = "") {
    WindowSetup setup;
    setup.station.readConfiguration = false;
    setup.station.source.kind = source ? SourceKind::kDevice : kind;
    setup.station.source.filePath = file;
    setup.station.source.fast = setup.station.enableAtStart = !file.empty();
    setup.station.makeSource = std::move(source);
    setup.station.notice = [](const Notice&) {};
    setup.show = false;
    auto window = std::make_unique<MainWindow>(std::move(setup));
    if (start) {
      window->Start();
    }
    return window;
  }
  std::unique_ptr<MainWindow> MakeByHand() {
    return Make([this](SourceContext&) {
      auto source = std::make_unique<HandSource>();
      hand = source.get();
      return source;
    });
  }

  static QLineEdit* Field(QWidget& w, const char* name) {
    return w.findChild<QLineEdit*>(QString::fromLatin1(name));
  }
  static std::string Status(MainWindow& w) { return Field(w, "status")->text().toStdString(); }
  static QPushButton* Button(QWidget& w, const char* name) {
    return w.findChild<QPushButton*>(QString::fromLatin1(name));
  }
  static QDialog* Open(MainWindow& w, const char* action, const char* dialog) {
    w.action(QString::fromLatin1(action))->trigger();
    return w.findChild<QDialog*>(QString::fromLatin1(dialog));
  }

  test::ScopedHome home;
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
    {"&Options", "Video...", "actionVideo", "", "info: Video: No capture device is open."},
    {"&Options", "Display...", "actionDisplay", "", "dialog vardexOptions"},
    {"&Options", "Trigger...", "actionTrigger", "", "dialog eventOptions"},
    {"&Options", "Calibration...", "actionCalibration", "", "dialog calibration"},
    {"&Events", "First", "actionFirst", "Ctrl+Home", "info: No events."},
    {"&Events", "Previous", "actionPrevious", "Ctrl+Left", "info: No more events."},
    {"&Events", "Next", "actionNext", "Ctrl+Right", "info: No more events."},
    {"&Events", "Last", "actionLast", "Ctrl+End", "info: No events."},
    {"&Events", "Delete", "actionDelete", "Ctrl+Del", "info: Delete: No event selected."},
    {"Special", "Show Average Composite", "actionShowAverageComposite", "", "picture"},
    {"Special", "Show Average Movie", "actionShowAverageMovie", "", "picture"},
    {"Special", "Recalculate Time History", "actionRecalculateTimeHistory", "",
     "info: Recalculate: No event selected."},
    {"Special", "Change Video Source", "actionChangeVideoSource", "", nullptr},
    {"Special", "Learn Mask...", "actionLearnMask", "", "number: Learn Mask 60"},
    {"Special", "Messages...", "actionMessages", "", "dialog messagesDialog"},
    {"&Help", "&About...", "actionAbout", "", "dialog about"},
};

TEST_F(WindowTest, EveryMenuItemIsInPlaceAndRunsItsCommand) {
  auto window = Make();
  std::map<QString, QMenu*> menus;
  for (QAction* top : window->menuBar()->actions()) {
    menus[top->text()] = top->menu();
  }
  ASSERT_EQ(menus.size(), 5u);
  std::map<QString, qsizetype> items;
  for (const MenuItem& item : kMenuItems) {
    SCOPED_TRACE(item.text);
    QAction* action = window->action(QString::fromLatin1(item.action));
    ASSERT_NE(action, nullptr);
    EXPECT_TRUE(menus[QString::fromLatin1(item.menu)]->actions().contains(action));
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
    } else if (trace.starts_with("dialog ")) {
      auto* dialog = window->findChild<QDialog*>(QString::fromStdString(trace.substr(7)));
      ASSERT_NE(dialog, nullptr);
      EXPECT_TRUE(dialog->isVisible());
    } else {
      EXPECT_EQ(log.Last(), trace);
    }
  }
  // Nothing else is in the menus but the separators.
  for (const auto& [name, menu] : menus) {
    const QList<QAction*> actions = menu->actions();
    const auto separators =
        std::count_if(actions.begin(), actions.end(), [](QAction* a) { return a->isSeparator(); });
    EXPECT_EQ(actions.size() - separators, items[name]) << name.toStdString();
  }
  QStringList texts;
  for (auto* label : window->findChild<QDialog*>("about")->findChildren<QLabel*>()) {
    texts << label->text();
  }
  EXPECT_EQ(texts, (QStringList{"Ombrix, Version 1.2.3", "June 10, 2016"}));
  // The grid's crosses go with the picture they mark. Show Mask without a mask file: the
  // threshold everywhere.
  window->action("actionOverlayGrid")->trigger();
  EXPECT_FALSE(window->picture().marks().empty());
  window->action("actionShowMask")->trigger();
  EXPECT_EQ(window->picture().displayPixels()[1234], 30);
  EXPECT_TRUE(window->picture().marks().empty());
}

TEST_F(WindowTest, ControlsCarryTheirTextsAndRunTheirCommands) {
  auto window = Make({}, false);
  EXPECT_EQ(Button(*window, "buttonLive")->text().toStdString(), "Start");
  EXPECT_FALSE(Button(*window, "buttonPause")->isEnabled());
  window->Start();
  const std::tuple<const char*, const char*, const char*> buttons[] = {
      {"buttonFirst", "||< First", "info: No events."},
      {"buttonPrevious", "<< Previous", "info: No more events."},
      {"buttonNext", "Next >>", "info: No more events."},
      {"buttonLast", "Last >||", "info: No events."},
      {"buttonReplay", "Replay", "info: Replay: No event selected."},
      {"buttonComposite", "Composite", "info: Composite: No event selected."},
      {"buttonDelete", "Delete", "info: Delete: No event selected."},
      {"buttonLightCurve", "Light Curve", "info: Light Curve: No event selected."},
      {"buttonPause", "Pause", nullptr},
      {"buttonPlay", "Play", nullptr},
      {"buttonSave", "Save", nullptr}};
  for (const auto& [name, text, trace] : buttons) {
    QPushButton* button = Button(*window, name);
    ASSERT_NE(button, nullptr) << name;
    EXPECT_EQ(button->text().toStdString(), text);
    if (trace != nullptr) {
      QTest::mouseClick(button, Qt::LeftButton);
      EXPECT_EQ(log.Last(), trace) << name;
    }
  }
  // Save takes the picker's interval; with nothing of it in the archive it says so
  // and queues nothing.
  log.lines.clear();
  Button(*window, "buttonSave")->click();
  EXPECT_TRUE(log.lines.empty());
  EXPECT_EQ(window->station().Status().eventsWaiting, 0u);
  // Read from the kept notices: the strip shows only the newest, and a station warning (a refused
  // priority, an unsynchronised clock) may follow at any moment on a loaded machine.
  const std::vector<Notice> said = window->station().notices().Recent();
  EXPECT_TRUE(std::any_of(said.begin(), said.end(), [](const Notice& n) {
    return n.text.find("Save: the archive holds nothing") != std::string::npos;
  }));
  auto* picker = window->findChild<QDateTimeEdit*>("startTime");
  EXPECT_EQ(picker->displayFormat().toStdString(), "MM/dd/yyyy HH:mm:ss");
  EXPECT_LE(std::abs(picker->dateTime().secsTo(QDateTime::currentDateTimeUtc())), 5);
  QLineEdit* duration = Field(*window, "duration");
  EXPECT_EQ(duration->text().toStdString(), "10");
  duration->clear();
  QTest::keyClicks(duration, "1a2-");
  EXPECT_EQ(duration->text().toStdString(), "12");  // digits only
  auto* live = Button(*window, "buttonLive");
  for (const bool shown : {true, false, true}) {
    EXPECT_EQ(live->text().toStdString(), shown ? "Hide RT" : "Show RT");
    EXPECT_EQ(window->realTimeShown(), shown);
    QTest::mouseClick(live, Qt::LeftButton);
  }
}

// The accelerators win even with the focus in the duration field or the picker, whose own
// editing keys they are too. Escape and the close box leave the station running; Ctrl+E (Exit)
// stops it while the window paints, nothing reaches the stopping station, and every frame
// captured is processed.
TEST_F(WindowTest, AcceleratorsAndOnlyExitStopsTheStation) {
  auto window = Make({}, false, SourceKind::kSimulated);
  window->show();
  window->Start();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  auto* picker = window->findChild<QDateTimeEdit*>("startTime");
  for (QWidget* focus :
       {static_cast<QWidget*>(Field(*window, "duration")), static_cast<QWidget*>(picker)}) {
    focus->setFocus();
    for (const MenuItem& item : kMenuItems) {
      if (*item.key != '\0' && item.trace != nullptr) {
        log.lines.clear();
        QTest::keySequence(focus, QKeySequence(QString::fromLatin1(item.key)));
        EXPECT_EQ(log.Last(), item.trace) << item.key;
      }
    }
  }
  const QDateTime start = picker->dateTime();
  QTest::keyClick(picker, Qt::Key_Down);  // its plain keys stay its own
  EXPECT_NE(picker->dateTime(), start);
  QTest::keyClick(window.get(), Qt::Key_Escape);
  EXPECT_FALSE(window->close());
  QCoreApplication::processEvents();
  EXPECT_TRUE(window->isVisible());
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->station().FramesStored() > 10; }, 10000));
  QTest::keyClick(window.get(), Qt::Key_E, Qt::ControlModifier);
  EXPECT_EQ(Status(*window), "Stopping...");
  EXPECT_FALSE(window->action("actionChangeVideoSource")->isEnabled());
  EXPECT_FALSE(Button(*window, "buttonNext")->isEnabled());
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->stopped(); }, 20000));
  const uint64_t stored = window->station().FramesStored();
  QTest::qWait(200);
  EXPECT_EQ(window->station().FramesStored(), stored);       // capture has ended
  EXPECT_EQ(window->station().Status().framesRead, stored);  // and every frame was processed
  window->action("actionExit")->trigger();                   // a second Exit does nothing
  EXPECT_TRUE(window->close());                              // and now the window may close
}

TEST_F(WindowTest, LiveStatusTextAndTheEveryThirtiethCopy) {
  auto window = MakeByHand();
  Station& station = window->station();
  station.Apply([](Settings& s) { s.enabled = false; });
  window->LiveStatus();
  EXPECT_EQ(Status(*window), "UTC 00/00/00 00:00:00 Disabled");  // no frame yet
  hand->Store(40, "20160610_210509_990");
  station.Apply([](Settings& s) { s.enabled = true; });
  const uint8_t* display = window->picture().displayPixels();
  for (int i = 2; i <= 30; ++i) {  // the 2nd to the 30th note copy nothing
    window->LiveStatus();
  }
  EXPECT_EQ(Status(*window), "UTC 06/10/2016 21:05:09 Enabled");
  EXPECT_EQ(display[1000], 0);
  window->LiveStatus();  // the 31st copies
  EXPECT_EQ(display[1000], 40);
  EXPECT_EQ(Field(*window, "count")->text().toStdString(), "0");
  // Hidden live video: neither field changes.
  window->HideLiveVideo();
  hand->Store(90, "20160610_210600_000");
  Field(*window, "count")->setText("x");
  window->LiveStatus();
  EXPECT_EQ(Field(*window, "count")->text().toStdString(), "x");
  // The detection thread's note after each pass refreshes it through the window's queue.
  window->ShowLiveVideo();
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return Status(*window) == "UTC 06/10/2016 21:06:00 Enabled"; }, 5000));
}

// A replayed frame reaches the window from the worker's thread with its time to the millisecond;
// the light curve of the current event opens in its dialog; Save Movie exports behind a progress
// dialog whose Cancel leaves no file behind.
TEST_F(WindowTest, ReplayLightCurveAndSaveMovieOfAnEvent) {
  test::ReviewArchive archive;
  archive.AddClip("20160610_210509_990");
  const Stamp key = "20160610_210510_100", still = "20160610_210600_000";
  archive.AddEvent(key, "20160610_210510_500");
  archive.CutEvent(key, "20160610_210510_500");  // frames 09.990 .. 10.485
  archive.AddEvent(still, still);
  test::WriteSky(archive.EventFile('m', still), 150, 7, [](int, auto&) {});
  auto window = Make();
  window->station().Apply([&](Settings& s) { s.archiveFolder = archive.base.str(); });
  log.answer = QString::fromStdString(archive.EventFile('e', key));
  window->action("actionOpenEvent")->trigger();  // replays the event's movie
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return Status(*window) == "UTC 06/10/2016 21:05:10.485"; }, 20000));
  Button(*window, "buttonLightCurve")->click();
  auto* curve = window->findChild<LightCurveDialog*>("lightCurve");
  ASSERT_NE(curve, nullptr);
  EXPECT_EQ(curve->points().size(), 16u);
  EXPECT_FALSE(curve->verdict().isEmpty());  // the event's, also beside the time readout
  EXPECT_EQ(Field(*window, "verdict")->text(), curve->verdict());
  ASSERT_FALSE(curve->track().empty());  // its quiet first frame (0°, 0°) is no place it went
  EXPECT_TRUE(std::all_of(curve->track().begin(), curve->track().end(),
                          [](auto& p) { return p.azimuth != 0 || p.elevation != 0; }));
  EXPECT_FALSE(curve->grab().isNull());  // it paints
  curve->findChild<QPushButton*>("close")->click();

  log.answer = QString::fromStdString(archive.EventFile('e', still));
  window->action("actionOpenEvent")->trigger();
  window->session().StopWorkers();
  const auto progress = [&] { return window->findChild<QProgressDialog*>("saveMovieProgress"); };
  test::TempDir out;
  log.answer = QString::fromStdString((out / "whole").string());  // the type gives .mp4
  log.type = "MPEG-4 File (*.mp4)";
  window->action("actionSaveMovie")->trigger();
  EXPECT_EQ(log.Last(),
            "save: Save Movie | " + still + " | MPEG File (*.mpg);;MPEG-4 File (*.mp4)");
  ASSERT_TRUE(QTest::qWaitFor([&] { return progress() == nullptr; }, 30000));
  EXPECT_EQ(test::MovieFrames(out / "whole.mp4"), 150);
  log.type.clear();
  log.answer = QString::fromStdString((out / "cancelled.mp4").string());
  window->action("actionSaveMovie")->trigger();
  ASSERT_NE(progress(), nullptr);
  progress()->findChild<QPushButton*>()->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return progress() == nullptr; }, 30000));
  EXPECT_TRUE(log.Last().starts_with("save: ")) << log.Last();  // a cancel is not a failure
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out.path()),
                          std::filesystem::directory_iterator()),
            1);
  log.answer = QString::fromStdString((out / "still").string());
  log.type = "PNG File (*.png)";
  window->action("actionSaveImage")->trigger();
  EXPECT_EQ(test::ReadFileBytes(out / "still.png").substr(1, 3), "PNG");
}

// An event with nothing stored says so on a cleared picture; after Delete the event the selection
// falls back to is on screen with its time.
TEST_F(WindowTest, DeleteShowsTheEventItMovesTo) {
  test::ReviewArchive archive;
  archive.AddClip("20160610_210509_990");
  const Stamp key = "20160610_210510_100";
  archive.AddEvent(key, "20160610_210510_500");
  archive.CutEvent(key, "20160610_210510_500");
  archive.AddEvent("20160610_210600_000", "20160610_210600_000");
  auto window = Make();
  window->station().Apply([&](Settings& s) { s.archiveFolder = archive.base.str(); });
  window->action("actionLast")->trigger();  // no clip of the last event is stored
  ASSERT_TRUE(QTest::qWaitFor([&] { return Status(*window) == "Nothing to show."; }, 20000));
  window->action("actionDelete")->trigger();
  EXPECT_EQ(log.Last(), "info: No more events.");
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return Status(*window) == "UTC 06/10/2016 21:05:10.485"; }, 20000));
}

// A replayed file ends while an event begun on a flash is busy (a twinkling star keeps it so):
// the strip says so, and the event is cut without an Exit.
TEST_F(WindowTest, AFileThatEndsIsSaidAndItsOpenEventCut) {
  test::TempDir dir;
  const std::string movie = (dir / "flash.mp4").string();
  test::WriteSky(movie, 240, 777, [&](int n, auto& frame) {
    test::FillBox(frame, 48, 48, 8, 8, n / 10 % 2 == 0 ? 200 : 40);
    test::FillBox(frame, 300, 200, 200, 200, n >= 60 && n < 64 ? 255 : 20);
  });
  auto window = Make({}, false, SourceKind::kFile, movie);  // replayed fast
  window->station().Apply([](Settings& s) { s.triggerSumBegin = 1000; });
  window->Start();
  auto* text = window->findChild<QLabel*>("noticeText");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return text->toolTip().contains("has ended") && window->station().Status().eventsCut; },
      60000));
  EXPECT_EQ(window->station().Status().eventsRecorded, 1u);
}

// The station's notices reach the window through its queue, also from other threads: the failed
// configuration in its box, the newest warning in the strip until dismissed, every notice of the
// run in the messages list, newest first, and a fatal one in a box before the window stops.
TEST_F(WindowTest, NoticesReachTheStripTheMessagesListAndTheirBoxes) {
  const std::filesystem::path disk = home.home() / "disk";
  std::filesystem::create_directories(disk);
  test::WriteFileBytes(home.home() / "config.txt",
                       "archiveFolder:" + disk.string() + "\r\nenableTime:24 0 0\r\n");
  SetConfigurationPath((home.home() / "config.txt").string());
  WindowSetup setup;
  setup.station.source.kind = SourceKind::kNone;
  setup.station.notice = [](const Notice&) {};
  setup.show = false;
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
  ASSERT_GE(list->topLevelItemCount(), 2);
  EXPECT_EQ(row(0, 2), warning);
  EXPECT_EQ(row(0, 1), "warning");
  EXPECT_EQ(row(list->topLevelItemCount() - 1, 2), "Reading configuration file failed.");
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
  SetConfigurationPath("");
}

TEST_F(WindowTest, NewArchiveDirectoryStripsTrailingSeparators) {
  auto window = Make();
  window->station().Apply([](Settings& s) { s.archiveFolder = "/old"; });
  for (const auto& [answer, expected] : {std::pair{"", "/old"},  // cancelled
                                         {"/data/sky/ //", "/data/sky"}}) {
    log.answer = QString::fromLatin1(answer);
    window->action("actionNewArchiveDirectory")->trigger();
    EXPECT_EQ(window->station().settings()->archiveFolder, expected);
  }
  const std::string sky = (home.home() / "sky").string();  // the status bar follows
  std::filesystem::create_directories(sky);
  log.answer = QString::fromStdString(sky);
  window->action("actionNewArchiveDirectory")->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] {
    return window->findChild<QLabel*>("statusArchiveFolder")->text().toStdString() ==
           "Archive: " + sky;
  }));
}

// The options dialogs: each field's rule on OK, as one table (dialog, field, text typed, the
// setting after OK); then what each dialog shows when opened again.
TEST_F(WindowTest, OptionsDialogsApplyTheirRules) {
  auto window = Make();
  window->station().Apply([](Settings& s) { s.calDegPerPixel1 = 0.123456789; });
  // The setting as config.txt holds it (the fields are named by its keys).
  const auto setting = [&window](const std::string& key) {
    test::TempDir dir;
    EXPECT_TRUE(SaveConfiguration(*window->station().settings(), (dir / "c.txt").string()));
    const std::string text = "\n" + test::ReadFileBytes(dir / "c.txt");
    const size_t at = text.find("\n" + key + ":") + key.size() + 2;
    return text.substr(at, text.find('\r', at) - at);
  };
  const std::tuple<const char*, const char*, const char*, const char*> rows[] = {
      {"actionDisplay", "diskUsage", "10", "25"},
      {"actionDisplay", "diskUsage", "95", "90"},
      {"actionDisplay", "pngIntegrationFactor", "0", "1"},
      {"actionDisplay", "pngIntegrationFactor", "12", "10"},
      {"actionDisplay", "hourlyRate", "", "12"},
      {"actionDisplay", "hourlyRate", "40", "40"},
      {"actionDisplay", "slowdownFactor", "0", "1"},
      {"actionDisplay", "daysToKeep", "7", "7"},
      {"actionTrigger", "threshold", "0", "30"},
      {"actionTrigger", "threshold", "45", "45"},
      {"actionTrigger", "triggerGap", "7x", "7"},
      {"actionTrigger", "triggerSumBegin", "-5", "12"},
      {"actionCalibration", "calRotation", "12.5deg", "12.5"},
      {"actionCalibration", "calTrueLatitude", "north", "0"},
      {"actionCalibration", "calCOPy", "-1e2", "-100"},
      // What the setting cannot hold is refused and said.
      {"actionTrigger", "triggerGap", "64", "7"},
      {"actionTrigger", "triggerCountEnd", "4294967297", "2"},
      {"actionDisplay", "slowdownFactor", "99999999999", "1"},
      {"actionCalibration", "calRotation", "nan", "12.5"},
      {"actionCalibration", "calRotation", "1e999", "12.5"},
  };
  const std::map<std::string, const char*> dialogs = {{"actionDisplay", "vardexOptions"},
                                                      {"actionTrigger", "eventOptions"},
                                                      {"actionCalibration", "calibration"}};
  for (const auto& [action, field, text, expected] : rows) {
    SCOPED_TRACE(std::string(field) + " = '" + text + "'");
    QDialog* dialog = Open(*window, action, dialogs.at(action));
    Field(*dialog, field)->setText(QString::fromLatin1(text));
    Button(*dialog, "ok")->click();
    EXPECT_EQ(setting(field), expected);
    EXPECT_FALSE(dialog->isVisible());
  }
  QDialog* trigger = Open(*window, "actionTrigger", "eventOptions");
  trigger->findChild<QCheckBox*>("adaptiveThreshold")->setChecked(true);
  Button(*trigger, "ok")->click();
  EXPECT_EQ(setting("adaptiveThreshold"), "true");
  Station& station = window->station();
  const auto said = station.notices().Recent();  // once each: the field shows the kept value
  EXPECT_EQ(std::count_if(said.begin(), said.end(), [](auto& n) { return n.topic == "options"; }),
            5);
  // "Vardex Options" is refilled from the settings at every show; Cancel changes nothing.
  station.Apply([](Settings& s) { s.enabled = true; });
  QDialog* vardex = Open(*window, "actionDisplay", "vardexOptions");
  EXPECT_TRUE(vardex->findChild<QCheckBox*>("enableNow")->isChecked());
  Field(*vardex, "diskUsage")->setText("33");
  Button(*vardex, "cancel")->click();
  EXPECT_EQ(Field(*Open(*window, "actionDisplay", "vardexOptions"), "diskUsage")->text(), "90");
  vardex->findChild<QComboBox*>("timeBase")->setCurrentIndex(1);
  vardex->findChild<QTimeEdit*>("enableAt")->setTime(QTime(21, 30, 5));
  vardex->findChild<QCheckBox*>("pseudoColor")->setChecked(true);
  vardex->findChild<QCheckBox*>("enableNow")->setChecked(false);
  Button(*vardex, "ok")->click();
  EXPECT_FALSE(station.settings()->enableDisableTimeIsLocal);
  EXPECT_EQ(station.settings()->enableTime, (TimeOfDay{21, 30, 5}));
  EXPECT_TRUE(station.settings()->pseudoColor);
  EXPECT_FALSE(station.settings()->enabled);
  window->picture().displayPixels()[0] = 255;
  EXPECT_EQ(window->picture().DisplayColor(0, 0), qRgb(0xE7, 0xF3, 0x9B));
  // "Event Options" and "Calibration" are filled once, numbers with %g; typed and cancelled text
  // stays.
  EXPECT_EQ(Field(*Open(*window, "actionCalibration", "calibration"), "calDegPerPixel1")->text(),
            "0.123457");
  for (const auto& [action, name, field] :
       {std::tuple{"actionTrigger", "eventOptions", "maxEventTime"},
        std::tuple{"actionCalibration", "calibration", "calDegPerPixel1"}}) {
    QDialog* dialog = Open(*window, action, name);
    Field(*dialog, field)->setText("77");
    Button(*dialog, "cancel")->click();
    EXPECT_EQ(Field(*Open(*window, action, name), field)->text(), "77");
  }
  EXPECT_EQ(station.settings()->maxEventTime, 30);
  EXPECT_DOUBLE_EQ(station.settings()->calDegPerPixel1, 0.123457);  // as OK read it
}

// Learn Mask learns on the live video in the background, shows the proposal and, once a file is
// chosen, writes it and masks with it: here a sky that blinks everywhere is masked whole.
TEST_F(WindowTest, LearnMaskShowsTheProposalThenWritesAndSelectsIt) {
  auto window = MakeByHand();
  test::TempDir dir;
  const std::string path = (dir / "learnt.png").string();
  log.number = 4;
  log.answer = QString::fromStdString(path);
  QAction* learn = window->action("actionLearnMask");
  learn->trigger();
  EXPECT_FALSE(learn->isEnabled());
  // Frames come as from a camera, a few at a time, until the window has the proposal.
  for (int n = 0; n < 600 && !learn->isEnabled(); ++n) {
    hand->Store((n / 10) % 2 != 0 ? 200 : 40,
                MakeStamp(test::At("20160610_210500_000") + n * std::chrono::milliseconds(33)));
    if (n % 5 == 4) {
      QTest::qWait(100);
    }
  }
  ASSERT_TRUE(learn->isEnabled());
  EXPECT_EQ(log.Last(), "save: Save Learnt Mask | mask.png | PNG File (*.png)");
  EXPECT_EQ(window->station().settings()->maskFile, path);
  std::vector<uint8_t> table(kFrameBytes);
  ASSERT_TRUE(window->station().CopyThresholdTable(table.data()));
  EXPECT_EQ(table[kFrameBytes / 2], 255);
  EXPECT_EQ(window->picture().displayPixels()[kFrameBytes / 2], 255);  // shown masked
}

// "Video...": a device as the station sees it, logging every set. Focus refuses every value;
// switching the automatic white balance on makes the colour temperature inactive.
enum : uint32_t { kBrightness = 1, kContrast, kAuto, kTemperature, kMains, kPush, kGain, kFocus };
class ControlSource final : public CaptureSource {
 public:
  explicit ControlSource(std::vector<std::string>& log) : log_(log) {
    using T = VideoControlType;
    controls_ = {
        {kBrightness, "Brightness", T::kInteger, 0, 255, 1, 128, 100},
        {kContrast, "Contrast", T::kInteger, -10, 10, 5, 0, 5},
        {kAuto, "White Balance, Auto", T::kBoolean, 0, 1, 1, 1, 0},
        {kTemperature, "White Balance Temperature", T::kInteger, 2800, 6500, 10, 4600, 5000},
        {kMains, "Power Line Frequency", T::kMenu, 0, 3, 1, 1, 1},
        {kPush, "Do White Balance", T::kButton, 0, 0, 1, 0, 0},
        {kGain, "Gain", T::kInteger, 0, 100, 1, 10, 10},
        {kFocus, "Focus", T::kInteger, 0, 100, 1, 20, 20}};
    controls_[kMains - 1].menu = {{0, "Disabled"}, {1, "50 Hz"}, {3, "Auto"}};
    controls_[kGain - 1].flags = V4L2_CTRL_FLAG_READ_ONLY;
  }
  bool Start(FrameRing&) override { return true; }
  void Stop() override {}
  std::optional<std::vector<VideoControl>> ListVideoControls() override { return controls_; }
  bool SetVideoControl(uint32_t id, int32_t value) override {
    log_.push_back("set " + std::to_string(id) + " " + std::to_string(value));
    VideoControl& control = controls_[id - 1];
    if (!control.adjustable() || id == kFocus) {
      return false;
    }
    control.value = ClampControlValue(control, value);
    if (id == kAuto) {
      controls_[kTemperature - 1].flags = value != 0 ? V4L2_CTRL_FLAG_INACTIVE : 0;
    }
    return true;
  }

 private:
  std::vector<VideoControl> controls_;
  std::vector<std::string>& log_;
};

TEST_F(WindowTest, VideoControlsAreShownByKindAndAppliedAtOnce) {
  std::vector<std::string>& sets = log.lines;
  auto window = Make([&sets](SourceContext&) { return std::make_unique<ControlSource>(sets); });
  auto* dialog = static_cast<VideoDialog*>(Open(*window, "actionVideo", "videoDialog"));
  ASSERT_NE(dialog, nullptr);
  const auto input = [dialog](uint32_t id) {
    return dialog->findChild<QWidget*>("control_" + QString::number(id));
  };
  const auto value = [dialog](uint32_t id) {
    return dialog->findChild<QLabel*>("value_" + QString::number(id))->text();
  };
  auto* contrast = static_cast<QSlider*>(input(kContrast));
  auto* mains = static_cast<QComboBox*>(input(kMains));
  EXPECT_EQ(value(kBrightness), "100");
  EXPECT_EQ(contrast->maximum(), 4);  // -10..10 in steps of 5
  EXPECT_EQ(contrast->value(), 3);
  EXPECT_EQ(mains->currentText(), "50 Hz");
  EXPECT_FALSE(input(kGain)->isEnabled());  // read-only
  EXPECT_TRUE(input(kTemperature)->isEnabled());
  EXPECT_TRUE(sets.empty());
  static_cast<QSlider*>(input(kBrightness))->setValue(200);
  contrast->setValue(0);
  static_cast<QCheckBox*>(input(kAuto))->click();
  mains->setCurrentIndex(2);
  static_cast<QPushButton*>(input(kPush))->click();
  EXPECT_EQ(sets,
            (std::vector<std::string>{"set 1 200", "set 2 -10", "set 3 1", "set 5 3", "set 6 0"}));
  EXPECT_EQ(value(kBrightness), "200");
  EXPECT_FALSE(input(kTemperature)->isEnabled());  // read back: now inactive
  // A value the device refuses: said in the dialog, and the slider shows the device's value.
  static_cast<QSlider*>(input(kFocus))->setValue(50);
  EXPECT_EQ(static_cast<QSlider*>(input(kFocus))->value(), 20);
  EXPECT_EQ(dialog->findChild<QLabel*>("message")->text(), "\"Focus\" could not be set.");
  // Defaults: only what differs, nothing inactive, read-only or a button.
  sets.clear();
  Button(*dialog, "defaultsButton")->click();
  EXPECT_EQ(sets, (std::vector<std::string>{"set 1 128", "set 2 0", "set 5 1"}));
  EXPECT_EQ(dialog->findChild<QLabel*>("message")->text(), "");
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
