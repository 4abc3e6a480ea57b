#pragma once

#include <QDialog>
#include <vector>

#include "review/light_curve.h"

namespace ombrix {

// The light curve of an event: count and summed excess against time, and the centroid's track
// over the sky (a polar plot, zenith in the middle, north up, east left as seen from below), and
// the verdict on the event (empty: none).
class LightCurveDialog final : public QDialog {
  Q_OBJECT

 public:
  LightCurveDialog(QWidget* parent, const QString& title, std::vector<LightCurvePoint> points,
                   const QString& verdict);
  const std::vector<LightCurvePoint>& points() const { return points_; }
  const QString& verdict() const { return verdict_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<LightCurvePoint> points_;
  QString verdict_;
};

}  // namespace ombrix
