// The review's speed: replay of a 30-s event movie at slowdownFactor 0, the archive composite over
// one hour of clip peak images, and the export of a 30-s event movie (grey and pseudo-colour), the
// last against media_bench's BM_BareMpeg4Encoder as the floor.
// Run in a release build on one core: taskset -c 0 review_bench

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/folders.h"
#include "config/settings.h"
#include "detect/time_history.h"
#include "media/movie_writer.h"
#include "media/stills.h"
#include "review/export.h"
#include "review/replay.h"
#include "storage/review_values.h"

namespace {

using namespace ombrix;

constexpr int kEventFrames = 900;  // 30 s
constexpr const char* kKey = "20240315_211450_000";

// Night-sky frames: fixed stars under fresh sensor noise, and a meteor crossing.
std::vector<uint8_t> SkyFrame(int n) {
  static std::mt19937 random(1);
  std::normal_distribution<double> noise(20.0, 3.0);
  std::vector<uint8_t> frame(kFrameBytes);
  for (auto& pixel : frame) {
    pixel = static_cast<uint8_t>(std::clamp(noise(random), 0.0, 255.0));
  }
  std::mt19937 sky(7);
  std::uniform_int_distribution<int> x(2, kFrameWidth - 3), y(2, kFrameHeight - 3);
  for (int star = 0; star < 60; ++star) {
    frame[y(sky) * kFrameWidth + x(sky)] = 200;
  }
  const int mx = 50 + (n % 500), my = 100 + (n % 300);
  for (int dy = 0; dy < 5; ++dy) {
    for (int dx = 0; dx < 5; ++dx) {
      frame[(my + dy) * kFrameWidth + mx + dx] = 240;
    }
  }
  return frame;
}

// A base folder with one 30-s event (movie and time history) and one hour of clip peak images.
class Fixture {
 public:
  static Fixture& Get() {
    static Fixture fixture;
    return fixture;
  }
  ~Fixture() { std::filesystem::remove_all(base_); }

  Settings settings;
  std::string events;
  std::string moviePath;
  std::string historyPath;
  UtcTime hourStart = *ParseStamp("20240315_200000_000");
  UtcTime hourEnd = *ParseStamp("20240315_210000_000");

 private:
  Fixture() {
    base_ = std::filesystem::temp_directory_path() /
            ("ombrix_review_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(base_);
    settings.archiveFolder = base_.string();
    settings.slowdownFactor = 0;
    GetEventsFolder(base_.string(), events);
    moviePath = events + "/m" + kKey + ".mp4";
    historyPath = events + "/c" + kKey + ".csv";
    MovieWriter writer(moviePath);
    std::FILE* history = std::fopen(historyPath.c_str(), "wb");
    for (int n = 0; n < kEventFrames; ++n) {
      writer.WriteFrame(SkyFrame(n).data(), false);
      TimeHistoryRow row{};
      row.time = *ParseStamp(kKey) + n * kNominalFrameSpacing;
      row.pixelCount = 25;
      row.excessSum = 4000;
      row.centroidX = 52 + (n % 500);
      row.centroidY = 102 + (n % 300);
      WriteEventTimeHistoryLine(history, row, 0, 0);
    }
    static_cast<void>(writer.Close());
    std::fclose(history);
    // 3600 clip peak images, one a second, in 60 minute folders.
    std::string folder;
    for (int s = 0; s < 3600; ++s) {
      const Stamp stamp = MakeStamp(hourStart + std::chrono::milliseconds(1000LL * s + 1));
      GetArchiveMinuteFolder(base_.string(), folder, stamp, true);
      WriteJpegStill(folder + "/t" + stamp + ".jpg", SkyFrame(s).data());
    }
  }

  std::filesystem::path base_;
};

void BM_ReplayEventMovie30s(benchmark::State& state) {
  Fixture& fixture = Fixture::Get();
  ReviewValues review;
  std::vector<uint8_t> display(kFrameBytes);
  int64_t frames = 0;
  ReviewContext context{fixture.settings,
                        review,
                        [&] {
                          review.replayFrame.CopyTo(display.data());  // the window's copy
                          ++frames;
                        },
                        nullptr,
                        nullptr,
                        std::nullopt};
  for (auto _ : state) {
    ReplayEventMovie(context, fixture.moviePath, fixture.historyPath);
  }
  state.SetItemsProcessed(frames);
  state.counters["x_real_time"] = benchmark::Counter(static_cast<double>(frames) / kFramesPerSecond,
                                                     benchmark::Counter::kIsRate);
}

void BM_CompositeArchiveOneHour(benchmark::State& state) {
  Fixture& fixture = Fixture::Get();
  ReviewValues review;
  ReviewContext context{fixture.settings, review, nullptr, nullptr, nullptr, std::nullopt};
  int64_t images = 0;
  for (auto _ : state) {
    images += CompositeArchive(context, fixture.hourStart, fixture.hourEnd);
  }
  state.SetItemsProcessed(images);
}

void ExportEvent(benchmark::State& state, bool pseudoColor) {
  Fixture& fixture = Fixture::Get();
  const std::string output = fixture.events + "/../export.mp4";
  int64_t frames = 0;
  for (auto _ : state) {
    frames +=
        ExportEventMovie(fixture.settings, fixture.moviePath, output, pseudoColor, true).frames;
  }
  state.SetItemsProcessed(frames);
}

void BM_ExportEventMovie30sGrey(benchmark::State& state) {
  ExportEvent(state, false);
}
void BM_ExportEventMovie30sPseudoColour(benchmark::State& state) {
  ExportEvent(state, true);
}

}  // namespace

BENCHMARK(BM_ReplayEventMovie30s)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_CompositeArchiveOneHour)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_ExportEventMovie30sGrey)->Unit(benchmark::kMillisecond)->MinTime(3.0);
BENCHMARK(BM_ExportEventMovie30sPseudoColour)->Unit(benchmark::kMillisecond)->MinTime(3.0);
