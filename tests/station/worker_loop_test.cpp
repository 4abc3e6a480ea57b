#include "station/worker_loop.h"

#include <gtest/gtest.h>

#include <atomic>

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

}  // namespace
}  // namespace ombrix
