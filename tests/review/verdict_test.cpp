#include "review/verdict.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "base/utc_time.h"
#include "calib/calibration.h"
#include "capture/frame_ring.h"
#include "capture/simulated_sky.h"
#include "detect/adaptive_threshold.h"

namespace ombrix {
namespace {

// An event's time history, one frame every 1001/30 ms, with sky coordinates from the default
// calibration; the centroid carries over frames without excess, as the station writes it.
class History {
 public:
  // One frame lit by the given sources: pixel count, excess, x, y each.
  struct Light {
    int pixels;
    int excess;
    double x;
    double y;
  };
  void Frame(std::initializer_list<Light> lights) {
    EventHistoryRow row;
    row.frame = last_;
    const int64_t ms = frames_++ * 1001 / 30;
    row.frame.time = UtcTime{std::chrono::milliseconds{1700000000000 + ms}};
    double sx = 0, sy = 0;
    row.frame.pixelCount = row.frame.excessSum = 0;
    for (const Light& l : lights) {
      row.frame.pixelCount += l.pixels;
      row.frame.excessSum += l.excess;
      sx += l.x * l.excess;
      sy += l.y * l.excess;
    }
    if (row.frame.excessSum > 0) {
      row.frame.centroidX = sx / row.frame.excessSum;
      row.frame.centroidY = sy / row.frame.excessSum;
      const AzEl position = PixelToAzEl(Calibration{}, row.frame.centroidX, row.frame.centroidY);
      row.azimuth = position.azimuth;
      row.elevation = position.elevation;
    }
    last_ = row.frame;
    rows.push_back(row);
  }
  int frames() const { return static_cast<int>(frames_); }

  std::vector<EventHistoryRow> rows;

 private:
  TimeHistoryRow last_{};
  int64_t frames_ = 0;
};

// Sources that keep shining: a satellite drifting 0.05 pixels a frame, an aircraft crossing at
// 0.2 pixels a frame whose strobe flashes two frames in 35, and blinking lamps.
History::Light Satellite(int frame) {
  return {5, 100, 500 + 0.05 * frame, 100};
}
std::vector<History::Light> Aircraft(int frame, double x = 100) {
  if (frame % 35 < 2) {
    return {{20, 3000, x + 0.2 * frame, 300 - 0.1 * frame}};
  }
  return {{4, 80, x + 0.2 * frame, 300 - 0.1 * frame}};
}

// A meteor in frames from..from+11 crossing 8 pixels a frame.
bool MeteorAt(int frame, int from, History::Light& light) {
  if (frame < from || frame >= from + 12) {
    return false;
  }
  light = {40, 2000, 200 + 8.0 * (frame - from), 200 + 3.0 * (frame - from)};
  return true;
}

TEST(Verdict, TellsMeteorsFromSlowMoversFlashesAndStationaryLights) {
  std::mt19937 random(1);
  struct Case {
    const char* name;
    std::vector<Verdict> allowed;
    std::function<void(History&, int)> frame;  // draws frame k of 120
  } cases[] = {
      {"meteor",
       {Verdict::kMeteor},
       [](History& h, int k) {
         History::Light m;
         MeteorAt(k, 40, m) ? h.Frame({m}) : h.Frame({});
       }},
      {"meteor under a drifting satellite",
       {Verdict::kMeteor},
       [](History& h, int k) {
         History::Light m;
         MeteorAt(k, 40, m) ? h.Frame({Satellite(k), m}) : h.Frame({Satellite(k)});
       }},
      {"meteor among an aircraft's strobes",
       {Verdict::kMeteor},
       [](History& h, int k) {
         History::Light m;
         std::vector<History::Light> a = Aircraft(k);
         if (MeteorAt(k, 50, m)) {
           h.Frame({a[0], m});
         } else {
           h.Frame({a[0]});
         }
       }},
      {"satellite flaring",
       {Verdict::kSlowMover, Verdict::kStationary},
       [](History& h, int k) {
         const double flare = std::exp(-std::pow((k - 60) / 20.0, 2));
         h.Frame({{static_cast<int>(3 + 30 * flare), static_cast<int>(60 + 3000 * flare),
                   400 + 0.1 * k, 240}});
       }},
      {"two aircraft",
       {Verdict::kSlowMover, Verdict::kStationary},
       [](History& h, int k) {
         const auto a = Aircraft(k), b = Aircraft(k + 33, 450);
         h.Frame({a[0], b[0]});
       }},
      {"aircraft beside a flickering lamp",
       {Verdict::kSlowMover},
       [&random](History& h, int k) {
         const int lamp = 3 + static_cast<int>(random() % 5);
         h.Frame({{lamp, 20 * lamp, 600, 50}, Aircraft(k)[0]});
       }},
      {"lightning",
       {Verdict::kFlash},
       [](History& h, int k) {
         k >= 40 && k < 43 ? h.Frame({{250000, 9000000, 320.0 + k, 240}}) : h.Frame({});
       }},
      {"blinking lamps",
       {Verdict::kStationary},
       [](History& h, int k) {
         k % 20 < 3 ? h.Frame({{15, 600, k % 40 < 20 ? 50.0 : 600.0, 400}}) : h.Frame({});
       }},
      {"noise",
       {Verdict::kStationary},
       [&random](History& h, int) {
         h.Frame(
             {{4, 60, static_cast<double>(random() % 640), static_cast<double>(random() % 480)}});
       }},
  };
  for (const Case& c : cases) {
    History history;
    for (int k = 0; k < 120; ++k) {
      c.frame(history, k);
    }
    const Verdict verdict = JudgeEvent(history.rows);
    EXPECT_NE(std::find(c.allowed.begin(), c.allowed.end(), verdict), c.allowed.end())
        << c.name << ": " << VerdictName(verdict);
  }
}

TEST(Verdict, ReadsTheEventLinesTheArchiveWrites) {
  TimeHistoryRow frame{*ParseStamp("20240315_211507_042"), 12, 345, 320.5, 240.0};
  char line[96];
  ASSERT_GT(FormatEventTimeHistoryLine(line, sizeof line, frame, 123.45, -5.5), 0);
  EventHistoryRow row;
  ASSERT_TRUE(ParseEventHistoryLine(line, row));
  EXPECT_EQ(row.frame.time, frame.time);
  EXPECT_EQ(row.frame.excessSum, 345);
  EXPECT_DOUBLE_EQ(row.azimuth, 123.45);
  EXPECT_DOUBLE_EQ(row.elevation, -5.5);
  ASSERT_GT(FormatTimeHistoryLine(line, sizeof line, frame), 0);
  EXPECT_FALSE(ParseEventHistoryLine(line, row)) << "a clip line has no sky coordinates";
}

// What the detection pass makes of the simulated sky's satellites and aircraft (without meteors),
// judged three seconds at a time as events would be: never a meteor, often a slow mover or
// stationary (several crossing at once may leave it unknown).
TEST(Verdict, SimulatedSatellitesAndAircraftAreNeverMeteors) {
  SkyFrameGenerator sky(
      {.seed = 2, .meteorsPerMinute = 0, .satellitesPerHour = 300, .aircraftPerHour = 300});
  AdaptiveThreshold adaptive;
  constexpr int kGap = 10;
  std::vector<std::vector<uint8_t>> recent(kGap + 1, std::vector<uint8_t>(kSampleSize640));
  std::vector<uint8_t> cur(kFrameBytes), ref(kFrameBytes), plain(kFrameBytes, 30);
  History history;
  std::vector<Verdict> verdicts;
  for (int frame = 0; frame < 1200; ++frame) {
    std::vector<uint8_t>& sample = recent[frame % (kGap + 1)];
    sky.GenerateFrame(frame, sample.data());
    if (frame < kGap) {
      continue;
    }
    const std::vector<uint8_t>& before = recent[(frame + 1) % (kGap + 1)];
    for (int i = 0; i < kFrameBytes; ++i) {
      cur[i] = sample[2 * i];
      ref[i] = before[2 * i];
    }
    const FrameExcess e = adaptive.Process(cur.data(), ref.data(), plain.data());
    history.Frame(
        {{e.pixelCount, e.excessSum, e.excessSum ? static_cast<double>(e.sx) / e.excessSum : 0,
          e.excessSum ? static_cast<double>(e.sy) / e.excessSum : 0}});
    if (history.frames() == 90) {
      verdicts.push_back(JudgeEvent(history.rows));
      EXPECT_NE(verdicts.back(), Verdict::kMeteor) << "frames to " << frame;
      history = History();
    }
  }
  ASSERT_GE(sky.objects().size(), 8u);
  EXPECT_GE(std::count_if(
                verdicts.begin(), verdicts.end(),
                [](Verdict v) { return v == Verdict::kSlowMover || v == Verdict::kStationary; }),
            4);
}

}  // namespace
}  // namespace ombrix
