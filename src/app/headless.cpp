#include "app/headless.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "app/service_notify.h"
#include "app/status_output.h"
#include "app/stop_signals.h"
#include "base/frame.h"
#include "station/station.h"
#include "web/web_server.h"

namespace ombrix {
namespace {

// The status lines on standard output. Output errors are not the station's failures: a closed
// standard output only loses the lines.
class Printer {
 public:
  void Line(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    if (std::fflush(stdout) != 0) {
      std::clearerr(stdout);
    }
  }

 private:
  std::mutex mutex_;
};

std::string StatusLine(const StationStatus& status) {
  char tail[96];
  std::snprintf(tail, sizeof tail, "  pixels %d  frames lost %" PRIu64, status.pixelCount,
                status.framesLost);
  return LiveStatusText(status.newestCapture, status.enabled) + tail;
}

}  // namespace

int RunHeadless(const CommandLine& command) {
  StopSignals stopSignals;  // first: a hang-up or a closed output may come at any time
  Printer printer;
  ServiceNotifier notifier;  // outlives the station, whose detection thread calls it
  std::atomic<bool> fatal{false};
  StationSetup setup;
  setup.source = command.source;
  setup.enableAtStart = command.enable;
  setup.detectionPassDone = [&notifier] { notifier.DetectionPassDone(); };
  setup.notice = [&fatal, print = StandardErrorNoticeSink()](const Notice& notice) {
    print(notice);
    if (notice.severity == Severity::kFatal) {
      fatal.store(true);  // the run ends, with exit code 1
    }
  };
  Station station(std::move(setup));
  const StartResult started = station.Start();
  if (started == StartResult::kFolderInUse ||
      (started == StartResult::kNoVideo && command.source.kind == SourceKind::kFile)) {
    station.Stop();  // the reason has been said; a replay that cannot begin ends at once
    return 1;
  }
  notifier.Ready();
  // After the station has started, stopped before it stops.
  std::unique_ptr<WebServer> web =
      StartWebPage(station, command.web.value_or(station.settings()->webListen));

  const auto began = std::chrono::steady_clock::now();
  std::optional<std::chrono::milliseconds> statusInterval;
  if (command.statusInterval_s) {
    statusInterval = std::chrono::milliseconds(std::llround(*command.statusInterval_s * 1000));
  }
  StatusOutput status(StatusFormFor(STDOUT_FILENO), statusInterval, began);
  const auto summary = [&station, &status](std::chrono::steady_clock::time_point now) {
    const StationStatus s = station.Status();
    StationFigures f;
    f.frames = s.framesRead;
    f.framesLost = s.framesLost;
    f.eventsRecorded = s.eventsRecorded;
    f.eventsCut = s.eventsCut;
    f.freeFraction = station.FreeFraction();
    return status.Summary(f, now);
  };
  const bool fastReplay = command.source.kind == SourceKind::kFile && command.source.fast;
  while (!stopSignals.Wait(std::chrono::milliseconds(50)) && !fatal.load()) {
    const auto now = std::chrono::steady_clock::now();
    const StationStatus s = station.Status();
    if (status.Due(now)) {
      const std::string line = status.form() == StatusForm::kLive ? StatusLine(s) : summary(now);
      printer.Line(line);
      notifier.Status(line);
      if (fastReplay) {
        const double elapsed_s = std::chrono::duration<double>(now - began).count();
        char text[160];
        std::snprintf(text, sizeof text,
                      "Progress: %" PRIu64 " of %" PRId64 " frames, %.1fx real time", s.framesRead,
                      s.replayFrames,
                      elapsed_s > 0 ? s.framesRead / kFramesPerSecond / elapsed_s : 0.0);
        printer.Line(text);
      }
    }
    if ((command.duration_s &&
         std::chrono::duration<double>(now - began).count() >= *command.duration_s) ||
        s.replayDone) {
      break;
    }
  }
  printer.Line("Stopping...");
  notifier.Stopping();
  web.reset();
  station.Stop();
  const StationStatus end = station.Status();
  printer.Line(status.form() == StatusForm::kLive ? StatusLine(end)
                                                  : summary(std::chrono::steady_clock::now()));
  char text[128];
  std::snprintf(text, sizeof text, "Stopped: %" PRIu64 " events recorded, %" PRIu64 " cut.",
                end.eventsRecorded, end.eventsCut);
  printer.Line(text);
  if (fatal.load()) {
    return 1;  // the fatal notice said why
  }
  if (end.framesStored == 0) {
    // A station that never saw a frame recorded nothing: whoever started it must know.
    station.notices().Say(Severity::kError, kStationTopic,
                          command.source.kind == SourceKind::kFile
                              ? "The video file held no picture that could be read."
                              : "No video was received during the whole run.");
    return 1;
  }
  const int32_t gap = station.settings()->triggerGap;
  if (command.source.kind == SourceKind::kFile && end.framesStored <= static_cast<uint64_t>(gap)) {
    // Each frame is compared with the one triggerGap frames before it: a still image or a clip
    // this short can show no event, and a replay that looked at nothing must not pass for one
    // that found nothing.
    station.notices().Say(Severity::kError, kStationTopic,
                          "The video file is no longer than the trigger gap (" +
                              std::to_string(end.framesStored) + " of " + std::to_string(gap) +
                              " frames): nothing could be detected in it.");
    return 1;
  }
  return 0;
}

}  // namespace ombrix
