#include "app/light_curve_dialog.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace ombrix {

LightCurveDialog::LightCurveDialog(QWidget* parent, const QString& title,
                                   std::vector<LightCurvePoint> points, const QString& verdict)
    : QDialog(parent), points_(std::move(points)), verdict_(verdict) {
  setObjectName(QStringLiteral("lightCurve"));
  setWindowTitle(QStringLiteral("Light Curve ") + title +
                 (verdict.isEmpty() ? QString() : QStringLiteral(": ") + verdict));
  setAttribute(Qt::WA_DeleteOnClose);
  resize(760, 380);
}

void LightCurveDialog::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF curve(50, 20, width() - 420, height() - 60);
  const QRectF sky(width() - 350, 20, 330, 330);
  painter.setPen(Qt::black);
  painter.drawRect(curve);
  painter.drawText(QPointF(curve.left(), curve.bottom() + 30),
                   QStringLiteral("time (s)  —  red: pixel count, blue: summed excess"));
  if (!verdict_.isEmpty()) {
    painter.drawText(QPointF(curve.left(), curve.top() - 6),
                     QStringLiteral("Verdict: ") + verdict_);
  }
  if (!points_.empty()) {
    const double t1 = std::max(points_.back().time_s, 0.001);
    double maxCount = 1;
    double maxExcess = 1;
    for (const LightCurvePoint& p : points_) {
      maxCount = std::max(maxCount, static_cast<double>(p.pixelCount));
      maxExcess = std::max(maxExcess, static_cast<double>(p.excessSum));
    }
    const auto plot = [&](QColor colour, auto value, double top) {
      QPainterPath path;
      for (size_t i = 0; i < points_.size(); ++i) {
        const QPointF at(curve.left() + points_[i].time_s / t1 * curve.width(),
                         curve.bottom() - value(points_[i]) / top * curve.height());
        i == 0 ? path.moveTo(at) : path.lineTo(at);
      }
      painter.setPen(QPen(colour, 1.5));
      painter.drawPath(path);
    };
    plot(
        Qt::red, [](const LightCurvePoint& p) { return double(p.pixelCount); }, maxCount);
    plot(
        Qt::blue, [](const LightCurvePoint& p) { return double(p.excessSum); }, maxExcess);
    painter.setPen(Qt::black);
    painter.drawText(QPointF(curve.left(), curve.bottom() + 15), QStringLiteral("0"));
    painter.drawText(QPointF(curve.right() - 30, curve.bottom() + 15), QString::number(t1, 'f', 2));
  }
  // The sky: horizon circle, 30 and 60 degrees of elevation, the track of the centroid.
  const QPointF centre = sky.center();
  const double radius = sky.width() / 2;
  painter.setPen(Qt::gray);
  for (double elevation : {0.0, 30.0, 60.0}) {
    const double r = (90 - elevation) / 90 * radius;
    painter.drawEllipse(centre, r, r);
  }
  painter.drawText(QPointF(centre.x() - 4, sky.top() - 4), QStringLiteral("N"));
  painter.drawText(QPointF(sky.left() - 12, centre.y() + 4), QStringLiteral("E"));
  QPainterPath track;
  for (size_t i = 0; i < points_.size(); ++i) {
    const double r = (90 - points_[i].elevation) / 90 * radius;
    const double a = points_[i].azimuth * M_PI / 180;
    const QPointF at(centre.x() - r * std::sin(a), centre.y() - r * std::cos(a));
    i == 0 ? track.moveTo(at) : track.lineTo(at);
  }
  painter.setPen(QPen(Qt::darkGreen, 2));
  painter.drawPath(track);
}

}  // namespace ombrix
