#pragma once

#include <ostream>

#include "app/command_line.h"

namespace ombrix {

// The review on the command line: `ombrix events|export|composite|average|recalc|mark|delete
// ...`, each a thin wrapper over the review library, working on the base folder configured in
// config.txt; and `ombrix mask learn`, a thin wrapper over the station's mask learning. Results go
// to out, the messages the window would show in a box to err. Exit code 0 on success, 1 when there
// is nothing to act on (no such event, no movie yet, nothing in the stretch) or the output could
// not be written, 2 on bad arguments.
int RunReviewCommand(const CommandLine& command, std::ostream& out, std::ostream& err);

}  // namespace ombrix
