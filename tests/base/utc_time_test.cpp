#include "base/utc_time.h"

#include <gtest/gtest.h>

namespace ombrix {
namespace {

using namespace std::chrono;
using namespace std::chrono_literals;

// A Stamp made (by our own calendar) reads back (by the standard library's) as its time, from the
// first time a Stamp can hold to the last, in steps that cross every kind of month end, leap day,
// century and year end at odd times of day; outside those years no Stamp is made.
TEST(UtcTimeTest, StampsReadBackAcrossTheCalendarAndOnlyWellFormedRealTimesParse) {
  int checked = 0;
  for (UtcTime t = kFirstStampTime; t <= kLastStampTime; t += days{29} + 7h + 13min + 29s + 357ms) {
    const UtcTime midnight = floor<days>(t);
    for (const UtcTime time : {t, midnight, midnight - 1ms}) {
      const Stamp stamp = MakeStamp(time);
      ASSERT_EQ(stamp.empty(), !FitsStamp(time)) << stamp;
      ASSERT_TRUE(stamp.empty() || ParseStamp(stamp) == time) << stamp;
      checked += !stamp.empty();
    }
  }
  EXPECT_GT(checked, 300000);
  EXPECT_EQ(MakeStamp(kLastStampTime), "99991231_235959_999");
  EXPECT_EQ(MakeStamp(kLastStampTime + 1ms), "");
  // A replay from --start 9999-12-31T23:59:55Z of more than 5 s would name no file.
  EXPECT_TRUE(FitsStamps(kLastStampTime - 5s, 5s));
  EXPECT_FALSE(FitsStamps(kLastStampTime - 5s, 5s + 1ms));
  char fixed[kStampLength + 1] = "x";
  EXPECT_FALSE(FormatStamp(kFirstStampTime - 1ms, fixed));
  EXPECT_STREQ(fixed, "");
  // Digits where digits belong, and fields that name a real time: nothing else reads as a Stamp.
  EXPECT_EQ(ParseStamp("20240229_235930_250"),
            sys_days{2024y / 2 / 29} + 23h + 59min + 30s + 250ms);
  for (const char* bad :
       {"20230229_000000_000", "20240230_000000_000", "20240431_000000_000", "20241301_000000_000",
        "20240001_000000_000", "20240100_000000_000", "20240101_240000_000", "20240101_006000_000",
        "20240101_000060_000", "18991231_235959_999", "2024010 _000000_000", "+2024010_000000_000",
        "2024 101_000000_000", "20240101-000000_000", "20240101_000000-000", "20240101_000000_00",
        "20240101_000000_0000", "20240101_00000a_000", ""}) {
    EXPECT_FALSE(ParseStamp(bad)) << bad;
  }
}

}  // namespace
}  // namespace ombrix
