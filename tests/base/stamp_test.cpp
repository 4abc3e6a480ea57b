#include "base/stamp.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <utility>

namespace ombrix {
namespace {

TEST(MakeCalendarTimeTest, RejectsFieldsOutOfRangeAndCarriesADayPastTheMonthEnd) {
  EXPECT_EQ(MakeCalendarTime(2024, 2, 29, 12, 34, 56), 1709210096);
  const int low[6] = {1899, 0, 0, -1, -1, -1}, high[6] = {10000, 13, 32, 24, 60, 60};
  for (int i = 0; i < 12; ++i) {
    std::array<int, 6> f{2024, 1, 31, 23, 59, 59};
    f[i % 6] = i < 6 ? low[i] : high[i - 6];
    EXPECT_FALSE(MakeCalendarTime(f[0], f[1], f[2], f[3], f[4], f[5])) << i;
  }
  EXPECT_EQ(MakeCalendarTime(2023, 2, 31, 0, 0, 0), MakeCalendarTime(2023, 3, 3, 0, 0, 0));
  EXPECT_EQ(MakeCalendarTime(2024, 2, 30, 0, 0, 0), MakeCalendarTime(2024, 3, 1, 0, 0, 0));
  EXPECT_EQ(MakeCalendarTime(2024, 4, 31, 0, 0, 0), MakeCalendarTime(2024, 5, 1, 0, 0, 0));
  // 1900 is not a leap year, 2000 is.
  EXPECT_EQ(MakeCalendarTime(1900, 2, 29, 0, 0, 0), MakeCalendarTime(1900, 3, 1, 0, 0, 0));
  EXPECT_NE(MakeCalendarTime(2000, 2, 29, 0, 0, 0), MakeCalendarTime(2000, 3, 1, 0, 0, 0));
}

TEST(FormatCalendarTimeTest, GivesBackTheFieldsWithWeekdayAndDayOfYear) {
  const std::pair<CalendarTime, std::string> cases[] = {
      {*MakeCalendarTime(1900, 1, 1, 0, 0, 0), "19000101_000000 Mon 001"},
      {*MakeCalendarTime(1969, 12, 31, 23, 59, 59), "19691231_235959 Wed 365"},
      {*MakeCalendarTime(2000, 2, 29, 6, 7, 8), "20000229_060708 Tue 060"},
      {*MakeCalendarTime(2024, 12, 31, 23, 59, 59), "20241231_235959 Tue 366"},
      {*MakeCalendarTime(9999, 12, 31, 23, 59, 59), "99991231_235959 Fri 365"},
  };
  for (const auto& [time, want] : cases) {
    EXPECT_EQ(FormatCalendarTime(time, "%Y%m%d_%H%M%S %a %j"), want);
  }
  EXPECT_FALSE(BreakCalendarTime(cases[0].first - 1));
  EXPECT_FALSE(FormatCalendarTime(cases[4].first + 1, "%Y"));
  EXPECT_EQ(FormatCalendarTime(0, std::string(127, 'x').c_str()), std::string(127, 'x'));
  EXPECT_EQ(FormatCalendarTime(0, (std::string(124, 'x') + "%Y").c_str()), "");
}

TEST(StampTest, MakesAndParsesTheFixedFields) {
  EXPECT_EQ(MakeStamp(SystemTime{2024, 3, 2, 5, 7, 8, 9, 7}), "20240305_070809_007");
  const auto parsed = ParseStamp("20240229_235930_250");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->time, *MakeCalendarTime(2024, 2, 29, 23, 59, 30));
  EXPECT_EQ(parsed->milliseconds, 250);
  EXPECT_FALSE(ParseStamp("archive"));
  EXPECT_FALSE(ParseStamp("20241301_000000_000"));
}

TEST(StampTest, ArithmeticCarriesAcrossDayMonthYearAndLeapDay) {
  const std::pair<Stamp, Stamp> cases[] = {
      {ShiftStamp("20240101_000000_500", -1500), "20231231_235959_000"},
      {ShiftStamp("20240101_235959_999", 1), "20240102_000000_000"},
      {ShiftStamp("20240301_000001_000", -2000), "20240229_235959_000"},
      {ShiftStamp("20241231_235959_000", 1500), "20250101_000000_500"},
      {ShiftStamp("20240101_120001_023", -33), "20240101_120000_990"},
      {ShiftStamp("99991231_235959_999", 1), ""},
      {ShiftStamp("19000101_000000_000", -1), ""},
      {ShiftStamp("garbage", 1000), ""},
      {NextMinuteStamp("20240229_235930_250"), "20240301_000000_000"},
      {NextMinuteStamp("20240229_120000_000"), "20240229_120100_000"},
      {NextMinuteStamp("19691231_235959_000"), "19700101_000000_000"},
      {NextDayStamp("20240228_000000_000"), "20240229_000000_000"},
      {NextDayStamp("20240229_100000_000"), "20240301_000000_000"},
      {NextDayStamp("20230228_100000_000"), "20230301_000000_000"},
      {NextDayStamp("99991231_000000_000"), ""},
  };
  for (const auto& [got, want] : cases) {
    EXPECT_EQ(got, want);
  }
}

}  // namespace
}  // namespace ombrix
