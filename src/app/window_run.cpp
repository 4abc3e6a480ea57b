#include "app/window_run.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/main_window.h"
#include "capture/capture_graph.h"
#include "capture/file_source.h"
#include "config/config_file.h"
#include "media/codec_lock.h"
#include "storage/disk_cleaner.h"

namespace ombrix {
namespace {

// The write end of the signal pipe; the handler only writes one byte to it.
int signalPipeWrite = -1;

void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(signalPipeWrite, &byte, 1);
}

// SIGINT, SIGTERM and SIGHUP reach the window's thread through a socket pair.
class SignalPipe {
 public:
  SignalPipe() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_) != 0) {
      fds_[0] = fds_[1] = -1;
      return;
    }
    signalPipeWrite = fds_[1];
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
      sigaction(s, &action, nullptr);
    }
    signal(SIGPIPE, SIG_IGN);
  }
  ~SignalPipe() {
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
      signal(s, SIG_DFL);
    }
    signalPipeWrite = -1;
    for (int fd : fds_) {
      if (fd >= 0) {
        close(fd);
      }
    }
  }
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;
  int readEnd() const { return fds_[0]; }
  void Drain() {
    char buffer[16];
    while (read(fds_[0], buffer, sizeof buffer) > 0) {
    }
  }

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace

std::vector<std::string> TakeWindowOptions(const std::vector<std::string>& args,
                                           std::string& script) {
  std::vector<std::string> rest;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--script" && i + 1 < args.size()) {
      script = args[++i];
    } else {
      rest.push_back(args[i]);
    }
  }
  return rest;
}

bool DisplayAvailable() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      return true;
    }
  }
  return false;
}

int RunWindow(int argc, char** argv, const HeadlessOptions& options, const std::string& script) {
  if (!DisplayAvailable()) {
    std::fprintf(stderr,
                 "ombrix: no display is available (DISPLAY is not set): the window cannot open. "
                 "Run `ombrix --headless` instead.\n");
    return 2;
  }
  QuietMediaLibraryLog();
  if (!options.configPath.empty()) {
    SetConfigurationPath(options.configPath);
  }
  QApplication app(argc, argv);
  SignalPipe stopSignals;
  SourceParts parts;
  StatvfsFreeSpace freeSpace;

  WindowSetup setup;
  setup.wallClock = &parts.clock;
  setup.freeSpace = &freeSpace;
  setup.stationOptions.enableAtStart = options.enable;
  AdaptStationOptions(options, setup.stationOptions);
  setup.makeSource = [&options, &parts](Station& station) {
    return MakeCaptureSource(options, station, parts, nullptr);
  };
  if (options.source == SourceKind::kDevice) {
    setup.countDevices = [&parts] {
      SharedSettings settings;
      Notices unheard;  // counting says nothing
      CaptureGraph graph(parts.device, settings, parts.clock, unheard);
      return graph.CountCaptureDevices();
    };
  }
  MainWindow window(std::move(setup));

  QSocketNotifier notifier(stopSignals.readEnd(), QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &window, [&stopSignals, &window] {
    stopSignals.Drain();
    window.Exit();
  });
  // The end of the desktop session closes the clip being written like File > Exit.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                   [&window](QSessionManager&) { window.Exit(); });

  window.Start();

  QStringList steps = QString::fromStdString(script).split(QLatin1Char(','), Qt::SkipEmptyParts);
  QTimer scriptTimer;
  if (!steps.isEmpty()) {
    scriptTimer.setInterval(1000);
    QObject::connect(&scriptTimer, &QTimer::timeout, &window, [&steps, &window, &scriptTimer] {
      if (steps.isEmpty()) {
        scriptTimer.stop();
        return;
      }
      const QString step = steps.first();
      if (step == QLatin1String("waitcut") && window.station().EventsCut() == 0) {
        return;
      }
      steps.removeFirst();
      if (step == QLatin1String("next")) {
        window.action(QStringLiteral("actionNext"))->trigger();
      } else if (step == QLatin1String("exit")) {
        window.action(QStringLiteral("actionExit"))->trigger();
      } else if (step == QLatin1String("hide")) {
        window.HideLiveVideo();
      } else if (step != QLatin1String("waitcut")) {
        // "replay", "pause", ...: the button of that name.
        const QString name = QStringLiteral("button") + step.left(1).toUpper() + step.mid(1);
        if (auto* button = window.findChild<QPushButton*>(name)) {
          button->click();
        }
      }
    });
    scriptTimer.start();
  }
  app.exec();
  const StationStatus status = window.station().Status();
  std::fprintf(stderr, "Stopped: %llu frames read, %llu lost, %llu events recorded, %llu cut.\n",
               static_cast<unsigned long long>(status.framesRead),
               static_cast<unsigned long long>(status.framesLost),
               static_cast<unsigned long long>(window.station().EventsRecorded()),
               static_cast<unsigned long long>(window.station().EventsCut()));
  return window.fatalText().empty() ? 0 : 1;
}

}  // namespace ombrix
