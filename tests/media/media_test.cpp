#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "media/movie_reader.h"
#include "media/movie_writer.h"
#include "media/stills.h"
#include "media/video_file_decoder.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
constexpr int kPixels = 640 * 480;
constexpr size_t kYuvBytes = kPixels * 3 / 2;  // one 4:2:0 picture: Y, then U and V

// The same field of stars under fresh sensor noise for every seed.
std::vector<uint8_t> SkyFrame(unsigned seed) {
  std::mt19937 random(seed), sky(7);
  std::normal_distribution<double> noise(20.0, 3.0);
  std::vector<uint8_t> frame(kPixels);
  for (auto& pixel : frame) {
    pixel = static_cast<uint8_t>(std::clamp(noise(random), 0.0, 255.0));
  }
  for (int star = 0; star < 60; ++star) {
    frame[sky() % kPixels] = static_cast<uint8_t>(120 + sky() % 136);
  }
  return frame;
}

double MeanAbsoluteDifference(const uint8_t* a, const std::vector<uint8_t>& b) {
  double sum = 0;
  for (size_t i = 0; i < b.size(); ++i) {
    sum += std::abs(a[i] - b[i]);
  }
  return sum / b.size();
}

// Standard output of an FFmpeg tool run on a written file: an independent look at it.
std::string Tool(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[65536];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    out.append(buffer, n);
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  return out;
}
std::string Probe(const std::string& path, const std::string& entries) {
  return Tool("ffprobe -v error -of default=nw=1:nk=1 '" + path + "' -show_entries " + entries);
}
std::string DecodedYuv(const std::string& path) {
  return Tool("ffmpeg -v error -i '" + path + "' -f rawvideo -pix_fmt yuv420p -");
}

void WriteMovie(const std::string& path, int frames) {
  MovieWriter writer(path);
  for (int i = 0; i < frames; ++i) {
    writer.WriteFrame(SkyFrame(i).data(), false);
  }
  EXPECT_EQ(writer.frameCount(), frames);
}  // the destructor closes

TEST(MovieWriterTest, MoviesHoldEveryFrameWithNeutralChromaAndTrueTiming) {
  test::TempDir dir;
  for (const auto& [name, stream, readable] :
       {std::tuple{"s.mp4", "mpeg4\n2997/100\n1.001001\n", true},
        std::tuple{"s.mpg", "mpeg1video\n30/1\n", false}}) {
    SCOPED_TRACE(name);
    const std::string path = (dir / name).string();
    WriteMovie(path, 30);
    EXPECT_EQ(Probe(path, "stream=codec_name,avg_frame_rate,duration").substr(0, strlen(stream)),
              stream);
    const std::string keys = Probe(path, "frame=key_frame"), yuv = DecodedYuv(path);
    ASSERT_EQ(keys.size(), 60u);
    ASSERT_EQ(yuv.size(), 30 * kYuvBytes);
    for (int i = 0, sinceKey = 10; i < 30; ++i) {
      sinceKey = keys[2 * i] == '1' ? 0 : sinceKey + 1;
      EXPECT_LT(sinceKey, 10) << i;  // the first picture too
      const auto* y = reinterpret_cast<const uint8_t*>(yuv.data()) + i * kYuvBytes;
      EXPECT_EQ(std::count(y + kPixels, y + kYuvBytes, 128), kPixels / 2) << i;
      EXPECT_LT(MeanAbsoluteDifference(y, SkyFrame(i)), 4.0) << i;
    }
    // The reader stops, silently, at a packet that gives no picture, as MPEG-1's first one does.
    MovieReader reader(path);
    std::vector<uint8_t> picture(kPixels);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int reads = 0;
    for (; reads < 31 && reader.readFrame(picture.data()); ++reads) {
      EXPECT_LT(MeanAbsoluteDifference(picture.data(), SkyFrame(reads)), 4.0) << reads;
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout() + testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(reads, readable ? 30 : 0);
  }
}

// No file; an encoder that cannot open (H.261 at 640x480) is fatal, not an exit; a taken name (a
// planted link too) is never written through; nothing is printed, and no file is left.
TEST(MovieWriterTest, UnusableNamesAndEncodersGiveAFailedWriterAndNoFile) {
  test::TempDir dir;
  const std::string missing = (dir / "none" / "clip.mp4").string();
  const std::string planted = (dir / "planted.mp4").string();
  test::WriteFileBytes(dir / "victim", "root's file");
  fs::create_symlink(dir / "victim", planted);
  struct Row {
    std::string path;
    bool fatal;
    std::string error, reason;  // an empty reason: not checked
    rlim_t fileSizeLimit = RLIM_INFINITY;
  };
  const Row rows[] = {
      {(dir / "clip.unknownext").string(), false, "Could not find suitable output format", ""},
      {missing, false, "Could not open '" + missing + "'", "No such file or directory"},
      {planted, false, "Could not open '" + planted + "'", "File exists"},
      {(dir / "full.mp4").string(), false, "Invalid output format parameters", "", 1},
      {(dir / "clip.h261").string(), true, "could not open codec", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    testing::internal::CaptureStderr();
    test::WithFileSizeLimit(row.fileSizeLimit, [&] {
      MovieWriter writer(row.path);
      EXPECT_TRUE(writer.failed());
      EXPECT_FALSE(writer.ready());
      writer.WriteFrame(SkyFrame(0).data(), false);  // ignored
      EXPECT_FALSE(writer.Close());
      EXPECT_EQ(writer.fatal(), row.fatal);
      EXPECT_EQ(writer.error(), row.error);
      EXPECT_TRUE(row.reason.empty() || writer.reason() == row.reason) << writer.reason();
    });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  }
  EXPECT_FALSE(WriteJpegStill((dir / "none" / "t.jpg").string(), SkyFrame(0).data()));
  EXPECT_FALSE(
      WritePngStill((dir / "none" / "a.png").string(), std::vector<uint32_t>(kPixels, 9).data()));
  EXPECT_EQ(test::ReadFileBytes(dir / "victim"), "root's file");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2);  // no half-made file
}

// A full disk in the middle of a movie: later frames are dropped and the process goes on; when
// every frame fits but the trailer does not, Close says so. Either way no broken movie is left.
TEST(MovieWriterTest, AFullDiskFailsTheMovieAndLeavesNoFile) {
  test::TempDir dir;
  const auto write = [](const std::string& path) {
    MovieWriter writer(path);
    for (int n = 0; n < 30; ++n) {
      writer.WriteFrame(SkyFrame(n).data(), false);
    }
    const int frames = writer.frameCount();  // a frame after a failed write is dropped
    return writer.Close() ? std::string() : writer.error() + " " + std::to_string(frames < 30);
  };
  ASSERT_EQ(write((dir / "whole.mp4").string()), "");
  const auto whole = fs::file_size(dir / "whole.mp4");
  for (const auto& [limit, error] : {std::pair{whole / 2, "Error while writing video frame 1"},
                                     std::pair{whole - 100, "Error while finishing the movie 0"}}) {
    EXPECT_EQ(test::WithFileSizeLimit(limit, [&] { return write((dir / "cut.mp4").string()); }),
              error);
    EXPECT_FALSE(fs::exists(dir / "cut.mp4"));
  }
}

TEST(MovieWriterTest, PseudoColourFramesShowThePaletteColours) {
  test::TempDir dir;
  const std::string path = (dir / "p.mp4").string();
  // 8 x 6 blocks of 80 x 80 pixels, each a flat brightness spread over 0..255.
  auto level = [](int block) { return block == 47 ? 255 : block * 255 / 47; };
  std::vector<uint8_t> frame(kPixels);
  for (int i = 0; i < kPixels; ++i) {
    frame[i] = static_cast<uint8_t>(level((i / 640 / 80) * 8 + i % 640 / 80));
  }
  {
    MovieWriter writer(path);
    for (int i = 0; i < 3; ++i) {
      writer.WriteFrame(frame.data(), true);
    }
  }
  const std::string yuv = DecodedYuv(path);
  ASSERT_EQ(yuv.size(), 3 * kYuvBytes);
  const auto* y = reinterpret_cast<const uint8_t*>(yuv.data()) + 2 * kYuvBytes;
  const uint8_t *u = y + kPixels, *v = u + kPixels / 4;
  for (int block = 0; block < 48; ++block) {
    // Limited-range BT.601, as the scaler converts RGB.
    const uint32_t rgb = pseudoColorPalette[255 - level(block)];
    const double r = rgb >> 16, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
    const int cx = (block % 8) * 80 + 40, cy = (block / 8) * 80 + 40, c = cy / 2 * 320 + cx / 2;
    EXPECT_NEAR(y[cy * 640 + cx], 16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255, 4) << block;
    EXPECT_NEAR(u[c], 128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255, 4) << block;
    EXPECT_NEAR(v[c], 128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255, 4) << block;
  }
}

TEST(MovieWriterTest, ThreadsWriteAndReadDifferentMoviesAtOnce) {
  test::TempDir dir;
  const std::string source = (dir / "source.mp4").string();
  WriteMovie(source, 20);
  auto name = [&](int t) { return (dir / ("w" + std::to_string(t) + (t % 2 ? ".mpg" : ".mp4"))); };
  std::vector<int> framesRead(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      MovieWriter writer(name(t).string());
      MovieReader reader(source);
      std::vector<uint8_t> picture(kPixels);
      for (int i = 0; i < 20; ++i) {
        writer.WriteFrame(SkyFrame(i).data(), t == 3);
        framesRead[t] += reader.readFrame(picture.data()) ? 1 : 0;
      }
    });
  }
  for (int t = 0; t < 4; ++t) {
    threads[t].join();
    EXPECT_EQ(framesRead[t], 20) << t;
    EXPECT_EQ(DecodedYuv(name(t).string()).size(), 20 * kYuvBytes) << t;
  }
}

// YUYV samples carry the decoded luma exactly and each pixel pair the chroma of its 2x2 block.
TEST(VideoFileDecoderTest, YuyvSamplesKeepTheDecodedPlanes) {
  test::TempDir dir;
  const std::string movie = (dir / "bars.mp4").string();
  Tool(
      "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=640x480:r=25 -frames:v 6 -c:v mpeg4 "
      "-q:v 3 -pix_fmt yuv420p '" +
      movie + "'");
  const std::string planes = DecodedYuv(movie);
  ASSERT_EQ(planes.size(), 6 * kYuvBytes);
  VideoFileDecoder decoder(movie, VideoFileDecoder::Layout::kYuyv);
  ASSERT_FALSE(decoder.failed()) << decoder.error();
  std::vector<uint8_t> sample(kPixels * 2);
  int64_t presentation_ms = 0;
  size_t frames = 0;
  for (; frames < 7 && decoder.ReadFrame(sample.data(), presentation_ms); ++frames) {
    const auto* y = reinterpret_cast<const uint8_t*>(planes.data()) + frames * kYuvBytes;
    const uint8_t *u = y + kPixels, *v = u + kPixels / 4;
    int wrong = 0;
    for (int p = 0; p < kPixels; p += 2) {
      const int chroma = p / 640 / 2 * 320 + p % 640 / 2;
      wrong += sample[2 * p] != y[p] || sample[2 * p + 2] != y[p + 1] ||
               sample[2 * p + 1] != u[chroma] || sample[2 * p + 3] != v[chroma];
    }
    EXPECT_EQ(wrong, 0) << "frame " << frames;
  }
  EXPECT_EQ(frames, 6u);
}

TEST(NormalizeSumsTest, LargestBecomes255Or254ByTheSinglePrecisionFactor) {
  // The largest sum, what it becomes, and what half of it (rounded down) becomes.
  const std::tuple<uint32_t, uint32_t, uint32_t> cases[] = {
      {1, 255, 0},    {3, 255, 85},    {13, 255, 117},   {7, 254, 109},
      {11, 254, 115}, {100, 254, 127}, {1000, 254, 127}, {0, 0, 0}};
  std::vector<uint32_t> sums(kPixels);
  for (const auto& [largest, scaled, half] : cases) {
    std::fill(sums.begin(), sums.end(), 0u);
    sums[12345] = largest;
    sums[0] = largest / 2;
    NormalizeSums(sums.data());
    EXPECT_EQ(std::tie(sums[12345], sums[0]), std::tie(scaled, half)) << largest;
    EXPECT_EQ(std::count(sums.begin(), sums.end(), 0u), kPixels - (largest > 0) - (largest > 1));
  }
}

// A JPEG reads back close, once, under a name with a '%'; PNG stills hold each sum's low byte,
// folded by maximum in readFrameMax; pictures too small for the copy are refused.
TEST(StillsTest, StillsReadBackWholeAndPicturesTooSmallForTheCopyAreRefused) {
  test::TempDir dir;
  fs::create_directory(dir / "cam%d");  // a name, not a numbered sequence
  const std::string jpeg = (dir / "cam%d" / "t.jpg").string();
  WriteJpegStill(jpeg, SkyFrame(3).data());
  MovieReader jpegReader(jpeg);
  std::vector<uint8_t> picture(kPixels);
  ASSERT_TRUE(jpegReader.readFrame(picture.data()));
  EXPECT_LT(MeanAbsoluteDifference(picture.data(), SkyFrame(3)), 2.5);
  EXPECT_FALSE(jpegReader.readFrame(picture.data()));
  std::vector<uint8_t> folded(kPixels, 0), expected(kPixels, 0);
  std::vector<uint32_t> sums(kPixels);
  for (int n = 0; n < 3; ++n) {
    const auto frame = SkyFrame(n + 10);
    for (int i = 0; i < kPixels; ++i) {
      sums[i] = frame[i] + (i % 3 == n ? 0x100u : 0u);
      expected[i] = std::max(expected[i], frame[i]);
    }
    const std::string path = (dir / ("a" + std::to_string(n) + ".png")).string();
    WritePngStill(path, sums.data());
    MovieReader reader(path);
    ASSERT_TRUE(reader.readFrameMax(folded.data()));
    EXPECT_EQ(folded, expected) << n;
    EXPECT_FALSE(reader.readFrameMax(folded.data()));
  }
  // Pictures that do not hold 480 rows of the bytes a read takes are never read.
  const std::tuple<const char*, bool, bool> sizes[] = {
      {"320x240", false, false}, {"640x240", false, false}, {"639x480", false, false},
      {"1280x480", true, false},  // wider than 1000 bytes but not three bytes a pixel
      {"640x480", true, true},   {"800x600", true, true}};
  for (const auto& [size, frameRead, maxRead] : sizes) {
    const std::string path = (dir / (std::string(size) + ".png")).string();
    const std::string command = "ffmpeg -v error -y -f lavfi -i color=s=" + std::string(size) +
                                ",format=gray,geq=lum=77 -frames:v 1 '" + path + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    picture.assign(kPixels, 0);
    EXPECT_EQ(MovieReader(path).readFrame(picture.data()), frameRead) << path;
    EXPECT_EQ(std::count(picture.begin(), picture.end(), 77), frameRead ? kPixels : 0) << path;
    picture.assign(kPixels, 0);
    EXPECT_EQ(MovieReader(path).readFrameMax(picture.data()), maxRead) << path;
    EXPECT_EQ(std::count(picture.begin(), picture.end(), 77), maxRead ? kPixels : 0) << path;
  }
}

// Silently: the library's own lines ("moov atom not found") never reach the output.
TEST(MovieReaderTest, BrokenFilesGiveAFailedReaderOrAFalseRead) {
  test::TempDir dir;
  const std::string movie = (dir / "good.mp4").string(), jpeg = (dir / "good.jpg").string();
  WriteMovie(movie, 30);
  WriteJpegStill(jpeg, SkyFrame(1).data());
  const std::string movieBytes = test::ReadFileBytes(movie), jpegBytes = test::ReadFileBytes(jpeg);
  std::string garbage(5000, '\0');
  for (size_t i = 0; i < garbage.size(); ++i) {
    garbage[i] = static_cast<char>(i * 2654435761u >> 13);
  }
  const struct {
    std::string name, bytes;
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
  testing::internal::CaptureStderr();
  MovieReader missing((dir / "missing.mp4").string());
  EXPECT_TRUE(missing.failed());
  EXPECT_FALSE(missing.readFrame(picture.data()));
  EXPECT_FALSE(missing.readFrameMax(picture.data()));
  for (const auto& c : cases) {
    test::WriteFileBytes(dir / c.name, c.bytes);
    MovieReader reader((dir / c.name).string());
    EXPECT_TRUE(reader.failed() || !c.mustFail) << c.name;
    int reads = 0;
    while (reads < 5 && reader.readFrame(picture.data())) {
      ++reads;
    }
    EXPECT_LE(reads, 1) << c.name;
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace ombrix
