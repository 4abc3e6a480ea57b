#include "app/light_curve.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>

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

LightCurveDialog::LightCurveDialog(QWidget* parent, const QString& title,
                                   std::vector<LightCurvePoint> points)
    : QDialog(parent), points_(std::move(points)) {
  setObjectName(QStringLiteral("lightCurve"));
  setWindowTitle(QStringLiteral("Light Curve ") + title);
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
