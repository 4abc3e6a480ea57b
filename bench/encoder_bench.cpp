// Encoder settings for the archive's MPEG-4 clips: CPU per 640x480 frame and quality of each
// candidate on three kinds of sky. The format is fixed (MPEG-4 Part 2, 3 Mbit/s, GOP 10, YUV
// 4:2:0, no B-frames); a candidate only changes what the encoder may choose freely (motion search,
// macroblock decision, quantiser limits, threads).
//
// Each benchmark encodes a clip of kEncodedFrames frames kRuns times in each of kRepetitions
// repetitions; the "_min" line reports the best encode:
//   ms_frame  process CPU time per frame (all threads; the machine may be shared, so CPU time of
//             the best run rather than wall time),
//   psnr_db   PSNR of the decoded brightness against the input, over the whole clip,
//   kbit_s    the bit rate the rate control reached (at 29.97 frames/s).
// The "Writer" rows run MovieWriter itself (file written, read back with MovieReader), so they
// show the settings the station uses.
//
// Inputs: "Sim" the simulated sky the station runs on, "Streaks" a noisier sky crossed by fast
// bright streaks, "Clouds" a star field under slowly drifting, changing clouds with sensor noise.
// ENCODER_BENCH_CLIP=path adds a fourth input read from a movie file (its first kEncodedFrames
// frames); ENCODER_BENCH_OPTIONS="key=value:key=value" adds a candidate of one's own. Run in a
// release build, repetitions interleaved so that a burst of other load spreads over all rows:
//   encoder_bench --benchmark_enable_random_interleaving=true

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "base/frame.h"
#include "capture/simulated_sky.h"
#include "media/movie_reader.h"
#include "media/movie_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
}

namespace {

using ombrix::kFrameBytes;
using ombrix::kFrameHeight;
using ombrix::kFrameWidth;
constexpr int kEncodedFrames = 240;  // 8 s: 24 groups of pictures, long enough for the rate control
constexpr int kRuns = 2;             // encodes per repetition; the best is reported
constexpr int kRepetitions = 5;      // and the best repetition (run them interleaved, see above)
using ombrix::kFramesPerSecond;

using Clip = std::vector<std::vector<uint8_t>>;

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

uint8_t ToPixel(double v) {
  return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

// Standard-normal samples to draw sensor noise from, read at a random offset for each frame.
class NoiseTable {
 public:
  explicit NoiseTable(uint32_t seed) : values_(1 << 20), random_(seed) {
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (auto& v : values_) {
      v = normal(random_);
    }
  }
  // kFrameBytes samples, starting somewhere new each call.
  const float* Next() {
    const size_t start = random_() % (values_.size() - kFrameBytes);
    return values_.data() + start;
  }

 private:
  std::vector<float> values_;
  std::mt19937 random_;
};

// Stars as a fixed brightness field of small Gaussian spots.
std::vector<float> StarField(uint32_t seed, int count) {
  std::vector<float> field(kFrameBytes, 0.0f);
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> x(3, kFrameWidth - 4), y(3, kFrameHeight - 4);
  std::exponential_distribution<double> level(1.0 / 40.0);
  for (int star = 0; star < count; ++star) {
    const double cx = x(random), cy = y(random), peak = std::min(230.0, 15.0 + level(random));
    for (int py = static_cast<int>(cy) - 2; py <= static_cast<int>(cy) + 2; ++py) {
      for (int px = static_cast<int>(cx) - 2; px <= static_cast<int>(cx) + 2; ++px) {
        const double d2 = (px - cx) * (px - cx) + (py - cy) * (py - cy);
        field[py * kFrameWidth + px] += static_cast<float>(peak * std::exp(-d2 / 1.2));
      }
    }
  }
  return field;
}

// The station's own simulated sky, with meteors more often than usual so the clip has some.
Clip SimulatedSkyClip() {
  ombrix::SimulatedSkyOptions options;
  options.seed = 3;
  options.meteorsPerMinute = 30.0;
  ombrix::SkyFrameGenerator generator(options);
  std::vector<uint8_t> yuyv(kFrameBytes * 2);
  Clip clip(kEncodedFrames, std::vector<uint8_t>(kFrameBytes));
  for (int f = 0; f < kEncodedFrames; ++f) {
    generator.GenerateFrame(f, yuyv.data());
    for (int i = 0; i < kFrameBytes; ++i) {
      clip[f][i] = yuyv[2 * i];
    }
  }
  return clip;
}

// A noisy sky (sensor noise of 6 grey levels) crossed all the time by four bright streaks of
// 30 to 60 pixels that move 8 to 30 pixels a frame and start again elsewhere when they leave.
Clip StreakClip() {
  const std::vector<float> stars = StarField(11, 250);
  NoiseTable noise(12);
  std::mt19937 random(13);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  struct Streak {
    double x, y, dx, dy, length, peak;
  };
  auto spawn = [&] {
    const double angle = 2.0 * std::numbers::pi * unit(random), speed = 8.0 + 22.0 * unit(random);
    return Streak{40 + 560 * unit(random), 40 + 400 * unit(random), speed * std::cos(angle),
                  speed * std::sin(angle), 30 + 30 * unit(random),  120 + 130 * unit(random)};
  };
  std::vector<Streak> streaks(4);
  for (auto& s : streaks) {
    s = spawn();
  }
  Clip clip(kEncodedFrames, std::vector<uint8_t>(kFrameBytes));
  std::vector<float> frame(kFrameBytes);
  for (int f = 0; f < kEncodedFrames; ++f) {
    const float* n = noise.Next();
    for (int i = 0; i < kFrameBytes; ++i) {
      frame[i] = 24.0f + stars[i] + 6.0f * n[i];
    }
    for (auto& s : streaks) {
      // A line from the head back along the motion, 1.5 pixels wide, fading towards its tail.
      const double speed = std::hypot(s.dx, s.dy), ux = s.dx / speed, uy = s.dy / speed;
      for (double t = 0; t < s.length; t += 0.5) {
        const double hx = s.x - ux * t, hy = s.y - uy * t;
        const double level = s.peak * (1.0 - t / s.length);
        for (int py = static_cast<int>(hy) - 2; py <= static_cast<int>(hy) + 2; ++py) {
          for (int px = static_cast<int>(hx) - 2; px <= static_cast<int>(hx) + 2; ++px) {
            if (px < 0 || py < 0 || px >= kFrameWidth || py >= kFrameHeight) {
              continue;
            }
            // Distance from the line through the head.
            const double across = std::abs((px - hx) * uy - (py - hy) * ux);
            float& p = frame[py * kFrameWidth + px];
            p = std::max(p, static_cast<float>(24.0 + level * std::exp(-across * across / 1.1)));
          }
        }
      }
      s.x += s.dx;
      s.y += s.dy;
      if (s.x < -60 || s.y < -60 || s.x > kFrameWidth + 60 || s.y > kFrameHeight + 60) {
        s = spawn();
      }
    }
    std::transform(frame.begin(), frame.end(), clip[f].begin(), ToPixel);
  }
  return clip;
}

// Smooth value noise: a lattice of random values, interpolated with a smooth step.
class ValueNoise {
 public:
  ValueNoise(uint32_t seed, double cell) : cell_(cell), values_(kSize * kSize) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (auto& v : values_) {
      v = unit(random);
    }
  }
  float At(double x, double y) const {
    x /= cell_;
    y /= cell_;
    const double fx = std::floor(x), fy = std::floor(y);
    const int ix = static_cast<int>(fx) & (kSize - 1), iy = static_cast<int>(fy) & (kSize - 1);
    const int jx = (ix + 1) & (kSize - 1), jy = (iy + 1) & (kSize - 1);
    const float tx = Smooth(static_cast<float>(x - fx)), ty = Smooth(static_cast<float>(y - fy));
    const float top =
        values_[iy * kSize + ix] + tx * (values_[iy * kSize + jx] - values_[iy * kSize + ix]);
    const float bottom =
        values_[jy * kSize + ix] + tx * (values_[jy * kSize + jx] - values_[jy * kSize + ix]);
    return top + ty * (bottom - top);
  }

 private:
  static constexpr int kSize = 64;
  static float Smooth(float t) { return t * t * (3.0f - 2.0f * t); }
  double cell_;
  std::vector<float> values_;
};

// Clouds lit by a low moon drifting over a star field: three octaves of value noise moving at
// 0.4 to 1.2 pixels a frame in slightly different directions, so the clouds also change shape.
// Thick cloud hides the stars and glows up to 70 grey levels; sensor noise of 3 grey levels.
Clip CloudClip() {
  const std::vector<float> stars = StarField(21, 300);
  NoiseTable noise(22);
  const ValueNoise coarse(23, 170.0), middle(24, 70.0), fine(25, 28.0);
  Clip clip(kEncodedFrames, std::vector<uint8_t>(kFrameBytes));
  for (int f = 0; f < kEncodedFrames; ++f) {
    const float* n = noise.Next();
    for (int y = 0; y < kFrameHeight; ++y) {
      for (int x = 0; x < kFrameWidth; ++x) {
        const float c = 0.55f * coarse.At(x - 0.6 * f, y - 0.25 * f) +
                        0.30f * middle.At(x - 0.9 * f, y - 0.15 * f) +
                        0.15f * fine.At(x - 1.2 * f, y + 0.1 * f);
        const float cover = std::clamp((c - 0.35f) / 0.35f, 0.0f, 1.0f);  // 0 clear, 1 thick
        const float glow = 8.0f * (std::hypot(x - 320.0f, y - 240.0f) / 400.0f);
        const int i = y * kFrameWidth + x;
        clip[f][i] =
            ToPixel(18.0f + glow + 70.0f * cover * cover + (1.0f - cover) * stars[i] + 3.0f * n[i]);
      }
    }
  }
  return clip;
}

Clip FileClip(const char* path) {
  Clip clip;
  ombrix::MovieReader reader(path);
  std::vector<uint8_t> frame(kFrameBytes);
  while (static_cast<int>(clip.size()) < kEncodedFrames && reader.readFrame(frame.data())) {
    clip.push_back(frame);
  }
  return clip;
}

// Each input is made when a benchmark first asks for it (a filtered run makes only its own).
const Clip& Input(int input) {
  switch (input) {
    case 0: {
      static const Clip clip = SimulatedSkyClip();
      return clip;
    }
    case 1: {
      static const Clip clip = StreakClip();
      return clip;
    }
    case 2: {
      static const Clip clip = CloudClip();
      return clip;
    }
    default: {
      static const Clip clip = FileClip(std::getenv("ENCODER_BENCH_CLIP"));
      return clip;
    }
  }
}

// PSNR of the decoded brightness against the input, from the mean squared error of the clip.
double Psnr(const Clip& input, const Clip& decoded) {
  if (decoded.size() != input.size()) {
    return 0.0;
  }
  double squares = 0;
  for (size_t f = 0; f < input.size(); ++f) {
    for (int i = 0; i < kFrameBytes; ++i) {
      const double d = static_cast<double>(input[f][i]) - decoded[f][i];
      squares += d * d;
    }
  }
  const double mse = squares / (static_cast<double>(kFrameBytes) * input.size());
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

void Report(benchmark::State& state, double bestCpu, double psnr, double bytes) {
  state.counters["ms_frame"] = 1000.0 * bestCpu / kEncodedFrames;
  state.counters["psnr_db"] = psnr;
  state.counters["kbit_s"] = bytes * 8.0 / 1000.0 / (kEncodedFrames / kFramesPerSecond);
}

// The bare encoder at the archive's fixed format plus the candidate's options, fed the clip as
// MovieWriter feeds it (brightness into Y, neutral chroma); then the last run's packets decoded.
void EncodeCandidate(benchmark::State& state, int input, const char* options) {
  const Clip& clip = Input(input);
  if (clip.size() != static_cast<size_t>(kEncodedFrames)) {
    state.SkipWithError("no input clip");
    return;
  }
  std::vector<std::vector<uint8_t>> packets;
  double best = 1e9;
  for (auto _ : state) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    AVCodecContext* c = avcodec_alloc_context3(codec);
    c->bit_rate = 3000000;
    c->width = kFrameWidth;
    c->height = kFrameHeight;
    c->time_base = AVRational{100, 2997};
    c->framerate = AVRational{2997, 100};
    c->gop_size = 10;
    c->max_b_frames = 0;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* dict = nullptr;
    av_dict_parse_string(&dict, options, "=", ":", 0);
    const int opened = avcodec_open2(c, codec, &dict);
    const bool unused = av_dict_count(dict) != 0;
    av_dict_free(&dict);
    if (opened < 0 || unused) {
      avcodec_free_context(&c);
      state.SkipWithError("options refused");
      return;
    }
    AVFrame* picture = av_frame_alloc();
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = kFrameWidth;
    picture->height = kFrameHeight;
    av_frame_get_buffer(picture, 0);
    AVPacket* packet = av_packet_alloc();
    packets.clear();
    const double start = ProcessCpuSeconds();
    for (int f = 0; f <= kEncodedFrames; ++f) {
      if (f < kEncodedFrames) {
        av_frame_make_writable(picture);
        for (int row = 0; row < kFrameHeight; ++row) {
          std::memcpy(picture->data[0] + row * picture->linesize[0],
                      clip[f].data() + row * kFrameWidth, kFrameWidth);
        }
        for (int row = 0; row < kFrameHeight / 2; ++row) {
          std::memset(picture->data[1] + row * picture->linesize[1], 128, kFrameWidth / 2);
          std::memset(picture->data[2] + row * picture->linesize[2], 128, kFrameWidth / 2);
        }
        picture->pts = f;
      }
      avcodec_send_frame(c, f < kEncodedFrames ? picture : nullptr);
      while (avcodec_receive_packet(c, packet) == 0) {
        packets.emplace_back(packet->data, packet->data + packet->size);
        av_packet_unref(packet);
      }
    }
    const double cpu = ProcessCpuSeconds() - start;
    best = std::min(best, cpu);
    state.SetIterationTime(cpu);
    std::vector<uint8_t> extradata(c->extradata, c->extradata + c->extradata_size);
    av_packet_free(&packet);
    av_frame_free(&picture);
    avcodec_free_context(&c);
    if (!packets.empty()) {
      packets.front().insert(packets.front().begin(), extradata.begin(), extradata.end());
    }
  }

  // Decode what the last run gave.
  const AVCodec* decoder = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  AVCodecContext* d = avcodec_alloc_context3(decoder);
  avcodec_open2(d, decoder, nullptr);
  AVFrame* picture = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  Clip decoded;
  double bytes = 0;
  auto take = [&] {
    while (avcodec_receive_frame(d, picture) == 0) {
      std::vector<uint8_t> frame(kFrameBytes);
      for (int row = 0; row < kFrameHeight; ++row) {
        std::memcpy(frame.data() + row * kFrameWidth, picture->data[0] + row * picture->linesize[0],
                    kFrameWidth);
      }
      decoded.push_back(std::move(frame));
    }
  };
  for (auto& bits : packets) {
    bytes += static_cast<double>(bits.size());
    packet->data = bits.data();
    packet->size = static_cast<int>(bits.size());
    avcodec_send_packet(d, packet);
    take();
  }
  avcodec_send_packet(d, nullptr);
  take();
  av_packet_free(&packet);
  av_frame_free(&picture);
  avcodec_free_context(&d);
  Report(state, best, Psnr(clip, decoded), bytes);
}

// MovieWriter as the station runs it: the clip written to an MP4 file and read back.
void EncodeWriter(benchmark::State& state, int input) {
  const Clip& clip = Input(input);
  if (clip.size() != static_cast<size_t>(kEncodedFrames)) {
    state.SkipWithError("no input clip");
    return;
  }
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() /
      ("ombrix_encoder_bench_" + std::to_string(::getpid()) + ".mp4");
  double best = 1e9;
  for (auto _ : state) {
    const double start = ProcessCpuSeconds();
    ombrix::MovieWriter writer(path.string());
    for (const auto& frame : clip) {
      writer.WriteFrame(frame.data(), false);
    }
    writer.Close();
    const double cpu = ProcessCpuSeconds() - start;
    best = std::min(best, cpu);
    state.SetIterationTime(cpu);
  }
  Clip decoded;
  ombrix::MovieReader reader(path.string());
  std::vector<uint8_t> frame(kFrameBytes);
  while (reader.readFrame(frame.data())) {
    decoded.push_back(frame);
  }
  const double bytes = static_cast<double>(std::filesystem::file_size(path));
  std::filesystem::remove(path);
  Report(state, best, Psnr(clip, decoded), bytes);
}

// Candidates: AVOptions of the MPEG-4 encoder on top of the fixed format.
struct Candidate {
  const char* name;
  const char* options;
};
std::vector<Candidate> Candidates() {
  std::vector<Candidate> list = {
      {"Default", ""},  // what the writer uses: EPZS search, unlimited range, mbd simple, 1 thread
      {"ZeroMv", "motion_est=zero"},  // no motion search at all
      {"Xone", "motion_est=xone"},
      {"Range4", "me_range=4"},  // vectors within +-4 pixels
      {"Mv0Early",
       "mv0_threshold=100000"},  // accept a zero vector whenever its neighbours have one
      {"Qmin3", "qmin=3"},       // never quantise finer than 3
      {"NoiseRed60", "noise_reduction=60"},  // DCT-domain denoising before quantisation
      {"Threads2", "threads=2"},             // two slices on two threads
      {"Q31", "qmin=31"},                    // reference only: the coarsest quantiser (the floor)
      {"Q31ZeroMv", "qmin=31:motion_est=zero"},  // reference only: coarsest, no search
  };
  if (const char* extra = std::getenv("ENCODER_BENCH_OPTIONS")) {
    list.push_back({"Extra", extra});
  }
  return list;
}
const char* const kInputs[] = {"Sim", "Streaks", "Clouds", "File"};

double Min(const std::vector<double>& values) {
  return *std::min_element(values.begin(), values.end());
}

void Settings(benchmark::internal::Benchmark* b) {
  b->Iterations(kRuns)
      ->Repetitions(kRepetitions)
      ->ComputeStatistics("min", Min)
      ->DisplayAggregatesOnly(true)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

void RegisterAll() {
  const int inputs = std::getenv("ENCODER_BENCH_CLIP") != nullptr ? 4 : 3;
  for (int input = 0; input < inputs; ++input) {
    const std::string prefix = std::string("BM_") + kInputs[input] + "/";
    static const std::vector<Candidate> candidates = Candidates();
    for (const auto& candidate : candidates) {
      benchmark::RegisterBenchmark((prefix + candidate.name).c_str(), EncodeCandidate, input,
                                   candidate.options)
          ->Apply(Settings);
    }
    benchmark::RegisterBenchmark((prefix + "Writer").c_str(), EncodeWriter, input)->Apply(Settings);
  }
}

[[maybe_unused]] const bool registered = (RegisterAll(), true);

}  // namespace
