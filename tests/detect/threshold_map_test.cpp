#include "detect/threshold_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "image_files.h"
#include "media/image_decode.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

using test::PalettePicture;
using test::Picture;
using test::Rgb;

size_t Index(int x, int y) {
  return static_cast<size_t>(y) * kFrameWidth + x;
}

size_t CountValue(const uint8_t* table, uint8_t value) {
  return static_cast<size_t>(std::count(table, table + kFrameBytes, value));
}

// A 640x480 picture, mostly grey, with test colours at known places.
Picture MaskPicture() {
  Picture picture(kFrameWidth, kFrameHeight, Rgb{90, 90, 90});
  picture.at(0, 0) = Rgb{201, 49, 49};    // masked: the weakest strong red
  picture.at(639, 479) = Rgb{255, 0, 0};  // masked
  picture.at(10, 20) = Rgb{200, 0, 0};    // red not above 200
  picture.at(11, 20) = Rgb{255, 50, 0};   // green not below 50
  picture.at(12, 20) = Rgb{255, 0, 50};   // blue not below 50
  for (int x = 100; x < 200; ++x) {
    picture.at(x, 300) = Rgb{230, 10, 20};  // a masked stripe
  }
  return picture;
}

void ExpectMaskPicture(const uint8_t* table, uint8_t threshold) {
  EXPECT_EQ(table[Index(0, 0)], 255);
  EXPECT_EQ(table[Index(639, 479)], 255);
  EXPECT_EQ(table[Index(10, 20)], threshold);
  EXPECT_EQ(table[Index(11, 20)], threshold);
  EXPECT_EQ(table[Index(12, 20)], threshold);
  EXPECT_EQ(table[Index(150, 300)], 255);
  EXPECT_EQ(table[Index(99, 300)], threshold);
  EXPECT_EQ(table[Index(200, 300)], threshold);
  EXPECT_EQ(CountValue(table, 255), 102u);
  EXPECT_EQ(CountValue(table, threshold), kFrameBytes - 102u);
}

TEST(ThresholdMapTest, StrongRedPixelsOfBmpAndPngMasksAreMasked) {
  test::TempDir dir;
  const Picture picture = MaskPicture();
  test::WriteBmp(dir / "mask.bmp", picture);
  test::WritePng(dir / "mask.png", picture);

  for (const char* name : {"mask.bmp", "mask.png"}) {
    ThresholdMap map;
    map.Build(30, (dir / name).string());
    ASSERT_NE(map.data(), nullptr);
    SCOPED_TRACE(name);
    ExpectMaskPicture(map.data(), 30);
  }
}

TEST(ThresholdMapTest, PaletteImagesAreReadThroughTheirPalette) {
  test::TempDir dir;
  PalettePicture picture;
  picture.width = kFrameWidth;
  picture.height = kFrameHeight;
  // Index 0 is the strong red: a decoder that took the indices as grey levels would mask nothing
  // and one that took index 1 as a colour would get it wrong too.
  picture.palette = {Rgb{250, 5, 5}, Rgb{1, 1, 1}, Rgb{200, 0, 0}};
  picture.indices.assign(kFrameBytes, 1);
  for (int x = 0; x < 640; ++x) {
    picture.indices[Index(x, 7)] = 0;  // masked row
    picture.indices[Index(x, 8)] = 2;  // not masked
  }
  test::WritePaletteBmp(dir / "mask8.bmp", picture);
  test::WritePalettePng(dir / "mask8.png", picture);

  for (const char* name : {"mask8.bmp", "mask8.png"}) {
    SCOPED_TRACE(name);
    ThresholdMap map;
    map.Build(25, (dir / name).string());
    ASSERT_NE(map.data(), nullptr);
    EXPECT_EQ(map.data()[Index(0, 7)], 255);
    EXPECT_EQ(map.data()[Index(639, 7)], 255);
    EXPECT_EQ(map.data()[Index(5, 8)], 25);
    EXPECT_EQ(CountValue(map.data(), 255), 640u);
  }
}

TEST(ThresholdMapTest, UnusableMasksLeaveTheWholeTableAtTheThreshold) {
  test::TempDir dir;
  Picture shortPicture(kFrameWidth, kFrameHeight - 1, Rgb{255, 0, 0});
  test::WriteBmp(dir / "short.bmp", shortPicture);
  Picture widePicture(kFrameWidth + 1, kFrameHeight, Rgb{255, 0, 0});
  test::WritePng(dir / "wide.png", widePicture);
  test::WriteFileBytes(dir / "broken.png", "\x89PNG\r\n\x1a\n not really");

  for (const std::string& mask :
       {(dir / "short.bmp").string(), (dir / "wide.png").string(), (dir / "broken.png").string(),
        (dir / "missing.png").string(), std::string()}) {
    SCOPED_TRACE(mask);
    ThresholdMap map;
    map.Build(300, mask);  // only the low byte counts: 300 - 256 = 44
    ASSERT_NE(map.data(), nullptr);
    EXPECT_EQ(CountValue(map.data(), 44), static_cast<size_t>(kFrameBytes));
  }
}

TEST(ThresholdMapTest, RebuildPublishesANewTableAndKeepsTheOldOneAliveForItsHolder) {
  test::TempDir dir;
  test::WriteBmp(dir / "mask.bmp", MaskPicture());
  ThresholdMap map;
  EXPECT_EQ(map.Current(), nullptr);
  map.Build(30, "");
  const auto before = map.Current();
  map.Build(40, (dir / "mask.bmp").string());
  const auto after = map.Current();

  EXPECT_NE(before.get(), after.get());
  EXPECT_EQ(CountValue(before->data(), 30), static_cast<size_t>(kFrameBytes));
  ExpectMaskPicture(after->data(), 40);
}

TEST(ImageDecodeTest, DecodesColoursAndTakesTheNameLiterally) {
  test::TempDir dir;
  Picture picture(3, 2, Rgb{1, 2, 3});
  picture.at(2, 0) = Rgb{250, 128, 7};
  picture.at(0, 1) = Rgb{9, 200, 77};
  // A '%' would make the image demuxer look for a numbered sequence if the name were a pattern.
  test::WritePng(dir / "odd%d name.png", picture);

  const auto image = DecodeImageRgb((dir / "odd%d name.png").string());
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->width, 3);
  EXPECT_EQ(image->height, 2);
  ASSERT_EQ(image->rgb.size(), 18u);
  const std::vector<uint8_t> expected = {1, 2,   3,  1, 2, 3, 250, 128, 7,
                                         9, 200, 77, 1, 2, 3, 1,   2,   3};
  EXPECT_EQ(image->rgb, expected);

  EXPECT_FALSE(DecodeImageRgb((dir / "none.png").string()).has_value());
  EXPECT_FALSE(DecodeImageRgb("").has_value());
}

TEST(ImageDecodeTest, DecodesAJpegNearItsColours) {
  test::TempDir dir;
  const auto path = dir / "red.jpg";
  const std::string command =
      "ffmpeg -loglevel error -y -f lavfi -i color=c=0xE01010:s=64x48 -frames:v 1 '" +
      path.string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << "the ffmpeg program is needed for this fixture";
  const auto image = DecodeImageRgb(path.string());
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(image->width, 64);
  EXPECT_EQ(image->height, 48);
  const uint8_t* centre = &image->rgb[(24 * 64 + 32) * 3];
  EXPECT_NEAR(centre[0], 0xE0, 8);
  EXPECT_NEAR(centre[1], 0x10, 8);
  EXPECT_NEAR(centre[2], 0x10, 8);
}

}  // namespace
}  // namespace ombrix
