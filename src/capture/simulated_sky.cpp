#include "capture/simulated_sky.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iterator>
#include <limits>
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

constexpr int64_t kForever = std::numeric_limits<int64_t>::max();
constexpr int kTextureSize = 256;
// The longest a lie lasts, in frames (a slow satellite or aircraft crossing the picture).
constexpr int64_t kMaxLieFrames = 12000;

uint32_t Hash(uint32_t a, uint64_t b) {
  return static_cast<uint32_t>(SplitMix64((uint64_t{a} << 32) ^ b) >> 32);
}

uint8_t& LumaAt(uint8_t* yuyv, int x, int y) {
  return yuyv[2 * (static_cast<size_t>(y) * kFrameWidth + x)];
}

void Brighten(uint8_t& luma, double add) {
  if (add >= 0.5) {
    luma = static_cast<uint8_t>(std::min(255L, luma + std::lround(add)));
  }
}

// A round spot of light: amplitude grey levels at its centre, falling off with sigma.
void DrawSpot(uint8_t* yuyv, double cx, double cy, double sigma, double amplitude) {
  const int reach = static_cast<int>(std::ceil(3 * sigma));
  const int x0 = std::max(0, static_cast<int>(cx) - reach);
  const int x1 = std::min(kFrameWidth - 1, static_cast<int>(cx) + reach);
  const int y0 = std::max(0, static_cast<int>(cy) - reach);
  const int y1 = std::min(kFrameHeight - 1, static_cast<int>(cy) + reach);
  for (int y = y0; y <= y1; ++y) {
    for (int x = x0; x <= x1; ++x) {
      const double dx = x + 0.5 - cx;
      const double dy = y + 0.5 - cy;
      Brighten(LumaAt(yuyv, x, y),
               amplitude * std::exp(-(dx * dx + dy * dy) / (2 * sigma * sigma)));
    }
  }
}

// The frames a straight crossing at `speed` pixels a frame lasts from (x, y) in direction
// (ux, uy) until it leaves the picture, between shortest and longest.
int64_t CrossingFrames(double x, double y, double ux, double uy, double speed, int64_t shortest,
                       int64_t longest) {
  double distance = 1e9;
  if (ux > 0)
    distance = std::min(distance, (kFrameWidth - x) / ux);
  if (ux < 0)
    distance = std::min(distance, -x / ux);
  if (uy > 0)
    distance = std::min(distance, (kFrameHeight - y) / uy);
  if (uy < 0)
    distance = std::min(distance, -y / uy);
  return std::clamp(static_cast<int64_t>(distance / speed), shortest, longest);
}

// 5x7 glyphs of the clock's characters, one byte a row, bit 4 the leftmost column.
struct Glyph {
  char c;
  uint8_t rows[7];
};
constexpr Glyph kGlyphs[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'/', {0x01, 0x01, 0x02, 0x04, 0x08, 0x10, 0x10}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'.', {0x00, 0x00, 0x00, 0x00, 0x00, 0x0C, 0x0C}},
};
// The clock: "YYYY/MM/DD hh:mm:ss.mmm" in glyphs drawn twice their size, 12 pixels apart, from
// (kClockX, kClockY); it starts at 21:59:00.000 so that minutes and the hour turn over soon.
constexpr int kClockX = 4;
constexpr int kClockY = 462;
constexpr int kClockChars = 23;
constexpr int kClockAdvance = 12;
constexpr int kClockLevel = 230;
constexpr int64_t kClockStart_ms = (21 * 3600 + 59 * 60) * 1000;

}  // namespace

bool ParseSimulatedObjects(std::string_view text, SimulatedSkyOptions& options,
                           std::string& error) {
  struct Lie {
    std::string_view name;
    double SimulatedSkyOptions::*perHour;  // or null
    double defaultValue;
  };
  static constexpr Lie kLies[] = {{"satellites", &SimulatedSkyOptions::satellitesPerHour, 20},
                                  {"aircraft", &SimulatedSkyOptions::aircraftPerHour, 8},
                                  {"lightning", &SimulatedSkyOptions::lightningPerHour, 6},
                                  {"clouds", &SimulatedSkyOptions::cloudsPerHour, 6},
                                  {"hotpixels", nullptr, 12},
                                  {"clock", nullptr, 1}};
  const auto set = [&options](const Lie& lie, double value) {
    if (lie.perHour != nullptr) {
      options.*(lie.perHour) = value;
    } else if (lie.name == "clock") {
      options.clock = true;
    } else {
      options.hotPixels = static_cast<int>(value);
    }
  };
  for (size_t begin = 0, comma = 0; comma != std::string_view::npos; begin = comma + 1) {
    comma = text.find(',', begin);
    const std::string_view item = text.substr(begin, comma - begin);
    const size_t equals = item.find('=');
    const std::string_view name = item.substr(0, equals);
    if (name == "all" && equals == std::string_view::npos) {
      for (const Lie& lie : kLies) {
        set(lie, lie.defaultValue);
      }
      continue;
    }
    const Lie* lie = std::find_if(std::begin(kLies), std::end(kLies),
                                  [&](const Lie& l) { return l.name == name; });
    if (lie == std::end(kLies)) {
      error = "unknown simulated object '" + std::string(name) +
              "' (use satellites, aircraft, lightning, clouds, clock, hotpixels or all)";
      return false;
    }
    double value = lie->defaultValue;
    if (equals != std::string_view::npos) {
      const bool perHour = lie->perHour != nullptr;
      const std::string number(item.substr(equals + 1));
      char* end = nullptr;
      value = std::strtod(number.c_str(), &end);
      if (lie->name == "clock" || number.empty() || *end != '\0' || !(value >= 0) ||
          value > (perHour ? 3600 : 1000) || (!perHour && value != std::floor(value))) {
        std::string why = "'" + number + "' for " + std::string(lie->name);
        why += lie->name == "clock" ? ": the clock takes no number"
               : perHour            ? ": N needs a number an hour from 0 to 3600"
                                    : ": N needs a whole number of pixels up to 1000";
        error = std::move(why);
        return false;
      }
    }
    set(*lie, value);
  }
  return true;
}

const char* SkyObjectKindName(SkyObjectKind kind) {
  switch (kind) {
    case SkyObjectKind::kMeteor:
      return "meteor";
    case SkyObjectKind::kSatellite:
      return "satellite";
    case SkyObjectKind::kAircraft:
      return "aircraft";
    case SkyObjectKind::kLightning:
      return "lightning";
    case SkyObjectKind::kCloud:
      return "cloud";
    case SkyObjectKind::kClock:
      return "clock";
    case SkyObjectKind::kHotPixel:
      return "hot pixel";
  }
  return "?";
}

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

  // The lies, each from its own random stream, so that the meteors and the frames of a sky
  // without lies stay as they are.
  objects_.reserve(1024);
  if (options_.clock) {
    SimulatedObject clock;
    clock.kind = SkyObjectKind::kClock;
    clock.lastFrame = kForever;
    clock.startX = kClockX;
    clock.startY = kClockY;
    clock.endX = kClockX + kClockChars * kClockAdvance - 3;
    clock.endY = kClockY + 13;
    clock.peakBrightness = kClockLevel;
    objects_.push_back(clock);
  }
  std::mt19937 hotRandom(options.seed ^ 0x68E31DA4u);
  for (int i = 0; i < options_.hotPixels; ++i) {
    SimulatedObject hot;
    hot.kind = SkyObjectKind::kHotPixel;
    hot.lastFrame = kForever;
    hot.startX = hot.endX = std::floor(Uniform(hotRandom, 0, kFrameWidth));
    hot.startY = hot.endY = std::floor(Uniform(hotRandom, 0, kFrameHeight - 24));
    hot.peakBrightness = static_cast<int>(Uniform(hotRandom, 60, 200));
    hot.period = static_cast<int>(Uniform(hotRandom, 2, 12));
    hot.random = hotRandom();
    objects_.push_back(hot);
  }
  permanentObjects_ = objects_.size();
  const std::pair<SkyObjectKind, double> rates[] = {
      {SkyObjectKind::kSatellite, options_.satellitesPerHour},
      {SkyObjectKind::kAircraft, options_.aircraftPerHour},
      {SkyObjectKind::kLightning, options_.lightningPerHour},
      {SkyObjectKind::kCloud, options_.cloudsPerHour}};
  for (const auto& [kind, perHour] : rates) {
    if (perHour > 0) {
      LieSchedule schedule{
          kind, perHour,
          std::mt19937(options.seed ^ (0x9E3779B9u * (1 + static_cast<uint32_t>(kind)))), 0};
      schedule.nextFrame =
          -std::log(1.0 - Uniform01(schedule.random)) * 3600.0 * kFramesPerSecond / perHour;
      lies_.push_back(std::move(schedule));
    }
  }
  if (options_.cloudsPerHour > 0) {
    // Cloud texture: value noise of two scales, 0..1, repeating every kTextureSize pixels.
    texture_ = std::make_unique<float[]>(kTextureSize * kTextureSize);
    std::mt19937 textureRandom(options.seed ^ 0x1B873593u);
    for (const auto& [cell, weight] : {std::pair{32, 0.65f}, std::pair{8, 0.35f}}) {
      const int cells = kTextureSize / cell;
      std::vector<float> grid(static_cast<size_t>(cells * cells));
      for (float& g : grid) {
        g = static_cast<float>(Uniform01(textureRandom));
      }
      for (int y = 0; y < kTextureSize; ++y) {
        for (int x = 0; x < kTextureSize; ++x) {
          const float fx = static_cast<float>(x) / cell, fy = static_cast<float>(y) / cell;
          const int gx = static_cast<int>(fx), gy = static_cast<int>(fy);
          const float tx = fx - gx, ty = fy - gy;
          const auto at = [&](int i, int j) {
            return grid[static_cast<size_t>((j % cells) * cells + i % cells)];
          };
          const float top = at(gx, gy) * (1 - tx) + at(gx + 1, gy) * tx;
          const float bottom = at(gx, gy + 1) * (1 - tx) + at(gx + 1, gy + 1) * tx;
          texture_[static_cast<size_t>(y * kTextureSize + x)] +=
              weight * (top * (1 - ty) + bottom * ty);
        }
      }
    }
  }
}

SimulatedObject SkyFrameGenerator::MakeLie(LieSchedule& schedule) {
  std::mt19937& random = schedule.random;
  SimulatedObject o;
  o.kind = schedule.kind;
  o.firstFrame = static_cast<int64_t>(std::ceil(schedule.nextFrame));
  o.random = random();
  const double angle = Uniform(random, 0, 2 * std::numbers::pi);
  const double ux = std::cos(angle), uy = std::sin(angle);
  double speed = 0;
  int64_t frames = 1;
  switch (o.kind) {
    case SkyObjectKind::kSatellite: {
      o.startX = Uniform(random, 20, kFrameWidth - 20);
      o.startY = Uniform(random, 20, kFrameHeight - 40);
      speed = Uniform(random, 0.03, 0.15);  // 0.3 to 1.7 degrees a second
      frames = CrossingFrames(o.startX, o.startY, ux, uy, speed, 300, 9000);
      o.steadyBrightness = static_cast<int>(Uniform(random, 40, 140));
      o.peakBrightness = o.steadyBrightness;
      if (Uniform01(random) < 0.4) {
        o.flareFrame = o.firstFrame + static_cast<int64_t>(Uniform(random, 0.2, 0.8) * frames);
        o.flareFrames = static_cast<int>(Uniform(random, 15, 45));
        o.peakBrightness =
            std::min(255, static_cast<int>(o.steadyBrightness * Uniform(random, 3, 6)));
      }
      break;
    }
    case SkyObjectKind::kAircraft:
      o.startX = Uniform(random, 20, kFrameWidth - 20);
      o.startY = Uniform(random, 20, kFrameHeight - 40);
      speed = Uniform(random, 0.05, 0.2);  // 0.6 to 2.3 degrees a second
      frames = CrossingFrames(o.startX, o.startY, ux, uy, speed, 600, kMaxLieFrames);
      o.period = static_cast<int>(Uniform(random, 30, 46));
      o.peakBrightness = 220;  // the strobe
      o.steadyBrightness = static_cast<int>(Uniform(random, 40, 90));
      break;
    case SkyObjectKind::kLightning:
      o.startX = o.endX = Uniform(random, 0, kFrameWidth);
      o.startY = o.endY = Uniform(random, 0, kFrameHeight);
      frames = static_cast<int64_t>(Uniform(random, 2, 7));
      o.peakBrightness = static_cast<int>(Uniform(random, 60, 180));
      break;
    case SkyObjectKind::kCloud: {
      o.size = Uniform(random, 80, 160);
      speed = Uniform(random, 0.1, 0.4);
      const double reach = 400 + o.size;
      const double side = Uniform(random, -150, 150);
      o.startX = 320 - ux * reach - uy * side;
      o.startY = 240 - uy * reach + ux * side;
      frames = std::min<int64_t>(kMaxLieFrames, static_cast<int64_t>(2 * reach / speed));
      o.peakBrightness = static_cast<int>(Uniform(random, 15, 45));
      break;
    }
    default:
      break;
  }
  if (o.kind != SkyObjectKind::kLightning) {
    o.endX = o.startX + ux * speed * static_cast<double>(frames - 1);
    o.endY = o.startY + uy * speed * static_cast<double>(frames - 1);
  }
  o.lastFrame = o.firstFrame + frames - 1;
  schedule.nextFrame +=
      -std::log(1.0 - Uniform01(random)) * 3600.0 * kFramesPerSecond / schedule.perHour;
  return o;
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
  // The lie that starts first goes next, so objects_ stays in order of first frames.
  while (true) {
    LieSchedule* next = nullptr;
    for (LieSchedule& schedule : lies_) {
      if (schedule.nextFrame <= static_cast<double>(frameIndex) &&
          (next == nullptr || schedule.nextFrame < next->nextFrame)) {
        next = &schedule;
      }
    }
    if (next == nullptr) {
      break;
    }
    objects_.push_back(MakeLie(*next));
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
  if (objects_.empty()) {
    return;
  }
  for (size_t i = 0; i < permanentObjects_; ++i) {
    DrawLie(objects_[i], frameIndex, yuyv);
  }
  auto lie = std::lower_bound(
      objects_.begin() + static_cast<std::ptrdiff_t>(permanentObjects_), objects_.end(),
      frameIndex - kMaxLieFrames,
      [](const SimulatedObject& o, int64_t frame) { return o.firstFrame < frame; });
  for (; lie != objects_.end() && lie->firstFrame <= frameIndex; ++lie) {
    if (lie->lastFrame >= frameIndex) {
      DrawLie(*lie, frameIndex, yuyv);
    }
  }
  if (options_.clock) {
    DrawClock(frameIndex, yuyv);
  }
}

void SkyFrameGenerator::DrawLie(const SimulatedObject& o, int64_t frameIndex, uint8_t* yuyv) const {
  const int64_t k = frameIndex - o.firstFrame;
  const double u = o.lastFrame > o.firstFrame
                       ? static_cast<double>(k) / static_cast<double>(o.lastFrame - o.firstFrame)
                       : 0;
  const double x = o.startX + (o.endX - o.startX) * u;
  const double y = o.startY + (o.endY - o.startY) * u;
  switch (o.kind) {
    case SkyObjectKind::kSatellite: {
      double brightness = o.steadyBrightness;
      if (o.flareFrame >= 0) {
        const double w = static_cast<double>(frameIndex - o.flareFrame) / o.flareFrames;
        brightness += (o.peakBrightness - o.steadyBrightness) * std::exp(-w * w);
      }
      DrawSpot(yuyv, x, y, 0.8, brightness);
      break;
    }
    case SkyObjectKind::kAircraft: {
      // Two steady wing lights either side of the track and a strobe in the middle.
      const double dx = o.endX - o.startX, dy = o.endY - o.startY;
      const double length = std::max(1e-9, std::hypot(dx, dy));
      const double px = -dy / length * 3, py = dx / length * 3;
      DrawSpot(yuyv, x + px, y + py, 0.9, o.steadyBrightness);
      DrawSpot(yuyv, x - px, y - py, 0.9, o.steadyBrightness);
      if ((k + o.random % o.period) % o.period < 2) {
        DrawSpot(yuyv, x, y, 1.3, o.peakBrightness);
      }
      break;
    }
    case SkyObjectKind::kLightning: {
      // Flickering from frame to frame, brightest towards its point.
      const double flicker =
          0.35 + 0.65 * (Hash(o.random, static_cast<uint64_t>(k)) % 1000) / 1000.0;
      const double level = o.peakBrightness * flicker;
      for (int py = 0; py < kFrameHeight; ++py) {
        for (int px = 0; px < kFrameWidth; ++px) {
          const double d = std::hypot(px - o.startX, py - o.startY);
          Brighten(LumaAt(yuyv, px, py), level * (1.0 - 0.6 * std::min(1.0, d / 700.0)));
        }
      }
      break;
    }
    case SkyObjectKind::kCloud: {
      const int reach = static_cast<int>(o.size);
      const int offset = static_cast<int>(o.random % kTextureSize);
      for (int py = std::max(0, static_cast<int>(y) - reach);
           py <= std::min(kFrameHeight - 1, static_cast<int>(y) + reach); ++py) {
        for (int px = std::max(0, static_cast<int>(x) - reach);
             px <= std::min(kFrameWidth - 1, static_cast<int>(x) + reach); ++px) {
          const double r2 = ((px - x) * (px - x) + (py - y) * (py - y)) / (o.size * o.size);
          if (r2 >= 1) {
            continue;
          }
          // The texture moves with the cloud.
          const int tx =
              ((px - static_cast<int>(std::floor(x)) + offset) % kTextureSize + kTextureSize) %
              kTextureSize;
          const int ty =
              ((py - static_cast<int>(std::floor(y))) % kTextureSize + kTextureSize) % kTextureSize;
          const double envelope = (1 - r2) * (1 - r2);
          Brighten(LumaAt(yuyv, px, py),
                   o.peakBrightness * envelope *
                       (0.3 + 1.4 * texture_[static_cast<size_t>(ty * kTextureSize + tx)]));
        }
      }
      break;
    }
    case SkyObjectKind::kHotPixel:
      if (Hash(o.random, static_cast<uint64_t>(frameIndex / o.period)) & 1) {
        Brighten(LumaAt(yuyv, static_cast<int>(o.startX), static_cast<int>(o.startY)),
                 o.peakBrightness);
      }
      break;
    default:
      break;
  }
}

void SkyFrameGenerator::DrawClock(int64_t frameIndex, uint8_t* yuyv) const {
  const int64_t ms = kClockStart_ms + frameIndex * 1001 / 30;
  const int64_t s = ms / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "2024/03/15 %02d:%02d:%02d.%03d",
                static_cast<int>(s / 3600 % 24), static_cast<int>(s / 60 % 60),
                static_cast<int>(s % 60), static_cast<int>(ms % 1000));
  for (int c = 0; c < kClockChars && text[c] != 0; ++c) {
    const Glyph* glyph = nullptr;
    for (const Glyph& g : kGlyphs) {
      if (g.c == text[c]) {
        glyph = &g;
      }
    }
    if (glyph == nullptr) {
      continue;  // a blank
    }
    for (int row = 0; row < 14; ++row) {
      for (int col = 0; col < 10; ++col) {
        if (glyph->rows[row / 2] & (0x10 >> (col / 2))) {
          LumaAt(yuyv, kClockX + c * kClockAdvance + col, kClockY + row) = kClockLevel;
        }
      }
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

namespace {

std::string FormatTruth(UtcTime start, UtcTime end, double startX, double startY, double endX,
                        double endY, int peakBrightness, SkyObjectKind kind) {
  char line[160];
  std::snprintf(line, sizeof line, "%s,%s,%.1f,%.1f,%.1f,%.1f,%d,%s", MakeStamp(start).c_str(),
                MakeStamp(end).c_str(), startX, startY, endX, endY, peakBrightness,
                SkyObjectKindName(kind));
  return line;
}

std::string FormatTruthOf(UtcTime start, UtcTime end, const SimulatedMeteor& meteor) {
  return FormatMeteorTruth(start, end, meteor);
}

std::string FormatTruthOf(UtcTime start, UtcTime end, const SimulatedObject& object) {
  return FormatObjectTruth(start, end, object);
}

bool Permanent(const SimulatedMeteor&) {
  return false;
}

bool Permanent(const SimulatedObject& object) {
  return object.lastFrame == kForever;
}

}  // namespace

std::string FormatMeteorTruth(UtcTime start, UtcTime end, const SimulatedMeteor& meteor) {
  return FormatTruth(start, end, meteor.startX, meteor.startY, meteor.endX, meteor.endY,
                     meteor.peakBrightness, SkyObjectKind::kMeteor);
}

std::string FormatObjectTruth(UtcTime start, UtcTime end, const SimulatedObject& object) {
  return FormatTruth(start, end, object.startX, object.startY, object.endX, object.endY,
                     object.peakBrightness, object.kind);
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

template <typename Object>
void SimulatedSkySource::RecordTruthOf(const std::vector<Object>& objects, TruthTrack& track,
                                       int64_t frameIndex, UtcTime stamp) {
  if (track.states.size() < objects.size()) {
    track.states.resize(objects.size(), TruthState::kNotSeen);
    track.starts.resize(objects.size());
    track.ends.resize(objects.size());
  }
  for (size_t i = track.firstOpen; i < objects.size() && objects[i].firstFrame <= frameIndex; ++i) {
    const Object& object = objects[i];
    TruthState& state = track.states[i];
    if (state == TruthState::kDone) {
      continue;
    }
    if (object.lastFrame >= frameIndex) {
      if (state == TruthState::kNotSeen) {
        track.starts[i] = stamp;
        state = TruthState::kShowing;
      }
      track.ends[i] = stamp;
    }
    // Ended in this frame, or in frames skipped since; an object never shown has no line. One
    // that never ends is told of when first shown.
    if (object.lastFrame <= frameIndex || Permanent(object)) {
      if (state == TruthState::kShowing && truth_) {
        const std::string line = FormatTruthOf(track.starts[i], track.ends[i], object);
        std::fprintf(truth_.get(), "%s\r\n", line.c_str());
        std::fflush(truth_.get());
      }
      state = TruthState::kDone;
    }
  }
  while (track.firstOpen < track.states.size() &&
         track.states[track.firstOpen] == TruthState::kDone) {
    ++track.firstOpen;
  }
}

void SimulatedSkySource::RecordTruth(int64_t frameIndex, UtcTime stamp) {
  RecordTruthOf(generator_.meteors(), meteorTruth_, frameIndex, stamp);
  RecordTruthOf(generator_.objects(), objectTruth_, frameIndex, stamp);
}
}  // namespace ombrix
