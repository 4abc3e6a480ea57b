#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "media/video_file_decoder.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

// The YUYV samples of a 640x480 4:2:0 movie (colour bars and moving patterns, so both chroma
// planes vary along rows and columns) carry, frame after frame, exactly the luma the ffmpeg tool
// decodes, and for each pixel pair the chroma of its 2x2 block.
TEST(VideoFileDecoderYuyv, FullSizePicturesKeepTheDecodedPlanes) {
  test::TempDir dir;
  const std::string movie = (dir / "bars.mp4").string();
  const std::string raw = (dir / "bars.yuv").string();
  const std::string make =
      "ffmpeg -nostdin -v error -y -f lavfi -i \"testsrc2=s=640x480:r=25\" "
      "-frames:v 6 -c:v mpeg4 -q:v 3 -pix_fmt yuv420p '" +
      movie + "'";
  ASSERT_EQ(std::system(make.c_str()), 0);
  const std::string decode =
      "ffmpeg -nostdin -v error -y -i '" + movie + "' -f rawvideo -pix_fmt yuv420p '" + raw + "'";
  ASSERT_EQ(std::system(decode.c_str()), 0);
  const std::string planes = test::ReadFileBytes(raw);
  constexpr int kWidth = 640;
  constexpr int kHeight = 480;
  constexpr size_t kPlanesBytes = kWidth * kHeight * 3 / 2;
  ASSERT_EQ(planes.size(), 6 * kPlanesBytes);

  VideoFileDecoder decoder(movie, VideoFileDecoder::Layout::kYuyv);
  ASSERT_FALSE(decoder.failed()) << decoder.error();
  std::vector<uint8_t> sample(kWidth * kHeight * 2);
  int64_t presentation_ms = 0;
  size_t frames = 0;
  while (decoder.ReadFrame(sample.data(), presentation_ms)) {
    ASSERT_LT(frames, 6u);
    const auto* y = reinterpret_cast<const uint8_t*>(planes.data()) + frames * kPlanesBytes;
    const uint8_t* u = y + kWidth * kHeight;
    const uint8_t* v = u + kWidth * kHeight / 4;
    int wrong = 0;
    for (int row = 0; row < kHeight; ++row) {
      for (int pair = 0; pair < kWidth / 2; ++pair) {
        const uint8_t* got = &sample[(row * kWidth + 2 * pair) * 2];
        const int chroma = row / 2 * kWidth / 2 + pair;
        wrong += got[0] != y[row * kWidth + 2 * pair] || got[2] != y[row * kWidth + 2 * pair + 1] ||
                 got[1] != u[chroma] || got[3] != v[chroma];
      }
    }
    EXPECT_EQ(wrong, 0) << "frame " << frames;
    ++frames;
  }
  EXPECT_EQ(frames, 6u);
}

}  // namespace
}  // namespace ombrix
