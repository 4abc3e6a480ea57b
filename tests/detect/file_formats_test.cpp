#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "detect/event_file.h"
#include "detect/threshold_map.h"
#include "detect/time_history.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

TEST(EventFileTest, RecordEventWritesBothStampsWithCrLfThenQueuesTheStartAndTheyReadBack) {
  test::TempDir dir;
  EventList list;
  Notices notices;
  const UtcTime start = *ParseStamp("20240315_215958_042");
  const UtcTime end = *ParseStamp("20240315_220001_007");
  // An event that runs into the next hour is still named by its start.
  EXPECT_TRUE(RecordEvent(dir.str(), list, start, end, notices));
  const auto path = dir / "events" / "e20240315_215958_042.txt";
  EXPECT_EQ(test::ReadFileBytes(path), "20240315_215958_042\r\n20240315_220001_007\r\n");
  EXPECT_EQ(list.TakeHead(), start);
  EXPECT_TRUE(list.Empty());
  EXPECT_TRUE(notices.Recent().empty());
  // A time that no Stamp can hold names no file: nothing is written or queued, and it is said.
  EXPECT_FALSE(
      RecordEvent(dir.str(), list, kLastStampTime, kLastStampTime + kNominalFrameSpacing, notices));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "events"), {}), 1);
  EXPECT_TRUE(list.Empty());
  ASSERT_EQ(notices.Recent().size(), 1u);
  EXPECT_EQ(notices.Recent()[0].severity, Severity::kError);
  EXPECT_EQ(notices.Recent()[0].text,
            "An event was not recorded: its time lies outside the years 1900 to 9999.");
  // Without an events folder (the base is a plain file) nothing is queued, and after a second
  // try the event is said with its times and the command that keeps it from the archive.
  test::WriteFileBytes(dir / "plain", "x");
  EXPECT_FALSE(RecordEvent((dir / "plain").string(), list, start, end, notices));
  EXPECT_TRUE(list.Empty());
  const std::vector<Notice> said = notices.Recent();
  ASSERT_EQ(said.size(), 2u);
  EXPECT_EQ(said[1].severity, Severity::kError);
  EXPECT_EQ(said[1].text,
            "Event from 20240315_215958_042 to 20240315_220001_007 could not be "
            "written (cannot write " +
                (dir / "plain").string() +
                "/events/e20240315_215958_042.txt: Not a directory). Once that is "
                "mended, keep it from the archive with: ombrix mark --from "
                "2024-03-15T21:59:58Z --duration 4");
  EXPECT_EQ(MarkCommand(*ParseStamp("20240315_215958_000"), *ParseStamp("20240315_215959_000")),
            "ombrix mark --from 2024-03-15T21:59:58Z --duration 1");
  // An event file read back takes two Stamps (CR LF or LF) and nothing else.
  const std::pair<const char*, const char*> cases[] = {
      {"20240315_010203_004\r\n20240315_010209_999\r\n", "20240315_010203_004 20240315_010209_999"},
      {"20240315_010203_004\n20240315_010209_999\n", "20240315_010203_004 20240315_010209_999"},
      {"20240315_010203_004\r\n", ""},
      {"", ""},
      {"20240315_010203_0040000000000\r\n20240315_010209_999\r\n", ""},
  };
  for (const auto& [bytes, expected] : cases) {
    test::WriteFileBytes(dir / "e.txt", bytes);
    const auto times = ReadEventFile((dir / "e.txt").string());
    EXPECT_EQ(times ? MakeStamp(times->first) + " " + MakeStamp(times->last) : "", expected)
        << bytes;
  }
  EXPECT_FALSE(ReadEventFile((dir / "missing.txt").string()).has_value());
}

TEST(TimeHistoryTest, LinesHaveFixedWidthsAndParseBack) {
  const UtcTime time = *ParseStamp("20240315_211507_042");
  const std::pair<TimeHistoryRow, std::string> cases[] = {
      {{time, 12, 345, 320.5, 240.0}, "20240315_211507_042,    12,     345, 320.5, 240.0"},
      {{time, 307200, 78336000, 639.0, 479.0},  // the largest values still fit
       "20240315_211507_042,307200,78336000, 639.0, 479.0"},
      {{time, 0, 0, 0.04, 0.05}, "20240315_211507_042,     0,       0,   0.0,   0.1"}};
  char line[128], again[128];
  for (const auto& [row, expected] : cases) {
    EXPECT_EQ(FormatTimeHistoryLine(line, sizeof line, row), 49);
    EXPECT_EQ(line, expected);
    // Whatever follows the five fields (an event line's sky position, CR, LF) is ignored.
    for (const char* tail : {"", "\r\n", ", 123.46,  -5.50\r\n"}) {
      TimeHistoryRow parsed;
      ASSERT_TRUE(ParseTimeHistoryLine((expected + tail).c_str(), parsed)) << tail;
      FormatTimeHistoryLine(again, sizeof again, parsed);
      EXPECT_EQ(again, expected);
    }
  }
  EXPECT_EQ(FormatEventTimeHistoryLine(line, sizeof line, cases[0].first, 123.456, -5.5), 65);
  EXPECT_EQ(line, cases[0].second + ", 123.46,  -5.50");
  // Values no field can hold (a calibration of 1e300) are written as the nearest that fits.
  EXPECT_EQ(FormatEventTimeHistoryLine(line, sizeof line, {time, 1, 1, 1e300, -1e300}, NAN, -1e300),
            65);
  EXPECT_EQ(line, std::string("20240315_211507_042,     1,       1,9999.9,-999.9,   0.00,-999.99"));
  EXPECT_EQ(FormatTimeHistoryLine(line, 49, cases[0].first), 0);  // no room for the NUL
  EXPECT_EQ(line, std::string());
  EXPECT_EQ(FormatTimeHistoryLine(line, sizeof line, {kFirstStampTime - kNominalFrameSpacing}), 0);
  for (const char* text :
       {"", "20240315_211507_042", "20240315_211507_042,    12,  345, 1.0",
        "20240315_211507_042;12,345,1.0,2.0", "20240315_211507_042,x,345,1.0,2.0",
        "20240315_211507_042,99999999999,345,1.0,2.0", "20240315_21150_042,12,345,1.0,2.0"}) {
    TimeHistoryRow parsed;
    EXPECT_FALSE(ParseTimeHistoryLine(text, parsed)) << text;
  }
  // A file read line by line: an event line's sky position, a broken line, an over-long one.
  test::TempDir dir;
  test::WriteFileBytes(dir / "c.csv", cases[0].second + ", 123.46,  -5.50\r\nbroken\r\n" +
                                          cases[1].second + std::string(300, ' ') + "\r\n");
  TimeHistoryReader reader((dir / "c.csv").string());
  TimeHistoryRow row;
  double azimuth = 0, elevation = 0;
  EXPECT_EQ(reader.Next(row, &azimuth, &elevation), TimeHistoryReader::Line::kRow);
  EXPECT_EQ(std::pair(row.pixelCount, azimuth + elevation), std::pair(12, 123.46 - 5.5));
  EXPECT_EQ(reader.Next(row), TimeHistoryReader::Line::kUnreadable);
  EXPECT_EQ(reader.Next(row), TimeHistoryReader::Line::kRow);
  EXPECT_EQ(row.pixelCount, 307200);
  EXPECT_EQ(reader.Next(row), TimeHistoryReader::Line::kEnd);
  EXPECT_FALSE(TimeHistoryReader((dir / "none.csv").string()).exists());
}

struct Rgb {
  uint8_t r, g, b;
};

// An image of width x height pixels given top row first, written by the ffmpeg program (the
// type its name says; a filter may follow the input).
void WriteImage(const std::string& path, int width, int height, const std::vector<Rgb>& pixels,
                const std::string& filter = "") {
  test::WriteFileBytes(path + ".rgb",
                       {reinterpret_cast<const char*>(pixels.data()), 3 * pixels.size()});
  const std::string command = "ffmpeg -v error -f rawvideo -pix_fmt rgb24 -s " +
                              std::to_string(width) + "x" + std::to_string(height) + " -i '" +
                              path + ".rgb' " + filter + " '" + path + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// A BMP, an RGB PNG and a palette PNG of the exact colours.
TEST(ThresholdMapTest, StrongRedPixelsOfBmpPngAndPaletteMasksAreMasked) {
  test::TempDir dir;
  std::vector<Rgb> pixels(kFrameBytes, Rgb{90, 90, 90});
  pixels[0] = {201, 49, 49};                                     // masked: the weakest strong red
  pixels[kFrameBytes - 1] = {255, 0, 0};                         // masked
  pixels[20 * 640 + 10] = {200, 0, 0};                           // red not above 200
  pixels[20 * 640 + 11] = {255, 50, 0};                          // green not below 50
  pixels[20 * 640 + 12] = {255, 0, 50};                          // blue not below 50
  std::fill_n(&pixels[300 * 640 + 100], 100, Rgb{230, 10, 20});  // a masked stripe
  const std::string bmp = (dir / "mask.bmp").string(), png = (dir / "mask.png").string(),
                    palette = (dir / "pal.png").string();
  WriteImage(bmp, 640, 480, pixels);
  WriteImage(png, 640, 480, pixels);
  WriteImage(palette, 640, 480, pixels,
             "-vf 'split[a][b];[a]palettegen[p];[b][p]paletteuse=dither=none'");
  ASSERT_EQ(test::ReadFileBytes(palette)[25], 3);       // colour type: palette
  std::filesystem::rename(palette, dir / "pal%d.png");  // a name, not a numbered sequence
  for (const std::string& name : {bmp, png, (dir / "pal%d.png").string()}) {
    ThresholdMap map;
    map.Build(30, name);
    const uint8_t* table = map.Current()->data();
    for (int at : {0, kFrameBytes - 1, 300 * 640 + 150}) {
      EXPECT_EQ(table[at], 255) << name << " at " << at;
    }
    for (int at : {20 * 640 + 10, 20 * 640 + 11, 20 * 640 + 12}) {
      EXPECT_EQ(table[at], 30) << name << " at " << at;
    }
    EXPECT_EQ(std::count(table, table + kFrameBytes, 255), 102) << name;
    EXPECT_EQ(std::count(table, table + kFrameBytes, 30), kFrameBytes - 102) << name;
  }
}

TEST(ThresholdMapTest, UnusableMasksLeaveTheWholeTableAtTheThreshold) {
  test::TempDir dir;
  WriteImage((dir / "short.bmp").string(), 640, 479, std::vector<Rgb>(640 * 479, Rgb{255, 0, 0}));
  WriteImage((dir / "wide.bmp").string(), 641, 480, std::vector<Rgb>(641 * 480, Rgb{255, 0, 0}));
  test::WriteFileBytes(dir / "broken.png", "\x89PNG\r\n\x1a\n not really");
  for (const char* name : {"short.bmp", "wide.bmp", "broken.png", "missing.png", ""}) {
    ThresholdMap map;
    map.Build(300, *name ? (dir / name).string() : "");  // the low byte: 300 - 256 = 44
    EXPECT_EQ(std::ranges::count(*map.Current(), 44), kFrameBytes) << name;
  }
}

}  // namespace
}  // namespace ombrix
