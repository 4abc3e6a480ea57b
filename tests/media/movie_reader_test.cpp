#include "media/movie_reader.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "media/movie_writer.h"
#include "media/stills.h"
#include "media_probe.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

using test::kPixels;
using test::SkyFrame;

// A grey PNG of any size, written straight with the PNG encoder.
void WriteGreyPng(const std::string& path, int width, int height, uint8_t level) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->pix_fmt = AV_PIX_FMT_GRAY8;
  context->width = width;
  context->height = height;
  context->time_base = AVRational{1, 30};
  ASSERT_EQ(avcodec_open2(context, codec, nullptr), 0);
  AVFrame* frame = av_frame_alloc();
  frame->format = AV_PIX_FMT_GRAY8;
  frame->width = width;
  frame->height = height;
  ASSERT_EQ(av_frame_get_buffer(frame, 0), 0);
  for (int row = 0; row < height; ++row) {
    std::fill_n(frame->data[0] + row * frame->linesize[0], width, level);
  }
  AVPacket* packet = av_packet_alloc();
  ASSERT_EQ(avcodec_send_frame(context, frame), 0);
  ASSERT_EQ(avcodec_receive_packet(context, packet), 0);
  test::WriteFileBytes(path, std::string(reinterpret_cast<char*>(packet->data), packet->size));
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&context);
}

TEST(MovieReaderTest, ArchiveClipReadsFrameByFrameThenStops) {
  test::TempDir dir;
  const std::string path = (dir / "s.mp4").string();
  {
    MovieWriter writer(path);
    for (int i = 0; i < 30; ++i) {
      writer.WriteFrame(SkyFrame(i).data(), false);
    }
  }
  MovieReader reader(path);
  ASSERT_FALSE(reader.failed());
  std::vector<uint8_t> picture(kPixels);
  testing::internal::CaptureStdout();
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(reader.readFrame(picture.data())) << i;
    const auto frame = SkyFrame(i);
    double difference = 0;
    for (int p = 0; p < kPixels; ++p) {
      difference += std::abs(picture[p] - frame[p]);
    }
    EXPECT_LT(difference / kPixels, 4.0) << i;
  }
  EXPECT_FALSE(reader.readFrame(picture.data()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// MPEG-2 movies carry B-frames, so the decoder holds back the first picture: the reader says so
// and the movie shows nothing.
TEST(MovieReaderTest, DelayedFirstPictureEndsTheReading) {
  test::TempDir dir;
  const std::string path = (dir / "b.vob").string();
  {
    MovieWriter writer(path);
    for (int i = 0; i < 12; ++i) {
      writer.WriteFrame(SkyFrame(i).data(), false);
    }
  }
  std::vector<uint8_t> picture(kPixels, 0);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(MovieReader(path).readFrame(picture.data()));
  EXPECT_FALSE(MovieReader(path).readFrameMax(picture.data()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Frame not finished\n");
}

TEST(MovieReaderTest, ReadFrameMaxFoldsPicturesIntoTheirMaximum) {
  test::TempDir dir;
  std::vector<uint8_t> folded(kPixels, 0);
  std::vector<uint8_t> expected(kPixels, 0);
  for (unsigned n = 0; n < 3; ++n) {
    const auto frame = SkyFrame(n + 10);
    std::vector<uint32_t> sums(frame.begin(), frame.end());
    const std::string path = (dir / ("a" + std::to_string(n) + ".png")).string();
    WritePngStill(path, sums.data());
    MovieReader reader(path);
    ASSERT_TRUE(reader.readFrameMax(folded.data()));
    for (int p = 0; p < kPixels; ++p) {
      expected[p] = std::max(expected[p], frame[p]);
    }
  }
  EXPECT_EQ(folded, expected);
}

TEST(MovieReaderTest, BrokenFilesGiveAFailedReaderOrAFalseRead) {
  test::TempDir dir;
  const std::string movie = (dir / "good.mp4").string();
  {
    MovieWriter writer(movie);
    for (int i = 0; i < 30; ++i) {
      writer.WriteFrame(SkyFrame(i).data(), false);
    }
  }
  const std::string jpeg = (dir / "good.jpg").string();
  WriteJpegStill(jpeg, SkyFrame(1).data());
  const std::string movieBytes = test::ReadFileBytes(movie);
  const std::string jpegBytes = test::ReadFileBytes(jpeg);
  std::string garbage(5000, '\0');
  for (size_t i = 0; i < garbage.size(); ++i) {
    garbage[i] = static_cast<char>(i * 2654435761u >> 13);
  }
  const struct {
    std::string name;
    std::string bytes;
    bool mustFail;
  } cases[] = {
      {"empty.mp4", "", true},
      {"garbage.mp4", garbage, true},
      {"head.mp4", movieBytes.substr(0, movieBytes.size() / 2), true},  // index is at the end
      {"garbage.jpg", garbage, false},
      {"head.jpg", jpegBytes.substr(0, jpegBytes.size() / 3), false},
      {"tail.jpg", jpegBytes.substr(jpegBytes.size() / 3), false},
  };
  std::vector<uint8_t> picture(kPixels);
  testing::internal::CaptureStdout();
  {
    MovieReader missing((dir / "missing.mp4").string());
    EXPECT_TRUE(missing.failed());
    EXPECT_FALSE(missing.readFrame(picture.data()));
    EXPECT_FALSE(missing.readFrameMax(picture.data()));
  }
  for (const auto& c : cases) {
    const std::string path = (dir / c.name).string();
    test::WriteFileBytes(path, c.bytes);
    MovieReader reader(path);
    if (c.mustFail) {
      EXPECT_TRUE(reader.failed()) << c.name;
    }
    int reads = 0;
    while (reads < 5 && reader.readFrame(picture.data())) {
      ++reads;
    }
    EXPECT_LE(reads, 1) << c.name;
  }
  testing::internal::GetCapturedStdout();
}

// Pictures that do not hold 480 rows of the bytes a read takes are never read: the read is false.
TEST(MovieReaderTest, PicturesTooSmallForTheCopyAreRefused) {
  test::TempDir dir;
  struct Case {
    int width, height;
    bool readFrame, readFrameMax;
  } cases[] = {
      {320, 240, false, false}, {640, 240, false, false}, {639, 480, false, false},
      {1280, 480, true, false},  // wider than 1000 bytes but not three bytes a pixel
      {640, 480, true, true},   {800, 600, true, true},
  };
  for (const auto& c : cases) {
    const std::string path =
        (dir / (std::to_string(c.width) + "x" + std::to_string(c.height) + ".png")).string();
    WriteGreyPng(path, c.width, c.height, 77);
    std::vector<uint8_t> picture(kPixels, 0);
    EXPECT_EQ(MovieReader(path).readFrame(picture.data()), c.readFrame) << path;
    if (c.readFrame) {
      EXPECT_EQ(std::count(picture.begin(), picture.end(), 77), kPixels) << path;
    }
    std::fill(picture.begin(), picture.end(), 0);
    EXPECT_EQ(MovieReader(path).readFrameMax(picture.data()), c.readFrameMax) << path;
    EXPECT_EQ(std::count(picture.begin(), picture.end(), 77), c.readFrameMax ? kPixels : 0) << path;
  }
}

}  // namespace
}  // namespace ombrix
