#include "station/worker_loop.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace ombrix {
namespace {

using namespace std::chrono_literals;

void WaitFor(const std::atomic<int>& passes, int count) {
  while (passes.load() < count) {
    std::this_thread::sleep_for(1ms);
  }
}

// An hour between passes: Wake brings the next pass at once (also one asked before Start), and
// Stop does not wait the hour out (the test would hang); no pass runs after Stop.
TEST(WorkerLoopTest, WakeAndStopEndTheWaitAtOnce) {
  std::atomic<int> passes{0};
  WorkerLoop slow("slow", ThreadPriority::kLowest, 1h, [&] { ++passes; });
  slow.Wake();
  slow.Start();
  WaitFor(passes, 2);
  slow.Wake();
  WaitFor(passes, 3);
  slow.Stop();
  EXPECT_EQ(passes.load(), 3);
  {
    WorkerLoop fast("fast", ThreadPriority::kTimeCritical, 1ms, [&] { ++passes; });
    fast.Start();
    WaitFor(passes, 8);
  }  // the destructor stops and joins
  const int afterStop = passes.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(passes.load(), afterStop);
}

// In a child process without CAP_SYS_NICE and RLIMIT_NICE: a refused raise is said once with
// what would allow it, also when the loop is started again; the passes run all the same.
void RefusedRaiseIsReportedOnce() {
  const rlimit none{0, 0};
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (setrlimit(RLIMIT_NICE, &none) != 0 || syscall(SYS_capget, &header, data) != 0) {
    std::exit(2);
  }
  data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
  if (syscall(SYS_capset, &header, data) != 0) {
    std::exit(2);
  }
  Notices notices;
  std::atomic<int> passes{0};
  WorkerLoop loop(
      "detection", ThreadPriority::kTimeCritical, 1ms, [&] { ++passes; }, &notices);
  for (int round = 0; round < 2; ++round) {
    loop.Start();
    WaitFor(passes, 3 * (round + 1));
    loop.Stop();
  }
  const std::vector<Notice> said = notices.Recent();
  for (const Notice& notice : said) {
    std::fprintf(stderr, "%s\n", notice.text.c_str());
  }
  std::exit(said.size() == 1 && said[0].severity == Severity::kWarning ? 0 : 1);
}

TEST(WorkerLoopDeathTest, RefusedRaisedPriorityIsReportedOnceWithWhatAllowsIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(RefusedRaiseIsReportedOnce(), ::testing::ExitedWithCode(0),
              "The detection thread runs at normal priority: the system refused nice -10\\. "
              "Grant the program CAP_SYS_NICE, or an RLIMIT_NICE limit of 30 \\(systemd "
              "LimitNICE=-10");
}

}  // namespace
}  // namespace ombrix
