#include "app/window_run.h"

#include <QApplication>
#include <QPushButton>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "app/main_window.h"
#include "app/stop_signals.h"
#include "web/web_server.h"

namespace ombrix {
namespace {

// Whether a window can be opened: QT_QPA_PLATFORM, DISPLAY or WAYLAND_DISPLAY is set.
bool DisplayAvailable() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') {
      return true;
    }
  }
  return false;
}

}  // namespace

int RunWindow(int argc, char** argv, const CommandLine& command) {
  if (!DisplayAvailable()) {
    std::fprintf(stderr,
                 "ombrix: no display is available (DISPLAY is not set): the window cannot open. "
                 "Run `ombrix --headless` instead.\n");
    return 2;
  }
  QApplication app(argc, argv);
  StopSignals stopSignals;
  // Started after the station and stopped by the window before the station stops; it outlives
  // the window, which calls it until its end.
  std::unique_ptr<WebServer> web;
  WindowSetup setup;
  setup.station.source = command.source;
  setup.station.enableAtStart = command.enable;
  setup.beforeStationStops = [&web] {
    if (web) {
      web->Stop();
    }
  };
  MainWindow window(std::move(setup));

  QSocketNotifier notifier(stopSignals.fd(), QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, &window, [&stopSignals, &window] {
    if (stopSignals.Wait(std::chrono::milliseconds(0))) {
      window.Exit();
    }
  });
  // The end of the desktop session closes the clip being written like File > Exit.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                   [&window](QSessionManager&) { window.Exit(); });

  window.Start();
  web =
      StartWebPage(window.station(), command.web.value_or(window.station().settings()->webListen));

  QStringList steps =
      QString::fromStdString(command.script).split(QLatin1Char(','), Qt::SkipEmptyParts);
  QTimer scriptTimer;
  if (!steps.isEmpty()) {
    scriptTimer.setInterval(1000);
    QObject::connect(&scriptTimer, &QTimer::timeout, &window, [&steps, &window, &scriptTimer] {
      if (steps.isEmpty()) {
        scriptTimer.stop();
        return;
      }
      const QString step = steps.first();
      if (step == QLatin1String("waitcut") && window.station().Status().eventsCut == 0) {
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
               static_cast<unsigned long long>(status.eventsRecorded),
               static_cast<unsigned long long>(status.eventsCut));
  return window.fatalText().empty() ? 0 : 1;
}

}  // namespace ombrix
