#pragma once

#include <string>
#include <vector>

namespace ombrix {

// One frame of an event's time history: its time since the first frame, the detection figures
// and the centroid's direction.
struct LightCurvePoint {
  double time_s = 0;
  int pixelCount = 0;
  int excessSum = 0;
  double azimuth = 0;
  double elevation = 0;
};

// Reads an event time history ("c" + key + ".csv"): one point per line that parses; the
// azimuth and elevation are 0 on a line without them. Empty when the file cannot be read.
std::vector<LightCurvePoint> ReadLightCurve(const std::string& path);

// The centroid's track over the sky: only the frames with a detection. A quiet frame has no
// centroid and its line reads azimuth 0, elevation 0, which is no place the event went.
std::vector<LightCurvePoint> SkyTrack(const std::vector<LightCurvePoint>& points);

}  // namespace ombrix
