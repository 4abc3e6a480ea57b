#include "station/worker_loop.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace ombrix {
namespace {

using namespace std::chrono_literals;

void WaitFor(const std::atomic<int>& passes, int count) {
  while (passes.load() < count) {
    std::this_thread::sleep_for(1ms);
  }
}

TEST(WorkerLoopTest, StopEndsAWaitAtOnceAndNoPassRunsAfterIt) {
  // An hour between passes: Stop must not wait it out (the test would hang).
  std::atomic<int> slowPasses{0};
  WorkerLoop slow("slow", ThreadPriority::kLowest, 1h, [&] { ++slowPasses; });
  slow.Start();
  WaitFor(slowPasses, 1);
  slow.Stop();
  EXPECT_EQ(slowPasses.load(), 1);
  EXPECT_FALSE(slow.Running());

  std::atomic<int> fastPasses{0};
  {
    WorkerLoop fast("fast", ThreadPriority::kTimeCritical, 1ms, [&] { ++fastPasses; });
    fast.Start();
    WaitFor(fastPasses, 5);
  }  // the destructor stops and joins
  const int afterStop = fastPasses.load();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(fastPasses.load(), afterStop);
}

// Takes away what allows a negative nice value: CAP_SYS_NICE from the effective set and the
// RLIMIT_NICE allowance.
bool DropNicePrivileges() {
  const rlimit none{0, 0};
  if (setrlimit(RLIMIT_NICE, &none) != 0) {
    return false;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) {
    return false;
  }
  data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
  return syscall(SYS_capset, &header, data) == 0;
}

// Run in a child process (privileges dropped for good): a refused raise is reported once with
// what would allow it, also when the loop is started again; the passes run all the same.
void RefusedRaiseIsReportedOnce() {
  if (!DropNicePrivileges()) {
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
  std::exit(said.size() == 1 && said[0].text == PriorityRefusedText("detection") &&
                    said[0].severity == Severity::kWarning
                ? 0
                : 1);
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
