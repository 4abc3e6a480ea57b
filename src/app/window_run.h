#pragma once

#include <string>
#include <vector>

#include "app/headless.h"

namespace ombrix {

// Takes the window's own options out of args: `--script STEPS` (hidden; for the screenshot
// script), a comma-separated list run one step a second after start-up: "waitcut" (wait until
// an event has been cut), "next", "replay", "hide", "exit".
std::vector<std::string> TakeWindowOptions(const std::vector<std::string>& args,
                                           std::string& script);

// Whether a window can be opened: QT_QPA_PLATFORM, DISPLAY or WAYLAND_DISPLAY is set.
bool DisplayAvailable();

// Opens the station's window on the source the options name and runs until File > Exit, SIGINT,
// SIGTERM, SIGHUP or the end of the desktop session (each runs the Exit order). Returns the exit
// code: 0, 1 when the station ended on a failure it cannot go on from, 2 without a display.
int RunWindow(int argc, char** argv, const HeadlessOptions& options, const std::string& script);

}  // namespace ombrix
