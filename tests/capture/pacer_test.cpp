#include "capture/pacer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace ombrix {
namespace {

using std::chrono::milliseconds;

TEST(SteadyPacer, SleepsToTheDeadlineAndWakesAtOnceOnStop) {
  SteadyPacer pacer;
  std::stop_source never;
  const auto begin = pacer.Now();
  EXPECT_TRUE(pacer.SleepUntil(begin + milliseconds(30), never.get_token()));
  EXPECT_GE(pacer.Now() - begin, milliseconds(30));
  EXPECT_TRUE(pacer.SleepUntil(begin, never.get_token()));  // a deadline gone by

  // A thread sleeping for a minute ends as soon as it is stopped.
  bool finished = false;
  bool result = true;
  auto sleeper = std::jthread([&](std::stop_token stop) {
    result = pacer.SleepUntil(pacer.Now() + std::chrono::minutes(1), stop);
    finished = true;
  });
  std::this_thread::sleep_for(milliseconds(20));
  const auto stopAt = pacer.Now();
  sleeper.request_stop();
  sleeper.join();
  EXPECT_TRUE(finished);
  EXPECT_FALSE(result);
  EXPECT_LT(pacer.Now() - stopAt, std::chrono::seconds(5));
}

}  // namespace
}  // namespace ombrix
