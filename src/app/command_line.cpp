#include "app/command_line.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string_view>

#include "web/listen_address.h"

namespace ombrix {
namespace {

constexpr std::string_view kVerbs[] = {"events", "export", "composite", "average", "recalc",
                                       "mark",   "delete", "mask",      "night",   "outbox"};

// Where an option may be given: "station" (the window and --headless) or the names of review
// commands; "*" everywhere.
struct Option {
  const char* name;
  bool takesValue;
  const char* where;
};

constexpr Option kOptions[] = {
    {"--headless", false, "station"},
    {"--help", false, "station"},
    {"-h", false, "station"},
    {"--version", false, "station"},
    {"--fast", false, "station"},
    {"--enable", false, "station"},
    {"--device-properties", false, "station"},
    {"--source", true, "station"},
    {"--start", true, "station"},
    {"--sim-rate", true, "station"},
    {"--sim-truth", true, "station"},
    {"--sim-objects", true, "station"},
    {"--status-interval", true, "station"},
    {"--web", true, "station"},
    {"--script", true, "station"},
    {"--duration", true, "station composite average mark night"},
    {"--from", true, "composite average mark night"},
    {"--pseudo-color", true, "export"},
    {"--tracking-box", true, "export"},
    {"--seconds", true, "mask"},
    {"--config", true, "*"},
};

bool AllowedIn(const Option& option, const std::string& context) {
  const std::string_view where = option.where;
  if (where == "*") {
    return true;
  }
  size_t at = 0;
  while (at <= where.size()) {
    const size_t end = std::min(where.find(' ', at), where.size());
    if (where.substr(at, end - at) == context) {
      return true;
    }
    at = end + 1;
  }
  return false;
}

bool ParseDouble(const std::string& text, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size();
}

bool ParseWhole(const std::string& text, size_t maxDigits, uint64_t& value) {
  if (text.empty() || text.size() > maxDigits ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  value = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

std::optional<bool> OnOff(const std::string& value) {
  if (value == "on" || value == "off") {
    return value == "on";
  }
  return std::nullopt;
}

// Takes one option's value into the command line; the reason it is wrong, or empty text.
std::string TakeValue(const std::string& name, const std::string& v, bool review,
                      CommandLine& line) {
  const auto wrong = [&](const std::string& wanted) {
    return name + " needs " + wanted + ", not '" + v + "'";
  };
  if (name == "--config") {
    if (v.empty()) {
      return "--config needs the path of a configuration file";
    }
    line.configPath = v;
  } else if (name == "--source") {
    SourceSpec& s = line.source;
    uint64_t seed = 1;
    if (v == "v4l2") {
      s.kind = SourceKind::kDevice;
    } else if (v == "sim" || v.starts_with("sim:")) {
      s.kind = SourceKind::kSimulated;
      if (v.size() > 4 && (!ParseWhole(v.substr(4), 10, seed) || seed > UINT32_MAX)) {
        return "--source sim:SEED needs a whole number seed, not '" + v.substr(4) + "'";
      }
      s.simSeed = static_cast<uint32_t>(seed);
    } else if (v.starts_with("file:") && v.size() > 5) {
      s.kind = SourceKind::kFile;
      s.filePath = v.substr(5);
    } else {
      return "unknown source '" + v + "' (use sim[:SEED], file:PATH or v4l2)";
    }
  } else if (name == "--start" || name == "--from") {
    const std::optional<UtcTime> time = ParseIsoUtc(v);
    if (!time) {
      return wrong("an ISO 8601 UTC time such as 2024-03-15T21:14:50Z");
    }
    (name == "--start" ? line.source.start : line.from) = time;
  } else if (name == "--sim-rate") {
    if (!ParseDouble(v, line.source.simRate) || !(line.source.simRate >= 0) ||
        line.source.simRate > 600) {
      return wrong("a number of meteors per minute from 0 to 600");
    }
  } else if (name == "--sim-truth") {
    line.source.simTruthPath = v;
  } else if (name == "--sim-objects") {
    if (const std::optional<std::string> why = SimulatedObjectsProblem(v)) {
      return "--sim-objects: " + *why;
    }
    line.source.simObjects = v;
  } else if (name == "--web") {
    std::string why;
    if (!ParseListenAddress(v, why)) {
      return "--web: " + why;
    }
    line.web = v;
  } else if (name == "--script") {
    line.script = v;
  } else if (name == "--status-interval") {
    double seconds = 0;
    if (!ParseDouble(v, seconds) || !(seconds >= 0) || seconds > 1e6) {
      return wrong("a number of seconds from 0 to 1000000");
    }
    line.statusInterval_s = seconds;
  } else if (name == "--duration" && review) {
    uint64_t seconds = 0;
    if (!ParseWhole(v, 9, seconds)) {
      return wrong("a whole number of seconds");
    }
    line.stretch_s = static_cast<int64_t>(seconds);
  } else if (name == "--seconds") {
    double seconds = 0;
    if (!ParseDouble(v, seconds) || !(seconds > 0) || seconds > 1e6) {
      return wrong("a number of seconds above 0, at most 1000000");
    }
    line.learnSeconds = seconds;
  } else if (name == "--duration") {
    double seconds = 0;
    if (!ParseDouble(v, seconds) || !(seconds > 0) || seconds > 1e9) {
      return wrong("a positive number of seconds");
    }
    line.duration_s = seconds;
  } else {  // --pseudo-color, --tracking-box
    const std::optional<bool> on = OnOff(v);
    if (!on) {
      return name + " takes on or off, not '" + v + "'";
    }
    (name == "--pseudo-color" ? line.pseudoColor : line.trackingBox) = on;
  }
  return {};
}

void TakeFlag(const std::string& name, CommandLine& line, bool& headless, bool& help, bool& version,
              bool& properties) {
  if (name == "--headless") {
    headless = true;
  } else if (name == "--help" || name == "-h") {
    help = true;
  } else if (name == "--version") {
    version = true;
  } else if (name == "--fast") {
    line.source.fast = true;
  } else if (name == "--enable") {
    line.enable = true;
  } else {
    properties = true;
  }
}

}  // namespace

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string& error) {
  CommandLine line;
  const bool review =
      !args.empty() && std::find(std::begin(kVerbs), std::end(kVerbs), args[0]) != std::end(kVerbs);
  const std::string context = review ? args[0] : "station";
  if (review) {
    line.mode = Mode::kReview;
    line.verb = args[0];
  }
  bool headless = false, help = false, version = false, properties = false;
  for (size_t i = review ? 1 : 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const auto option = std::find_if(std::begin(kOptions), std::end(kOptions),
                                     [&arg](const Option& o) { return arg == o.name; });
    if (option == std::end(kOptions) || !AllowedIn(*option, context)) {
      if (review && !arg.starts_with("--")) {
        line.positional.push_back(arg);
        continue;
      }
      error = review ? "unknown option '" + arg + "' for " + line.verb
                     : "unknown argument '" + arg + "'";
      return std::nullopt;
    }
    if (!option->takesValue) {
      TakeFlag(arg, line, headless, help, version, properties);
      continue;
    }
    if (i + 1 >= args.size()) {
      error = arg + " needs a value";
      return std::nullopt;
    }
    error = TakeValue(arg, args[++i], review, line);
    if (!error.empty()) {
      return std::nullopt;
    }
  }
  if (line.verb == "mask") {
    // mask learn SOURCE OUT.png: SOURCE as --source takes it.
    if (line.positional.size() != 3 || line.positional[0] != "learn") {
      error = "usage: ombrix mask learn SOURCE OUT.png [--seconds N]";
      return std::nullopt;
    }
    error = TakeValue("--source", line.positional[1], review, line);
    if (!error.empty()) {
      return std::nullopt;
    }
  }
  if (line.source.fast && line.source.kind != SourceKind::kFile) {
    error = "--fast needs --source file:PATH";
    return std::nullopt;
  }
  if (line.source.start && line.source.kind != SourceKind::kFile) {
    error = "--start needs --source file:PATH";
    return std::nullopt;
  }
  if (line.from && line.stretch_s &&
      *line.from + std::chrono::seconds(*line.stretch_s) > kLastStampTime) {
    error =
        "the stretch of --from and --duration ends past 9999-12-31T23:59:59Z, the last time "
        "a file name can hold";
    return std::nullopt;
  }
  if (!review) {
    line.mode = help         ? Mode::kHelp
                : version    ? Mode::kVersion
                : properties ? Mode::kDeviceProperties
                : headless   ? Mode::kHeadless
                             : Mode::kWindow;
  }
  return line;
}

std::string Usage() {
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
         "  --web ADDR:PORT   serve the web page there (instead of the webListen setting), e.g.\n"
         "                    127.0.0.1:8080 or [::1]:8080; port 0: a free one\n"
         "  --device-properties  print the controls of the configured capture device and exit\n"
         "  --help, --version\n"
         "Stop with Ctrl+C (SIGINT), SIGTERM or SIGHUP.\n"
         "Exit code 1 when a replayed file cannot be read or is no longer than the trigger gap,\n"
         "no video arrived during the whole run, another station records into the same base\n"
         "folder, or the station stopped on a failure it cannot go on from (encoder not\n"
         "available); 2 on bad arguments.\n"
         "\n"
         "Review of the stored events (on the base folder of config.txt):\n"
         "  ombrix events                list the events: key, start, end, seconds, j/m/c files\n"
         "                               and the verdict on its time history\n"
         "  ombrix export KEY OUT.mp4|OUT.mpg [--pseudo-color on|off] [--tracking-box on|off]\n"
         "                               re-encode the event's movie (defaults: the settings)\n"
         "  ombrix composite KEY OUT.png|OUT.jpg\n"
         "                               the event's composite (its peak image, or the archive's)\n"
         "  ombrix composite --from TIME --duration S OUT.png|OUT.jpg\n"
         "                               composite of the archive's peak images (1.5 s wider)\n"
         "  ombrix average --from TIME --duration S OUT.png|OUT.jpg\n"
         "                               fold the integrated images of that stretch\n"
         "  ombrix recalc KEY            recompute azimuth and elevation of the time history\n"
         "  ombrix mark --from TIME --duration S\n"
         "                               store the stretch as an event and cut it from the "
         "archive\n"
         "  ombrix delete KEY            delete the event's e, c, j and m files\n"
         "  ombrix mask learn SOURCE OUT.png [--seconds N]\n"
         "                               learn a mask from the sky (SOURCE as --source) for N\n"
         "                               seconds (default 60; a file: all of it) and write it\n"
         "                               strong red where masked, for Read Mask File\n"
         "  ombrix night [DATE] OUTDIR [--from TIME --duration S]\n"
         "                               the night summary of the night beginning on the local\n"
         "                               evening of DATE (YYYY-MM-DD, noon to noon; default the\n"
         "                               night under way or last ended) or of the stretch:\n"
         "                               keogram.png, startrails.png, timelapse.mp4, events.svg,\n"
         "                               skymap.svg and summary.json in OUTDIR\n"
         "  ombrix outbox [retry]        the deliveries to the collector that wait or were\n"
         "                               dropped, oldest first, with their tries and last error;\n"
         "                               retry: try every waiting one now (a running station\n"
         "                               takes them within a few seconds)\n"
         "  KEY is an event's Stamp (YYYYMMDD_hhmmss_mmm); TIME is UTC, e.g. "
         "2024-03-15T21:14:50Z.\n"
         "  --config PATH names the configuration file (and so the base folder) to use.\n"
         "  Exit code 0 on success, 1 when there is nothing to act on, 2 on bad arguments.\n";
}

}  // namespace ombrix
