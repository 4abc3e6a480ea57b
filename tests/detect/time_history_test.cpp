#include "detect/time_history.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace ombrix {
namespace {

TimeHistoryRow Row(const char* stamp, int32_t count, int32_t sum, double x, double y) {
  TimeHistoryRow row;
  std::strncpy(row.stamp, stamp, sizeof row.stamp - 1);
  row.pixelCount = count;
  row.excessSum = sum;
  row.centroidX = x;
  row.centroidY = y;
  return row;
}

TEST(TimeHistoryTest, ClipLinesArePaddedToFixedWidths) {
  char line[128];
  EXPECT_EQ(
      FormatTimeHistoryLine(line, sizeof line, Row("20240315_211507_042", 12, 345, 320.5, 240.0)),
      49);
  EXPECT_STREQ(line, "20240315_211507_042,    12,     345, 320.5, 240.0");

  // The largest values still fit the minimum widths, so every clip line is 49 characters.
  EXPECT_EQ(FormatTimeHistoryLine(line, sizeof line,
                                  Row("20240315_211507_042", 307200, 78336000, 639.0, 479.0)),
            49);
  EXPECT_STREQ(line, "20240315_211507_042,307200,78336000, 639.0, 479.0");
  EXPECT_EQ(FormatTimeHistoryLine(line, sizeof line, Row("20240315_211507_042", 0, 0, 0.04, 0.05)),
            49);
  EXPECT_STREQ(line, "20240315_211507_042,     0,       0,   0.0,   0.1");
}

TEST(TimeHistoryTest, EventLinesAddAzimuthAndElevation) {
  char line[128];
  const int n = FormatEventTimeHistoryLine(
      line, sizeof line, Row("20240315_211507_042", 3, 99, 1.25, 2.0), 123.456, -5.5);
  EXPECT_STREQ(line, "20240315_211507_042,     3,      99,   1.2,   2.0, 123.46,  -5.50");
  EXPECT_EQ(n, static_cast<int>(std::strlen(line)));
}

TEST(TimeHistoryTest, TooSmallABufferGivesNoLine) {
  char line[49];  // one short: no room for the NUL
  EXPECT_EQ(FormatTimeHistoryLine(line, sizeof line, Row("20240315_211507_042", 1, 1, 1, 1)), 0);
  EXPECT_STREQ(line, "");
}

TEST(TimeHistoryTest, LinesParseBackWhateverFollows) {
  const TimeHistoryRow original = Row("20240315_211507_042", 1234, 5678901, 638.9, 12.3);
  char line[128];
  ASSERT_GT(FormatTimeHistoryLine(line, sizeof line, original), 0);
  for (const std::string& text :
       {std::string(line), std::string(line) + "\r\n", std::string(line) + "\n",
        std::string(line) + ", 123.46,  -5.50\r\n"}) {
    TimeHistoryRow row;
    ASSERT_TRUE(ParseTimeHistoryLine(text.c_str(), row)) << text;
    EXPECT_STREQ(row.stamp, original.stamp);
    EXPECT_EQ(row.pixelCount, original.pixelCount);
    EXPECT_EQ(row.excessSum, original.excessSum);
    EXPECT_DOUBLE_EQ(row.centroidX, original.centroidX);
    EXPECT_DOUBLE_EQ(row.centroidY, original.centroidY);
  }
}

TEST(TimeHistoryTest, MalformedLinesDoNotParse) {
  TimeHistoryRow row;
  for (const char* text :
       {"", "20240315_211507_042", "20240315_211507_042,    12,  345, 1.0",
        "20240315_211507_042;12,345,1.0,2.0", "20240315_211507_042,x,345,1.0,2.0",
        "20240315_211507_042,99999999999,345,1.0,2.0"}) {
    EXPECT_FALSE(ParseTimeHistoryLine(text, row)) << text;
  }
  EXPECT_FALSE(ParseTimeHistoryLine(nullptr, row));
}

}  // namespace
}  // namespace ombrix
