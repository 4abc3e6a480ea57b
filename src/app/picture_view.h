#pragma once

#include <QFrame>
#include <QImage>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/frame.h"

namespace ombrix {

// The picture area: a 640x480 picture of 8-bit values drawn 1:1 inside a 2-pixel frame, through
// the grey or the pseudo-colour table. It shows either the live frame or the display picture;
// both buffers are made once and never reallocated.
class PictureView final : public QFrame {
  Q_OBJECT

 public:
  static constexpr int kFrame = 2;

  explicit PictureView(QWidget* parent);

  // displayImage: the pixels other commands fill (640x480, row stride 640).
  uint8_t* displayPixels() { return display_.get(); }
  const uint8_t* displayPixels() const { return display_.get(); }
  // The live frame buffer, filled at the display rate while the live video is shown; call
  // LiveFrameChanged() after filling it.
  uint8_t* livePixels() { return live_.get(); }
  // Converts the live frame for painting once, rather than at every paint, and repaints.
  void LiveFrameChanged();

  // The grey or the pseudo-colour table (DisplayColourTable).
  void SetPalette(bool pseudoColor);
  bool pseudoColor() const { return pseudoColor_; }
  // Which buffer is painted.
  void ShowLive(bool live);
  bool showsLive() const { return showLive_; }
  // The colour a pixel of the display picture is painted in.
  QRgb DisplayColor(int x, int y) const;
  // Grid marks drawn over the display picture as small crosses in a colour neither table has,
  // so that they cannot be taken for stars; until the next SetMarks or ShowLive.
  void SetMarks(std::vector<QPoint> marks);
  const std::vector<QPoint>& marks() const { return marks_; }

 signals:
  // The operator clicked the picture at this pixel (frame excluded).
  void PixelClicked(int x, int y);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  std::unique_ptr<uint8_t[]> display_;
  std::unique_ptr<uint8_t[]> live_;
  QImage displayImage_;  // wraps display_
  // The live frame in the backing store's own format, always grey (the camera's own picture):
  // painting it is a plain copy, where an 8-bit image would be converted at every paint.
  QImage liveImage_;
  std::vector<QPoint> marks_;
  bool pseudoColor_ = false;
  bool showLive_ = false;
};

}  // namespace ombrix
