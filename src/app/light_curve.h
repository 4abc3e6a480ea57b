#pragma once

#include <QDialog>
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

// The light curve of an event: count and summed excess against time, and the centroid's track
// over the sky (a polar plot, zenith in the middle, north up, east left as seen from below).
class LightCurveDialog final : public QDialog {
  Q_OBJECT

 public:
  LightCurveDialog(QWidget* parent, const QString& title, std::vector<LightCurvePoint> points);
  const std::vector<LightCurvePoint>& points() const { return points_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<LightCurvePoint> points_;
};

}  // namespace ombrix
