// The station as a service: systemd's notification socket and watchdog, the status forms, the
// journal's priorities.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "app/service_notify.h"
#include "support/program.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Where systemd would listen; NOTIFY_SOCKET (and WATCHDOG_USEC) point here while it lives.
class NotifySocket {
 public:
  explicit NotifySocket(std::chrono::microseconds watchdog = 0us)
      : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path().copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", path().c_str(), 1);
    setenv("WATCHDOG_USEC", std::to_string(watchdog.count()).c_str(), 1);
  }
  ~NotifySocket() {
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    close(fd_);
  }
  std::string path() const { return (dir_ / "notify").string(); }

  // The messages within the time, up to `until`; read while the sender runs (the queue is short).
  std::vector<std::string> Receive(std::chrono::milliseconds within,
                                   const std::string& until = {}) {
    std::vector<std::string> messages;
    const auto end = std::chrono::steady_clock::now() + within;
    for (pollfd p{fd_, POLLIN, 0};
         poll(&p, 1,
              static_cast<int>(
                  std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                           end - std::chrono::steady_clock::now())
                                           .count()))) > 0;) {
      char buffer[4096];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      messages.emplace_back(buffer, static_cast<size_t>(std::max<ssize_t>(n, 0)));
      if (!until.empty() && messages.back() == until) {
        break;
      }
    }
    return messages;
  }

 private:
  test::TempDir dir_;
  int fd_;
};

size_t Count(const std::vector<std::string>& messages, const std::string& text) {
  return static_cast<size_t>(std::count(messages.begin(), messages.end(), text));
}

// Pings follow the detection passes: none while they stop coming (a hung detection thread), and
// none after STOPPING=1 although passes go on until the station stops.
TEST(ServiceNotifier, PingsOnlyWhileDetectionPassesComeAndNotAfterStopping) {
  NotifySocket socket(300ms);
  ServiceNotifier notifier;
  EXPECT_EQ(notifier.watchdogInterval(), 300ms);
  std::atomic<bool> passing{true}, done{false};
  std::thread detection([&] {
    while (!done.load()) {
      if (passing.load()) {
        notifier.DetectionPassDone();
      }
      std::this_thread::sleep_for(50ms);
    }
  });
  notifier.Ready();
  auto messages = socket.Receive(1000ms);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), "READY=1");
  EXPECT_GE(Count(messages, "WATCHDOG=1"), 3u);
  // Hung for 1.2 s, where eight pings would come. What was sent before (still queued when this
  // thread is late) and the ping for a pass under way are let go first.
  passing = false;
  socket.Receive(300ms);
  EXPECT_LE(Count(socket.Receive(1200ms), "WATCHDOG=1"), 1u);
  passing = true;
  EXPECT_GE(Count(socket.Receive(1000ms), "WATCHDOG=1"), 3u);
  notifier.Stopping();
  messages = socket.Receive(700ms);
  EXPECT_EQ(Count(messages, "STOPPING=1"), 1u);
  EXPECT_EQ(Count(messages, "WATCHDOG=1"), 0u) << "no ping after STOPPING=1";
  done = true;
  detection.join();
}

// The program tells systemd it is ready, alive (pings, status lines) and stopping.
TEST(ServiceProgram, TellsSystemdItIsReadyAliveAndStopping) {
  test::TempDir home;
  NotifySocket socket;
  std::vector<std::string> messages;
  std::thread systemd([&] { messages = socket.Receive(30s, "STOPPING=1"); });
  test::Program program(home.path(),
                        {"--source", "sim", "--duration", "2.5", "--status-interval", "1"}, false,
                        {"NOTIFY_SOCKET=" + socket.path(), "WATCHDOG_USEC=400000"});
  EXPECT_EQ(program.Wait(60s), 0);
  systemd.join();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages.front(), "READY=1");
  EXPECT_EQ(messages.back(), "STOPPING=1");
  EXPECT_EQ(Count(messages, "READY=1") + Count(messages, "STOPPING=1"), 2u);
  EXPECT_GE(Count(messages, "WATCHDOG=1"), 6u);  // every 200 ms for 2.5 s, give or take
  EXPECT_GE(std::count_if(messages.begin(), messages.end(),
                          [](const auto& m) { return m.starts_with("STATUS=Last "); }),
            2);
}

// Lines that begin with the prefix, before and after "Stopping...".
std::pair<size_t, size_t> CountBeforeAndAfterStop(const std::string& output,
                                                  const std::string& prefix) {
  size_t before = 0, after = 0;
  bool stopped = false;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.ends_with('\r')) {
      line.pop_back();
    }
    stopped = stopped || line == "Stopping...";
    if (line.starts_with(prefix)) {
      ++(stopped ? after : before);
    }
  }
  return {before, after};
}

// The status is the live line on a terminal and a summary elsewhere, each also once at the stop
// (how often: status_output_test). Notices go to standard error with the journal's priority
// where no terminal reads them: an archive folder of the config file named with --config that is
// a plain file is a warning (priority 4).
TEST(ServiceProgram, StatusIsLiveOnATerminalAndASummaryElsewhere) {
  test::TempDir home;
  const fs::path plain = home / "plain";
  test::WriteFileBytes(plain, "x");
  test::WriteFileBytes(home / "config.txt", "archiveFolder:" + plain.string() + "\r\n");
  const std::string warning =
      "The archive folder " + plain.string() + " cannot be used (Not a directory)";
  for (const bool terminal : {true, false}) {
    SCOPED_TRACE(terminal ? "terminal" : "pipe");
    test::Program program(home.path(),
                          {"--source", "sim", "--duration", "3.5", "--status-interval", "1",
                           "--config", (home / "config.txt").string()},
                          terminal);
    const std::string output = program.ReadAll();
    EXPECT_EQ(program.Wait(60s), 0) << output;
    const auto [before, after] = CountBeforeAndAfterStop(output, terminal ? "UTC " : "Last ");
    EXPECT_GE(before, 2u) << output;
    EXPECT_LE(before, 4u) << output;
    EXPECT_EQ(after, 1u) << output;
    const auto other = CountBeforeAndAfterStop(output, terminal ? "Last " : "UTC ");
    EXPECT_EQ(other.first + other.second, 0u) << output;  // never the other form
    EXPECT_EQ(CountBeforeAndAfterStop(output, (terminal ? "" : "<4>") + warning).first, 1u)
        << output;
  }
}

}  // namespace
}  // namespace ombrix
