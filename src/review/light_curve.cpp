#include "review/light_curve.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>

#include "detect/time_history.h"

namespace ombrix {

std::vector<LightCurvePoint> ReadLightCurve(const std::string& path) {
  std::vector<LightCurvePoint> points;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  std::optional<UtcTime> first;
  while (std::getline(in, line)) {
    TimeHistoryRow row;
    if (!ParseTimeHistoryLine(line.c_str(), row)) {
      continue;
    }
    if (!first) {
      first = row.time;
    }
    LightCurvePoint point;
    point.time_s = std::chrono::duration<double>(row.time - *first).count();
    point.pixelCount = row.pixelCount;
    point.excessSum = row.excessSum;
    // The event lines end in ",azimuth,elevation" after the five fields of every line.
    size_t comma = 0;
    for (int i = 0; i < 5 && comma != std::string::npos; ++i) {
      comma = line.find(',', comma == 0 ? 0 : comma + 1);
    }
    if (comma != std::string::npos) {
      std::sscanf(line.c_str() + comma + 1, "%lf,%lf", &point.azimuth, &point.elevation);
    }
    points.push_back(point);
  }
  return points;
}

std::vector<LightCurvePoint> SkyTrack(const std::vector<LightCurvePoint>& points) {
  std::vector<LightCurvePoint> track;
  std::copy_if(points.begin(), points.end(), std::back_inserter(track),
               [](const LightCurvePoint& p) { return p.pixelCount != 0; });
  return track;
}

}  // namespace ombrix
