#include "app/picture_view.h"

#include <QMouseEvent>
#include <QPainter>
#include <cstring>

#include "media/stills.h"

namespace ombrix {
namespace {

QList<QRgb> GreyTable() {
  QList<QRgb> table(256);
  for (int v = 0; v < 256; ++v) {
    table[v] = qRgb(v, v, v);
  }
  return table;
}

}  // namespace

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
  SetGreyPalette();
}

void PictureView::SetGreyPalette() {
  displayImage_.setColorTable(GreyTable());
  pseudoColor_ = false;
}

void PictureView::SetPseudoColorPalette() {
  QList<QRgb> table(256);
  for (int v = 0; v < 256; ++v) {
    table[v] = 0xff000000u | pseudoColorPalette[255 - v];
  }
  displayImage_.setColorTable(table);
  pseudoColor_ = true;
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
  update();
}

QRgb PictureView::DisplayColor(int x, int y) const {
  return displayImage_.pixel(x, y);
}

void PictureView::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  QPainter painter(this);
  painter.drawImage(QPoint(kFrame, kFrame), showLive_ ? liveImage_ : displayImage_);
}

void PictureView::mousePressEvent(QMouseEvent* event) {
  const QPoint at = event->position().toPoint();
  emit PixelClicked(at.x() - kFrame, at.y() - kFrame);
}

}  // namespace ombrix
