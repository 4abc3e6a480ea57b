// The station as a service: systemd's notification socket and watchdog, the status form, --config.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/service_notify.h"
#include "station/station.h"
#include "storage/disk_cleaner.h"
#include "support/program.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Where systemd would listen; NOTIFY_SOCKET (and WATCHDOG_USEC) point here while it lives.
class NotifySocket {
 public:
  explicit NotifySocket(std::chrono::microseconds watchdog = 0us) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd_, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = (dir_ / "notify").string();
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    setenv("NOTIFY_SOCKET", path.c_str(), 1);
    unsetenv("WATCHDOG_PID");
    if (watchdog.count() > 0) {
      setenv("WATCHDOG_USEC", std::to_string(watchdog.count()).c_str(), 1);
    } else {
      unsetenv("WATCHDOG_USEC");
    }
  }
  ~NotifySocket() {
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    close(fd_);
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  std::string path() const { return (dir_ / "notify").string(); }

  // The messages within the time, up to `until`; read while the sender runs (the queue is short).
  std::vector<std::string> Receive(std::chrono::milliseconds within,
                                   const std::string& until = {}) {
    std::vector<std::string> messages;
    const auto end = std::chrono::steady_clock::now() + within;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, std::max<int>(0, static_cast<int>(left.count()))) <= 0) {
        return messages;
      }
      char buffer[4096];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n > 0) {
        messages.emplace_back(buffer, static_cast<size_t>(n));
        if (!until.empty() && messages.back() == until) {
          return messages;
        }
      }
    }
  }

 private:
  test::TempDir dir_;
  int fd_ = -1;
};

size_t Count(const std::vector<std::string>& messages, const std::string& text) {
  return static_cast<size_t>(std::count(messages.begin(), messages.end(), text));
}

class PlentyOfSpace final : public FreeSpace {
 public:
  std::optional<double> FreeFraction(const std::string&) override { return 0.9; }
};

// Pings follow the detection passes of a real station: none while a pass hangs, none after stop.
TEST(ServiceNotifier, AHungDetectionThreadOfARealStationGetsNoPing) {
  test::ScopedHome home;
  NotifySocket socket(300ms);
  ServiceNotifier notifier;
  std::mutex mutex;
  std::condition_variable changed;
  bool hold = false;
  bool held = false;
  StationHooks hooks;
  hooks.detectionPassDone = [&] {
    notifier.DetectionPassDone();
    std::unique_lock lock(mutex);
    held = hold;
    changed.notify_all();
    changed.wait(lock, [&] { return !hold; });
    held = false;
  };
  SystemClock clock;
  PlentyOfSpace space;
  StationOptions options;
  options.readConfiguration = false;
  Station station(clock, space, options, hooks);
  station.Start(nullptr);
  EXPECT_EQ(notifier.watchdogInterval(), 300ms);
  notifier.Ready();
  auto messages = socket.Receive(1000ms);
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), "READY=1");
  EXPECT_GE(Count(messages, "WATCHDOG=1"), 3u);

  {
    std::unique_lock lock(mutex);
    hold = true;
    ASSERT_TRUE(changed.wait_for(lock, 2s, [&] { return held; }));
  }
  // Hung for 1.2 s, where eight pings would come: at most one, for the passes before the hang.
  EXPECT_LE(Count(socket.Receive(1200ms), "WATCHDOG=1"), 1u);

  {
    std::lock_guard lock(mutex);
    hold = false;
  }
  changed.notify_all();
  EXPECT_GE(Count(socket.Receive(1000ms), "WATCHDOG=1"), 3u);
  notifier.Stopping();  // the detection passes go on until the station stops
  messages = socket.Receive(700ms);
  EXPECT_EQ(Count(messages, "STOPPING=1"), 1u);
  EXPECT_EQ(Count(messages, "WATCHDOG=1"), 0u) << "no ping after STOPPING=1";
  station.Stop();
}

// ---- the real program ----

struct ProgramRun {
  int exitCode = -1;
  std::string output;  // standard output and standard error
};

using test::Output;

// Runs ombrix with the arguments (and --headless), HOME at home and the extra environment.
ProgramRun RunProgram(const std::vector<std::string>& args, const fs::path& home, Output output,
                      const std::vector<std::string>& extraEnvironment = {}) {
  test::Program program(home, args, output, extraEnvironment);
  ProgramRun run;
  run.output = program.ReadAll(60s);
  run.exitCode = program.Wait(60s);
  return run;
}

// Lines that begin with the prefix, before and after "Stopping...".
std::pair<size_t, size_t> CountBeforeAndAfterStop(const std::string& output,
                                                  const std::string& prefix) {
  size_t before = 0, after = 0;
  bool stopped = false;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line == "Stopping...") {
      stopped = true;
    } else if (line.rfind(prefix, 0) == 0) {
      ++(stopped ? after : before);
    }
  }
  return {before, after};
}

// The status is the live line on a terminal and a summary elsewhere. Notices go to standard error
// with the journal's priority where no terminal reads them: an archive folder that is a plain
// file is a warning (priority 4).
TEST(ServiceProgram, StatusIsLiveOnATerminalAndASummaryElsewhere) {
  struct Case {
    const char* name;
    Output output;
    std::vector<std::string> extra;
    const char* prefix;  // the status lines' beginning
    size_t minBefore, maxBefore;
  };
  const Case cases[] = {
      {"terminal", Output::kTerminal, {}, "UTC ", 2, 4},
      {"pipe", Output::kPipe, {}, "Last ", 0, 0},
      {"pipe, every second", Output::kPipe, {"--status-interval", "1"}, "Last ", 2, 4},
      {"terminal, none", Output::kTerminal, {"--status-interval", "0"}, "UTC ", 0, 0},
  };
  test::TempDir homes[std::size(cases)];
  std::vector<std::unique_ptr<test::Program>> programs;  // side by side
  const fs::path plain = homes[0] / "plain";
  test::WriteFileBytes(plain, "x");
  test::WriteFileBytes(homes[0] / "config.txt", "archiveFolder:" + plain.string() + "\r\n");
  const std::string warning =
      "The archive folder " + plain.string() + " cannot be used (Not a directory)";
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--source", "sim",      "--duration",
                                     "3.5",      "--config", (homes[0] / "config.txt").string()};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    programs.push_back(
        std::make_unique<test::Program>(homes[programs.size()].path(), args, c.output));
  }
  for (size_t i = 0; i < programs.size(); ++i) {
    const Case& c = cases[i];
    const std::string output = programs[i]->ReadAll(60s);
    EXPECT_EQ(programs[i]->Wait(60s), 0) << c.name << "\n" << output;
    const auto [before, after] = CountBeforeAndAfterStop(output, c.prefix);
    EXPECT_GE(before, c.minBefore) << c.name << "\n" << output;
    EXPECT_LE(before, c.maxBefore) << c.name << "\n" << output;
    EXPECT_EQ(after, 1u) << c.name << ": the last status at stop\n" << output;
    const auto [otherBefore, otherAfter] =  // never the other form
        CountBeforeAndAfterStop(output, c.output == Output::kTerminal ? "Last " : "UTC ");
    EXPECT_EQ(otherBefore + otherAfter, 0u) << c.name << "\n" << output;
    const std::string journal = c.output == Output::kTerminal ? warning : "<4>" + warning;
    EXPECT_EQ(CountBeforeAndAfterStop(output, journal).first, 1u) << c.name << "\n" << output;
  }
}

// The named file is the one the headless station reads (reading it: config_file_test).
TEST(ServiceProgram, ConfigOptionNamesTheFileTheStationReads) {
  test::TempDir home;
  const fs::path config = home / "station.txt";
  test::WriteFileBytes(config,
                       "enabled:true\r\narchiveFolder:" + (home / "here").string() + "\r\n");
  fs::create_directories(home / "here");
  const ProgramRun run =
      RunProgram({"--config", config.string(), "--source", "sim", "--duration", "2.5"}, home.path(),
                 Output::kPipe);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(fs::is_directory(home / "here/archive")) << run.output;
  EXPECT_FALSE(fs::exists(home / "Documents/Ombrix/archive"));
  EXPECT_EQ(RunProgram({"--config"}, home.path(), Output::kPipe).exitCode, 2);
}

TEST(ServiceProgram, TellsSystemdItIsReadyAliveAndStopping) {
  test::TempDir home;
  NotifySocket socket;
  std::vector<std::string> messages;
  std::thread systemd([&] { messages = socket.Receive(30s, "STOPPING=1"); });
  const ProgramRun run =
      RunProgram({"--source", "sim", "--duration", "2.5", "--status-interval", "1"}, home.path(),
                 Output::kPipe, {"NOTIFY_SOCKET=" + socket.path(), "WATCHDOG_USEC=400000"});
  EXPECT_EQ(run.exitCode, 0) << run.output;
  systemd.join();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages.front(), "READY=1");
  EXPECT_EQ(messages.back(), "STOPPING=1");
  EXPECT_EQ(Count(messages, "READY=1"), 1u);
  EXPECT_EQ(Count(messages, "STOPPING=1"), 1u);
  EXPECT_GE(Count(messages, "WATCHDOG=1"), 6u);  // every 200 ms for 2.5 s, give or take
  const size_t statuses = std::count_if(messages.begin(), messages.end(), [](const auto& m) {
    return m.rfind("STATUS=Last ", 0) == 0;
  });
  EXPECT_GE(statuses, 2u);
}

}  // namespace
}  // namespace ombrix
