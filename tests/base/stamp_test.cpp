#include "base/stamp.h"

#include <gtest/gtest.h>

namespace ombrix {
namespace {

TEST(StampTest, MakeStampPadsEveryField) {
  SystemTime t{2024, 3, 2, 5, 7, 8, 9, 7};
  EXPECT_EQ(MakeStamp(t), "20240305_070809_007");
  EXPECT_EQ(MakeStamp(t).size(), kStampLength);
}

TEST(StampTest, ParseReadsTheFieldsAtTheirPlaces) {
  const auto parsed = ParseStamp("20240229_235930_250");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->time, *MakeCalendarTime(2024, 2, 29, 23, 59, 30));
  EXPECT_EQ(parsed->milliseconds, 250);
  EXPECT_EQ(FormatStampSeconds(parsed->time), "20240229_235930_");
}

TEST(StampTest, TextsThatAreNotStampsDoNotParse) {
  EXPECT_FALSE(ParseStamp(""));
  EXPECT_FALSE(ParseStamp("archive"));
  EXPECT_FALSE(ParseStamp("20241301_000000_000"));  // month 13
  EXPECT_FALSE(ParseStamp("20240101_240000_000"));  // hour 24
  EXPECT_EQ(ShiftStamp("garbage", 1000), "");
  EXPECT_EQ(NextMinuteStamp("garbage"), "");
  EXPECT_EQ(NextDayStamp(""), "");
}

TEST(ShiftStampTest, BorrowsAndCarriesWholeSecondsAcrossDayMonthAndYear) {
  EXPECT_EQ(ShiftStamp("20240101_000000_500", -1500), "20231231_235959_000");
  EXPECT_EQ(ShiftStamp("20240101_235959_999", 1), "20240102_000000_000");
  EXPECT_EQ(ShiftStamp("20240301_000001_000", -2000), "20240229_235959_000");
  EXPECT_EQ(ShiftStamp("20241231_235959_000", 1500), "20250101_000000_500");
  EXPECT_EQ(ShiftStamp("20240131_235958_999", 1001), "20240201_000000_000");
  EXPECT_EQ(ShiftStamp("20240101_120000_990", 33), "20240101_120001_023");
  EXPECT_EQ(ShiftStamp("20240101_120001_023", -33), "20240101_120000_990");
  EXPECT_EQ(ShiftStamp("20240101_120000_000", 33 * 30 * 60), "20240101_120059_400");
}

TEST(ShiftStampTest, ShiftsPastTheLastRepresentableTimeGiveEmptyText) {
  EXPECT_EQ(ShiftStamp("99991231_235959_999", 1), "");
  EXPECT_EQ(ShiftStamp("19000101_000000_000", -1), "");
}

TEST(NextMinuteStampTest, MovesToSecondZeroOfTheNextMinute) {
  EXPECT_EQ(NextMinuteStamp("20240229_235930_250"), "20240301_000000_000");
  EXPECT_EQ(NextMinuteStamp("20240229_120000_000"), "20240229_120100_000");
  EXPECT_EQ(NextMinuteStamp("20231231_235959_999"), "20240101_000000_000");
  EXPECT_EQ(NextMinuteStamp("19691231_235959_000"), "19700101_000000_000");
}

TEST(NextDayStampTest, MovesToMidnightOfTheNextDay) {
  for (const char* stamp : {"20240228_000000_000", "20240228_123456_789", "20240228_235959_999"}) {
    EXPECT_EQ(NextDayStamp(stamp), "20240229_000000_000") << stamp;
  }
  EXPECT_EQ(NextDayStamp("20240229_100000_000"), "20240301_000000_000");
  EXPECT_EQ(NextDayStamp("20230228_100000_000"), "20230301_000000_000");
  EXPECT_EQ(NextDayStamp("20231231_000000_000"), "20240101_000000_000");
  EXPECT_EQ(NextDayStamp("19000101_000000_000"), "19000102_000000_000");
  EXPECT_EQ(NextDayStamp("99991231_000000_000"), "");
}

}  // namespace
}  // namespace ombrix
