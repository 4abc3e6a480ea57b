#include "media/stills.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "media/movie_reader.h"
#include "media_probe.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

using test::kPixels;
using test::SkyFrame;

TEST(NormalizeSumsTest, LargestBecomes255Or254ByTheSinglePrecisionFactor) {
  const struct {
    uint32_t largest;
    uint32_t scaled;
  } cases[] = {{1, 255}, {3, 255}, {13, 255}, {7, 254}, {11, 254}, {100, 254}, {1000, 254}};
  std::vector<uint32_t> sums(kPixels);
  for (const auto& c : cases) {
    std::fill(sums.begin(), sums.end(), 0u);
    sums[12345] = c.largest;
    sums[0] = c.largest / 2;
    NormalizeSums(sums.data());
    EXPECT_EQ(sums[12345], c.scaled) << c.largest;
    const float factor = static_cast<float>(255.0 / c.largest);
    EXPECT_EQ(sums[0], static_cast<uint32_t>((c.largest / 2) * static_cast<double>(factor)));
    EXPECT_EQ(sums[1], 0u);
  }
  std::fill(sums.begin(), sums.end(), 0u);
  NormalizeSums(sums.data());
  EXPECT_EQ(std::count(sums.begin(), sums.end(), 0u), kPixels);
}

TEST(StillsTest, JpegReadsBackAsOneCloseGreyPicture) {
  test::TempDir dir;
  std::filesystem::create_directory(dir / "cam%d");  // a name, not a numbered sequence
  const std::string path = (dir / "cam%d" / "t.jpg").string();
  const auto image = SkyFrame(3);
  WriteJpegStill(path, image.data());

  const auto probe = test::ProbeMovie(path);
  ASSERT_EQ(probe.pictures.size(), 1u);
  EXPECT_EQ(probe.codec, AV_CODEC_ID_MJPEG);
  EXPECT_EQ(std::count(probe.pictures[0].u.begin(), probe.pictures[0].u.end(), 128), kPixels / 4);

  // Quantiser 2 scales the 8..83 intra matrix to steps of 4..20 in the file's table.
  const std::string bytes = test::ReadFileBytes(path);
  const size_t table = bytes.find("\xFF\xDB");
  ASSERT_NE(table, std::string::npos);
  const auto steps = bytes.substr(table + 6, 63);  // after length and table id, past DC
  EXPECT_EQ(static_cast<uint8_t>(*std::min_element(steps.begin(), steps.end())), 4);
  EXPECT_EQ(static_cast<uint8_t>(*std::max_element(steps.begin(), steps.end())), 20);

  MovieReader reader(path);
  std::vector<uint8_t> picture(kPixels);
  ASSERT_TRUE(reader.readFrame(picture.data()));
  double difference = 0;
  for (int i = 0; i < kPixels; ++i) {
    difference += std::abs(picture[i] - image[i]);
  }
  EXPECT_LT(difference / kPixels, 2.5);
  EXPECT_FALSE(reader.readFrame(picture.data()));
}

TEST(StillsTest, PngHoldsTheLowByteOfEverySumExactly) {
  test::TempDir dir;
  const std::string path = (dir / "a.png").string();
  std::vector<uint32_t> sums(kPixels);
  for (int i = 0; i < kPixels; ++i) {
    sums[i] = (static_cast<uint32_t>(i) * 7919u) % 256 + (i % 3 == 0 ? 0x100 : 0);
  }
  WritePngStill(path, sums.data());

  MovieReader reader(path);
  std::vector<uint8_t> picture(kPixels, 0);
  ASSERT_TRUE(reader.readFrameMax(picture.data()));
  for (int i = 0; i < kPixels; ++i) {
    ASSERT_EQ(picture[i], sums[i] & 0xFF) << i;
  }
  EXPECT_FALSE(reader.readFrameMax(picture.data()));
}

TEST(StillsTest, UncreatablePathsWriteNothing) {
  test::TempDir dir;
  const auto missing = dir / "no-such-folder";
  const auto image = SkyFrame(0);
  std::vector<uint32_t> sums(kPixels, 9);
  WriteJpegStill((missing / "t.jpg").string(), image.data());
  WritePngStill((missing / "a.png").string(), sums.data());
  EXPECT_FALSE(std::filesystem::exists(missing));
}

}  // namespace
}  // namespace ombrix
