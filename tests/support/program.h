#pragma once

// The real program (OMBRIX_BINARY, defined by the test target) in a child process.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ombrix::test {

// The real program with --headless and these arguments, HOME given, no XDG or systemd variables
// but those in environment; its standard output and error on a pipe, or on a pseudo-terminal.
class Program {
 public:
  Program(const std::filesystem::path& home, std::vector<std::string> args, bool terminal = false,
          const std::vector<std::string>& environment = {}) {
    int fds[2] = {-1, -1};
    std::fflush(nullptr);
    const bool piped = terminal || pipe(fds) == 0;
    EXPECT_TRUE(piped);
    pid_ = terminal ? forkpty(&fd_, nullptr, nullptr, nullptr) : fork();
    if (pid_ == 0) {
      setenv("HOME", home.c_str(), 1);
      for (const char* name : {"XDG_DATA_HOME", "XDG_DOCUMENTS_DIR", "XDG_CONFIG_HOME",
                               "NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) {
        unsetenv(name);
      }
      for (const std::string& variable : environment) {
        const size_t equals = variable.find('=');
        setenv(variable.substr(0, equals).c_str(), variable.substr(equals + 1).c_str(), 1);
      }
      if (!terminal) {
        dup2(fds[1], STDOUT_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
      }
      std::vector<char*> argv{const_cast<char*>(OMBRIX_BINARY), const_cast<char*>("--headless")};
      for (std::string& arg : args) {
        argv.push_back(arg.data());
      }
      argv.push_back(nullptr);
      execv(OMBRIX_BINARY, argv.data());
      _exit(127);
    }
    if (!terminal) {
      close(fds[1]);
      fd_ = fds[0];
    }
  }
  ~Program() {
    CloseOutput();
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // The next line that begins with prefix; empty at the end of output or of the time.
  std::string WaitForLine(const std::string& prefix) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    do {
      for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (line.starts_with(prefix)) {
          return line;
        }
      }
    } while (Fill(deadline));
    return {};
  }
  // Everything not yet read until the program closes its output.
  std::string ReadAll(std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Fill(deadline)) {
    }
    return std::exchange(pending_, {});
  }
  // A reader that goes away, as `| head` does.
  void CloseOutput() {
    if (fd_ >= 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  void Signal(int signal) { kill(pid_, signal); }
  // Drains the output; the exit code, 128 + signal, or -1 (killed) past the limit.
  int Wait(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    ReadAll(limit);
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      status = -1;
    }
    waited_ = true;
    return status == -1 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  // Appends what the program writes next; false at the end of the output or the deadline.
  bool Fill(std::chrono::steady_clock::time_point deadline) {
    while (fd_ >= 0 && std::chrono::steady_clock::now() < deadline) {
      pollfd readable{fd_, POLLIN, 0};
      if (poll(&readable, 1, 100) <= 0) {
        continue;
      }
      char buffer[4096];
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {  // the end of the pipe, or EIO once the terminal's last writer is gone
        CloseOutput();
        return false;
      }
      pending_.append(buffer, static_cast<size_t>(n));
      return true;
    }
    return false;
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  std::string pending_;
  bool waited_ = false;
};

}  // namespace ombrix::test
