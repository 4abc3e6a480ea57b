#include "app/light_curve_dialog.h"

#include <QDialogButtonBox>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace ombrix {

LightCurveDialog::LightCurveDialog(QWidget* parent, const QString& title,
                                   std::vector<LightCurvePoint> points, const QString& verdict)
    : QDialog(parent), points_(std::move(points)), verdict_(verdict), track_(SkyTrack(points_)) {
  setObjectName(QStringLiteral("lightCurve"));
  setWindowTitle(QStringLiteral("Light Curve ") + title +
                 (verdict.isEmpty() ? QString() : QStringLiteral(": ") + verdict));
  setAttribute(Qt::WA_DeleteOnClose);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  buttons->button(QDialogButtonBox::Close)->setObjectName(QStringLiteral("close"));
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
  auto* layout = new QVBoxLayout(this);
  layout->addStretch(1);
  layout->addWidget(buttons);
  resize(800, 420);
}

void LightCurveDialog::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF curve(60, 20, width() - 480, height() - 110);
  const QRectF sky(width() - 350, 20, 330, 330);
  painter.setPen(Qt::black);
  painter.drawRect(curve);
  painter.drawText(QPointF(curve.center().x() - 20, curve.bottom() + 30),
                   QStringLiteral("time (s)"));
  painter.save();  // the count axis on the left, the excess axis on the right
  painter.translate(curve.left() - 40, curve.center().y() + 40);
  painter.rotate(-90);
  painter.setPen(Qt::red);
  painter.drawText(QPointF(0, 0), QStringLiteral("pixel count"));
  painter.restore();
  painter.save();
  painter.translate(curve.right() + 50, curve.center().y() - 45);
  painter.rotate(90);
  painter.setPen(Qt::blue);
  painter.drawText(QPointF(0, 0), QStringLiteral("summed excess"));
  painter.restore();
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
    painter.save();
    painter.setClipRect(curve);
    plot(
        Qt::red, [](const LightCurvePoint& p) { return double(p.pixelCount); }, maxCount);
    plot(
        Qt::blue, [](const LightCurvePoint& p) { return double(p.excessSum); }, maxExcess);
    painter.restore();
    // Each axis's scale at its ends and half way.
    for (const double f : {0.0, 0.5, 1.0}) {
      const double y = curve.bottom() - f * curve.height() + 4;
      painter.setPen(Qt::red);
      painter.drawText(QRectF(curve.left() - 58, y - 12, 54, 14), Qt::AlignRight,
                       QString::number(std::lround(f * maxCount)));
      painter.setPen(Qt::blue);
      painter.drawText(QPointF(curve.right() + 4, y), QString::number(std::lround(f * maxExcess)));
      painter.setPen(Qt::black);
      painter.drawText(
          QPointF(curve.left() + f * curve.width() - (f > 0 ? 30 : 0), curve.bottom() + 15),
          QString::number(f * t1, 'f', 2));
    }
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
  QPainterPath horizon;
  horizon.addEllipse(centre, radius, radius);
  painter.setClipPath(horizon);  // below the horizon is off the chart
  QPainterPath track;
  for (size_t i = 0; i < track_.size(); ++i) {
    const double r = (90 - track_[i].elevation) / 90 * radius;
    const double a = track_[i].azimuth * M_PI / 180;
    const QPointF at(centre.x() - r * std::sin(a), centre.y() - r * std::cos(a));
    i == 0 ? track.moveTo(at) : track.lineTo(at);
  }
  painter.setPen(QPen(Qt::darkGreen, 2));
  painter.drawPath(track);
}

}  // namespace ombrix
