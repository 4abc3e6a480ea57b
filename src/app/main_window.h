#pragma once

#include <QAction>
#include <QMainWindow>
#include <QPointer>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "review/event_listing.h"
#include "review/review_session.h"
#include "review/review_window.h"
#include "station/station.h"

class QDateTimeEdit;
class QDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace ombrix {

class CalibrationDialog;
class PictureView;
class TriggerDialog;
class VardexDialog;

// What the window is made with.
struct WindowSetup {
  // The station's setup. Its notices go to the window and to station.notice besides (called on
  // any thread; empty: standard error, StandardErrorNoticeSink).
  StationSetup station;
  // Whether Start() also shows the window (tests drive a window that is never shown).
  bool show = true;
  // Called before the station stops (on the thread that stops it, once or more): the owner stops
  // what reads the station, such as the web page.
  std::function<void()> beforeStationStops;
};

// The station's main window: the picture area with its two fields, the notice strip, the event and
// playback buttons, and the menus. It owns the station and a review session on it, and only
// shows what they compute; the worker threads
// reach it only by posting events (live status, frame ready, replay ended, a notice carried by
// value), never by touching a widget. Escape and the close box leave the station running; File >
// Exit stops it while the window keeps painting, then ends the event loop. Special > Learn Mask...
// learns on the live video while the window goes on.
//
// The status bar shows what the headless status line does: events recorded and cut in this run,
// frames lost, the free disk and the archive folder, once a second.
//
// Notices: the newest warning, error or fatal one, the end of a replayed file, or what a command
// did (Save, Recalculate, Save Movie, Open Image), is shown in the
// strip under the picture
// ("noticeStrip", its text "noticeText") until the operator dismisses it ("noticeDismiss");
// Special > Messages... lists the notices of this run, newest first, with their time (UTC) and
// severity. A failed reading of the configuration is also shown in a box, and a fatal notice in a
// box before the window runs the Exit order.
class MainWindow final : public QMainWindow, public ReviewWindow {
  Q_OBJECT

 public:
  explicit MainWindow(WindowSetup setup);
  ~MainWindow() override;

  // The start-up sequence: the station (configuration, schedule, threshold table, capture, the
  // worker threads), the picker set to now (UTC), then the live video shown.
  void Start();
  // The Exit order: review workers, then the station, on a helper thread while the window keeps
  // painting ("Stopping..."); then the event loop ends. A second call does nothing.
  void Exit();
  bool stopped() const { return stopped_; }
  // The text of the fatal notice that ended the run; empty when none did.
  const std::string& fatalText() const { return fatalText_; }

  Station& station() { return *station_; }
  ReviewSession& session() { return *session_; }
  PictureView& picture() { return *picture_; }
  bool realTimeShown() const { return realTimeShown_; }
  // Every command by its objectName ("actionNext", ...), as the menus and buttons use them.
  QAction* action(const QString& objectName) const;

  // ReviewWindow.
  void ShowInfo(const std::string& text) override;
  void HideLiveVideo() override;
  void FileFailed(const std::string& action, const std::string& path,
                  const std::string& reason) override;
  void FrameReady() override;
  void ReplayEnded() override;
  void ExportEnded(const ExportOutcome& outcome, const std::string& path) override;
  void ShowNothing(const std::string& why) override;
  void Tell(const std::string& text) override;

  // The live status refresh (the detection thread's note after each pass), and showing the live
  // video again: public for the tests that check their texts.
  void LiveStatus();
  void ShowLiveVideo();

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QAction* AddAction(QMenu* menu, const char* name, const QString& text, void (MainWindow::*slot)(),
                     QKeySequence key = {});
  void BuildMenus();
  QWidget* BuildControls();
  void PostOnce(std::atomic<bool>& pending, int type);
  void AfterReviewCommand();
  void RefreshLiveFrame();
  PickerInterval Interval() const;
  void NoticeArrived(const Notice& notice);
  void UpdateStatusBar();
  // The file dialogs open in the events folder, or else in the base folder of the archive.
  void DialogsOpenIn(bool eventsFolder);
  void FillMessages();
  void ReplayFrameShown();
  void ToggleLiveVideo();
  void ShowMask();
  void OverlayMask();
  void OverlayGrid();
  void PixelClicked(int x, int y);

  // Commands.
  void NewArchiveDirectory();
  void OpenEvent();
  void OpenImage();
  void SaveImage();
  void SaveMovie();
  void ReadMaskFile();
  void SaveConfiguration();
  void ExitCommand() { Exit(); }
  void VideoProperties();
  void DisplayOptions();
  void TriggerOptions();
  void CalibrationOptions();
  void First();
  void Previous();
  void Next();
  void Last();
  void Delete();
  void Replay();
  void Pause();
  void Composite();
  void Play();
  void Save();
  void AverageComposite();
  void AverageMovie();
  void Recalculate();
  void ChangeVideoSource();
  void Messages();
  void About();
  // Beyond the menus: the light curve of the current event.
  void LightCurve();
  // Special > Learn Mask...: learns on the live video on a helper thread, then shows the proposal
  // over its mean picture and, on the operator's OK (a file name), writes it and selects it.
  void LearnMask();
  void MaskLearnt(std::optional<LearntMask> learnt, const std::string& why);
  void StopMaskLearning();

  WindowSetup setup_;
  std::unique_ptr<Station> station_;
  std::unique_ptr<ReviewSession> session_;  // after the station: gone before it
  std::map<QString, QAction*> actions_;
  PictureView* picture_ = nullptr;
  QLineEdit* status_ = nullptr;
  QLineEdit* count_ = nullptr;
  QLineEdit* verdict_ = nullptr;  // the current event's verdict
  QPushButton* liveButton_ = nullptr;
  QPushButton* pauseButton_ = nullptr;
  QDateTimeEdit* start_ = nullptr;
  QLineEdit* duration_ = nullptr;
  QTimer* liveTimer_ = nullptr;
  QTimer* statusTimer_ = nullptr;
  QLabel* eventsLabel_ = nullptr;
  QLabel* lostLabel_ = nullptr;
  QLabel* diskLabel_ = nullptr;
  QLabel* folderLabel_ = nullptr;
  QFrame* noticeStrip_ = nullptr;
  QLabel* noticeText_ = nullptr;
  QPointer<QDialog> messages_;
  QTreeWidget* messagesList_ = nullptr;
  std::string fatalText_;
  QPointer<VardexDialog> vardex_;
  QPointer<TriggerDialog> trigger_;
  QPointer<CalibrationDialog> calibration_;
  bool realTimeShown_ = false;
  int liveRefreshCounter_ = 0;
  uint64_t liveFramesShown_ = 0;  // frames stored when the live picture was last copied
  std::atomic<bool> liveStatusPending_{false};
  std::atomic<bool> frameReadyPending_{false};
  bool started_ = false;
  bool stopping_ = false;
  bool stopped_ = false;
  std::thread stopper_;
  std::jthread maskLearning_;  // Learn Mask's helper; joined before the station stops
};

}  // namespace ombrix
