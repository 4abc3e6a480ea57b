#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace ombrix {

// The review on the command line: `ombrix events|export|composite|average|recalc|mark|delete
// ...`, each a thin wrapper over the review library, working on the base folder configured in
// config.txt. Results go to out, the messages the window would show in a box to err.

// Whether the first argument names one of the review commands.
bool IsReviewCommand(const std::vector<std::string>& args);

// Runs it. Exit code 0 on success, 1 when there is nothing to act on (no such event, no movie
// yet, no pictures in the stretch) or the output could not be written, 2 on bad arguments.
int RunReviewCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

std::string ReviewUsage();

}  // namespace ombrix
