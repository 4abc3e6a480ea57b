// Per-frame cost of the media writers and reader, against the bare MPEG-4 encoder as the floor.
// Run in a release build on one core: taskset -c 0 media_bench

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "base/frame.h"
#include "media/movie_reader.h"
#include "media/movie_writer.h"
#include "media/stills.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using ombrix::kClipFrames;
using ombrix::kFrameBytes;
using ombrix::kFrameHeight;
using ombrix::kFrameWidth;

// One second of night sky: a fixed field of stars under fresh sensor noise in every frame.
const std::vector<std::vector<uint8_t>>& SkyClip() {
  static const std::vector<std::vector<uint8_t>> clip = [] {
    std::vector<std::vector<uint8_t>> frames(kClipFrames, std::vector<uint8_t>(kFrameBytes));
    std::mt19937 random(1);
    std::normal_distribution<double> noise(20.0, 3.0);
    std::mt19937 sky(7);
    std::uniform_int_distribution<int> x(2, kFrameWidth - 3), y(2, kFrameHeight - 3),
        level(120, 255);
    std::vector<int> stars;
    for (int star = 0; star < 60; ++star) {
      stars.push_back(x(sky));
      stars.push_back(y(sky));
      stars.push_back(level(sky));
    }
    for (auto& frame : frames) {
      for (auto& pixel : frame) {
        pixel = static_cast<uint8_t>(std::clamp(noise(random), 0.0, 255.0));
      }
      for (size_t s = 0; s < stars.size(); s += 3) {
        for (int dy = -1; dy <= 1; ++dy) {
          for (int dx = -1; dx <= 1; ++dx) {
            const int peak = stars[s + 2];
            frame[(stars[s + 1] + dy) * kFrameWidth + stars[s] + dx] =
                static_cast<uint8_t>(dx || dy ? peak / 2 : peak);
          }
        }
      }
    }
    return frames;
  }();
  return clip;
}

class ScratchDir {
 public:
  ScratchDir() {
    path_ = std::filesystem::temp_directory_path() /
            ("ombrix_media_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchDir() { std::filesystem::remove_all(path_); }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

void WriteFrames(benchmark::State& state, bool pseudoColor) {
  ScratchDir dir;
  const auto& clip = SkyClip();
  ombrix::MovieWriter writer(dir.File("bench.mp4"));
  int n = 0;
  for (auto _ : state) {
    writer.WriteFrame(clip[n % kClipFrames].data(), pseudoColor);
    ++n;
  }
  writer.Close();  // after the timed loop
  state.SetItemsProcessed(state.iterations());
}

void BM_WriteFrameGreyMp4(benchmark::State& state) {
  WriteFrames(state, false);
}
void BM_WriteFramePseudoColourMp4(benchmark::State& state) {
  WriteFrames(state, true);
}

// The floor: libavcodec's MPEG-4 encoder at the writer's settings, fed the same frames, with
// nothing around it but the copy of the brightness plane into the picture.
void BM_BareMpeg4Encoder(benchmark::State& state) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  context->bit_rate = 3000000;
  context->width = kFrameWidth;
  context->height = kFrameHeight;
  context->time_base = AVRational{100, 2997};
  context->framerate = AVRational{2997, 100};
  context->gop_size = 10;
  context->max_b_frames = 0;
  context->pix_fmt = AV_PIX_FMT_YUV420P;
  context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  avcodec_open2(context, codec, nullptr);
  AVFrame* picture = av_frame_alloc();
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = kFrameWidth;
  picture->height = kFrameHeight;
  av_frame_get_buffer(picture, 0);
  std::memset(picture->data[1], 128, picture->linesize[1] * kFrameHeight / 2);
  std::memset(picture->data[2], 128, picture->linesize[2] * kFrameHeight / 2);
  AVPacket* packet = av_packet_alloc();
  const auto& clip = SkyClip();
  int64_t n = 0;
  for (auto _ : state) {
    const uint8_t* frame = clip[n % kClipFrames].data();
    for (int row = 0; row < kFrameHeight; ++row) {
      std::memcpy(picture->data[0] + row * picture->linesize[0], frame + row * kFrameWidth,
                  kFrameWidth);
    }
    picture->pts = n++;
    avcodec_send_frame(context, picture);
    while (avcodec_receive_packet(context, packet) == 0) {
      benchmark::DoNotOptimize(packet->size);
      av_packet_unref(packet);
    }
  }
  state.SetItemsProcessed(state.iterations());
  av_packet_free(&packet);
  av_frame_free(&picture);
  avcodec_free_context(&context);
}

// One archive clip opened and read to its end; items are frames.
void BM_ReadFrameArchiveClip(benchmark::State& state) {
  ScratchDir dir;
  const std::string path = dir.File("s.mp4");
  {
    ombrix::MovieWriter writer(path);
    for (const auto& frame : SkyClip()) {
      writer.WriteFrame(frame.data(), false);
    }
  }
  std::vector<uint8_t> picture(kFrameBytes);
  int64_t frames = 0;
  for (auto _ : state) {
    ombrix::MovieReader reader(path);
    while (reader.readFrame(picture.data())) {
      ++frames;
    }
  }
  state.SetItemsProcessed(frames);
}

void BM_WriteJpegStill(benchmark::State& state) {
  ScratchDir dir;
  const std::string path = dir.File("t.jpg");
  for (auto _ : state) {
    ombrix::WriteJpegStill(path, SkyClip()[0].data());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_WritePngStill(benchmark::State& state) {
  ScratchDir dir;
  const std::string path = dir.File("a.png");
  std::vector<uint32_t> sums(kFrameBytes);
  for (const auto& frame : SkyClip()) {
    for (int i = 0; i < kFrameBytes; ++i) {
      sums[i] += frame[i];
    }
  }
  ombrix::NormalizeSums(sums.data());
  for (auto _ : state) {
    ombrix::WritePngStill(path, sums.data());
  }
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_BareMpeg4Encoder)->Unit(benchmark::kMicrosecond)->MinTime(3.0);
BENCHMARK(BM_WriteFrameGreyMp4)->Unit(benchmark::kMicrosecond)->MinTime(3.0);
BENCHMARK(BM_WriteFramePseudoColourMp4)->Unit(benchmark::kMicrosecond)->MinTime(3.0);
BENCHMARK(BM_ReadFrameArchiveClip)->Unit(benchmark::kMicrosecond)->MinTime(3.0);
BENCHMARK(BM_WriteJpegStill)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WritePngStill)->Unit(benchmark::kMicrosecond);
