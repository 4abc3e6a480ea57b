#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "capture/capture_source.h"
#include "capture/pacer.h"
#include "capture/simulated_sky.h"
#include "capture/v4l2_device.h"
#include "station/station.h"

namespace ombrix {

enum class SourceKind { kDevice, kSimulated, kFile };

// The command line of `ombrix` (the window) and `ombrix --headless`.
struct HeadlessOptions {
  SourceKind source = SourceKind::kDevice;
  uint32_t simSeed = 1;
  std::string filePath;
  bool fast = false;
  std::optional<UtcTime> start;    // virtual start time of a replayed file
  double simRate = 1.0;            // meteors per minute
  SimulatedSkyOptions simObjects;  // --sim-objects: the sky's lies (its seed and rate unused)
  std::string simTruthPath;
  bool enable = false;
  std::optional<double> duration_s;
  std::string configPath;                  // --config: read and save this file instead
  std::optional<double> statusInterval_s;  // --status-interval; 0: no periodic status line
  bool deviceProperties = false;           // print the capture device's controls and exit
  bool headless = false;                   // --headless: no window
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name ("--headless" itself is accepted and ignored).
// nullopt with a message in error when they are wrong.
std::optional<HeadlessOptions> ParseHeadlessArguments(const std::vector<std::string>& args,
                                                      std::string& error);

// "2024-03-15T21:14:50Z" (the Z may be left out; always UTC), in the years 1900 to 9999, to its
// time; nullopt for any other text.
std::optional<UtcTime> ParseIsoUtc(const std::string& text);

std::string HeadlessUsage();

class FileSource;

// What a capture source uses that must outlive it.
struct SourceParts {
  SystemClock clock;
  SteadyPacer pacer;
  SystemV4l2Device device;
};

// The StationOptions the source options ask for (time base, pace of a fast replay).
void AdaptStationOptions(const HeadlessOptions& options, StationOptions& stationOptions);

// The capture source the options name, for the station (not started), saying what it has to say
// through the station's notices. For a video file, *fileSource (when given) points at it.
std::unique_ptr<CaptureSource> MakeCaptureSource(const HeadlessOptions& options, Station& station,
                                                 SourceParts& parts, FileSource** fileSource);

// Runs the station without a window until --duration runs out, a replayed file is done, a
// fatal notice arrives, or SIGINT, SIGTERM or SIGHUP arrives (SIGPIPE is ignored). Prints the
// station's notices on standard error (StandardErrorNoticeSink: events recorded, cut and deleted,
// every failure) and the status on standard output: the live line once a second on a terminal,
// else one summary line a minute (--status-interval sets either). Tells systemd when it runs,
// stops and is alive (see ServiceNotifier). Returns the process exit code: 0, or 1 when a
// replayed file cannot be read, the run ended on a fatal notice or no frame arrived during the
// whole run.
int RunHeadless(const HeadlessOptions& options);

}  // namespace ombrix
