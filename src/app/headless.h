#pragma once

#include "app/command_line.h"

namespace ombrix {

// Runs the station without a window until --duration runs out, a replayed file is done, a
// fatal notice arrives, or SIGINT, SIGTERM or SIGHUP arrives (SIGPIPE is ignored). Prints the
// station's notices on standard error (StandardErrorNoticeSink: events recorded, cut and deleted,
// every failure) and the status on standard output: the live line once a second on a terminal,
// else one summary line a minute (--status-interval sets either). Tells systemd when it runs,
// stops and is alive (see ServiceNotifier). Returns the process exit code: 0, or 1 when a
// replayed file cannot be read, another station holds the base folder, the run ended on a fatal
// notice or no frame arrived during the whole run.
int RunHeadless(const CommandLine& command);

}  // namespace ombrix
