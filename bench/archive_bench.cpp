// Per-frame cost of the archive recorder, and the time to cut an event out of the archive.
// Run in a release build on one core: taskset -c 0 archive_bench
//
// The recorder's own work per frame is
//   DetectAndRecord - DetectOnly - BareClipEncode
// (the detection pass and the encoder are measured on their own in the same run, on the same
// frames); SumPass and MaxPass are its two per-pixel passes.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/utc_time.h"
#include "capture/frame_ring.h"
#include "config/settings.h"
#include "detect/detector.h"
#include "detect/event_file.h"
#include "detect/threshold_map.h"
#include "media/movie_writer.h"
#include "media/stills.h"
#include "storage/archive_recorder.h"
#include "storage/event_extractor.h"
#include "storage/review_values.h"

namespace ombrix {
namespace {

constexpr int kSkyFrames = 30;

class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ombrix-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
    }
  }
  ~ScratchFolder() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class FixedClock final : public Clock {
 public:
  UtcTime UtcNow() const override { return now; }
  CalendarFields LocalNow() const override { return BreakUtcTime(now); }
  UtcTime now{};
};

// One second of night sky: a fixed star field under fresh sensor noise in every frame, and a
// meteor crossing it. Grey frames and the YUYV samples the capture delivers.
struct Sky {
  std::vector<std::vector<uint8_t>> frames;
  std::vector<std::vector<uint8_t>> samples;
};

const Sky& SkyClip() {
  static const Sky sky = [] {
    Sky s;
    std::mt19937 random(1);
    std::normal_distribution<double> noise(20.0, 3.0);
    std::uniform_int_distribution<int> x(2, kFrameWidth - 3), y(2, kFrameHeight - 3);
    std::vector<int> stars;
    for (int star = 0; star < 120; ++star) {
      stars.push_back(y(random) * kFrameWidth + x(random));
    }
    for (int f = 0; f < kSkyFrames; ++f) {
      std::vector<uint8_t> frame(kFrameBytes);
      for (auto& pixel : frame) {
        pixel = static_cast<uint8_t>(std::clamp(noise(random), 0.0, 255.0));
      }
      for (int star : stars) {
        frame[star] = 200;
      }
      for (int d = -3; d <= 3; ++d) {
        frame[(200 + 2 * f + d) * kFrameWidth + 100 + 8 * f] = 250;
      }
      std::vector<uint8_t> sample(kSampleSize640);
      for (int i = 0; i < kFrameBytes; ++i) {
        sample[2 * i] = frame[i];
        sample[2 * i + 1] = 128;
      }
      s.frames.push_back(std::move(frame));
      s.samples.push_back(std::move(sample));
    }
    return s;
  }();
  return sky;
}

void BM_SumPass(benchmark::State& state) {
  const Sky& sky = SkyClip();
  std::vector<uint32_t> sums(kFrameBytes, 0);
  int f = 0;
  for (auto _ : state) {
    AddFrameToSums(sums.data(), sky.frames[f].data());
    f = (f + 1) % kSkyFrames;
    benchmark::DoNotOptimize(sums.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SumPass)->Unit(benchmark::kMicrosecond);

void BM_MaxPass(benchmark::State& state) {
  const Sky& sky = SkyClip();
  std::vector<uint8_t> peak(kFrameBytes, 0);
  int f = 0;
  for (auto _ : state) {
    FoldFrameMax(peak.data(), sky.frames[f].data());
    f = (f + 1) % kSkyFrames;
    benchmark::DoNotOptimize(peak.data());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MaxPass)->Unit(benchmark::kMicrosecond);

// The encoder alone, one movie of 30 frames per clip as the recorder writes them.
void BM_BareClipEncode(benchmark::State& state) {
  const Sky& sky = SkyClip();
  ScratchFolder folder;
  std::optional<MovieWriter> writer;
  int f = 0;
  for (auto _ : state) {
    if (f == 0) {
      writer.emplace(folder.path() + "/bare.mp4");
    }
    writer->WriteFrame(sky.frames[f].data(), false);
    if (++f == kSkyFrames) {
      writer->Close();
      f = 0;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareClipEncode)->Unit(benchmark::kMicrosecond);

// The clip peak image, written once per clip (30 frames).
void BM_PeakStillPerClip(benchmark::State& state) {
  const Sky& sky = SkyClip();
  ScratchFolder folder;
  for (auto _ : state) {
    WriteJpegStill(folder.path() + "/peak.jpg", sky.frames[0].data());
  }
}
BENCHMARK(BM_PeakStillPerClip)->Unit(benchmark::kMicrosecond);

// Capture store and detection pass of one frame, with the archive sink either absent or the
// recorder. Capture times advance 33 ms a frame.
class DetectionRig {
 public:
  explicit DetectionRig(bool record) {
    settings.Update([this](Settings& s) {
      s.archiveFolder = folder.path();
      s.enabled = true;
      s.pngIntegrationFactor = 1;
    });
    detector = std::make_unique<Detector>(settings, ring, thresholds, events, clock, notices);
    detector->BuildThresholdMap();
    if (record) {
      recorder = std::make_unique<ArchiveRecorder>(*detector, notices);
      detector->SetArchiveSink(*recorder);
    }
    start = *ParseStamp("20261206_210000_000");
  }

  void Step() {
    const Sky& sky = SkyClip();
    ring.StoreFrame(sky.samples[frame_ % kSkyFrames].data(), start + frame_ * kNominalFrameSpacing);
    detector->DetectionStep();
    ++frame_;
  }

  ScratchFolder folder;
  SharedSettings settings;
  FrameRing ring;
  ThresholdMap thresholds;
  EventList events;
  FixedClock clock;
  Notices notices;
  std::unique_ptr<Detector> detector;
  std::unique_ptr<ArchiveRecorder> recorder;
  UtcTime start{};

 private:
  int64_t frame_ = 0;
};

void BM_DetectOnly(benchmark::State& state) {
  DetectionRig rig(false);
  for (auto _ : state) {
    rig.Step();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DetectOnly)->Unit(benchmark::kMicrosecond);

void BM_DetectAndRecord(benchmark::State& state) {
  DetectionRig rig(true);
  for (auto _ : state) {
    rig.Step();
  }
  rig.recorder->FinishClip();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DetectAndRecord)->Unit(benchmark::kMicrosecond);

// Cutting a 3-second event (peak image, movie and time history) from an archive of 7 seconds.
void BM_CutThreeSecondEvent(benchmark::State& state) {
  DetectionRig rig(true);
  for (int f = 0; f < 10 + 30 * 7; ++f) {
    rig.Step();
  }
  rig.recorder->FinishClip();
  ReviewValues review;
  EventExtractor extractor(rig.settings, rig.events, review, rig.clock, rig.recorder->progress(),
                           rig.notices);
  const UtcTime first = rig.start + std::chrono::seconds(2);
  const UtcTime last = rig.start + std::chrono::seconds(5);
  const std::string out = rig.folder.path() + "/cut";
  const std::shared_ptr<const Settings> settings = rig.settings.Get();
  for (auto _ : state) {
    extractor.ExtractEventImage(*settings, first - kImageWindowBefore, last + kImageWindowAfter,
                                out + ".jpg");
    extractor.ExtractEventMovie(*settings, first, last, out + ".mp4");
    extractor.ExtractEventTimeHistory(*settings, first, last, out + ".csv");
  }
}
BENCHMARK(BM_CutThreeSecondEvent)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ombrix
