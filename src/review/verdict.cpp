#include "review/verdict.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <optional>
#include <vector>

#include "base/stamp.h"

namespace ombrix {
namespace {

struct Point {
  double t;  // seconds after the event's first row
  double x;
  double y;
  double azimuth;
  double elevation;
  int pixels;
};

double Radians(double degrees) {
  return degrees * std::numbers::pi / 180.0;
}

double AngleBetween(double az1, double el1, double az2, double el2) {
  const double a1 = Radians(az1), e1 = Radians(el1), a2 = Radians(az2), e2 = Radians(el2);
  const double c = std::sin(e1) * std::sin(e2) + std::cos(e1) * std::cos(e2) * std::cos(a1 - a2);
  return std::acos(std::clamp(c, -1.0, 1.0)) * 180.0 / std::numbers::pi;
}

// A line through the mean of points along their main direction (principal axis).
struct Line {
  double mx, my, ux, uy;
  double Along(const Point& p) const { return (p.x - mx) * ux + (p.y - my) * uy; }
  double Across(const Point& p) const { return -(p.x - mx) * uy + (p.y - my) * ux; }
};

Line FitLine(const std::vector<Point>& points) {
  const double n = static_cast<double>(points.size());
  double mx = 0, my = 0;
  for (const Point& p : points) {
    mx += p.x / n;
    my += p.y / n;
  }
  double sxx = 0, syy = 0, sxy = 0;
  for (const Point& p : points) {
    sxx += (p.x - mx) * (p.x - mx);
    syy += (p.y - my) * (p.y - my);
    sxy += (p.x - mx) * (p.y - my);
  }
  const double angle = 0.5 * std::atan2(2 * sxy, sxx - syy);
  return {mx, my, std::cos(angle), std::sin(angle)};
}

double Tolerance(double distance) {
  return std::max(kOnTrackPixels, 0.03 * distance);
}

std::vector<Point> Within(const std::vector<Point>& points, const Line& line, double tolerance) {
  std::vector<Point> near;
  for (const Point& p : points) {
    if (std::abs(line.Across(p)) <= tolerance) {
      near.push_back(p);
    }
  }
  return near;
}

// The points near the best line through two of them (at most about 400 pairs are tried).
std::vector<Point> OnBestLine(const std::vector<Point>& points) {
  const size_t n = points.size();
  const size_t stride = std::max<size_t>(1, n * n / 800);
  size_t best = 0;
  std::vector<Point> bestPoints = points;
  size_t pair = 0;
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n; ++j, ++pair) {
      if (pair % stride != 0) {
        continue;
      }
      const double dx = points[j].x - points[i].x;
      const double dy = points[j].y - points[i].y;
      const double length = std::hypot(dx, dy);
      if (length < 1e-9) {
        continue;
      }
      const Line line{points[i].x, points[i].y, dx / length, dy / length};
      const double tolerance = Tolerance(length);
      size_t count = 0;
      for (const Point& p : points) {
        count += std::abs(line.Across(p)) <= tolerance ? 1 : 0;
      }
      if (count > best) {
        best = count;
        bestPoints = Within(points, line, tolerance);
      }
    }
  }
  return bestPoints;
}

// The points within the tolerance of a fitted line (all of them when that leaves fewer than 2).
std::vector<Point> OnLine(const std::vector<Point>& points, const Line& line) {
  double lowest = 0, highest = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    const double along = line.Along(points[i]);
    lowest = i == 0 ? along : std::min(lowest, along);
    highest = i == 0 ? along : std::max(highest, along);
  }
  std::vector<Point> near = Within(points, line, Tolerance(highest - lowest));
  return near.size() >= 2 ? near : points;
}

std::optional<double> SecondsOf(const char* stamp) {
  const auto parsed = ParseStamp(stamp);
  if (!parsed) {
    return std::nullopt;
  }
  return static_cast<double>(parsed->time) + parsed->milliseconds / 1000.0;
}

}  // namespace

const char* VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kMeteor:
      return "meteor";
    case Verdict::kSlowMover:
      return "slow mover";
    case Verdict::kFlash:
      return "flash";
    case Verdict::kStationary:
      return "stationary";
    case Verdict::kUnknown:
      break;
  }
  return "unknown";
}

bool ParseEventHistoryLine(const char* line, EventHistoryRow& row) {
  char stamp[20] = {};
  int pixelCount = 0;
  int excessSum = 0;
  double x = 0, y = 0, azimuth = 0, elevation = 0;
  if (std::sscanf(line, "%19[^,],%d,%d,%lf,%lf,%lf,%lf", stamp, &pixelCount, &excessSum, &x, &y,
                  &azimuth, &elevation) != 7) {
    return false;
  }
  std::snprintf(row.frame.stamp, sizeof row.frame.stamp, "%s", stamp);
  row.frame.pixelCount = pixelCount;
  row.frame.excessSum = excessSum;
  row.frame.centroidX = x;
  row.frame.centroidY = y;
  row.azimuth = azimuth;
  row.elevation = elevation;
  return true;
}

EventFigures MeasureEvent(std::span<const EventHistoryRow> rows) {
  EventFigures f;
  int32_t peakExcess = 0;
  for (const EventHistoryRow& row : rows) {
    peakExcess = std::max(peakExcess, row.frame.excessSum);
    f.peakPixels = std::max(f.peakPixels, row.frame.pixelCount);
  }
  std::vector<Point> points;
  std::optional<double> origin;
  for (const EventHistoryRow& row : rows) {
    const auto seconds = SecondsOf(row.frame.stamp);
    if (!seconds) {
      continue;
    }
    if (!origin) {
      origin = *seconds;
    }
    if (row.frame.pixelCount >= kMinActivePixels &&
        int64_t{row.frame.excessSum} * 50 >= int64_t{peakExcess}) {
      points.push_back({*seconds - *origin, row.frame.centroidX, row.frame.centroidY, row.azimuth,
                        row.elevation, row.frame.pixelCount});
    }
  }
  f.activeFrames = static_cast<int>(points.size());
  if (points.empty()) {
    return f;
  }
  f.activeSeconds = points.back().t - points.front().t;
  std::optional<double> firstWide, lastWide;
  for (const Point& p : points) {
    if (p.pixels >= kWidePixels) {
      ++f.wideFrames;
      firstWide = firstWide.value_or(p.t);
      lastWide = p.t;
    }
  }
  if (firstWide) {
    f.wideSeconds = *lastWide - *firstWide;
  }
  if (points.size() < 2) {
    return f;
  }
  // The straight line that most centroids lie on (another object in the sky may pull some of
  // them aside): of the lines through two of them, the one with most centroids within
  // kOnTrackPixels (or 3% of the two's distance), fitted again to those.
  const Line line = FitLine(OnBestLine(points));
  points = OnLine(points, line);
  f.onTrackShare = static_cast<double>(points.size()) / f.activeFrames;
  const double n = static_cast<double>(points.size());
  double mt = 0;
  for (const Point& p : points) {
    mt += p.t / n;
  }
  double lowest = 0, highest = 0, across2 = 0, sst = 0, sss = 0, stt = 0;
  size_t lowAt = 0, highAt = 0;
  for (size_t i = 0; i < points.size(); ++i) {
    const Point& p = points[i];
    const double along = line.Along(p);
    const double across = line.Across(p);
    if (i == 0 || along < lowest) {
      lowest = along;
      lowAt = i;
    }
    if (i == 0 || along > highest) {
      highest = along;
      highAt = i;
    }
    across2 += across * across;
    sst += along * (p.t - mt);
    sss += along * along;
    stt += (p.t - mt) * (p.t - mt);
  }
  f.trackPixels = highest - lowest;
  f.offTrackPixels = std::sqrt(across2 / n);
  f.progression = sss > 0 && stt > 0 ? std::abs(sst) / std::sqrt(sss * stt) : 0;
  const Point& a = points[lowAt];
  const Point& b = points[highAt];
  f.trackDegrees = AngleBetween(a.azimuth, a.elevation, b.azimuth, b.elevation);
  if (stt > 0 && f.trackPixels > 0) {
    const double pixelsPerSecond = std::abs(sst) / stt;
    f.degreesPerSecond = pixelsPerSecond * f.trackDegrees / f.trackPixels;
  }
  return f;
}

Verdict JudgeEvent(const EventFigures& f) {
  if (f.activeFrames < 2) {
    return Verdict::kUnknown;
  }
  const bool straight = f.offTrackPixels <= std::max(2.0, 0.2 * f.trackPixels);
  const bool steady = f.progression >= 0.8;
  if (f.onTrackShare >= 0.5 && f.trackPixels >= 8 && f.trackDegrees >= 1.5 && straight &&
      f.progression >= 0.9 && f.degreesPerSecond >= kMeteorDegreesPerSecond &&
      f.activeSeconds <= 15) {
    return Verdict::kMeteor;
  }
  if (f.peakPixels >= kFlashPixels && f.wideSeconds <= 2) {
    return Verdict::kFlash;
  }
  if (f.trackPixels < 6) {
    return Verdict::kStationary;
  }
  if (f.onTrackShare >= 0.5 && straight && steady) {
    return Verdict::kSlowMover;
  }
  return Verdict::kUnknown;
}

Verdict JudgeEvent(std::span<const EventHistoryRow> rows) {
  return JudgeEvent(MeasureEvent(rows));
}

}  // namespace ombrix
