#pragma once

#include <chrono>
#include <cstddef>
#include <stop_token>
#include <string>
#include <vector>

namespace ombrix {

// How a child program ended.
struct ChildResult {
  bool started = false;  // false: it could not be started (output says why)
  bool stopped = false;  // the stop token ended it before it finished
  int exitCode = -1;     // its exit code; -1 when it ended by a signal or did not start
  int signal = 0;        // the signal that ended it
  std::string output;    // its standard output and error together, the last kOutputKept bytes
};

// Runs a program with this argument vector (argv[0] looked up on PATH; no shell), its standard
// input empty and its standard output and error captured together, and waits for its end. When
// stop is requested, or it runs past timeout, the child and everything it started (one process
// group) get SIGTERM, then SIGKILL after grace; the child is always reaped before this returns.
class ChildProcess {
 public:
  static constexpr size_t kOutputKept = 4096;

  static ChildResult Run(const std::vector<std::string>& argv, std::stop_token stop,
                         std::chrono::milliseconds timeout,
                         std::chrono::milliseconds grace = std::chrono::seconds(2));
};

}  // namespace ombrix
