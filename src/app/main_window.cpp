#include "app/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTimeEdit>
#include <QDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QProgressDialog>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <cstdio>
#include <cstring>

#include "app/light_curve_dialog.h"
#include "app/options_dialogs.h"
#include "app/picture_view.h"
#include "app/status_output.h"
#include "app/video_dialog.h"
#include "app/window_hooks.h"
#include "base/folders.h"
#include "base/frame.h"
#include "base/utc_time.h"
#include "config/config_file.h"
#include "review/display_image.h"
#include "review/review_values.h"

namespace ombrix {
namespace {

// The three notes of the worker threads, and the end of a helper job.
constexpr QEvent::Type kLiveStatusEvent = static_cast<QEvent::Type>(QEvent::User + 1);
constexpr QEvent::Type kFrameReadyEvent = static_cast<QEvent::Type>(QEvent::User + 2);
constexpr QEvent::Type kReplayEndedEvent = static_cast<QEvent::Type>(QEvent::User + 4);
constexpr QEvent::Type kStoppedEvent = static_cast<QEvent::Type>(QEvent::User + 5);
constexpr QEvent::Type kExportDoneEvent = static_cast<QEvent::Type>(QEvent::User + 6);
constexpr QEvent::Type kNoticeEvent = static_cast<QEvent::Type>(QEvent::User + 7);
constexpr QEvent::Type kMaskLearntEvent = static_cast<QEvent::Type>(QEvent::User + 8);
constexpr QEvent::Type kNothingEvent = static_cast<QEvent::Type>(QEvent::User + 9);

// Every 30th live-status note also copies the newest frame into the display picture.
constexpr int kLiveCopyEvery = 30;
// The notice strip's text beside its Dismiss button, under the picture.
constexpr int kNoticeTextWidth = 560;

// What the operator's commands did, said by the window to the strip and the messages list.
constexpr std::string_view kCommandTopic = "command";

constexpr const char* kImageFilter = "JPEG or PNG File (*.jpg *.png)";
constexpr const char* kSaveImageFilter = "JPEG File (*.jpg);;PNG File (*.png)";
constexpr const char* kMovieFilter = "MPEG File (*.mpg);;MPEG-4 File (*.mp4)";
constexpr const char* kEventFilter = "Event File (*.txt)";
constexpr const char* kMaskFilter = "PNG File (*.png)";
constexpr int kLearnSecondsDefault = 60;
constexpr int kLearnSecondsMost = 3600;

// The chosen name with the extension of the chosen type ("PNG File (*.png)"; empty: the first
// type of filter) when it has none: the extension gives the format.
QString WithTypeExtension(const QString& path, QString type, const char* filter) {
  if (!QFileInfo(path).suffix().isEmpty()) {
    return path;
  }
  if (type.isEmpty()) {
    type = QString::fromLatin1(filter).section(QStringLiteral(";;"), 0, 0);
  }
  const qsizetype star = type.indexOf(QLatin1String("(*."));
  const qsizetype end = type.indexOf(QLatin1Char(')'), star);
  return star < 0 || end < 0 ? path : path + type.mid(star + 2, end - star - 2);
}

// The program's icon, drawn: the sky as the fish-eye lens sees it, a meteor crossing it.
QIcon ProgramIcon() {
  QPixmap pixmap(64, 64);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x2b, 0x2f, 0x36));
  painter.drawEllipse(QPointF(32, 32), 31, 31);
  QRadialGradient sky(QPointF(32, 32), 29);
  sky.setColorAt(0, QColor(0x0b, 0x1f, 0x4a));
  sky.setColorAt(1, QColor(0x1b, 0x3c, 0x6e));
  painter.setBrush(sky);
  painter.drawEllipse(QPointF(32, 32), 29, 29);
  QLinearGradient trail(QPointF(15, 17), QPointF(44, 40));
  trail.setColorAt(0, QColor(255, 255, 255, 0));
  trail.setColorAt(1, QColor(255, 255, 255));
  painter.setPen(QPen(QBrush(trail), 3, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(QPointF(15, 17), QPointF(44, 40));
  return QIcon(pixmap);
}

// A notice of the station, carried by value from the thread that said it.
class NoticeEvent final : public QEvent {
 public:
  explicit NoticeEvent(Notice notice) : QEvent(kNoticeEvent), notice(std::move(notice)) {}
  Notice notice;
};

// "2024-03-15 21:14:50" (UTC).
QString NoticeTime(const Notice& notice) {
  const CalendarFields t = BreakUtcTime(notice.time);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return QString::fromLatin1(text);
}

// Nothing is on display any more, and why.
class NothingEvent final : public QEvent {
 public:
  explicit NothingEvent(QString why) : QEvent(kNothingEvent), why(std::move(why)) {}
  QString why;
};

class ExportDoneEvent final : public QEvent {
 public:
  ExportDoneEvent(ExportOutcome outcome, std::string path)
      : QEvent(kExportDoneEvent), outcome(std::move(outcome)), path(std::move(path)) {}
  ExportOutcome outcome;
  std::string path;
};

// What Learn Mask's helper thread learnt, carried to the window.
class MaskLearntEvent final : public QEvent {
 public:
  MaskLearntEvent(std::optional<LearntMask> learnt, std::string why)
      : QEvent(kMaskLearntEvent), learnt(std::move(learnt)), why(std::move(why)) {}
  std::optional<LearntMask> learnt;
  std::string why;
};

}  // namespace

MainWindow::MainWindow(WindowSetup setup) : setup_(std::move(setup)) {
  setObjectName(QStringLiteral("mainWindow"));
  setWindowTitle(QStringLiteral("Ombrix 6/10/2016"));
  setWindowIcon(ProgramIcon());  // the dialogs take it from the window
  StationSetup station = setup_.station;
  station.notice = [this, print = station.notice ? station.notice : StandardErrorNoticeSink()](
                       const Notice& notice) {
    print(notice);
    QCoreApplication::postEvent(this, new NoticeEvent(notice));
  };
  station.detectionPassDone = [this] { PostOnce(liveStatusPending_, kLiveStatusEvent); };
  station_ = std::make_unique<Station>(std::move(station));
  session_ = station_->OpenReview(*this);
  BuildMenus();
  setCentralWidget(BuildControls());
  const auto statusLabel = [this](const char* name) {
    auto* label = new QLabel(this);
    label->setObjectName(QString::fromLatin1(name));
    statusBar()->addWidget(label);
    return label;
  };
  eventsLabel_ = statusLabel("statusEvents");
  lostLabel_ = statusLabel("statusFramesLost");
  diskLabel_ = statusLabel("statusFreeDisk");
  folderLabel_ = statusLabel("statusArchiveFolder");
  statusTimer_ = new QTimer(this);
  statusTimer_->setInterval(1000);  // the free disk is read from the file system
  connect(statusTimer_, &QTimer::timeout, this, &MainWindow::UpdateStatusBar);
  liveTimer_ = new QTimer(this);
  liveTimer_->setInterval(kNominalFrameSpacing);  // the live picture at about the camera's rate
  connect(liveTimer_, &QTimer::timeout, this, &MainWindow::RefreshLiveFrame);
}

MainWindow::~MainWindow() {
  if (stopper_.joinable()) {
    stopper_.join();
  }
  // Nothing may post to this window once it is gone: every thread that could is joined here.
  StopMaskLearning();
  session_->StopWorkers();
  if (setup_.beforeStationStops) {
    setup_.beforeStationStops();
  }
  station_->Stop();
}

QAction* MainWindow::AddAction(QMenu* menu, const char* name, const QString& text,
                               void (MainWindow::*slot)(), QKeySequence key) {
  auto* action = new QAction(text, this);
  action->setObjectName(QString::fromLatin1(name));
  if (!key.isEmpty()) {
    action->setShortcut(key);
    action->setShortcutContext(Qt::WindowShortcut);
  }
  connect(action, &QAction::triggered, this, slot);
  menu->addAction(action);
  actions_[action->objectName()] = action;
  return action;
}

void MainWindow::BuildMenus() {
  QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
  file->setObjectName(QStringLiteral("menuFile"));
  AddAction(file, "actionNewArchiveDirectory", QStringLiteral("New Archive Directory..."),
            &MainWindow::NewArchiveDirectory);
  AddAction(file, "actionOpenEvent", QStringLiteral("Open Event..."), &MainWindow::OpenEvent);
  AddAction(file, "actionOpenImage", QStringLiteral("Open Image..."), &MainWindow::OpenImage);
  AddAction(file, "actionSaveImage", QStringLiteral("Save Image..."), &MainWindow::SaveImage);
  AddAction(file, "actionSaveMovie", QStringLiteral("Save Movie..."), &MainWindow::SaveMovie);
  file->addSeparator();
  AddAction(file, "actionReadMaskFile", QStringLiteral("Read Mask File..."),
            &MainWindow::ReadMaskFile);
  AddAction(file, "actionShowMask", QStringLiteral("Show Mask"), &MainWindow::ShowMask);
  AddAction(file, "actionOverlayMask", QStringLiteral("Overlay Mask"), &MainWindow::OverlayMask);
  AddAction(file, "actionOverlayGrid", QStringLiteral("Overlay Grid"), &MainWindow::OverlayGrid);
  AddAction(file, "actionSaveConfiguration", QStringLiteral("Save Configuration"),
            &MainWindow::SaveConfiguration);
  file->addSeparator();
  AddAction(file, "actionExit", QStringLiteral("&Exit"), &MainWindow::ExitCommand,
            QKeySequence(Qt::CTRL | Qt::Key_E));

  QMenu* options = menuBar()->addMenu(QStringLiteral("&Options"));
  options->setObjectName(QStringLiteral("menuOptions"));
  AddAction(options, "actionVideo", QStringLiteral("Video..."), &MainWindow::VideoProperties);
  AddAction(options, "actionDisplay", QStringLiteral("Display..."), &MainWindow::DisplayOptions);
  AddAction(options, "actionTrigger", QStringLiteral("Trigger..."), &MainWindow::TriggerOptions);
  AddAction(options, "actionCalibration", QStringLiteral("Calibration..."),
            &MainWindow::CalibrationOptions);

  QMenu* events = menuBar()->addMenu(QStringLiteral("&Events"));
  events->setObjectName(QStringLiteral("menuEvents"));
  AddAction(events, "actionFirst", QStringLiteral("First"), &MainWindow::First,
            QKeySequence(Qt::CTRL | Qt::Key_Home));
  AddAction(events, "actionPrevious", QStringLiteral("Previous"), &MainWindow::Previous,
            QKeySequence(Qt::CTRL | Qt::Key_Left));
  AddAction(events, "actionNext", QStringLiteral("Next"), &MainWindow::Next,
            QKeySequence(Qt::CTRL | Qt::Key_Right));
  AddAction(events, "actionLast", QStringLiteral("Last"), &MainWindow::Last,
            QKeySequence(Qt::CTRL | Qt::Key_End));
  events->addSeparator();
  AddAction(events, "actionDelete", QStringLiteral("Delete"), &MainWindow::Delete,
            QKeySequence(Qt::CTRL | Qt::Key_Delete));

  QMenu* special = menuBar()->addMenu(QStringLiteral("Special"));
  special->setObjectName(QStringLiteral("menuSpecial"));
  AddAction(special, "actionShowAverageComposite", QStringLiteral("Show Average Composite"),
            &MainWindow::AverageComposite);
  AddAction(special, "actionShowAverageMovie", QStringLiteral("Show Average Movie"),
            &MainWindow::AverageMovie);
  AddAction(special, "actionRecalculateTimeHistory", QStringLiteral("Recalculate Time History"),
            &MainWindow::Recalculate);
  AddAction(special, "actionChangeVideoSource", QStringLiteral("Change Video Source"),
            &MainWindow::ChangeVideoSource);
  AddAction(special, "actionLearnMask", QStringLiteral("Learn Mask..."), &MainWindow::LearnMask);
  AddAction(special, "actionMessages", QStringLiteral("Messages..."), &MainWindow::Messages);

  QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
  help->setObjectName(QStringLiteral("menuHelp"));
  AddAction(help, "actionAbout", QStringLiteral("&About..."), &MainWindow::About);
}

QWidget* MainWindow::BuildControls() {
  auto* central = new QWidget(this);
  picture_ = new PictureView(central);
  connect(picture_, &PictureView::PixelClicked, this, &MainWindow::PixelClicked);

  status_ = new QLineEdit(central);
  status_->setObjectName(QStringLiteral("status"));
  status_->setReadOnly(true);
  status_->setFocusPolicy(Qt::NoFocus);
  count_ = new QLineEdit(central);
  count_->setObjectName(QStringLiteral("count"));
  count_->setReadOnly(true);
  count_->setFocusPolicy(Qt::NoFocus);
  count_->setMaximumWidth(100);
  verdict_ = new QLineEdit(central);
  verdict_->setObjectName(QStringLiteral("verdict"));
  verdict_->setReadOnly(true);
  verdict_->setFocusPolicy(Qt::NoFocus);
  verdict_->setMaximumWidth(100);
  verdict_->setToolTip(QStringLiteral("What the current event most likely was"));

  const auto button = [central](const char* name, const char* text) {
    auto* b = new QPushButton(QString::fromLatin1(text), central);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(false);
    return b;
  };
  const auto onClick = [this](QPushButton* b, void (MainWindow::*slot)()) {
    connect(b, &QPushButton::clicked, this, slot);
  };
  const auto forAction = [this](QPushButton* b, const char* actionName) {
    QAction* a = action(QString::fromLatin1(actionName));
    connect(b, &QPushButton::clicked, a, &QAction::trigger);
  };

  QPushButton* first = button("buttonFirst", "||< First");
  QPushButton* previous = button("buttonPrevious", "<< Previous");
  QPushButton* next = button("buttonNext", "Next >>");
  QPushButton* last = button("buttonLast", "Last >||");
  QPushButton* replay = button("buttonReplay", "Replay");
  pauseButton_ = button("buttonPause", "Pause");
  pauseButton_->setEnabled(false);
  QPushButton* composite = button("buttonComposite", "Composite");
  QPushButton* lightCurve = button("buttonLightCurve", "Light Curve");
  QPushButton* remove = button("buttonDelete", "Delete");
  liveButton_ = button("buttonLive", "Start");
  QPushButton* play = button("buttonPlay", "Play");
  QPushButton* save = button("buttonSave", "Save");
  const std::pair<QWidget*, const char*> tips[] = {
      {first, "The first stored event (Ctrl+Home)"},
      {previous, "The event before this one (Ctrl+Left)"},
      {next, "The event after this one (Ctrl+Right)"},
      {last, "The newest stored event (Ctrl+End)"},
      {replay, "Replay the selected event or stretch"},
      {pauseButton_, "Hold or go on with the running replay"},
      {composite, "The brightest of every frame of the selection in one picture"},
      {lightCurve, "Count, summed excess and sky track of the selected event"},
      {remove, "Delete the event on screen and its files (Ctrl+Del)"},
      {liveButton_, "Show or hide the live video"},
      {play, "Play the archive from the start time for the duration"},
      {save, "Keep the archive from the start time for the duration as an event"}};
  for (const auto& [widget, tip] : tips) {
    widget->setToolTip(QString::fromLatin1(tip));
  }
  forAction(first, "actionFirst");
  forAction(previous, "actionPrevious");
  forAction(next, "actionNext");
  forAction(last, "actionLast");
  forAction(remove, "actionDelete");
  onClick(replay, &MainWindow::Replay);
  onClick(pauseButton_, &MainWindow::Pause);
  onClick(composite, &MainWindow::Composite);
  onClick(liveButton_, &MainWindow::ToggleLiveVideo);
  onClick(play, &MainWindow::Play);
  onClick(lightCurve, &MainWindow::LightCurve);
  onClick(save, &MainWindow::Save);

  start_ = new QDateTimeEdit(central);
  start_->setObjectName(QStringLiteral("startTime"));
  start_->setDisplayFormat(QStringLiteral("MM/dd/yyyy HH:mm:ss"));
  start_->setTimeSpec(Qt::UTC);
  start_->installEventFilter(this);
  duration_ = new QLineEdit(QStringLiteral("10"), central);
  duration_->setObjectName(QStringLiteral("duration"));
  duration_->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), duration_));
  duration_->setMaximumWidth(80);
  start_->setToolTip(QStringLiteral("Start of the archive stretch for Play and Save (UTC)"));
  duration_->setToolTip(QStringLiteral("Length of the archive stretch in seconds"));
  duration_->installEventFilter(this);

  auto* fields = new QHBoxLayout;
  fields->addWidget(status_, 1);
  fields->addWidget(verdict_);
  fields->addWidget(count_);

  // Kept in the layout while hidden, so that a notice does not resize the window.
  noticeStrip_ = new QFrame(central);
  noticeStrip_->setObjectName(QStringLiteral("noticeStrip"));
  noticeStrip_->setFrameShape(QFrame::StyledPanel);
  noticeText_ = new QLabel(noticeStrip_);
  noticeText_->setObjectName(QStringLiteral("noticeText"));
  noticeText_->setFixedWidth(kNoticeTextWidth);
  auto* dismiss = new QToolButton(noticeStrip_);
  dismiss->setObjectName(QStringLiteral("noticeDismiss"));
  dismiss->setText(QStringLiteral("Dismiss"));
  connect(dismiss, &QToolButton::clicked, noticeStrip_, &QWidget::hide);
  auto* strip = new QHBoxLayout(noticeStrip_);
  strip->setContentsMargins(4, 2, 4, 2);
  strip->addWidget(noticeText_, 1);
  strip->addWidget(dismiss);
  QSizePolicy policy = noticeStrip_->sizePolicy();
  policy.setRetainSizeWhenHidden(true);
  noticeStrip_->setSizePolicy(policy);
  noticeStrip_->setMaximumWidth(kFrameWidth + 2 * PictureView::kFrame);
  noticeStrip_->hide();
  auto* eventRow = new QHBoxLayout;
  for (QPushButton* b :
       {first, previous, next, last, replay, pauseButton_, composite, lightCurve}) {
    eventRow->addWidget(b);
  }
  eventRow->addStretch(1);
  eventRow->addWidget(remove);
  auto* playRow = new QHBoxLayout;
  playRow->addWidget(liveButton_);
  playRow->addWidget(play);
  playRow->addWidget(new QLabel(QStringLiteral("Start (UTC):"), central));
  playRow->addWidget(start_);
  playRow->addWidget(new QLabel(QStringLiteral("Duration (sec):"), central));
  playRow->addWidget(duration_);
  playRow->addStretch(1);
  playRow->addWidget(save);

  auto* layout = new QVBoxLayout(central);
  layout->addWidget(picture_, 0, Qt::AlignHCenter);
  layout->addWidget(noticeStrip_);
  layout->addLayout(fields);
  layout->addLayout(eventRow);
  layout->addLayout(playRow);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  return central;
}

QAction* MainWindow::action(const QString& objectName) const {
  const auto it = actions_.find(objectName);
  return it == actions_.end() ? nullptr : it->second;
}

void MainWindow::Start() {
  if (started_) {
    return;
  }
  started_ = true;
  station_->Start();
  picture_->SetPalette(station_->settings()->pseudoColor);
  const SystemClock systemClock;
  const Clock& clock =
      setup_.station.wallClock != nullptr ? *setup_.station.wallClock : systemClock;
  const CalendarFields now = BreakUtcTime(clock.UtcNow());
  start_->setDateTime(QDateTime(QDate(now.year, now.month, now.day),
                                QTime(now.hour, now.minute, now.second), Qt::UTC));
  duration_->setText(QStringLiteral("10"));
  if (setup_.show) {
    show();
  }
  UpdateStatusBar();
  statusTimer_->start();
  ShowLiveVideo();
}

void MainWindow::PostOnce(std::atomic<bool>& pending, int type) {
  // One note of a kind waits at a time: a busy window is not flooded, and the handler reads the
  // newest values anyway.
  if (!pending.exchange(true)) {
    QCoreApplication::postEvent(this, new QEvent(static_cast<QEvent::Type>(type)));
  }
}

bool MainWindow::event(QEvent* e) {
  switch (static_cast<int>(e->type())) {
    case kLiveStatusEvent:
      liveStatusPending_.store(false);
      LiveStatus();
      return true;
    case kNoticeEvent:
      NoticeArrived(static_cast<NoticeEvent*>(e)->notice);
      return true;
    case kFrameReadyEvent:
      frameReadyPending_.store(false);
      ReplayFrameShown();
      return true;
    case kNothingEvent: {
      const QString& why = static_cast<NothingEvent*>(e)->why;
      std::memset(picture_->displayPixels(), 0, kFrameBytes);
      picture_->SetMarks({});
      count_->clear();
      status_->setText(why.isEmpty() ? QStringLiteral("Nothing to show.") : why);
      return true;
    }
    case kReplayEndedEvent:
      AfterReviewCommand();
      return true;
    case kStoppedEvent:
      if (stopper_.joinable()) {
        stopper_.join();
      }
      stopped_ = true;
      QCoreApplication::quit();
      return true;
    case kMaskLearntEvent: {
      auto* learnt = static_cast<MaskLearntEvent*>(e);
      MaskLearnt(std::move(learnt->learnt), learnt->why);
      return true;
    }
    case kExportDoneEvent: {
      auto* done = static_cast<ExportDoneEvent*>(e);
      if (auto* progress = findChild<QProgressDialog*>(QStringLiteral("saveMovieProgress"))) {
        progress->deleteLater();
      }
      if (done->outcome.result == ExportResult::kWritten) {
        Tell("Save Movie: " + done->path + " is written.");
      } else if (done->outcome.result == ExportResult::kNoMovie) {
        Tell(
            "Save Movie: the event has no movie yet (it is cut from the archive first); nothing "
            "was written.");
      } else if (done->outcome.result == ExportResult::kFailed) {
        FileFailed("Save Movie", done->path, done->outcome.reason);
      } else if (done->outcome.result == ExportResult::kNoFrames) {
        FileFailed("Save Movie", done->path,
                   "the event's movie holds no picture; nothing was written");
      }
      return true;
    }
    case QEvent::ShortcutOverride:
      break;
  }
  return QMainWindow::event(e);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* e) {
  // The accelerators belong to the window before any field sees them: the picker and the
  // duration field would otherwise take Ctrl+E, Ctrl+Left/Right, Ctrl+Home/End and Ctrl+Del as
  // editing keys. An override left unaccepted lets the shortcut run; plain keys stay the field's.
  if (e->type() == QEvent::ShortcutOverride) {
    const QKeySequence pressed(static_cast<QKeyEvent*>(e)->keyCombination());
    for (const auto& [name, action] : actions_) {
      if (!action->shortcut().isEmpty() && action->shortcut() == pressed) {
        e->ignore();
        return true;
      }
    }
  }
  return QMainWindow::eventFilter(watched, e);
}

void MainWindow::closeEvent(QCloseEvent* e) {
  // The close box does not end the station; only File > Exit does.
  if (!stopped_) {
    e->ignore();
    return;
  }
  e->accept();
}

void MainWindow::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape) {
    e->accept();  // ignored, as the close box
    return;
  }
  QMainWindow::keyPressEvent(e);
}

// ReviewWindow ----------------------------------------------------------------------------------

void MainWindow::ShowInfo(const std::string& text) {
  const QString message = QString::fromStdString(text);
  if (QThread::currentThread() == thread()) {
    Hooks().info(this, message);
  } else {
    QMetaObject::invokeMethod(
        this, [this, message] { Hooks().info(this, message); }, Qt::QueuedConnection);
  }
}

void MainWindow::NoticeArrived(const Notice& notice) {
  if (notice.severity != Severity::kInfo || notice.topic == kVideoEndedTopic ||
      notice.topic == kCommandTopic) {
    // One line: what does not fit is in the tooltip and the messages list.
    const QString line = NoticeTime(notice).mid(11) + QStringLiteral(" UTC  ") +
                         QString::fromLatin1(SeverityName(notice.severity)) + QStringLiteral(": ") +
                         QString::fromStdString(notice.text);
    noticeText_->setToolTip(line);
    noticeText_->setText(
        noticeText_->fontMetrics().elidedText(line, Qt::ElideRight, kNoticeTextWidth));
    noticeStrip_->show();
  }
  if (messages_ && messages_->isVisible()) {
    FillMessages();
  }
  if (notice.topic == kConfigTopic) {
    Hooks().info(this, QString::fromStdString(notice.text));
  }
  if (notice.severity == Severity::kFatal && !stopping_) {
    // A failure the station cannot go on from: the operator is told, and it stops.
    fatalText_ = notice.text;
    ShowInfo(notice.text);
    Exit();
  }
}

void MainWindow::HideLiveVideo() {
  liveButton_->setText(QStringLiteral("Show RT"));
  realTimeShown_ = false;
  liveTimer_->stop();
  picture_->ShowLive(false);
}

void MainWindow::FileFailed(const std::string& action, const std::string& path,
                            const std::string& reason) {
  ShowInfo(action + ": " + path + ": " + reason);
}

void MainWindow::FrameReady() {
  PostOnce(frameReadyPending_, kFrameReadyEvent);
}

void MainWindow::ReplayEnded() {
  QCoreApplication::postEvent(this, new QEvent(kReplayEndedEvent));
}

void MainWindow::ExportEnded(const ExportOutcome& outcome, const std::string& path) {
  QCoreApplication::postEvent(this, new ExportDoneEvent(outcome, path));
}

void MainWindow::Tell(const std::string& text) {
  station_->notices().Say(Severity::kInfo, kCommandTopic, text);
}

void MainWindow::UpdateStatusBar() {
  const StationStatus status = station_->Status();
  eventsLabel_->setText(QStringLiteral("Events this run: %1 recorded, %2 cut")
                            .arg(status.eventsRecorded)
                            .arg(status.eventsCut));
  lostLabel_->setText(QStringLiteral("Frames lost: %1").arg(status.framesLost));
  const std::optional<double> free = station_->FreeFraction();
  diskLabel_->setText(free ? QStringLiteral("Free disk: %1%").arg(*free * 100, 0, 'f', 1)
                           : QStringLiteral("Free disk: unknown"));
  folderLabel_->setText(QStringLiteral("Archive: ") +
                        QString::fromStdString(GetBaseFolder(station_->settings()->archiveFolder)));
}

void MainWindow::ShowNothing(const std::string& why) {
  QCoreApplication::postEvent(this, new NothingEvent(QString::fromStdString(why)));
}

// Live display ----------------------------------------------------------------------------------

void MainWindow::ShowLiveVideo() {
  liveButton_->setText(QStringLiteral("Hide RT"));
  session_->LiveVideoShown();
  realTimeShown_ = true;
  picture_->ShowLive(true);
  RefreshLiveFrame();
  liveTimer_->start();
}

void MainWindow::ToggleLiveVideo() {
  if (realTimeShown_) {
    HideLiveVideo();
  } else {
    ShowLiveVideo();
  }
}

void MainWindow::RefreshLiveFrame() {
  // Only a frame not shown yet is copied and painted.
  const uint64_t stored = station_->FramesStored();
  if (!realTimeShown_ || stored == liveFramesShown_) {
    return;
  }
  UtcTime stamp;
  if (station_->CopyNewestFrame(picture_->livePixels(), &stamp)) {
    liveFramesShown_ = stored;
    picture_->LiveFrameChanged();
  }
}

void MainWindow::LiveStatus() {
  if (!realTimeShown_) {
    return;
  }
  const StationStatus status = station_->Status();
  count_->setText(QString::number(status.pixelCount));
  if (liveRefreshCounter_ == 0) {
    UtcTime stamp;
    station_->CopyNewestFrame(picture_->displayPixels(), &stamp);
  }
  liveRefreshCounter_ = (liveRefreshCounter_ + 1) % kLiveCopyEvery;
  status_->setText(QString::fromStdString(LiveStatusText(status.newestCapture, status.enabled)));
}

void MainWindow::ReplayFrameShown() {
  ShownFrame shown;
  if (!session_->CopyShownFrame(picture_->displayPixels(), &shown)) {
    return;
  }
  picture_->SetMarks({});  // they marked the picture before this one
  count_->setText(shown.displayCount == kNoDisplayCount ? QString()
                                                        : QString::number(shown.displayCount));
  if (!shown.time) {
    return;
  }
  status_->setText(QString::fromStdString(ShownTimeText(*shown.time)));
  picture_->update();
}

void MainWindow::ShowMask() {
  HideLiveVideo();
  session_->OtherShown();
  picture_->SetMarks({});
  station_->CopyThresholdTable(picture_->displayPixels());
  picture_->update();
}

void MainWindow::OverlayMask() {
  HideLiveVideo();
  std::vector<uint8_t> table(kFrameBytes);
  if (station_->CopyThresholdTable(table.data())) {
    ombrix::OverlayMask(picture_->displayPixels(), table.data());
  }
  picture_->update();
}

void MainWindow::OverlayGrid() {
  HideLiveVideo();
  std::vector<QPoint> marks;
  for (const auto& [x, y] : ombrix::OverlayGrid(picture_->displayPixels(), *station_->settings())) {
    marks.emplace_back(x, y);
  }
  picture_->SetMarks(std::move(marks));
}

void MainWindow::PixelClicked(int x, int y) {
  if (realTimeShown_) {
    Tell("The live video is held on this picture; Show RT brings it back.");
  }
  HideLiveVideo();
  status_->setText(QString::fromStdString(PixelReadout(*station_->settings(), x, y)));
}

// Exit ------------------------------------------------------------------------------------------

void MainWindow::Exit() {
  if (stopping_) {
    return;
  }
  stopping_ = true;
  status_->setText(QStringLiteral("Stopping..."));
  // No command may reach the station while it stops; the window still paints.
  for (const auto& [name, action] : actions_) {
    action->setEnabled(false);
  }
  for (QPushButton* button : centralWidget()->findChildren<QPushButton*>()) {
    button->setEnabled(false);
  }
  StopMaskLearning();
  session_->StopWorkers();  // the readers and a running export
  // The station's stop order takes up to its drain bound; the window keeps painting meanwhile.
  stopper_ = std::thread([this] {
    if (setup_.beforeStationStops) {
      setup_.beforeStationStops();
    }
    station_->Stop();
    QCoreApplication::postEvent(this, new QEvent(kStoppedEvent));
  });
}

// Commands --------------------------------------------------------------------------------------

void MainWindow::AfterReviewCommand() {
  verdict_->setText(QString::fromStdString(EventVerdictText(session_->currentEvent())));
  pauseButton_->setEnabled(session_->PauseEnabled());
  pauseButton_->setText(session_->paused() && session_->PauseEnabled() ? QStringLiteral("Resume")
                                                                       : QStringLiteral("Pause"));
}

PickerInterval MainWindow::Interval() const {
  const UtcTime picker{std::chrono::milliseconds{start_->dateTime().toMSecsSinceEpoch()}};
  return ReadPickerInterval(picker, duration_->text().toStdString());
}

void MainWindow::DialogsOpenIn(bool eventsFolder) {
  const std::string setting = station_->settings()->archiveFolder;
  std::string events;
  Hooks().startFolder = QString::fromStdString(
      eventsFolder && GetEventsFolder(setting, events) ? events : GetBaseFolder(setting));
}

void MainWindow::NewArchiveDirectory() {
  DialogsOpenIn(false);
  QString folder = Hooks().folder(
      this, QStringLiteral("Select folder where the archive and event files will be stored.."));
  if (folder.isEmpty()) {
    return;
  }
  while (folder.size() > 1 &&
         (folder.endsWith(QLatin1Char(' ')) || folder.endsWith(QLatin1Char('/')) ||
          folder.endsWith(QLatin1Char('\\')))) {
    folder.chop(1);
  }
  station_->Apply(
      [archiveFolder = folder.toStdString()](Settings& s) { s.archiveFolder = archiveFolder; });
}

void MainWindow::OpenEvent() {
  DialogsOpenIn(true);
  const QString path =
      Hooks().openFile(this, QStringLiteral("Open Event"), QString::fromLatin1(kEventFilter));
  if (!path.isEmpty()) {
    session_->OpenEvent(path.toStdString());
  }
  AfterReviewCommand();
}

void MainWindow::OpenImage() {
  DialogsOpenIn(false);
  const QString path =
      Hooks().openFile(this, QStringLiteral("Open Image"), QString::fromLatin1(kImageFilter));
  if (path.isEmpty()) {
    return;
  }
  HideLiveVideo();
  session_->OtherShown();
  picture_->SetMarks({});
  if (!OpenImageIntoDisplay(path.toStdString(), picture_->displayPixels())) {
    Tell("Open Image: " + path.toStdString() +
         " cannot be read as a 640 by 480 image; the picture is unchanged.");
  }
  status_->setText(QStringLiteral("Still image: ") + QFileInfo(path).fileName());
  picture_->update();
}

void MainWindow::SaveImage() {
  DialogsOpenIn(true);
  const QString name = QString::fromStdString(SaveImageDefaultName(session_->currentEvent()));
  QString type;
  QString path = Hooks().saveFile(this, QStringLiteral("Save Image"), name,
                                  QString::fromLatin1(kSaveImageFilter), &type);
  if (path.isEmpty()) {
    return;
  }
  path = WithTypeExtension(path, type, kSaveImageFilter);
  if (!SaveDisplayImage(path.toStdString(), picture_->displayPixels(), picture_->pseudoColor())) {
    FileFailed("Save Image", path.toStdString(), "the picture could not be written");
  }
}

void MainWindow::SaveMovie() {
  std::string key;
  if (!session_->SaveMovieBegin(key)) {
    return;
  }
  DialogsOpenIn(true);
  QString type;
  QString path = Hooks().saveFile(this, QStringLiteral("Save Movie"), QString::fromStdString(key),
                                  QString::fromLatin1(kMovieFilter), &type);
  if (path.isEmpty()) {
    return;
  }
  path = WithTypeExtension(path, type, kMovieFilter);
  // The export runs on a thread of the session; the window keeps painting. A cancelled export
  // leaves nothing at the output path.
  if (!session_->StartExport(path.toStdString())) {
    return;
  }
  auto* progress =
      new QProgressDialog(QStringLiteral("Saving movie..."), QStringLiteral("Cancel"), 0, 0, this);
  progress->setObjectName(QStringLiteral("saveMovieProgress"));
  progress->setWindowModality(Qt::WindowModal);
  progress->setMinimumDuration(0);
  progress->setAutoClose(false);
  progress->setAutoReset(false);
  connect(progress, &QProgressDialog::canceled, this, [this] { session_->CancelExport(); });
  progress->show();
}

void MainWindow::ReadMaskFile() {
  DialogsOpenIn(false);
  const QString path =
      Hooks().openFile(this, QStringLiteral("Read Mask File"), QString::fromLatin1(kImageFilter));
  if (!path.isEmpty()) {
    // The image behind the same path may have been edited: the table is rebuilt in any case.
    station_->Apply([mask = path.toStdString()](Settings& s) { s.maskFile = mask; },
                    Station::Redo::kThresholdTable);
  }
}

void MainWindow::SaveConfiguration() {
  if (!station_->SaveConfiguration()) {
    ShowInfo("Saving configuration file failed.");
  }
}

void MainWindow::VideoProperties() {
  std::optional<std::vector<VideoControl>> controls = station_->ListVideoControls();
  if (!controls) {
    ShowInfo("Video: No capture device is open.");
    return;
  }
  auto* dialog = new VideoDialog(this, *station_, std::move(*controls));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->show();
}

void MainWindow::DisplayOptions() {
  if (!vardex_) {
    vardex_ = new VardexDialog(
        this, *station_, [this](bool pseudo) { picture_->SetPalette(pseudo); },
        [this] {
          update();
          picture_->update();
        });
  }
  vardex_->Fill();
  vardex_->show();
  vardex_->raise();
}

void MainWindow::TriggerOptions() {
  if (!trigger_) {
    trigger_ = new TriggerDialog(this, *station_);
  }
  trigger_->show();
  trigger_->raise();
}

void MainWindow::CalibrationOptions() {
  if (!calibration_) {
    calibration_ = new CalibrationDialog(this, *station_);
  }
  calibration_->show();
  calibration_->raise();
}

void MainWindow::First() {
  session_->First();
  AfterReviewCommand();
}
void MainWindow::Previous() {
  session_->Previous();
  AfterReviewCommand();
}
void MainWindow::Next() {
  session_->Next();
  AfterReviewCommand();
}
void MainWindow::Last() {
  session_->Last();
  AfterReviewCommand();
}
void MainWindow::Delete() {
  session_->Delete();
  AfterReviewCommand();
}
void MainWindow::Replay() {
  session_->Replay();
  AfterReviewCommand();
}
void MainWindow::Pause() {
  session_->TogglePause();
  AfterReviewCommand();
}
void MainWindow::Composite() {
  session_->Composite();
  AfterReviewCommand();
}
void MainWindow::Play() {
  session_->Play(Interval());
  AfterReviewCommand();
}
void MainWindow::Save() {
  session_->Save(Interval());
}
void MainWindow::AverageComposite() {
  session_->ShowAverageComposite(Interval());
  AfterReviewCommand();
}
void MainWindow::AverageMovie() {
  session_->ShowAverageMovie(Interval());
  AfterReviewCommand();
}
void MainWindow::Recalculate() {
  session_->Recalculate();
}

void MainWindow::ChangeVideoSource() {
  station_->ChangeVideoSource();  // on the station's thread: the window goes on meanwhile
}

void MainWindow::LightCurve() {
  std::vector<LightCurvePoint> points = session_->LightCurve();
  if (!points.empty()) {
    const std::string& event = session_->currentEvent();
    (new LightCurveDialog(this, QString::fromStdString(EventKey(event)), std::move(points),
                          QString::fromStdString(EventVerdictText(event))))
        ->show();
  }
}

void MainWindow::LearnMask() {
  const std::optional<int> seconds =
      Hooks().number(this, QStringLiteral("Learn Mask"),
                     QStringLiteral("Seconds of live video to learn the mask from:"),
                     kLearnSecondsDefault, 1, kLearnSecondsMost);
  if (!seconds || stopping_) {
    return;
  }
  action(QStringLiteral("actionLearnMask"))->setEnabled(false);
  status_->setText(QStringLiteral("Learning the mask from %1 s of video...").arg(*seconds));
  maskLearning_ =
      std::jthread([this, duration = std::chrono::seconds(*seconds)](std::stop_token stop) {
        std::string why;
        std::optional<LearntMask> learnt = station_->LearnMask(duration, stop, why);
        if (!stop.stop_requested()) {
          QCoreApplication::postEvent(this, new MaskLearntEvent(std::move(learnt), why));
        }
      });
}

void MainWindow::MaskLearnt(std::optional<LearntMask> learnt, const std::string& why) {
  StopMaskLearning();  // it has ended: joined at once
  action(QStringLiteral("actionLearnMask"))->setEnabled(!stopping_);
  if (stopping_) {
    return;
  }
  if (!learnt) {
    ShowInfo("Learn Mask: " + why + ".");
    return;
  }
  // The proposal over the picture it was learnt on, white where masked.
  HideLiveVideo();
  std::vector<uint8_t> table(kFrameBytes);
  for (size_t i = 0; i < table.size(); ++i) {
    table[i] = learnt->mask[i] != 0 ? 255 : 0;
  }
  std::memcpy(picture_->displayPixels(), learnt->mean.data(), kFrameBytes);
  ombrix::OverlayMask(picture_->displayPixels(), table.data());
  picture_->update();
  char text[120];
  std::snprintf(text, sizeof text, "Learnt mask: %lld pixels masked (%lld frames, %.1f s)",
                static_cast<long long>(learnt->MaskedPixels()),
                static_cast<long long>(learnt->frames), learnt->seconds);
  status_->setText(QString::fromLatin1(text));
  QString type;
  QString path =
      Hooks().saveFile(this, QStringLiteral("Save Learnt Mask"), QStringLiteral("mask.png"),
                       QString::fromLatin1(kMaskFilter), &type);
  if (path.isEmpty()) {
    return;  // not wanted: nothing is written, the mask in use stays
  }
  path = WithTypeExtension(path, type, kMaskFilter);
  if (!WriteLearntMask(path.toStdString(), *learnt)) {
    FileFailed("Learn Mask", path.toStdString(), "the mask image could not be written");
    return;
  }
  station_->Apply([mask = path.toStdString()](Settings& s) { s.maskFile = mask; },
                  Station::Redo::kThresholdTable);
}

void MainWindow::StopMaskLearning() {
  if (maskLearning_.joinable()) {
    maskLearning_.request_stop();
    maskLearning_.join();
  }
}

void MainWindow::Messages() {
  if (!messages_) {
    messages_ = new QDialog(this);
    messages_->setObjectName(QStringLiteral("messagesDialog"));
    messages_->setWindowTitle(QStringLiteral("Messages"));
    messagesList_ = new QTreeWidget(messages_);
    messagesList_->setObjectName(QStringLiteral("messagesList"));
    messagesList_->setHeaderLabels(
        {QStringLiteral("Time (UTC)"), QStringLiteral("Severity"), QStringLiteral("Message")});
    messagesList_->setRootIsDecorated(false);
    messagesList_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    auto* layout = new QVBoxLayout(messages_);
    layout->addWidget(messagesList_);
    messages_->resize(800, 400);
  }
  FillMessages();
  messages_->show();
  messages_->raise();
}

void MainWindow::FillMessages() {
  messagesList_->clear();
  const std::vector<Notice> notices = station_->notices().Recent();
  for (auto it = notices.rbegin(); it != notices.rend(); ++it) {
    new QTreeWidgetItem(messagesList_,
                        {NoticeTime(*it), QString::fromLatin1(SeverityName(it->severity)),
                         QString::fromStdString(it->text)});
  }
}

void MainWindow::About() {
  (new AboutDialog(this))->show();
}

}  // namespace ombrix
