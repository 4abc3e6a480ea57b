#include "app/stop_signals.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <thread>

namespace ombrix {
namespace {

// The write end of the pipe; the handler only writes one byte to it.
int signalPipeWrite = -1;

extern "C" void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(signalPipeWrite, &byte, 1);
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

StopSignals::StopSignals() {
  if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
    fds_[0] = fds_[1] = -1;
    return;
  }
  signalPipeWrite = fds_[1];
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int s : kStopSignals) {
    sigaction(s, &action, nullptr);
  }
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

StopSignals::~StopSignals() {
  for (const int s : kStopSignals) {
    signal(s, SIG_DFL);
  }
  signalPipeWrite = -1;
  for (const int fd : fds_) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

bool StopSignals::Wait(std::chrono::milliseconds timeout) {
  pollfd readable{fds_[0], POLLIN, 0};
  if (fds_[0] < 0) {
    std::this_thread::sleep_for(timeout);  // no pipe: the signals keep their default
    return false;
  }
  if (poll(&readable, 1, static_cast<int>(timeout.count())) <= 0) {
    return false;
  }
  char buffer[16];
  while (read(fds_[0], buffer, sizeof buffer) > 0) {
  }
  return true;
}

}  // namespace ombrix
