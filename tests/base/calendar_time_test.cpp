#include "base/calendar_time.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace ombrix {
namespace {

TEST(MakeCalendarTimeTest, CountsUnixSecondsForUtcFields) {
  EXPECT_EQ(MakeCalendarTime(1970, 1, 1, 0, 0, 0), 0);
  EXPECT_EQ(MakeCalendarTime(2000, 1, 1, 0, 0, 0), 946684800);
  EXPECT_EQ(MakeCalendarTime(2024, 2, 29, 12, 34, 56), 1709210096);
  EXPECT_EQ(MakeCalendarTime(1900, 1, 1, 0, 0, 0), -2208988800);
}

TEST(MakeCalendarTimeTest, RejectsEveryFieldOutOfRange) {
  const int good[6] = {2024, 1, 31, 23, 59, 59};
  const int low[6] = {1899, 0, 0, -1, -1, -1};
  const int high[6] = {10000, 13, 32, 24, 60, 60};
  for (int field = 0; field < 6; ++field) {
    for (const int* bad : {low, high}) {
      int f[6];
      std::copy(good, good + 6, f);
      f[field] = bad[field];
      EXPECT_FALSE(MakeCalendarTime(f[0], f[1], f[2], f[3], f[4], f[5]))
          << field << " " << f[field];
    }
  }
  EXPECT_TRUE(MakeCalendarTime(2024, 1, 31, 23, 59, 59));
}

TEST(MakeCalendarTimeTest, DayPastTheEndOfItsMonthCarriesIntoTheNext) {
  EXPECT_EQ(MakeCalendarTime(2023, 2, 29, 1, 2, 3), MakeCalendarTime(2023, 3, 1, 1, 2, 3));
  EXPECT_EQ(MakeCalendarTime(2023, 2, 31, 0, 0, 0), MakeCalendarTime(2023, 3, 3, 0, 0, 0));
  EXPECT_EQ(MakeCalendarTime(2024, 2, 30, 0, 0, 0), MakeCalendarTime(2024, 3, 1, 0, 0, 0));
  EXPECT_EQ(MakeCalendarTime(2024, 4, 31, 0, 0, 0), MakeCalendarTime(2024, 5, 1, 0, 0, 0));
  // 1900 is not a leap year, 2000 is.
  EXPECT_EQ(MakeCalendarTime(1900, 2, 29, 0, 0, 0), MakeCalendarTime(1900, 3, 1, 0, 0, 0));
  EXPECT_NE(MakeCalendarTime(2000, 2, 29, 0, 0, 0), MakeCalendarTime(2000, 3, 1, 0, 0, 0));
}

TEST(BreakCalendarTimeTest, GivesBackTheFieldsItWasMadeFrom) {
  struct Case {
    int year, month, day, hour, minute, second, dayOfWeek;
  };
  const Case cases[] = {
      {1900, 1, 1, 0, 0, 0, 1},      {1969, 12, 31, 23, 59, 59, 3}, {1970, 1, 1, 0, 0, 0, 4},
      {2000, 2, 29, 6, 7, 8, 2},     {2024, 1, 1, 0, 0, 0, 1},      {2024, 12, 31, 23, 59, 59, 2},
      {9999, 12, 31, 23, 59, 59, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.year * 10000 + c.month * 100 + c.day);
    const auto time = MakeCalendarTime(c.year, c.month, c.day, c.hour, c.minute, c.second);
    ASSERT_TRUE(time);
    const auto f = BreakCalendarTime(*time);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->year, c.year);
    EXPECT_EQ(f->month, c.month);
    EXPECT_EQ(f->day, c.day);
    EXPECT_EQ(f->hour, c.hour);
    EXPECT_EQ(f->minute, c.minute);
    EXPECT_EQ(f->second, c.second);
    EXPECT_EQ(f->dayOfWeek, c.dayOfWeek);
  }
}

TEST(BreakCalendarTimeTest, TimesOutsideTheYearsFail) {
  const CalendarTime first = *MakeCalendarTime(1900, 1, 1, 0, 0, 0);
  const CalendarTime last = *MakeCalendarTime(9999, 12, 31, 23, 59, 59);
  EXPECT_FALSE(BreakCalendarTime(first - 1));
  EXPECT_FALSE(BreakCalendarTime(last + 1));
  EXPECT_FALSE(FormatCalendarTime(last + 1, "%Y"));
}

TEST(FormatCalendarTimeTest, FormatsTheUsualConversions) {
  const CalendarTime t = *MakeCalendarTime(2024, 3, 5, 7, 8, 9);
  EXPECT_EQ(FormatCalendarTime(t, "%Y%m%d_%H%M%S_000"), "20240305_070809_000");
  // Day of year and weekday come from the same fields.
  EXPECT_EQ(FormatCalendarTime(*MakeCalendarTime(2024, 12, 31, 0, 0, 0), "%j %a"), "366 Tue");
  EXPECT_EQ(FormatCalendarTime(*MakeCalendarTime(2023, 3, 1, 0, 0, 0), "%j %a"), "060 Wed");
}

TEST(FormatCalendarTimeTest, ResultIsAtMost127CharactersAndNeedsAPattern) {
  const CalendarTime t = *MakeCalendarTime(2024, 3, 5, 7, 8, 9);
  const std::string fits(127, 'x');
  const std::string tooLong(128, 'x');
  EXPECT_EQ(FormatCalendarTime(t, fits.c_str()), fits);
  EXPECT_EQ(FormatCalendarTime(t, tooLong.c_str()), "");
  EXPECT_EQ(FormatCalendarTime(t, (std::string(123, 'x') + "%Y").c_str()),
            std::string(123, 'x') + "2024");
  EXPECT_EQ(FormatCalendarTime(t, (std::string(124, 'x') + "%Y").c_str()), "");
  EXPECT_EQ(FormatCalendarTime(t, ""), "");
  EXPECT_EQ(FormatCalendarTime(t, nullptr), "");
}

}  // namespace
}  // namespace ombrix
