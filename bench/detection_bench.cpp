// The detection pass over one 640x480 frame: the vectorised pass the detector runs beside the
// obvious per-pixel loop, with 0.1% and 10% of the pixels over their threshold; the same pass
// with the detector's two copies out of the frame ring (the frame and its reference) that come
// with it on every frame; the adaptive threshold's pass (measure with the neighbour test, then
// learn a quarter of the rows) on a quiet frame and with 0.1% of the pixels brightened, beside the
// plain pass on the same frames; the detector's whole work on one new frame of a quiet sky (copies
// out of the ring, the pass, the trigger) with adaptiveThreshold off and on; and the capture
// side's store of one sample into the ring.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "capture/frame_ring.h"
#include "detect/adaptive_threshold.h"
#include "detect/detector.h"
#include "detect/frame_excess.h"

namespace {

using ombrix::FrameExcess;
using ombrix::kFrameBytes;
using ombrix::kFrameWidth;

struct Frames {
  std::vector<uint8_t> cur;
  std::vector<uint8_t> ref;
  std::vector<uint8_t> thresholds;
};

// A noisy sky (changes within the threshold of 30) with the given share of pixels, in per
// hundred thousand, brightened well past it.
Frames MakeFrames(int overPer100k, uint32_t seed = 7) {
  Frames f{std::vector<uint8_t>(kFrameBytes), std::vector<uint8_t>(kFrameBytes),
           std::vector<uint8_t>(kFrameBytes, 30)};
  std::mt19937 random(seed);
  for (int i = 0; i < kFrameBytes; ++i) {
    f.ref[i] = static_cast<uint8_t>(20 + random() % 100);
    const bool over = static_cast<int>(random() % 100000) < overPer100k;
    f.cur[i] = static_cast<uint8_t>(f.ref[i] + (over ? 31 + random() % 100 : random() % 30) -
                                    (over ? 0 : random() % 20));
  }
  return f;
}

FrameExcess PlainExcess(const uint8_t* cur, const uint8_t* ref, const uint8_t* thresholds) {
  FrameExcess r;
  for (int i = 0; i < kFrameBytes; ++i) {
    const int e = cur[i] - ref[i] - thresholds[i];
    if (e > 0) {
      r.pixelCount += 1;
      r.excessSum += e;
      r.sx += static_cast<int64_t>(i % kFrameWidth) * e;
      r.sy += static_cast<int64_t>(i / kFrameWidth) * e;
    }
  }
  return r;
}

void BM_DetectionPass(benchmark::State& state) {
  const Frames f = MakeFrames(static_cast<int>(state.range(0)));
  FrameExcess r;
  for (auto _ : state) {
    r = ombrix::MeasureFrameExcess(f.cur.data(), f.ref.data(), f.thresholds.data());
    benchmark::DoNotOptimize(r);
  }
  state.counters["pixelCount"] = r.pixelCount;
  state.SetItemsProcessed(state.iterations() * kFrameBytes);
}

void BM_PlainPerPixelLoop(benchmark::State& state) {
  const Frames f = MakeFrames(static_cast<int>(state.range(0)));
  FrameExcess r;
  for (auto _ : state) {
    r = PlainExcess(f.cur.data(), f.ref.data(), f.thresholds.data());
    benchmark::DoNotOptimize(r);
  }
  state.counters["pixelCount"] = r.pixelCount;
  state.SetItemsProcessed(state.iterations() * kFrameBytes);
}

// What the detector does per frame: copy the frame and its reference out of the ring (each copy
// checked whole) and run the pass on the copies.
void BM_RingCopiesAndDetectionPass(benchmark::State& state) {
  const Frames f = MakeFrames(static_cast<int>(state.range(0)));
  auto ring = std::make_unique<ombrix::FrameRing>();
  std::vector<uint8_t> sample(ombrix::kSampleSize640);
  for (const std::vector<uint8_t>* frame : {&f.ref, &f.cur}) {
    for (int i = 0; i < kFrameBytes; ++i) {
      sample[2 * static_cast<size_t>(i)] = (*frame)[i];
    }
    ring->StoreFrame(sample.data(), ombrix::UtcTime{});
  }
  std::vector<uint8_t> cur(kFrameBytes);
  std::vector<uint8_t> ref(kFrameBytes);
  ombrix::UtcTime stamp;
  FrameExcess r;
  for (auto _ : state) {
    const bool whole =
        ring->CopyFrame(0, ref.data(), nullptr) && ring->CopyFrame(1, cur.data(), &stamp);
    r = ombrix::MeasureFrameExcess(cur.data(), ref.data(), f.thresholds.data());
    benchmark::DoNotOptimize(whole);
    benchmark::DoNotOptimize(r);
  }
  state.counters["pixelCount"] = r.pixelCount;
  state.SetItemsProcessed(state.iterations() * kFrameBytes);
}

// The capture thread's share: one 640x480 YUYV sample into the ring.
void BM_RingStoreFrame(benchmark::State& state) {
  auto ring = std::make_unique<ombrix::FrameRing>();
  std::vector<uint8_t> sample(ombrix::kSampleSize640, 77);
  for (auto _ : state) {
    ring->StoreFrame(sample.data(), ombrix::UtcTime{});
  }
  state.SetItemsProcessed(state.iterations() * kFrameBytes);
}

// The adaptive pass, armed after learning from 200 pairs of the noisy sky, on a pair of frames
// with the given share of pixels brightened past 30 (0: a quiet frame).
void BM_AdaptiveDetectionPass(benchmark::State& state) {
  const Frames f = MakeFrames(static_cast<int>(state.range(0)));
  auto adaptive = std::make_unique<ombrix::AdaptiveThreshold>();
  for (int k = 0; k < 200; ++k) {
    const Frames noise = MakeFrames(0, 100 + k);
    adaptive->Learn(noise.cur.data(), noise.ref.data(), f.thresholds.data());
    if (k % 50 == 0) {
      state.counters["armed"] = adaptive->armed();
    }
  }
  FrameExcess r;
  for (auto _ : state) {
    r = adaptive->Process(f.cur.data(), f.ref.data(), f.thresholds.data());
    benchmark::DoNotOptimize(r);
  }
  state.counters["pixelCount"] = r.pixelCount;
  state.SetItemsProcessed(state.iterations() * kFrameBytes);
}

class NoClock final : public ombrix::Clock {
 public:
  ombrix::UtcTime UtcNow() const override { return {}; }
  ombrix::CalendarFields LocalNow() const override { return {}; }
};

// Detector::DetectionStep for one new frame of a quiet sky with noise (the frame stored
// beforehand, outside the time taken), with adaptiveThreshold as the argument says; armed after
// 200 frames.
void BM_DetectorFrame(benchmark::State& state) {
  ombrix::Settings initial;
  initial.adaptiveThreshold = state.range(0) != 0;
  auto settings = std::make_unique<ombrix::SharedSettings>(initial);
  auto ring = std::make_unique<ombrix::FrameRing>();
  auto thresholds = std::make_unique<ombrix::ThresholdMap>();
  ombrix::EventList events;
  NoClock clock;
  ombrix::Notices notices;
  ombrix::Detector detector(*settings, *ring, *thresholds, events, clock, notices);
  detector.BuildThresholdMap();
  // One sky (the noisy sky's reference) with fresh sensor noise in each of 64 frames: roughly
  // normal, of a deviation of 4 grey levels.
  const Frames sky = MakeFrames(0);
  std::mt19937 random(11);
  std::vector<std::vector<uint8_t>> samples;
  for (uint32_t k = 0; k < 64; ++k) {
    samples.emplace_back(ombrix::kSampleSize640, 128);
    for (int i = 0; i < kFrameBytes; ++i) {
      const int noise = static_cast<int>(random() % 15 + random() % 15 + random() % 15) - 21;
      samples.back()[2 * static_cast<size_t>(i)] = static_cast<uint8_t>(sky.ref[i] + noise);
    }
  }
  int64_t frame = 0;
  const auto store = [&] {
    ring->StoreFrame(samples[static_cast<size_t>(frame % 64)].data(),
                     ombrix::UtcTime{} + frame * std::chrono::milliseconds(33));
    ++frame;
  };
  for (int k = 0; k < 200; ++k) {
    store();
    detector.DetectionStep();
  }
  for (auto _ : state) {
    store();
    const auto begin = std::chrono::steady_clock::now();
    detector.DetectionStep();
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
  }
  state.counters["pixelCount"] = detector.LastPixelCount();
  state.counters["lost"] = static_cast<double>(detector.FramesLost());
}

// Argument: pixels over threshold per 100000 (100 = 0.1%, 10000 = 10%).
BENCHMARK(BM_DetectionPass)->Arg(0)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AdaptiveDetectionPass)->Arg(0)->Arg(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RingCopiesAndDetectionPass)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_DetectorFrame)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RingStoreFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlainPerPixelLoop)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
