#pragma once

#include "app/command_line.h"

namespace ombrix {

// Opens the station's window on the source the command line names and runs until File > Exit,
// SIGINT, SIGTERM, SIGHUP or the end of the desktop session (each runs the Exit order). Returns
// the exit code: 0, 1 when the station ended on a failure it cannot go on from (another station
// holds the base folder, say), 2 without a display.
int RunWindow(int argc, char** argv, const CommandLine& command);

}  // namespace ombrix
