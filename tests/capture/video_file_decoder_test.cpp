#include "media/video_file_decoder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "support/temp_dir.h"
#include "test_video.h"

namespace ombrix {
namespace {

TEST(VideoFileDecoder, ReadsEveryPictureScaledWithItsPresentationTime) {
  test::TempDir dir;
  const std::string path = (dir / "night.mp4").string();
  ASSERT_TRUE(test::MakeTestVideo(path, 30, 25, "2025-03-04T05:06:07.000000Z"));

  VideoFileDecoder yuyv(path, VideoFileDecoder::Layout::kYuyv);
  ASSERT_FALSE(yuyv.failed()) << yuyv.error();
  EXPECT_EQ(yuyv.estimatedFrameCount(), 30);
  EXPECT_EQ(yuyv.creationTime(), "2025-03-04T05:06:07.000000Z");
  std::vector<uint8_t> sample(614400);
  int64_t presentation_ms = -1;
  int frames = 0;
  while (yuyv.ReadFrame(sample.data(), presentation_ms)) {
    EXPECT_EQ(presentation_ms, frames * 40);
    // Corners and centre of the 640x480 picture carry the frame's brightness.
    for (size_t pixel : {size_t{0}, size_t{240 * 640 + 320}, size_t{479 * 640 + 639}}) {
      EXPECT_NEAR(sample[2 * pixel], test::TestVideoBrightness(frames), 2) << frames;
    }
    ++frames;
  }
  EXPECT_EQ(frames, 30);
  EXPECT_TRUE(yuyv.error().empty());
  EXPECT_FALSE(yuyv.ReadFrame(sample.data(), presentation_ms));

  VideoFileDecoder grey(path, VideoFileDecoder::Layout::kGrey);
  std::vector<uint8_t> frame(307200);
  ASSERT_TRUE(grey.ReadFrame(frame.data(), presentation_ms));
  ASSERT_TRUE(grey.ReadFrame(frame.data(), presentation_ms));
  EXPECT_EQ(presentation_ms, 40);
  // Full-range grey of a limited-range picture: brighter than the raw 22, still close.
  EXPECT_NEAR(frame[240 * 640 + 320], (22 - 16) * 255 / 219, 3);
}

TEST(VideoFileDecoder, FractionalRatesRoundDown) {
  test::TempDir dir;
  const std::string path = (dir / "ntsc.mp4").string();
  const std::string command =
      "ffmpeg -nostdin -v error -y -f lavfi -i \"color=gray:s=320x240:r=30000/1001\" -frames:v 4 "
      "-c:v mpeg4 '" +
      path + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  VideoFileDecoder decoder(path, VideoFileDecoder::Layout::kGrey);
  ASSERT_FALSE(decoder.failed()) << decoder.error();
  EXPECT_TRUE(decoder.creationTime().empty());
  std::vector<uint8_t> frame(307200);
  std::vector<int64_t> times;
  int64_t presentation_ms = 0;
  while (decoder.ReadFrame(frame.data(), presentation_ms)) {
    times.push_back(presentation_ms);
  }
  EXPECT_EQ(times, (std::vector<int64_t>{0, 33, 66, 100}));
}

TEST(VideoFileDecoder, FilesThatAreNoVideoFailCleanly) {
  test::TempDir dir;
  std::vector<uint8_t> frame(614400);
  int64_t presentation_ms = 0;

  VideoFileDecoder missing((dir / "missing.mp4").string(), VideoFileDecoder::Layout::kYuyv);
  EXPECT_TRUE(missing.failed());
  EXPECT_FALSE(missing.error().empty());
  EXPECT_FALSE(missing.ReadFrame(frame.data(), presentation_ms));

  test::WriteFileBytes(dir / "notes.mp4", "clear sky, no moon\r\n");
  VideoFileDecoder text((dir / "notes.mp4").string(), VideoFileDecoder::Layout::kYuyv);
  EXPECT_TRUE(text.failed());
  EXPECT_FALSE(text.ReadFrame(frame.data(), presentation_ms));

  // A movie cut short: the pictures before the cut are read, then the reading ends.
  const std::string path = (dir / "cut.mp4").string();
  ASSERT_TRUE(test::MakeTestVideo((dir / "whole.mpg").string(), 60, 25));
  std::string bytes = test::ReadFileBytes(dir / "whole.mpg");
  ASSERT_GT(bytes.size(), 1000u);
  test::WriteFileBytes(path, bytes.substr(0, bytes.size() / 2));
  VideoFileDecoder cut(path, VideoFileDecoder::Layout::kYuyv);
  ASSERT_FALSE(cut.failed()) << cut.error();
  int frames = 0;
  while (cut.ReadFrame(frame.data(), presentation_ms) && frames < 1000) {
    ++frames;
  }
  EXPECT_GT(frames, 5);
  EXPECT_LT(frames, 60);
}

}  // namespace
}  // namespace ombrix
