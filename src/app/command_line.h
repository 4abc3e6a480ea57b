#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/utc_time.h"
#include "station/station.h"

namespace ombrix {

// What `ombrix` was asked to do.
enum class Mode {
  kWindow,            // the station with its window (the default)
  kHeadless,          // --headless: the station without a window
  kDeviceProperties,  // --device-properties: print the capture device's controls
  kReview,  // a review command: events, export, composite, average, recalc, mark, delete, mask,
            // night, outbox
  kHelp,
  kVersion,
};

// The whole command line, read by one parser for every mode.
struct CommandLine {
  Mode mode = Mode::kWindow;
  std::string configPath;  // --config: read and save this file instead of the default one
  // The station.
  SourceSpec source;
  bool enable = false;
  std::optional<double> duration_s;        // --duration: stop after this long
  std::optional<double> statusInterval_s;  // --status-interval; 0: no periodic status line
  std::optional<std::string> web;          // --web ADDR:PORT: listen there instead of webListen
  // --script STEPS (hidden, for the screenshot script): a comma-separated list run one step a
  // second after the window's start-up: "waitcut", "next", "replay", "hide", "exit".
  std::string script;
  // A review command: its name, its other words, and its options.
  std::string verb;
  std::vector<std::string> positional;
  std::optional<UtcTime> from;
  std::optional<int64_t> stretch_s;  // --duration of a stretch: whole seconds
  std::optional<bool> pseudoColor;
  std::optional<bool> trackingBox;
  std::optional<double> learnSeconds;  // mask learn --seconds (its SOURCE goes to source)
};

// Reads the arguments after the program name; nullopt with the reason in error when they are
// wrong (exit code 2).
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& args,
                                            std::string& error);

std::string Usage();

}  // namespace ombrix
