#include "capture/clock_sync.h"

#include <gtest/gtest.h>
#include <sys/timex.h>

namespace ombrix {
namespace {

TEST(ClockSync, UnsynchronisedOrErrorStateIsNotSynchronised) {
  EXPECT_TRUE(ClockStateSynchronised(TIME_OK, STA_PLL));
  EXPECT_FALSE(ClockStateSynchronised(TIME_OK, STA_PLL | STA_UNSYNC));
  EXPECT_FALSE(ClockStateSynchronised(TIME_ERROR, 0));
  EXPECT_FALSE(ClockStateSynchronised(-1, 0));  // the call itself failed
  // The live answer agrees with the kernel's own state.
  timex state{};
  const int result = adjtimex(&state);
  EXPECT_EQ(SystemClockSynchronised(), ClockStateSynchronised(result, state.status));
}

}  // namespace
}  // namespace ombrix
