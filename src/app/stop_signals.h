#pragma once

#include <chrono>

namespace ombrix {

// SIGINT, SIGTERM and SIGHUP ask the program to stop in order: their handler only writes a byte
// to a self-pipe, which the headless runner waits on and the window watches. SIGPIPE is ignored:
// a reader of standard output that goes away (`ombrix ... | head`) must not end the recording.
// One at a time; the default handlers are put back when it goes.
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Readable once a stop signal has come.
  int fd() const { return fds_[0]; }
  // Waits up to timeout for a stop signal; true (the pipe drained) when one has come.
  bool Wait(std::chrono::milliseconds timeout);

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace ombrix
