#pragma once

#include <QDialog>
#include <vector>

#include "review/light_curve.h"

namespace ombrix {

// The light curve of an event: count and summed excess against time, each on its own labelled
// axis, and the centroid's track over the sky (a polar plot, zenith in the middle, north up, east
// left as seen from below) through the frames with a detection, clipped to the horizon's circle,
// and the verdict on the event (empty: none).
class LightCurveDialog final : public QDialog {
  Q_OBJECT

 public:
  LightCurveDialog(QWidget* parent, const QString& title, std::vector<LightCurvePoint> points,
                   const QString& verdict);
  const std::vector<LightCurvePoint>& points() const { return points_; }
  const QString& verdict() const { return verdict_; }
  // The frames the sky track is drawn through.
  const std::vector<LightCurvePoint>& track() const { return track_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<LightCurvePoint> points_;
  QString verdict_;
  std::vector<LightCurvePoint> track_;
};

}  // namespace ombrix
