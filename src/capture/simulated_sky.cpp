#include "capture/simulated_sky.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "base/frame.h"
#include "capture/frame_ring.h"

namespace ombrix {

namespace {

// Uniform in [0, 1) from 24 bits of the generator: the same numbers on every standard library.
double Uniform01(std::mt19937& random) {
  return (random() >> 8) * (1.0 / 16777216.0);
}

double Uniform(std::mt19937& random, double low, double high) {
  return low + (high - low) * Uniform01(random);
}

// Standard normal (Box-Muller).
double Gaussian(std::mt19937& random) {
  const double u1 = 1.0 - Uniform01(random);  // (0, 1]
  const double u2 = Uniform01(random);
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

// Writes count pixels of sky plus noise, clamped to 0..255, as YUYV with neutral chroma.
void AddNoiseAsYuyv(const uint8_t* __restrict sky, const int8_t* __restrict noise, size_t count,
                    uint8_t* __restrict yuyv) {
  for (size_t i = 0; i < count; ++i) {
    const int value = sky[i] + noise[i];
    yuyv[2 * i] = static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
    yuyv[2 * i + 1] = 128;
  }
}

uint64_t SplitMix64(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// The light curve: a quick rise to the peak at 30% of the flight, then a slower fall.
double LightCurve(double u) {
  constexpr double kRise = 0.3;
  if (u < kRise) {
    return std::sin(0.5 * std::numbers::pi * u / kRise);
  }
  return std::cos(0.5 * std::numbers::pi * (u - kRise) / (1.0 - kRise));
}

constexpr double kMeteorSigma = 1.2;  // streak half-width in pixels

}  // namespace

SkyFrameGenerator::SkyFrameGenerator(const SimulatedSkyOptions& options)
    : options_(options),
      sky_(std::make_unique<uint8_t[]>(kFrameBytes)),
      noise_(std::make_unique<int8_t[]>(size_t{1} << kNoiseTableBits)),
      meteorRandom_(options.seed ^ 0x2545F491u) {
  // Sky glow rising towards the edge of the fish-eye picture, then the stars.
  std::vector<float> sky(kFrameBytes);
  const double radius2 = 320.0 * 320.0 + 240.0 * 240.0;
  for (int y = 0; y < kFrameHeight; ++y) {
    for (int x = 0; x < kFrameWidth; ++x) {
      const double dx = x - 319.5;
      const double dy = y - 239.5;
      sky[y * kFrameWidth + x] = static_cast<float>(14.0 + 10.0 * (dx * dx + dy * dy) / radius2);
    }
  }
  std::mt19937 starRandom(options.seed);
  for (int star = 0; star < options.starCount; ++star) {
    const double cx = Uniform(starRandom, 0, kFrameWidth);
    const double cy = Uniform(starRandom, 0, kFrameHeight);
    const double u = Uniform01(starRandom);
    const double amplitude = 6.0 + 230.0 * u * u * u * u * u;  // many faint, a few bright
    const double sigma = 0.6 + 0.5 * Uniform01(starRandom);
    for (int y = static_cast<int>(cy) - 3; y <= static_cast<int>(cy) + 3; ++y) {
      for (int x = static_cast<int>(cx) - 3; x <= static_cast<int>(cx) + 3; ++x) {
        if (x < 0 || y < 0 || x >= kFrameWidth || y >= kFrameHeight) {
          continue;
        }
        const double d2 = (x + 0.5 - cx) * (x + 0.5 - cx) + (y + 0.5 - cy) * (y + 0.5 - cy);
        sky[y * kFrameWidth + x] +=
            static_cast<float>(amplitude * std::exp(-d2 / (2 * sigma * sigma)));
      }
    }
  }
  for (int i = 0; i < kFrameBytes; ++i) {
    sky_[i] = static_cast<uint8_t>(std::clamp(std::lround(sky[i]), 0l, 255l));
  }
  // Sensor noise, sigma 2 grey levels, cut at +-kMaxNoise.
  std::mt19937 noiseRandom(options.seed ^ 0x5BD1E995u);
  for (size_t i = 0; i < (size_t{1} << kNoiseTableBits); ++i) {
    noise_[i] = static_cast<int8_t>(
        std::clamp(std::lround(2.0 * Gaussian(noiseRandom)), -long{kMaxNoise}, long{kMaxNoise}));
  }
  meteors_.reserve(1024);
  if (options_.meteorsPerMinute > 0) {
    const double meanGap = 60.0 / options_.meteorsPerMinute * kFramesPerSecond;
    nextMeteorFrame_ = -std::log(1.0 - Uniform01(meteorRandom_)) * meanGap;
  }
}

void SkyFrameGenerator::AddMeteor() {
  SimulatedMeteor meteor;
  // The first whole frame at or after the meteor's start time: frames before it never show it,
  // whenever it is scheduled.
  meteor.firstFrame = static_cast<int64_t>(std::ceil(nextMeteorFrame_));
  constexpr double kMargin = 20;
  meteor.startX = Uniform(meteorRandom_, kMargin, kFrameWidth - kMargin);
  meteor.startY = Uniform(meteorRandom_, kMargin, kFrameHeight - kMargin);
  double length = 0;
  for (int attempt = 0; attempt < 100 && length < 60; ++attempt) {
    meteor.endX = Uniform(meteorRandom_, kMargin, kFrameWidth - kMargin);
    meteor.endY = Uniform(meteorRandom_, kMargin, kFrameHeight - kMargin);
    length = std::hypot(meteor.endX - meteor.startX, meteor.endY - meteor.startY);
  }
  const double speed = Uniform(meteorRandom_, 6, 18);  // pixels a frame
  const long frames =
      std::clamp(std::lround(length / speed), long{kMinMeteorFrames}, long{kMaxMeteorFrames});
  meteor.lastFrame = meteor.firstFrame + frames - 1;
  meteor.peakBrightness = static_cast<int>(Uniform(meteorRandom_, 120, 241));
  meteors_.push_back(meteor);
  const double meanGap = 60.0 / options_.meteorsPerMinute * kFramesPerSecond;
  nextMeteorFrame_ += -std::log(1.0 - Uniform01(meteorRandom_)) * meanGap;
}

void SkyFrameGenerator::ScheduleThrough(int64_t frameIndex) {
  while (options_.meteorsPerMinute > 0 && nextMeteorFrame_ <= static_cast<double>(frameIndex)) {
    AddMeteor();
  }
}

void SkyFrameGenerator::GenerateFrame(int64_t frameIndex, uint8_t* yuyv) {
  ScheduleThrough(frameIndex);
  constexpr size_t kMask = (size_t{1} << kNoiseTableBits) - 1;
  const size_t offset = static_cast<size_t>(
      SplitMix64((uint64_t{options_.seed} << 32) ^ static_cast<uint64_t>(frameIndex)));
  // The frame's noise is the table read from offset on, wrapping round at most once (the table
  // is longer than a frame): two contiguous runs, which the compiler vectorises.
  const size_t start = offset & kMask;
  const size_t firstRun = std::min<size_t>(kFrameBytes, kMask + 1 - start);
  AddNoiseAsYuyv(sky_.get(), noise_.get() + start, firstRun, yuyv);
  AddNoiseAsYuyv(sky_.get() + firstRun, noise_.get(), kFrameBytes - firstRun, yuyv + 2 * firstRun);
  auto meteor = std::lower_bound(
      meteors_.begin(), meteors_.end(), frameIndex - kMaxMeteorFrames,
      [](const SimulatedMeteor& m, int64_t frame) { return m.firstFrame < frame; });
  for (; meteor != meteors_.end() && meteor->firstFrame <= frameIndex; ++meteor) {
    if (meteor->lastFrame >= frameIndex) {
      DrawMeteor(*meteor, frameIndex, yuyv);
    }
  }
}

void SkyFrameGenerator::DrawMeteor(const SimulatedMeteor& meteor, int64_t frameIndex,
                                   uint8_t* yuyv) const {
  // The head's path during this frame's exposure, a short streak.
  const double frames = static_cast<double>(meteor.lastFrame - meteor.firstFrame + 1);
  const double k = static_cast<double>(frameIndex - meteor.firstFrame);
  const double brightness = meteor.peakBrightness * LightCurve((k + 0.5) / frames);
  const double dx = meteor.endX - meteor.startX;
  const double dy = meteor.endY - meteor.startY;
  const double ax = meteor.startX + dx * k / frames;
  const double ay = meteor.startY + dy * k / frames;
  const double bx = meteor.startX + dx * (k + 1) / frames;
  const double by = meteor.startY + dy * (k + 1) / frames;
  const double segment2 = (bx - ax) * (bx - ax) + (by - ay) * (by - ay);
  constexpr int kReach = 4;
  const int x0 = std::max(0, static_cast<int>(std::min(ax, bx)) - kReach);
  const int x1 = std::min(kFrameWidth - 1, static_cast<int>(std::max(ax, bx)) + kReach);
  const int y0 = std::max(0, static_cast<int>(std::min(ay, by)) - kReach);
  const int y1 = std::min(kFrameHeight - 1, static_cast<int>(std::max(ay, by)) + kReach);
  for (int y = y0; y <= y1; ++y) {
    for (int x = x0; x <= x1; ++x) {
      const double px = x + 0.5;
      const double py = y + 0.5;
      double t = segment2 > 0 ? ((px - ax) * (bx - ax) + (py - ay) * (by - ay)) / segment2 : 0;
      t = std::clamp(t, 0.0, 1.0);
      const double cx = ax + t * (bx - ax) - px;
      const double cy = ay + t * (by - ay) - py;
      const double add =
          brightness * std::exp(-(cx * cx + cy * cy) / (2 * kMeteorSigma * kMeteorSigma));
      if (add >= 0.5) {
        uint8_t& luma = yuyv[2 * (static_cast<size_t>(y) * kFrameWidth + x)];
        luma = static_cast<uint8_t>(std::min(255L, luma + std::lround(add)));
      }
    }
  }
}

std::string FormatMeteorTruth(UtcTime start, UtcTime end, const SimulatedMeteor& meteor) {
  char line[128];
  std::snprintf(line, sizeof line, "%s,%s,%.1f,%.1f,%.1f,%.1f,%d", MakeStamp(start).c_str(),
                MakeStamp(end).c_str(), meteor.startX, meteor.startY, meteor.endX, meteor.endY,
                meteor.peakBrightness);
  return line;
}

SimulatedSkySource::SimulatedSkySource(const SimulatedSkyOptions& options, const Clock& clock,
                                       Pacer& pacer, Notices& notices, std::string truthPath)
    : generator_(options),
      clock_(clock),
      pacer_(pacer),
      notices_(notices),
      truthPath_(std::move(truthPath)),
      sample_(std::make_unique<uint8_t[]>(kSampleSize640)) {}

bool SimulatedSkySource::Start(FrameRing& ring) {
  Stop();
  if (!truthPath_.empty()) {
    // The first start begins a new truth file; a restart goes on with it.
    truth_.reset(std::fopen(truthPath_.c_str(), nextFrame_ == 0 ? "wb" : "ab"));
    if (!truth_) {
      notices_.Say(Severity::kError, "simulated-sky",
                   "Could not open the meteor truth file " + truthPath_ + ".");
      return false;
    }
  }
  ring.sampleSize.store(kSampleSize640, std::memory_order_relaxed);
  framesDelivered_.store(0, std::memory_order_relaxed);
  thread_ = std::jthread([this, &ring](std::stop_token stop) { Deliver(stop, &ring); });
  return true;
}

void SimulatedSkySource::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  truth_.reset();
}

void SimulatedSkySource::Deliver(std::stop_token stop, FrameRing* ring) {
  // Frame k of this run is due at start + k frame periods.
  const auto due = [start = pacer_.Now()](int64_t k) {
    return start + std::chrono::duration_cast<std::chrono::nanoseconds>(k * kFramePeriod);
  };
  constexpr int64_t kLateFrames = 5;
  int64_t k = 0;
  while (!stop.stop_requested()) {
    generator_.GenerateFrame(nextFrame_, sample_.get());
    if (!pacer_.SleepUntil(due(k), stop)) {
      break;
    }
    ring->SampleArrived(clock_, sample_.get());
    RecordTruth(nextFrame_, ring->NewestStamp().value_or(UtcTime{}));
    framesDelivered_.fetch_add(1, std::memory_order_relaxed);
    ++nextFrame_;
    ++k;
    // Far behind (the machine was busy): the sky moves on, as a camera's would.
    const auto now = pacer_.Now();
    if (now > due(k + kLateFrames)) {
      const int64_t behind = (now - due(k)) / kFramePeriod;
      k += behind;
      nextFrame_ += behind;
      framesSkipped_.fetch_add(static_cast<uint64_t>(behind), std::memory_order_relaxed);
    }
  }
}

void SimulatedSkySource::RecordTruth(int64_t frameIndex, UtcTime stamp) {
  const std::vector<SimulatedMeteor>& meteors = generator_.meteors();
  if (truthStates_.size() < meteors.size()) {
    truthStates_.resize(meteors.size(), TruthState::kNotSeen);
    truthStarts_.resize(meteors.size());
    truthEnds_.resize(meteors.size());
  }
  for (size_t i = firstOpenMeteor_; i < meteors.size() && meteors[i].firstFrame <= frameIndex;
       ++i) {
    const SimulatedMeteor& meteor = meteors[i];
    TruthState& state = truthStates_[i];
    if (state == TruthState::kDone) {
      continue;
    }
    if (meteor.lastFrame >= frameIndex) {
      if (state == TruthState::kNotSeen) {
        truthStarts_[i] = stamp;
        state = TruthState::kShowing;
      }
      truthEnds_[i] = stamp;
    }
    if (meteor.lastFrame <= frameIndex) {
      // Ended in this frame, or in frames skipped since; a meteor never shown has no line.
      if (state == TruthState::kShowing && truth_) {
        const std::string line = FormatMeteorTruth(truthStarts_[i], truthEnds_[i], meteor);
        std::fprintf(truth_.get(), "%s\r\n", line.c_str());
        std::fflush(truth_.get());
      }
      state = TruthState::kDone;
    }
  }
  while (firstOpenMeteor_ < truthStates_.size() &&
         truthStates_[firstOpenMeteor_] == TruthState::kDone) {
    ++firstOpenMeteor_;
  }
}

}  // namespace ombrix
