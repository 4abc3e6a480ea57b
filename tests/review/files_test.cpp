#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "calib/calibration.h"
#include "media/image_decode.h"
#include "media/movie_reader.h"
#include "media/stills.h"
#include "review/display_image.h"
#include "review/export.h"
#include "review/light_curve.h"
#include "review/recalculate.h"
#include "storage/calibration_settings.h"
#include "support/movies.h"
#include "support/review_archive.h"

namespace ombrix::test {
namespace {

namespace fs = std::filesystem;

// The comma-separated fields of each CR LF line.
std::vector<std::vector<std::string>> Fields(const std::string& text) {
  std::vector<std::vector<std::string>> lines;
  size_t begin = 0;
  for (size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
    std::vector<std::string> fields(1);
    for (const char c : text.substr(begin, end - begin)) {
      if (c == ',') {
        fields.emplace_back();
      } else {
        fields.back().push_back(c);
      }
    }
    lines.push_back(fields);
  }
  EXPECT_EQ(begin, text.size()) << "text after the last CR LF";
  return lines;
}

TEST(Recalculate, RewritesOnlySkyCoordinatesAndNeverDestroysAFileItCannotRead) {
  TempDir dir;
  const fs::path path = dir / "c20240315_211451_000.csv";
  WriteFileBytes(path,
                 "20240315_211451_000,    12,     345, 320.5, 240.0,   1.00,   2.00\r\n"
                 "20240315_211451_033,     0,       0, 320.5, 240.0,  33.00,  44.00\r\n\r\n"
                 "20240315_211451_066,   100,   99999, 500.0,  60.0,   0.00,   0.00\r\n");
  Settings settings;
  auto outcome = RecalculateTimeHistory(path.string(), settings);
  ASSERT_EQ(outcome.result, RecalculateResult::kRewritten);
  EXPECT_EQ(outcome.lines, 3);
  const std::string once = ReadFileBytes(path);
  const auto lines = Fields(once);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0][1] + lines[0][2] + lines[0][3], "    12     345 320.5");
  EXPECT_EQ(lines[1][5] + lines[1][6], "   0.00   0.00");  // count 0: no sky position
  const AzEl expected = PixelToAzEl(CalibrationFromSettings(settings), 500.0, 60.0);
  EXPECT_NEAR(std::stod(lines[2][5]), expected.azimuth, 0.006);
  EXPECT_NEAR(std::stod(lines[2][6]), expected.elevation, 0.006);
  ASSERT_EQ(RecalculateTimeHistory(path.string(), settings).result, RecalculateResult::kRewritten);
  EXPECT_EQ(ReadFileBytes(path), once);  // twice gives the same bytes
  settings.calRotation = 30;
  settings.calCOPx = 300;
  RecalculateTimeHistory(path.string(), settings);
  const auto changed = Fields(ReadFileBytes(path));
  for (size_t n = 0; n < lines.size(); ++n) {
    EXPECT_EQ(std::vector(changed[n].begin(), changed[n].begin() + 5),
              std::vector(lines[n].begin(), lines[n].begin() + 5));
  }
  EXPECT_NE(changed[2][5], lines[2][5]);
  // A line that does not parse leaves the file as it was; a missing file is no file.
  const std::string bad = once + "20240315_211451_099,  twelve\r\n";
  WriteFileBytes(path, bad);
  outcome = RecalculateTimeHistory(path.string(), settings);
  EXPECT_EQ(outcome.result, RecalculateResult::kUnparsable);
  EXPECT_EQ(outcome.lines, 4);
  EXPECT_EQ(ReadFileBytes(path), bad);
  EXPECT_EQ(RecalculateTimeHistory((dir / "missing.csv").string(), settings).result,
            RecalculateResult::kNoFile);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

// BT.601 limited-range luma of a colour, as the MPEG-4 encoder stores it.
double Luma(uint32_t rgb) {
  const double r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  return 16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0;
}

TEST(Export, BurnsTheTrackingBoxWritesPseudoColourAndLeavesNothingWhenItDoesNotWrite) {
  ReviewArchive archive;
  archive.AddClip("20240315_211450_000");
  archive.AddClip("20240315_211451_000");
  const Stamp key = "20240315_211451_000";
  const std::string event = archive.AddEvent(key, "20240315_211451_500");
  archive.CutEvent(key, "20240315_211451_500");
  archive.settings.Update([](Settings& s) {
    s.triggerCountBegin = 5;
    s.triggerCountEnd = 7;  // frames with count >= 5 get the box
  });
  const Settings settings = *archive.settings.Get();
  for (const bool pseudo : {false, true}) {
    const std::string output = (archive.base / (pseudo ? "pseudo.mp4" : "grey.mp4")).string();
    const ExportOutcome outcome = ExportEventMovie(settings, event, output, pseudo, !pseudo);
    ASSERT_EQ(outcome.result, ExportResult::kWritten);
    MovieReader reader(output);
    std::vector<uint8_t> frame(kFrameBytes);
    int n = 0;
    for (; reader.readFrame(frame.data()); ++n) {
      // Frame n: count i = n % 30, centroid (100 + i, 200 + i), box corner (50 + i, 150 + i).
      const int i = n % 30;
      const uint8_t corner = frame[(150 + i) * kFrameWidth + 50 + i + 1];
      const uint8_t background = frame[300 * kFrameWidth + 600];
      if (pseudo) {
        EXPECT_NEAR(background, Luma(pseudoColorPalette[255 - 20]), 4) << n;
        EXPECT_NEAR(corner, background, 8) << n;
      } else {
        EXPECT_EQ(corner > 120, i >= 5) << n;
      }
    }
    EXPECT_EQ(n, outcome.frames);
    EXPECT_EQ(n, 46);  // 50.000 .. 51.500
  }
  // Cancelled from the progress function; no movie yet; a movie without a picture; an output
  // that cannot be written: nothing is left.
  int calls = 0;
  EXPECT_EQ(ExportEventMovie(settings, event, (archive.base / "c.mp4").string(), false, false,
                             [&calls](int written) { return ++calls == written && written < 10; })
                .result,
            ExportResult::kCancelled);
  EXPECT_EQ(calls, 10);
  const std::string uncut = archive.AddEvent("20240315_211450_500", "20240315_211450_600");
  EXPECT_EQ(
      ExportEventMovie(settings, uncut, (archive.base / "u.mp4").string(), false, true).result,
      ExportResult::kNoMovie);
  WriteFileBytes(archive.EventFile('m', "20240315_211450_500"), "");
  EXPECT_EQ(
      ExportEventMovie(settings, uncut, (archive.base / "e.mp4").string(), false, true).result,
      ExportResult::kNoFrames);
  const auto failed =
      ExportEventMovie(settings, event, (archive.base / "no/x.mp4").string(), false, false);
  EXPECT_EQ(failed.result, ExportResult::kFailed);
  EXPECT_FALSE(failed.reason.empty());
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(archive.base.path())) {
    if (entry.is_regular_file()) {
      files.push_back(entry.path().filename().string());
    }
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"grey.mp4", "pseudo.mp4"}));
}

TEST(StillImages, SaveThroughTheColourTableAndOpenByTheFirstStoredByte) {
  TempDir dir;
  std::vector<uint8_t> picture(kFrameBytes);
  for (int p = 0; p < kFrameBytes; ++p) {
    picture[p] = static_cast<uint8_t>((p % kFrameWidth) * 256 / kFrameWidth);
  }
  // PNG is exact: each pixel is its colour-table entry (255 is E7F39B, 0 black).
  const std::string pseudo = (dir / "pseudo.png").string();
  ASSERT_TRUE(SaveDisplayImage(pseudo, picture.data(), true));
  EXPECT_EQ(DisplayColourTable(true)[255], 0xE7F39Bu);
  EXPECT_EQ(DisplayColourTable(false)[200], 0xC8C8C8u);
  const auto rgb = DecodeImageRgb(pseudo);
  ASSERT_TRUE(rgb);
  for (int p : {0, 320, 639, 307199}) {
    const uint32_t colour = DisplayColourTable(true)[picture[p]];
    EXPECT_EQ((rgb->rgb[3 * p] << 16) | (rgb->rgb[3 * p + 1] << 8) | rgb->rgb[3 * p + 2], colour);
  }
  // Opened again, a colour image gives its blue components.
  std::vector<uint8_t> display(kFrameBytes, 7);
  ASSERT_TRUE(OpenImageIntoDisplay(pseudo, display.data()));
  EXPECT_EQ(display[639], DisplayColourTable(true)[picture[639]] & 0xFF);
  // A grey JPEG comes back as the picture, within the loss of the encoding.
  const std::string grey = (dir / "grey.JPG").string();
  ASSERT_TRUE(SaveDisplayImage(grey, picture.data(), false));
  ASSERT_TRUE(OpenImageIntoDisplay(grey, display.data()));
  int worst = 0;
  for (int p = 0; p < kFrameBytes; ++p) {
    worst = std::max(worst, std::abs(display[p] - picture[p]));
  }
  EXPECT_LE(worst, 4);
  // Not 640x480, not an image, not a known extension: the picture stays as it was.
  std::vector<uint32_t> sums(kFrameBytes, 77);
  WritePngStill((dir / "a.png").string(), sums.data());
  ASSERT_TRUE(OpenImageIntoDisplay((dir / "a.png").string(), display.data()));
  const std::string small =  // a 2x1 24-bit BMP
      std::string(
          "BM\x3e\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x02\0\0\0\x01\0\0\0\x01\0\x18\0\0\0\0\0"
          "\x08\0\0\0\x13\x0b\0\0\x13\x0b\0\0\0\0\0\0\0\0\0\0\xff\0\0\0\xff\0\0\0",
          62);
  WriteFileBytes(dir / "small.bmp", small);
  WriteFileBytes(dir / "text.png", "not an image");
  for (const char* name : {"small.bmp", "text.png"}) {
    EXPECT_FALSE(OpenImageIntoDisplay((dir / name).string(), display.data())) << name;
  }
  EXPECT_EQ(display[12345], 77);
  EXPECT_FALSE(SaveDisplayImage((dir / "x.gif").string(), picture.data(), false));
  EXPECT_FALSE(SaveDisplayImage((dir / "none" / "x.png").string(), picture.data(), false));
  EXPECT_EQ(SaveImageDefaultName("/e/e20240315_211451_000.txt"), "20240315_211451_000");
  EXPECT_EQ(SaveImageDefaultName(""), "image");
}

// Overlay Grid marks up to 123 pixels (the zenith too) and a second one undoes it; Overlay Mask
// sets only the masked pixels; a click reads out the pixel's direction.
TEST(Overlays, GridMaskAndClickReadout) {
  const Settings settings;
  std::vector<uint8_t> display(kFrameBytes, 100);
  OverlayGrid(display.data(), settings);
  std::vector<int> marked;
  for (int i = 0; i < kFrameBytes; ++i) {
    if (display[i] != 100) {
      EXPECT_EQ(display[i], 255);
      marked.push_back(i);
    }
  }
  EXPECT_EQ(display[240 * kFrameWidth + 320], 255);
  EXPECT_GT(marked.size(), 60u);
  EXPECT_LE(marked.size(), 123u);
  OverlayGrid(display.data(), settings);
  for (int i = 0; i < kFrameBytes; ++i) {
    ASSERT_EQ(display[i], std::binary_search(marked.begin(), marked.end(), i) ? 0 : 100) << i;
  }
  std::vector<uint8_t> table(kFrameBytes, 30);
  table[5] = 255;
  OverlayMask(display.data(), table.data());
  EXPECT_EQ(display[5], 255);
  EXPECT_EQ(std::count(display.begin(), display.end(), 255), 1);
  EXPECT_NE(PixelReadout(settings, 320, 240).find("El:  90.00"), std::string::npos);
  const AzEl corner = PixelToAzEl(CalibrationFromSettings(settings), 0, 0);
  char expected[96];
  std::snprintf(expected, sizeof expected, "(0,0)  Az: %6.2f El: %6.2f", corner.azimuth,
                corner.elevation);
  EXPECT_EQ(PixelReadout(settings, 0, 0), expected);
}

TEST(LightCurve, ReadsEveryParsableLineWithTimesFromTheFirst) {
  TempDir dir;
  WriteFileBytes(dir / "c.csv",
                 "20160610_210509_990,     3,      40,   0.0,   0.0, 120.00,  30.00\r\n"
                 "20160610_210510_023,     9,     150,   0.0,   0.0, 121.50,  31.00\r\n"
                 "garbage line\r\n"
                 "20160610_210510_990,     2,      25,   0.0,   0.0\r\n");
  const auto points = ReadLightCurve((dir / "c.csv").string());
  ASSERT_EQ(points.size(), 3u);
  EXPECT_NEAR(points[1].time_s, 0.033, 1e-9);
  EXPECT_NEAR(points[2].time_s, 1.0, 1e-9);
  EXPECT_EQ(points[1].pixelCount, 9);
  EXPECT_EQ(points[1].excessSum, 150);
  EXPECT_DOUBLE_EQ(points[1].azimuth, 121.5);
  EXPECT_DOUBLE_EQ(points[1].elevation, 31.0);
  EXPECT_DOUBLE_EQ(points[2].azimuth, 0.0);  // a line without them
  EXPECT_TRUE(ReadLightCurve((dir / "missing.csv").string()).empty());
}

}  // namespace
}  // namespace ombrix::test
