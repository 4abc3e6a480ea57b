#include "review/verdict.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>
#include <numbers>
#include <optional>
#include <system_error>
#include <vector>

namespace ombrix {
namespace {

struct Point {
  double t;  // seconds after the event's first row
  double x;
  double y;
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

// A motion at constant velocity: at time t the position (x0 + vx (t - t0), y0 + vy (t - t0)).
struct Motion {
  double t0 = 0, x0 = 0, y0 = 0, vx = 0, vy = 0;
  double Miss(const Point& p) const {
    return std::hypot(p.x - (x0 + vx * (p.t - t0)), p.y - (y0 + vy * (p.t - t0)));
  }
  double Speed() const { return std::hypot(vx, vy); }
};

// The least-squares motion of points (standing still when they share one time).
Motion Fit(const std::vector<Point>& points) {
  const double n = static_cast<double>(points.size());
  Motion m;
  for (const Point& p : points) {
    m.t0 += p.t / n;
    m.x0 += p.x / n;
    m.y0 += p.y / n;
  }
  double tt = 0, tx = 0, ty = 0;
  for (const Point& p : points) {
    tt += (p.t - m.t0) * (p.t - m.t0);
    tx += (p.t - m.t0) * (p.x - m.x0);
    ty += (p.t - m.t0) * (p.y - m.y0);
  }
  if (tt > 0) {
    m.vx = tx / tt;
    m.vy = ty / tt;
  }
  return m;
}

// How far a point may miss a motion that travels `distance` pixels and still belong to it.
double Tolerance(double distance) {
  return std::max(kOnTrackPixels, 0.02 * distance);
}

std::vector<Point> Explained(const std::vector<Point>& points, const Motion& motion,
                             double tolerance) {
  std::vector<Point> near;
  for (const Point& p : points) {
    if (motion.Miss(p) <= tolerance) {
      near.push_back(p);
    }
  }
  return near;
}

constexpr double kNoSpeedLimit = 1e300;

// The points of the motion that explains most of them, among the motions through two of them
// no faster than maxSpeed pixels a second (at most about 800 pairs are tried), then fitted to
// those and taken again; a single point when no pair qualifies.
std::vector<Point> BestMotionPoints(const std::vector<Point>& points, double maxSpeed) {
  const size_t n = points.size();
  const size_t stride = std::max<size_t>(1, n * n / 1600);
  size_t best = 0;
  std::vector<Point> bestPoints = {points.front()};
  size_t pair = 0;
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = i + 1; j < n; ++j, ++pair) {
      const double dt = points[j].t - points[i].t;
      if (pair % stride != 0 || dt <= 0) {
        continue;
      }
      const Motion m{points[i].t, points[i].x, points[i].y, (points[j].x - points[i].x) / dt,
                     (points[j].y - points[i].y) / dt};
      if (m.Speed() > maxSpeed) {
        continue;
      }
      const double tolerance =
          Tolerance(std::hypot(points[j].x - points[i].x, points[j].y - points[i].y));
      size_t count = 0;
      for (const Point& p : points) {
        count += m.Miss(p) <= tolerance ? 1 : 0;
      }
      if (count > best) {
        best = count;
        bestPoints = Explained(points, m, tolerance);
      }
    }
  }
  const Motion fitted = Fit(bestPoints);
  const double span = bestPoints.back().t - bestPoints.front().t;
  std::vector<Point> again = Explained(points, fitted, Tolerance(fitted.Speed() * span));
  return again.size() >= 2 && fitted.Speed() <= maxSpeed ? again : bestPoints;
}

double Median(std::vector<double> values) {
  const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
  std::nth_element(values.begin(), middle, values.end());
  return *middle;
}

// Degrees on the sky per pixel where the event happened: from two frames whose centroids lie far
// apart (the one furthest from the first lit frame, and the one furthest from that), whose
// directions come with the time history; kDefaultDegreesPerPixel when the centroids stay within
// a few pixels.
template <typename Timed>
double DegreesPerPixel(const std::vector<Timed>& timed) {
  const auto furthestFrom = [&timed](const EventHistoryRow* from) {
    const EventHistoryRow* furthest = from;
    double widest = 0;
    for (const Timed& other : timed) {
      const TimeHistoryRow& f = other.row->frame;
      const double d =
          std::hypot(f.centroidX - from->frame.centroidX, f.centroidY - from->frame.centroidY);
      if (f.pixelCount > 0 && d > widest) {
        widest = d;
        furthest = other.row;
      }
    }
    return furthest;
  };
  const auto firstLit = std::find_if(timed.begin(), timed.end(),
                                     [](const Timed& r) { return r.row->frame.pixelCount > 0; });
  if (firstLit == timed.end()) {
    return kDefaultDegreesPerPixel;
  }
  const EventHistoryRow* a = furthestFrom(firstLit->row);
  const EventHistoryRow* b = furthestFrom(a);
  const double pixels =
      std::hypot(b->frame.centroidX - a->frame.centroidX, b->frame.centroidY - a->frame.centroidY);
  if (pixels < 5) {
    return kDefaultDegreesPerPixel;
  }
  return AngleBetween(a->azimuth, a->elevation, b->azimuth, b->elevation) / pixels;
}

// The track the centroids of most points follow (another object in the sky may pull some
// aside) at a constant velocity of at most maxSpeed pixels a second; the points left off it go
// to rest.
Track MeasureTrack(const std::vector<Point>& all, double scale, double maxSpeed,
                   std::vector<Point>* rest) {
  Track t;
  if (all.size() < 2) {
    return t;
  }
  const std::vector<Point> points = BestMotionPoints(all, maxSpeed);
  const Motion motion = Fit(points);
  t.frames = static_cast<int>(points.size());
  t.seconds = points.back().t - points.front().t;
  const auto within = std::count_if(all.begin(), all.end(), [&points](const Point& p) {
    return p.t >= points.front().t && p.t <= points.back().t;
  });
  t.onTrackShare = static_cast<double>(points.size()) / static_cast<double>(within);
  t.pixels = motion.Speed() * t.seconds;
  t.degrees = t.pixels * scale;
  t.degreesPerSecond = motion.Speed() * scale;
  double miss2 = 0;
  for (const Point& p : points) {
    t.peakPixels = std::max(t.peakPixels, p.pixels);
    miss2 += motion.Miss(p) * motion.Miss(p);
  }
  t.offPixels = std::sqrt(miss2 / static_cast<double>(points.size()));
  if (rest != nullptr) {
    rest->clear();
    std::set_difference(all.begin(), all.end(), points.begin(), points.end(),
                        std::back_inserter(*rest),
                        [](const Point& a, const Point& b) { return a.t < b.t; });
  }
  return t;
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
  if (!ParseTimeHistoryLine(line, row.frame)) {
    return false;
  }
  // The two sky coordinates follow the fifth comma, each padded with blanks.
  const char* p = line;
  for (int commas = 0; commas < 5; ++p) {
    if (*p == '\0') {
      return false;
    }
    commas += *p == ',' ? 1 : 0;
  }
  const char* end = p + std::strlen(p);
  for (double* value : {&row.azimuth, &row.elevation}) {
    while (*p == ' ') {
      ++p;
    }
    const auto result = std::from_chars(p, end, *value);
    if (result.ec != std::errc()) {
      return false;
    }
    p = result.ptr;
    if (value == &row.azimuth && *p++ != ',') {
      return false;
    }
  }
  return true;
}

EventFigures MeasureEvent(std::span<const EventHistoryRow> rows) {
  EventFigures f;
  struct Row {
    double t;
    const EventHistoryRow* row;
  };
  std::vector<Row> timed;
  for (const EventHistoryRow& row : rows) {
    const std::chrono::duration<double> since = row.frame.time - rows.front().frame.time;
    timed.push_back({since.count(), &row});
    f.peakPixels = std::max(f.peakPixels, row.frame.pixelCount);
  }
  if (timed.empty()) {
    return f;
  }
  // What already shone before the event (a slow satellite, a lamp, an aircraft's lights) is taken
  // out of every frame's sums: the medians, over the stretch's first kBackgroundSeconds, of the
  // excess and of the excess-weighted coordinates.
  std::vector<double> excess, weightedX, weightedY;
  for (const Row& r : timed) {
    const TimeHistoryRow& frame = r.row->frame;
    const double e = frame.pixelCount > 0 ? frame.excessSum : 0;
    excess.push_back(e);
    weightedX.push_back(e * frame.centroidX);
    weightedY.push_back(e * frame.centroidY);
  }
  size_t before = 1;
  while (before < timed.size() && timed[before].t < kBackgroundSeconds) {
    ++before;
  }
  const auto firstMedian = [before](const std::vector<double>& values) {
    return Median({values.begin(), values.begin() + static_cast<std::ptrdiff_t>(before)});
  };
  const auto activePoints = [&](double steady, double steadyX, double steadyY) {
    double peak = 0;
    for (const double e : excess) {
      peak = std::max(peak, e - steady);
    }
    std::vector<Point> points;
    for (size_t i = 0; i < timed.size(); ++i) {
      const double e = excess[i] - steady;
      if (timed[i].row->frame.pixelCount >= kMinActivePixels && e > 0 && e >= steady &&
          e * 50 >= peak) {
        points.push_back({timed[i].t, (weightedX[i] - steadyX) / e, (weightedY[i] - steadyY) / e,
                          timed[i].row->frame.pixelCount});
      }
    }
    return points;
  };
  std::vector<Point> points =
      activePoints(firstMedian(excess), firstMedian(weightedX), firstMedian(weightedY));
  if (points.size() < 2) {
    points = activePoints(0, 0, 0);  // what shone before is all there is
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
  // The track is followed on the frames that are not wide: a wide frame's centroid is the middle
  // of a lit area, not of a moving object.
  std::erase_if(points, [](const Point& p) { return p.pixels >= kWidePixels; });
  f.trackFrames = static_cast<int>(points.size());
  if (points.size() < 2) {
    return f;
  }
  // A meteor lights a run of frames one after the other, while an aircraft's strobe or another
  // object may light frames before and after it: each run of frames (gaps up to kRunGapSeconds)
  // is tried on its own for a meteor.
  const double scale = DegreesPerPixel(timed);
  for (size_t begin = 0; begin < points.size();) {
    size_t end = begin + 1;
    while (end < points.size() && points[end].t - points[end - 1].t <= kRunGapSeconds) {
      ++end;
    }
    // Two meteors, or a meteor and a strobe, may share a run: its tracks are taken in turn.
    std::vector<Point> run(points.begin() + static_cast<std::ptrdiff_t>(begin),
                           points.begin() + static_cast<std::ptrdiff_t>(end));
    for (size_t tracks = 0; tracks < kMaxTracks && run.size() >= kMinRunFrames; ++tracks) {
      const std::vector<Point> left = std::move(run);
      const Track track = MeasureTrack(left, scale, kNoSpeedLimit, &run);
      if (MeteorLike(track) && track.frames > f.meteorTrack.frames) {
        f.meteorTrack = track;
      }
    }
    begin = end;
  }
  // The tracks that explain at least two thirds of the frames, the largest first; none when
  // kMaxTracks do not. Then the fastest way anything moves.
  f.fastTrack = MeasureTrack(points, scale, kNoSpeedLimit, nullptr);
  std::vector<Point> rest = points;
  size_t explained = 0;
  while (f.tracks.size() < kMaxTracks && rest.size() >= 2) {
    const std::vector<Point> left = rest;
    f.tracks.push_back(MeasureTrack(left, scale, kMeteorDegreesPerSecond / scale, &rest));
    explained += static_cast<size_t>(f.tracks.back().frames);
    if (3 * explained >= 2 * points.size()) {
      return f;
    }
  }
  f.tracks.clear();
  return f;
}

bool MeteorLike(const Track& t) {
  return t.frames >= kMinRunFrames && t.onTrackShare >= 0.5 &&
         t.peakPixels >= kMinMeteorPeakPixels && t.pixels >= 20 && t.degrees >= 3 &&
         t.offPixels <= std::max(2.0, 0.2 * t.pixels) &&
         t.degreesPerSecond >= kMeteorDegreesPerSecond && t.seconds <= 15;
}

Verdict JudgeEvent(const EventFigures& f) {
  if (f.activeFrames < 2) {
    return Verdict::kUnknown;
  }
  if (f.meteorTrack.frames > 0) {
    return Verdict::kMeteor;
  }
  if (f.wideFrames > 0 && f.wideSeconds <= 2) {
    return Verdict::kFlash;
  }
  if (!f.tracks.empty()) {
    const bool moving =
        std::any_of(f.tracks.begin(), f.tracks.end(), [](const Track& t) { return t.pixels >= 6; });
    return moving ? Verdict::kSlowMover : Verdict::kStationary;
  }
  const Track& t = f.fastTrack;
  if (t.frames < kMinRunFrames || t.onTrackShare < 0.5 || t.pixels < 8) {
    return Verdict::kStationary;
  }
  if (t.degreesPerSecond < kMeteorDegreesPerSecond) {
    return Verdict::kSlowMover;
  }
  // Fast, yet no meteor; too faint to be trusted as either, it is noise jumping about.
  return t.peakPixels >= kMinMeteorPeakPixels ? Verdict::kUnknown : Verdict::kStationary;
}

Verdict JudgeEvent(std::span<const EventHistoryRow> rows) {
  return JudgeEvent(MeasureEvent(rows));
}

std::optional<std::vector<EventHistoryRow>> ReadEventHistory(const std::string& path) {
  TimeHistoryReader reader(path);
  if (!reader.exists()) {
    return std::nullopt;
  }
  std::vector<EventHistoryRow> rows;
  EventHistoryRow row;
  for (auto line = reader.Next(row.frame, &row.azimuth, &row.elevation);
       line != TimeHistoryReader::Line::kEnd;
       line = reader.Next(row.frame, &row.azimuth, &row.elevation)) {
    if (line == TimeHistoryReader::Line::kRow) {
      rows.push_back(row);
    }
  }
  return rows;
}

std::optional<Verdict> JudgeEventHistory(const std::string& path) {
  const std::optional<std::vector<EventHistoryRow>> rows = ReadEventHistory(path);
  return rows ? std::optional<Verdict>(JudgeEvent(*rows)) : std::nullopt;
}

}  // namespace ombrix
