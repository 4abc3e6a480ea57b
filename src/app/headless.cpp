#include "app/headless.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>

#include "app/service_notify.h"
#include "app/status_output.h"
#include "base/folders.h"
#include "base/frame.h"
#include "base/utc_time.h"
#include "capture/device_source.h"
#include "capture/file_source.h"
#include "capture/simulated_sky.h"
#include "capture/v4l2_device.h"
#include "config/config_file.h"
#include "media/codec_lock.h"
#include "station/station.h"

namespace ombrix {
namespace {

std::atomic<bool> stopSignalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnStopSignal(int) {
  stopSignalled.store(true);
}

// SIGINT, SIGTERM and SIGHUP (the terminal or the session went away) stop the station in order.
// SIGPIPE is ignored: a reader of standard output that goes away (`ombrix ... | head`) makes
// the status lines fail, which must not end the recording.
void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

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

bool ParseDouble(const std::string& text, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size();
}

bool ParseUnsigned(const std::string& text, uint32_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
      text.size() > 10) {
    return false;
  }
  const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
  if (v > UINT32_MAX) {
    return false;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

std::string StatusLine(const Station& station) {
  const std::optional<UtcTime> newest = station.NewestCapture();
  const CalendarFields t = newest ? BreakUtcTime(*newest) : CalendarFields{};
  char text[160];
  std::snprintf(text, sizeof text,
                "UTC %02d/%02d/%02d %02d:%02d:%02d %s  pixels %d  frames lost %" PRIu64, t.month,
                t.day, t.year, t.hour, t.minute, t.second,
                station.settings()->enabled ? "Enabled" : "Disabled", station.PixelCount(),
                station.FramesLost());
  return text;
}

}  // namespace

std::optional<UtcTime> ParseIsoUtc(const std::string& text) {
  CalendarFields f;
  char tail[4] = {};
  const int n = std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%3s", &f.year, &f.month, &f.day,
                            &f.hour, &f.minute, &f.second, tail);
  if (n < 6 || (n == 7 && std::string(tail) != "Z")) {
    return std::nullopt;
  }
  return MakeUtcTime(f);  // a day past the end of its month is refused, not carried
}

std::string HeadlessUsage() {
  return "Usage: ombrix [--headless] [options]\n"
         "  --headless        run without a window (else the station's window opens; it needs\n"
         "                    a display)\n"
         "  --source SOURCE   sim[:SEED] (simulated sky), file:PATH (a video replayed as a "
         "camera)\n"
         "                    or v4l2 (the configured capture device; the default)\n"
         "  --fast            replay a file as fast as the station can process it, then stop\n"
         "  --start TIME      virtual UTC start of a replayed file, e.g. 2024-03-15T21:14:50Z\n"
         "                    (default: the file's creation time, else now)\n"
         "  --sim-rate N      mean number of simulated meteors per minute (default 1)\n"
         "  --sim-objects LIST  what else the simulated sky shows: satellites, aircraft,\n"
         "                    lightning, clouds (each =N an hour), clock, hotpixels (=N pixels)\n"
         "                    or all, separated by commas\n"
         "  --sim-truth PATH  write one line per simulated meteor or object drawn, with its kind\n"
         "  --enable          arm detection at start, as \"Enable Now\" does\n"
         "  --duration SECONDS  stop after this long\n"
         "  --config PATH     read (and save) this configuration file instead of\n"
         "                    ~/.local/share/Ombrix/config.txt\n"
         "  --status-interval SECONDS  seconds between status lines (default 1 on a terminal,\n"
         "                    else 60 with one summary line each; 0: none)\n"
         "  --device-properties  print the controls of the configured capture device and exit\n"
         "  --help, --version\n"
         "Stop with Ctrl+C (SIGINT), SIGTERM or SIGHUP.\n"
         "Exit code 1 when a replayed file cannot be read, no video arrived during the whole run\n"
         "or the station stopped on a failure it cannot go on from (encoder not available).\n";
}

std::optional<HeadlessOptions> ParseHeadlessArguments(const std::vector<std::string>& args,
                                                      std::string& error) {
  HeadlessOptions options;
  const auto fail = [&error](std::string message) -> std::optional<HeadlessOptions> {
    error = std::move(message);
    return std::nullopt;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--headless") {
      options.headless = true;
      continue;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    } else if (arg == "--version") {
      options.version = true;
      continue;
    } else if (arg == "--fast") {
      options.fast = true;
      continue;
    } else if (arg == "--enable") {
      options.enable = true;
      continue;
    } else if (arg == "--device-properties") {
      options.deviceProperties = true;
      continue;
    }
    // Every other option takes a value.
    if (arg != "--source" && arg != "--start" && arg != "--sim-rate" && arg != "--sim-truth" &&
        arg != "--sim-objects" && arg != "--duration" && arg != "--config" &&
        arg != "--status-interval") {
      return fail("unknown argument '" + arg + "'");
    }
    if (i + 1 >= args.size()) {
      return fail(arg + " needs a value");
    }
    const std::string& v = args[++i];
    if (arg == "--source") {
      if (v == "v4l2") {
        options.source = SourceKind::kDevice;
      } else if (v == "sim" || v.rfind("sim:", 0) == 0) {
        options.source = SourceKind::kSimulated;
        if (v.size() > 4 && !ParseUnsigned(v.substr(4), options.simSeed)) {
          return fail("--source sim:SEED needs a whole number seed, not '" + v.substr(4) + "'");
        }
      } else if (v.rfind("file:", 0) == 0 && v.size() > 5) {
        options.source = SourceKind::kFile;
        options.filePath = v.substr(5);
      } else {
        return fail("unknown source '" + v + "' (use sim[:SEED], file:PATH or v4l2)");
      }
    } else if (arg == "--start") {
      options.start = ParseIsoUtc(v);
      if (!options.start) {
        return fail("--start needs an ISO 8601 UTC time such as 2024-03-15T21:14:50Z, not '" + v +
                    "'");
      }
    } else if (arg == "--sim-rate") {
      if (!ParseDouble(v, options.simRate) || !(options.simRate >= 0) || options.simRate > 600) {
        return fail("--sim-rate needs a number of meteors per minute from 0 to 600, not '" + v +
                    "'");
      }
    } else if (arg == "--sim-objects") {
      std::string why;
      if (!ParseSimulatedObjects(v, options.simObjects, why)) {
        return fail("--sim-objects: " + why);
      }
    } else if (arg == "--sim-truth") {
      options.simTruthPath = v;
    } else if (arg == "--config") {
      if (v.empty()) {
        return fail("--config needs the path of a configuration file");
      }
      options.configPath = v;
    } else if (arg == "--status-interval") {
      double seconds = 0;
      if (!ParseDouble(v, seconds) || !(seconds >= 0) || seconds > 1e6) {
        return fail("--status-interval needs a number of seconds from 0 to 1000000, not '" + v +
                    "'");
      }
      options.statusInterval_s = seconds;
    } else {  // --duration
      double seconds = 0;
      if (!ParseDouble(v, seconds) || !(seconds > 0) || seconds > 1e9) {
        return fail("--duration needs a positive number of seconds, not '" + v + "'");
      }
      options.duration_s = seconds;
    }
  }
  if (options.fast && options.source != SourceKind::kFile) {
    return fail("--fast needs --source file:PATH");
  }
  if (options.start && options.source != SourceKind::kFile) {
    return fail("--start needs --source file:PATH");
  }
  return options;
}

namespace {

// The device's own controls, as the "Video..." command of the window shows them.
int ShowDeviceProperties() {
  Notices notices;
  notices.SetSink(StandardErrorNoticeSink());
  SharedSettings settings;
  ConfigReadResult read = ConfigReadResult::NoFile;
  settings.Update([&read](Settings& s) { read = ReadConfiguration(s); });
  if (read == ConfigReadResult::Failed) {
    notices.Say(Severity::kWarning, kConfigTopic, kConfigReadFailed);
  }
  SystemV4l2Device device;
  SystemClock clock;
  FrameRing ring;
  CaptureGraph graph(device, settings, clock, notices);
  if (!graph.BuildCaptureGraph(ring)) {
    notices.Say(Severity::kError, kCaptureTopic, graph.failure());
    return 1;
  }
  graph.ShowDeviceProperties(std::cout);
  graph.TearDownCaptureGraph();
  return 0;
}

}  // namespace

void AdaptStationOptions(const HeadlessOptions& options, StationOptions& stationOptions) {
  if (options.source == SourceKind::kFile) {
    stationOptions.timeBase = TimeBase::kFrameTime;
    if (options.fast) {
      stationOptions.detectionPeriod = std::chrono::milliseconds(2);
      stationOptions.extractionPeriod = std::chrono::milliseconds(200);
      stationOptions.drainBound = std::chrono::minutes(10);
      stationOptions.archive.waitWhenFull =
          true;  // a replay loses no frame, in detection or archive
    }
  }
}

std::unique_ptr<CaptureSource> MakeCaptureSource(const HeadlessOptions& options, Station& station,
                                                 SourceParts& parts, FileSource** fileSource) {
  switch (options.source) {
    case SourceKind::kDevice:
      return std::make_unique<DeviceSource>(parts.device, station.sharedSettings(), parts.clock,
                                            station.notices());
    case SourceKind::kSimulated: {
      SimulatedSkyOptions sky = options.simObjects;
      sky.seed = options.simSeed;
      sky.meteorsPerMinute = options.simRate;
      return std::make_unique<SimulatedSkySource>(sky, parts.clock, parts.pacer, station.notices(),
                                                  options.simTruthPath);
    }
    case SourceKind::kFile: {
      FileSourceOptions file;
      file.path = options.filePath;
      file.fast = options.fast;
      file.start = options.start;
      // Frames are stamped by the file's own time; the clock only stands in when it has none.
      auto made =
          std::make_unique<FileSource>(file, station.sharedSettings(), parts.clock, parts.pacer,
                                       station.notices(), &station.readProgress());
      if (fileSource != nullptr) {
        *fileSource = made.get();
      }
      return made;
    }
  }
  return nullptr;
}

int RunHeadless(const HeadlessOptions& options) {
  QuietMediaLibraryLog();
  stopSignalled.store(false);
  InstallSignalHandlers();  // first: a hang-up or a closed output may come at any time
  Printer printer;
  if (!options.configPath.empty()) {
    SetConfigurationPath(options.configPath);
  }
  if (options.deviceProperties) {
    return ShowDeviceProperties();
  }
  SourceParts parts;
  SystemClock& systemClock = parts.clock;
  StatvfsFreeSpace freeSpace;

  StationOptions stationOptions;
  stationOptions.enableAtStart = options.enable;
  AdaptStationOptions(options, stationOptions);
  ServiceNotifier notifier;  // outlives the station, whose detection thread calls it
  std::atomic<bool> fatal{false};
  StationHooks hooks;
  hooks.detectionPassDone = [&notifier] { notifier.DetectionPassDone(); };
  hooks.notice = [&fatal, print = StandardErrorNoticeSink()](const Notice& notice) {
    print(notice);
    if (notice.severity == Severity::kFatal) {
      fatal.store(true);  // the run ends, with exit code 1
    }
  };

  Station station(systemClock, freeSpace, stationOptions, hooks);

  FileSource* fileSource = nullptr;
  std::unique_ptr<CaptureSource> source = MakeCaptureSource(options, station, parts, &fileSource);

  const bool sourceStarted = station.Start(std::move(source));
  if (fileSource != nullptr && !sourceStarted) {
    // The reason has been said; a replay that cannot begin ends at once.
    station.notices().Say(Severity::kError, kVideoFileTopic,
                          "The video file " + options.filePath + " cannot be replayed.");
    station.Stop();
    return 1;
  }
  notifier.Ready();

  const auto began = std::chrono::steady_clock::now();
  std::optional<std::chrono::milliseconds> statusInterval;
  if (options.statusInterval_s) {
    statusInterval = std::chrono::milliseconds(std::llround(*options.statusInterval_s * 1000));
  }
  StatusOutput status(StatusFormFor(STDOUT_FILENO), statusInterval, began);
  const auto figures = [&station] {
    const StationStatus now = station.Status();
    StationFigures f;
    f.frames = now.framesRead;
    f.framesLost = now.framesLost;
    f.eventsRecorded = station.EventsRecorded();
    f.eventsCut = station.EventsCut();
    f.freeFraction = now.freeFraction;
    return f;
  };
  while (!stopSignalled.load() && !fatal.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto now = std::chrono::steady_clock::now();
    if (status.Due(now)) {
      const std::string line =
          status.form() == StatusForm::kLive ? StatusLine(station) : status.Summary(figures(), now);
      printer.Line(line);
      notifier.Status(line);
      if (fileSource != nullptr && options.fast) {
        const double elapsed_s = std::chrono::duration<double>(now - began).count();
        const uint64_t done = station.readProgress().Get();
        char text[160];
        std::snprintf(text, sizeof text,
                      "Progress: %" PRIu64 " of %" PRId64 " frames, %.1fx real time", done,
                      fileSource->estimatedFrameCount(),
                      elapsed_s > 0 ? done / kFramesPerSecond / elapsed_s : 0.0);
        printer.Line(text);
      }
    }
    if (options.duration_s &&
        std::chrono::duration<double>(now - began).count() >= *options.duration_s) {
      break;
    }
    if (fileSource != nullptr && fileSource->Finished() && station.FramesPending() == 0) {
      break;
    }
  }
  printer.Line("Stopping...");
  notifier.Stopping();
  station.Stop();
  printer.Line(status.form() == StatusForm::kLive
                   ? StatusLine(station)
                   : status.Summary(figures(), std::chrono::steady_clock::now()));
  char text[128];
  std::snprintf(text, sizeof text, "Stopped: %" PRIu64 " events recorded, %" PRIu64 " cut.",
                station.EventsRecorded(), station.EventsCut());
  printer.Line(text);
  if (fatal.load()) {
    return 1;  // the fatal notice said why
  }
  if (station.FramesStored() == 0) {
    // A station that never saw a frame recorded nothing: whoever started it must know.
    station.notices().Say(Severity::kError, kStationTopic,
                          fileSource != nullptr
                              ? "The video file held no picture that could be read."
                              : "No video was received during the whole run.");
    return 1;
  }
  return 0;
}

}  // namespace ombrix
