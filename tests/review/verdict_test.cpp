#include "review/verdict.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "base/utc_time.h"
#include "calib/calibration.h"

namespace ombrix {
namespace {

// What lights a frame: pixel count, excess and the place of one source.
struct Light {
  int pixels;
  int excess;
  double x;
  double y;
};
using Lights = std::vector<Light>;

// An event's time history, one frame every 1001/30 ms, with sky coordinates from the default
// calibration; the centroid carries over frames without excess, as the station writes it.
struct History {
  void Frame(const Lights& lights) {
    EventHistoryRow row{last, 0, 0};
    row.frame.time = UtcTime{} + std::chrono::milliseconds(rows.size() * 1001 / 30);
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
    last = row.frame;
    rows.push_back(row);
  }
  TimeHistoryRow last{};
  std::vector<EventHistoryRow> rows;
};

// A meteor in frames from..from+11 crossing 8 pixels a frame; a satellite drifting 0.05 pixels a
// frame; an aircraft crossing at 0.2 pixels a frame whose strobe flashes two frames in 35.
Lights Meteor(int k, int from) {
  if (k < from || k >= from + 12) {
    return {};
  }
  return {{40, 2000, 200 + 8.0 * (k - from), 200 + 3.0 * (k - from)}};
}
Light Satellite(int k) {
  return {5, 100, 500 + 0.05 * k, 100};
}
Light Aircraft(int k, double x = 100) {
  const bool strobe = k % 35 < 2;
  return {strobe ? 20 : 4, strobe ? 3000 : 80, x + 0.2 * k, 300 - 0.1 * k};
}
Lights operator+(Lights a, const Lights& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Verdict, TellsMeteorsFromSlowMoversFlashesAndStationaryLights) {
  std::mt19937 random(1);
  const auto flare = [](int k) { return std::exp(-std::pow((k - 60) / 20.0, 2)); };
  const struct {
    const char* name;
    std::vector<Verdict> allowed;
    std::function<Lights(int)> frame;  // frame k of 120
  } cases[] = {
      {"meteor", {Verdict::kMeteor}, [](int k) { return Meteor(k, 40); }},
      {"meteor under a drifting satellite",
       {Verdict::kMeteor},
       [](int k) { return Lights{Satellite(k)} + Meteor(k, 40); }},
      {"meteor among an aircraft's strobes",
       {Verdict::kMeteor},
       [](int k) { return Lights{Aircraft(k)} + Meteor(k, 50); }},
      {"satellite flaring",
       {Verdict::kSlowMover, Verdict::kStationary},
       [&](int k) {
         return Lights{{static_cast<int>(3 + 30 * flare(k)), static_cast<int>(60 + 3000 * flare(k)),
                        400 + 0.1 * k, 240}};
       }},
      {"two aircraft",
       {Verdict::kSlowMover, Verdict::kStationary},
       [](int k) {
         return Lights{Aircraft(k), Aircraft(k + 33, 450)};
       }},
      {"aircraft beside a flickering lamp",
       {Verdict::kSlowMover},
       [&](int k) {
         const int lamp = 3 + static_cast<int>(random() % 5);
         return Lights{{lamp, 20 * lamp, 600, 50}, Aircraft(k)};
       }},
      {"lightning",
       {Verdict::kFlash},
       [](int k) {
         return k >= 40 && k < 43 ? Lights{{250000, 9000000, 320.0 + k, 240}} : Lights{};
       }},
      {"blinking lamps",
       {Verdict::kStationary},
       [](int k) {
         return k % 20 < 3 ? Lights{{15, 600, k % 40 < 20 ? 50.0 : 600.0, 400}} : Lights{};
       }},
      {"noise",
       {Verdict::kStationary},
       [&](int) {
         return Lights{
             {4, 60, static_cast<double>(random() % 640), static_cast<double>(random() % 480)}};
       }},
  };
  for (const auto& c : cases) {
    History history;
    for (int k = 0; k < 120; ++k) {
      history.Frame(c.frame(k));
    }
    const Verdict verdict = JudgeEvent(history.rows);
    EXPECT_NE(std::find(c.allowed.begin(), c.allowed.end(), verdict), c.allowed.end())
        << c.name << ": " << VerdictName(verdict);
  }
}

TEST(Verdict, ReadsTheEventLinesTheArchiveWrites) {
  const TimeHistoryRow frame{*ParseStamp("20240315_211507_042"), 12, 345, 320.5, 240.0};
  char line[96];
  ASSERT_GT(FormatEventTimeHistoryLine(line, sizeof line, frame, 123.45, -5.5), 0);
  EventHistoryRow row;
  ASSERT_TRUE(ParseEventHistoryLine(line, row));
  EXPECT_EQ(std::tie(row.frame.time, row.frame.excessSum, row.azimuth, row.elevation),
            std::make_tuple(frame.time, 345, 123.45, -5.5));
  ASSERT_GT(FormatTimeHistoryLine(line, sizeof line, frame), 0);
  EXPECT_FALSE(ParseEventHistoryLine(line, row)) << "a clip line has no sky coordinates";
}

}  // namespace
}  // namespace ombrix
