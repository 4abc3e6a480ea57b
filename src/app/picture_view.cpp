#include "app/picture_view.h"

#include <QMouseEvent>
#include <QPainter>
#include <cstring>

#include "review/display_image.h"

namespace ombrix {
PictureView::PictureView(QWidget* parent)
    : QFrame(parent),
      display_(std::make_unique<uint8_t[]>(kFrameBytes)),
      live_(std::make_unique<uint8_t[]>(kFrameBytes)),
      displayImage_(display_.get(), kFrameWidth, kFrameHeight, kFrameWidth,
                    QImage::Format_Indexed8),
      liveImage_(kFrameWidth, kFrameHeight, QImage::Format_RGB32) {
  std::memset(display_.get(), 0, kFrameBytes);
  std::memset(live_.get(), 0, kFrameBytes);
  setObjectName(QStringLiteral("picture"));
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setLineWidth(kFrame);
  setFixedSize(kFrameWidth + 2 * kFrame, kFrameHeight + 2 * kFrame);
  setAttribute(Qt::WA_OpaquePaintEvent);
  liveImage_.fill(Qt::black);
  SetPalette(false);
}

void PictureView::SetPalette(bool pseudoColor) {
  QList<QRgb> table(256);
  const std::array<uint32_t, 256> colours = DisplayColourTable(pseudoColor);
  for (int v = 0; v < 256; ++v) {
    table[v] = 0xff000000u | colours[v];
  }
  displayImage_.setColorTable(table);
  pseudoColor_ = pseudoColor;
}

void PictureView::LiveFrameChanged() {
  const uint8_t* in = live_.get();
  auto* out = reinterpret_cast<uint32_t*>(liveImage_.bits());
  for (int i = 0; i < kFrameBytes; ++i) {
    out[i] = 0xff000000u | in[i] * 0x010101u;
  }
  update(kFrame, kFrame, kFrameWidth, kFrameHeight);  // the frame around it stays as painted
}

void PictureView::ShowLive(bool live) {
  showLive_ = live;
  if (live) {
    marks_.clear();
  }
  update();
}

QRgb PictureView::DisplayColor(int x, int y) const {
  return displayImage_.pixel(x, y);
}

void PictureView::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  QPainter painter(this);
  painter.drawImage(QPoint(kFrame, kFrame), showLive_ ? liveImage_ : displayImage_);
  if (showLive_) {
    return;
  }
  painter.setPen(QColor(255, 0, 255));
  for (const QPoint& m : marks_) {  // the arms leave the marked pixel itself as it is
    const QPoint at = m + QPoint(kFrame, kFrame);
    painter.drawLine(at + QPoint(-3, 0), at + QPoint(-1, 0));
    painter.drawLine(at + QPoint(1, 0), at + QPoint(3, 0));
    painter.drawLine(at + QPoint(0, -3), at + QPoint(0, -1));
    painter.drawLine(at + QPoint(0, 1), at + QPoint(0, 3));
  }
}

void PictureView::SetMarks(std::vector<QPoint> marks) {
  marks_ = std::move(marks);
  update();
}

void PictureView::mousePressEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  emit PixelClicked(at.x() - kFrame, at.y() - kFrame);
}

}  // namespace ombrix
