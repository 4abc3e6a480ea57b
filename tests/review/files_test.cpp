#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "calib/calibration.h"
#include "media/image_decode.h"
#include "media/movie_reader.h"
#include "media/stills.h"
#include "review/display_image.h"
#include "review/export.h"
#include "review/recalculate.h"
#include "review/replay.h"
#include "review_archive.h"

namespace ombrix::test {
namespace {

namespace fs = std::filesystem;

// Splits a CR LF text into lines and each line into its comma-separated fields.
std::vector<std::vector<std::string>> Fields(const std::string& text) {
  std::vector<std::vector<std::string>> lines;
  size_t begin = 0;
  for (size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
    std::vector<std::string> fields;
    const std::string line = text.substr(begin, end - begin);
    size_t from = 0;
    for (size_t comma; (comma = line.find(',', from)) != std::string::npos; from = comma + 1) {
      fields.push_back(line.substr(from, comma - from));
    }
    fields.push_back(line.substr(from));
    lines.push_back(fields);
  }
  EXPECT_EQ(begin, text.size()) << "text after the last CR LF";
  return lines;
}

TEST(Recalculate, RewritesOnlySkyCoordinatesAndTwiceGivesTheSameBytes) {
  TempDir dir;
  const fs::path path = dir / "c20240315_211451_000.csv";
  const std::string original =
      "20240315_211451_000,    12,     345, 320.5, 240.0,   1.00,   2.00\r\n"
      "20240315_211451_033,     0,       0, 320.5, 240.0,  33.00,  44.00\r\n"
      "\r\n"
      "20240315_211451_066,   100,   99999, 500.0,  60.0,   0.00,   0.00\r\n";
  WriteFileBytes(path, original);
  Calibration calibration;
  auto outcome = RecalculateTimeHistory(path.string(), calibration);
  ASSERT_EQ(outcome.result, RecalculateResult::kRewritten);
  EXPECT_EQ(outcome.lines, 3);
  const std::string once = ReadFileBytes(path);
  const auto lines = Fields(once);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0][1], "    12");
  EXPECT_EQ(lines[0][2], "     345");
  EXPECT_EQ(lines[0][3], " 320.5");
  EXPECT_EQ(lines[1][5], "   0.00");  // count 0: no sky position, whatever the calibration
  EXPECT_EQ(lines[1][6], "   0.00");
  const AzEl expected = PixelToAzEl(calibration, 500.0, 60.0);
  EXPECT_NEAR(std::stod(lines[2][5]), expected.azimuth, 0.006);
  EXPECT_NEAR(std::stod(lines[2][6]), expected.elevation, 0.006);

  ASSERT_EQ(RecalculateTimeHistory(path.string(), calibration).result,
            RecalculateResult::kRewritten);
  EXPECT_EQ(ReadFileBytes(path), once);

  calibration.rotation = 30;
  calibration.copX = 300;
  ASSERT_EQ(RecalculateTimeHistory(path.string(), calibration).result,
            RecalculateResult::kRewritten);
  const auto changed = Fields(ReadFileBytes(path));
  for (size_t n = 0; n < lines.size(); ++n) {
    for (size_t f = 0; f < 5; ++f) {
      EXPECT_EQ(changed[n][f], lines[n][f]) << n << "," << f;
    }
  }
  EXPECT_NE(changed[2][5], lines[2][5]);
  EXPECT_EQ(changed[1][5], "   0.00");
}

TEST(Recalculate, NeverDestroysAFileItCannotReadOrReplace) {
  TempDir dir;
  const fs::path path = dir / "c.csv";
  const std::string text =
      "20240315_211451_000,    12,     345, 320.5, 240.0,   1.00,   2.00\r\n"
      "20240315_211451_033,  twelve\r\n"
      "20240315_211451_066,    12,     345, 320.5, 240.0,   1.00,   2.00\r\n";
  WriteFileBytes(path, text);
  const auto outcome = RecalculateTimeHistory(path.string(), Calibration{});
  EXPECT_EQ(outcome.result, RecalculateResult::kUnparsable);
  EXPECT_EQ(outcome.lines, 2);
  EXPECT_EQ(ReadFileBytes(path), text);
  EXPECT_EQ(RecalculateTimeHistory((dir / "missing.csv").string(), Calibration{}).result,
            RecalculateResult::kNoFile);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

// BT.601 limited-range luma of a colour, as the MPEG-4 encoder stores it.
double Luma(uint32_t rgb) {
  const double r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  return 16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255.0;
}

TEST(Export, BurnsTheTrackingBoxAndWritesPseudoColourAsAskedDecodedBack) {
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

  struct Case {
    const char* name;
    bool pseudoColor;
    bool trackingBox;
  };
  for (const Case& c : {Case{"grey_box.mp4", false, true}, Case{"pseudo.mp4", true, false}}) {
    const std::string output = (archive.base / c.name).string();
    const ExportOutcome outcome =
        ExportEventMovie(*archive.settings.Get(), event, output, c.pseudoColor, c.trackingBox);
    ASSERT_EQ(outcome.result, ExportResult::kWritten) << c.name;
    MovieReader reader(output);
    std::vector<uint8_t> frame(kFrameBytes);
    int n = 0;
    for (; reader.readFrame(frame.data()); ++n) {
      // Frame n: count i = n % 30, centroid (100 + i, 200 + i), box corner (50 + i, 150 + i).
      const int i = n % 30;
      const uint8_t corner = frame[(150 + i) * kFrameWidth + 50 + i + 1];
      const uint8_t background = frame[300 * kFrameWidth + 600];
      if (c.pseudoColor) {
        EXPECT_NEAR(background, Luma(pseudoColorPalette[255 - 20]), 4) << n;
        EXPECT_NEAR(corner, background, 8) << n;
      } else if (i >= 5) {
        EXPECT_GT(corner, 120) << n;
        EXPECT_NEAR(background, 20, 4) << n;
      } else {
        EXPECT_LT(corner, 60) << n;
      }
    }
    EXPECT_EQ(n, outcome.frames);
    EXPECT_EQ(n, 46);  // 50.000 .. 51.500
  }
  // The MPEG-1 container (its decoder holds pictures back, so it is checked by size only).
  ASSERT_EQ(ExportEventMovie(*archive.settings.Get(), event, (archive.base / "grey.mpg").string(),
                             false, true)
                .result,
            ExportResult::kWritten);
  EXPECT_GT(fs::file_size(archive.base / "grey.mpg"), 10000u);
  std::size_t files = 0;
  for (const auto& entry : fs::directory_iterator(archive.base.path())) {
    files += entry.is_regular_file();
  }
  EXPECT_EQ(files, 3u) << "no temporary file is left";

  // Cancelled from the progress function: nothing is left.
  int calls = 0;
  const auto cancelled =
      ExportEventMovie(*archive.settings.Get(), event, (archive.base / "c.mp4").string(), false,
                       false, [&calls](int written) { return ++calls == written && written < 10; });
  EXPECT_EQ(cancelled.result, ExportResult::kCancelled);
  EXPECT_EQ(calls, 10);
  EXPECT_FALSE(fs::exists(archive.base / "c.mp4"));

  // No movie yet: nothing written, nothing reported.
  const std::string uncut = archive.AddEvent("20240315_211450_500", "20240315_211450_600");
  EXPECT_EQ(ExportEventMovie(*archive.settings.Get(), uncut, (archive.base / "u.mp4").string(),
                             false, true)
                .result,
            ExportResult::kNoMovie);
  EXPECT_FALSE(fs::exists(archive.base / "u.mp4"));
  // An output that cannot be written fails and leaves nothing.
  const auto failed =
      ExportEventMovie(*archive.settings.Get(), event,
                       (archive.base / "no" / "such" / "x.mp4").string(), false, false);
  EXPECT_EQ(failed.result, ExportResult::kFailed);
  EXPECT_FALSE(failed.reason.empty());
}

TEST(StillImages, SaveThroughTheColourTableAndOpenByTheFirstStoredByte) {
  TempDir dir;
  std::vector<uint8_t> picture(kFrameBytes);
  for (int p = 0; p < kFrameBytes; ++p) {
    picture[p] = static_cast<uint8_t>((p % kFrameWidth) * 256 / kFrameWidth);
  }
  // PNG is exact: each pixel is its colour-table entry.
  const std::string pseudo = (dir / "pseudo.png").string();
  ASSERT_TRUE(SaveDisplayImage(pseudo, picture.data(), true));
  const auto rgb = DecodeImageRgb(pseudo);
  ASSERT_TRUE(rgb);
  for (int p : {0, 320, 639, 1000, 307199}) {
    const uint32_t colour = pseudoColorPalette[255 - picture[p]];
    EXPECT_EQ(rgb->rgb[3 * p], (colour >> 16) & 0xFF) << p;
    EXPECT_EQ(rgb->rgb[3 * p + 1], (colour >> 8) & 0xFF) << p;
    EXPECT_EQ(rgb->rgb[3 * p + 2], colour & 0xFF) << p;
  }
  // Opened again, a colour image gives its blue components.
  std::vector<uint8_t> display(kFrameBytes, 7);
  ASSERT_TRUE(OpenImageIntoDisplay(pseudo, display.data()));
  EXPECT_EQ(display[639], pseudoColorPalette[255 - picture[639]] & 0xFF);
  EXPECT_EQ(display[0], 0);  // value 0 is black

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
  EXPECT_EQ(display[12345], 77);
  const std::string small =  // a 2x1 24-bit BMP
      std::string(
          "BM\x3e\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x02\0\0\0\x01\0\0\0\x01\0\x18\0\0\0\0\0"
          "\x08\0\0\0\x13\x0b\0\0\x13\x0b\0\0\0\0\0\0\0\0\0\0\xff\0\0\0\xff\0\0\0",
          62);
  WriteFileBytes(dir / "small.bmp", small);
  EXPECT_FALSE(OpenImageIntoDisplay((dir / "small.bmp").string(), display.data()));
  WriteFileBytes(dir / "text.png", "not an image");
  EXPECT_FALSE(OpenImageIntoDisplay((dir / "text.png").string(), display.data()));
  EXPECT_EQ(display[12345], 77);
  EXPECT_FALSE(SaveDisplayImage((dir / "x.gif").string(), picture.data(), false));
  EXPECT_FALSE(SaveDisplayImage((dir / "none" / "x.png").string(), picture.data(), false));
  EXPECT_EQ(SaveImageDefaultName("/e/e20240315_211451_000.txt"), "20240315_211451_000");
  EXPECT_EQ(SaveImageDefaultName(""), "image");
}

}  // namespace
}  // namespace ombrix::test
