#include "media/movie_writer.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <thread>

#include "media/movie_reader.h"
#include "media/stills.h"
#include "media_probe.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using test::kPixels;
using test::ProbeMovie;
using test::SkyFrame;

void WriteMovie(const std::string& path, int frames, bool pseudoColor = false) {
  MovieWriter writer(path);
  ASSERT_TRUE(writer.ready()) << path;
  for (int i = 0; i < frames; ++i) {
    writer.WriteFrame(SkyFrame(i).data(), pseudoColor);
  }
  writer.Close();
  EXPECT_EQ(writer.frameCount(), frames);
}

double MeanAbsoluteDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    sum += std::abs(a[i] - b[i]);
  }
  return sum / a.size();
}

TEST(MovieWriterTest, GreyMp4HasEveryFrameNeutralChromaAndTrueTiming) {
  test::TempDir dir;
  const std::string path = (dir / "s.mp4").string();
  WriteMovie(path, 30);

  const auto probe = ProbeMovie(path);
  ASSERT_TRUE(probe.opened);
  EXPECT_NE(probe.container.find("mp4"), std::string::npos);
  EXPECT_EQ(probe.codec, AV_CODEC_ID_MPEG4);
  EXPECT_EQ(av_cmp_q(probe.frameRate, AVRational{2997, 100}), 0)
      << probe.frameRate.num << "/" << probe.frameRate.den;
  EXPECT_NEAR(probe.durationSeconds, 30 * 100.0 / 2997, 0.001);
  ASSERT_EQ(probe.pictures.size(), 30u);
  int sinceKey = 0;
  for (size_t i = 0; i < probe.pictures.size(); ++i) {
    const auto& picture = probe.pictures[i];
    sinceKey = picture.key ? 0 : sinceKey + 1;
    EXPECT_LT(sinceKey, 10) << "frame " << i;
    EXPECT_EQ(std::count(picture.u.begin(), picture.u.end(), 128), kPixels / 4) << i;
    EXPECT_EQ(std::count(picture.v.begin(), picture.v.end(), 128), kPixels / 4) << i;
    EXPECT_LT(MeanAbsoluteDifference(picture.y, SkyFrame(i)), 4.0) << i;
  }
  EXPECT_TRUE(probe.pictures.front().key);
}

TEST(MovieWriterTest, MpgIsMpeg1At30FramesPerSecond) {
  test::TempDir dir;
  const std::string path = (dir / "clip.mpg").string();
  WriteMovie(path, 12);
  const auto probe = ProbeMovie(path);
  ASSERT_TRUE(probe.opened);
  EXPECT_EQ(probe.codec, AV_CODEC_ID_MPEG1VIDEO);
  EXPECT_EQ(av_cmp_q(probe.frameRate, AVRational{30, 1}), 0);
  EXPECT_EQ(probe.pictures.size(), 12u);
}

TEST(MovieWriterTest, UnusableNamesGiveAFailedWriterAndNoFile) {
  test::TempDir dir;
  struct Case {
    std::string path;
    std::string message;
  } cases[] = {
      {(dir / "clip.unknownext").string(), "Could not find suitable output format\n"},
      {(dir / "no-such-folder" / "clip.mp4").string(),
       "Could not open '" + (dir / "no-such-folder" / "clip.mp4").string() + "'\n"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    MovieWriter writer(c.path);
    EXPECT_TRUE(writer.failed()) << c.path;
    EXPECT_FALSE(writer.ready());
    writer.WriteFrame(SkyFrame(0).data(), false);  // ignored, not a crash
    writer.Close();
    writer.Close();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    EXPECT_FALSE(fs::exists(c.path));
  }
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

// Limits the size of every file the process writes (as a full disk would) for its lifetime.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    savedHandler_ = std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG
    rlimit limit = saved_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, savedHandler_);
  }

 private:
  rlimit saved_{};
  void (*savedHandler_)(int) = nullptr;
};

// A movie whose bytes stop fitting on the disk ends with one message; the writer drops later
// frames, closes without touching the file again, and the process goes on.
TEST(MovieWriterTest, WriteFailureMarksTheWriterFailedAndTheProcessGoesOn) {
  test::TempDir dir;
  const std::string path = (dir / "full.mp4").string();
  FileSizeLimit limit(200 * 1024);
  MovieWriter writer(path);
  ASSERT_TRUE(writer.ready());
  testing::internal::CaptureStderr();
  int written = 0;
  while (!writer.failed() && written < 600) {
    writer.WriteFrame(SkyFrame(written).data(), false);
    ++written;
  }
  EXPECT_TRUE(writer.failed());
  EXPECT_LT(written, 600);
  EXPECT_FALSE(writer.ready());
  writer.WriteFrame(SkyFrame(0).data(), false);
  EXPECT_EQ(writer.frameCount(), written);
  writer.Close();
  writer.Close();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error while writing video frame\n");
  EXPECT_LE(fs::file_size(path), 200u * 1024);
}

// A file that takes no bytes at all (the full device) already fails at the header.
TEST(MovieWriterTest, FileThatTakesNoBytesGivesAFailedWriter) {
  test::TempDir dir;
  const fs::path path = dir / "full.mp4";
  fs::create_symlink("/dev/full", path);
  testing::internal::CaptureStderr();
  MovieWriter writer(path.string());
  EXPECT_TRUE(writer.failed());
  writer.Close();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Invalid output format parameters\n");
}

// Expected limited-range BT.601 YUV of an RGB colour, as the scaler converts it.
struct Yuv {
  double y, u, v;
};
Yuv ToYuv(uint32_t rgb) {
  const double r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  return {16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255,
          128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255,
          128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255};
}

TEST(MovieWriterTest, PseudoColourFramesShowThePaletteColours) {
  test::TempDir dir;
  const std::string path = (dir / "p.mp4").string();
  // 8 x 6 blocks of 80 x 80 pixels, each a flat brightness spread over 0..255.
  std::vector<uint8_t> frame(kPixels);
  auto level = [](int block) { return block == 47 ? 255 : block * 255 / 47; };
  for (int y = 0; y < test::kHeight; ++y) {
    for (int x = 0; x < test::kWidth; ++x) {
      frame[y * test::kWidth + x] = static_cast<uint8_t>(level((y / 80) * 8 + x / 80));
    }
  }
  {
    MovieWriter writer(path);
    for (int i = 0; i < 3; ++i) {
      writer.WriteFrame(frame.data(), true);
    }
  }  // the destructor closes
  const auto probe = ProbeMovie(path);
  ASSERT_EQ(probe.pictures.size(), 3u);
  const auto& picture = probe.pictures.back();
  for (int block = 0; block < 48; ++block) {
    const int cx = (block % 8) * 80 + 40, cy = (block / 8) * 80 + 40;
    const Yuv expected = ToYuv(pseudoColorPalette[255 - level(block)]);
    EXPECT_NEAR(picture.y[cy * test::kWidth + cx], expected.y, 4) << "block " << block;
    EXPECT_NEAR(picture.u[(cy / 2) * 320 + cx / 2], expected.u, 4) << "block " << block;
    EXPECT_NEAR(picture.v[(cy / 2) * 320 + cx / 2], expected.v, 4) << "block " << block;
  }
}

TEST(MovieWriterTest, ThreadsWriteAndReadDifferentMoviesAtOnce) {
  test::TempDir dir;
  const std::string source = (dir / "source.mp4").string();
  WriteMovie(source, 20);
  constexpr int kThreads = 4;
  std::vector<int> framesRead(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      MovieWriter writer((dir / ("w" + std::to_string(t) + (t % 2 ? ".mpg" : ".mp4"))).string());
      MovieReader reader(source);
      std::vector<uint8_t> picture(kPixels);
      for (int i = 0; i < 20; ++i) {
        writer.WriteFrame(SkyFrame(i).data(), t == 3);
        framesRead[t] += reader.readFrame(picture.data()) ? 1 : 0;
      }
      writer.Close();
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(framesRead[t], 20) << t;
    const auto probe =
        ProbeMovie((dir / ("w" + std::to_string(t) + (t % 2 ? ".mpg" : ".mp4"))).string());
    EXPECT_EQ(probe.pictures.size(), 20u) << t;
  }
}

}  // namespace
}  // namespace ombrix
