#include "outbox/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/file.h"

extern char** environ;

namespace ombrix {
namespace {

// Spawn's attributes and file actions, destroyed with their owner.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  bool actionsMade = posix_spawn_file_actions_init(&actions) == 0;
  bool attributesMade = posix_spawnattr_init(&attributes) == 0;
  SpawnSetup() = default;
  ~SpawnSetup() {
    if (actionsMade) {
      posix_spawn_file_actions_destroy(&actions);
    }
    if (attributesMade) {
      posix_spawnattr_destroy(&attributes);
    }
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

void Keep(std::string& output, std::string_view data) {
  output.append(data);
  if (output.size() > ChildProcess::kOutputKept) {
    output.erase(0, output.size() - ChildProcess::kOutputKept);
  }
}

}  // namespace

ChildResult ChildProcess::Run(const std::vector<std::string>& argv, std::stop_token stop,
                              std::chrono::milliseconds timeout, std::chrono::milliseconds grace) {
  ChildResult result;
  int fds[2] = {-1, -1};
  if (argv.empty()) {
    result.output = "nothing to start";
    return result;
  }
  if (pipe2(fds, O_CLOEXEC) != 0) {
    result.output = std::string("cannot make a pipe: ") + std::strerror(errno);
    return result;
  }
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);
  SpawnSetup setup;
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  const bool prepared =
      setup.actionsMade && setup.attributesMade &&
      posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0) ==
          0 &&
      posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDOUT_FILENO) == 0 &&
      posix_spawn_file_actions_adddup2(&setup.actions, writeEnd.get(), STDERR_FILENO) == 0 &&
      // Nothing else of this process (a library's socket made without close-on-exec: the web
      // page's, the broker's) goes with it.
      posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1) == 0 &&
      // Its own process group, so that a stop reaches the programs it starts too.
      posix_spawnattr_setpgroup(&setup.attributes, 0) == 0 &&
      posix_spawnattr_setsigdefault(&setup.attributes, &defaults) == 0 &&
      posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF) ==
          0;
  if (!prepared) {
    result.output = "cannot prepare the start of " + argv[0];
    return result;
  }
  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  pid_t pid = -1;
  if (const int error =
          posix_spawnp(&pid, args[0], &setup.actions, &setup.attributes, args.data(), environ);
      error != 0) {
    result.output = "cannot start " + argv[0] + ": " + std::strerror(error);
    return result;
  }
  result.started = true;
  writeEnd.Close();

  using Steady = std::chrono::steady_clock;
  const Steady::time_point deadline = Steady::now() + timeout;
  std::optional<Steady::time_point> killAt;  // set once SIGTERM has been sent
  bool open = true;
  int status = 0;
  bool reaped = false;
  for (;;) {
    // Read what came (the pipe's end comes when the last holder of it is gone), then look whether
    // the child has ended; a program it left behind holding the pipe does not keep this waiting.
    pollfd poller{readEnd.get(), POLLIN, 0};
    if (open ? poll(&poller, 1, 100) > 0 : (usleep(20000), false)) {
      char buffer[4096];
      const ssize_t got = read(readEnd.get(), buffer, sizeof buffer);
      if (got > 0) {
        Keep(result.output, std::string_view(buffer, static_cast<size_t>(got)));
      } else {
        open = got < 0 && errno == EINTR;
      }
    }
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) {
      reaped = done == pid;
      break;
    }
    const Steady::time_point now = Steady::now();
    if (!killAt && (stop.stop_requested() || now >= deadline)) {
      result.stopped = stop.stop_requested();
      Keep(result.output, stop.stop_requested() ? "\n(stopped)" : "\n(timed out)");
      kill(-pid, SIGTERM);
      killAt = now + grace;
    } else if (killAt && now >= *killAt) {
      kill(-pid, SIGKILL);
      killAt = Steady::time_point::max();
    }
  }
  // What it wrote last, still in the pipe.
  char buffer[4096];
  for (pollfd poller{readEnd.get(), POLLIN, 0}; open && poll(&poller, 1, 0) > 0;) {
    const ssize_t got = read(readEnd.get(), buffer, sizeof buffer);
    open = got > 0;
    if (open) {
      Keep(result.output, std::string_view(buffer, static_cast<size_t>(got)));
    }
  }
  if (!reaped) {
    Keep(result.output, "\n(its end could not be had)");
  } else if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace ombrix
