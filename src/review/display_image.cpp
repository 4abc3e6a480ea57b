#include "review/display_image.h"

#include <cstdio>
#include <cstring>

#include "base/frame.h"
#include "calib/calibration.h"
#include "media/image_decode.h"
#include "media/stills.h"
#include "review/event_listing.h"
#include "storage/calibration_settings.h"

namespace ombrix {

std::array<uint32_t, 256> DisplayColourTable(bool pseudoColor) {
  std::array<uint32_t, 256> table{};
  for (uint32_t v = 0; v < 256; ++v) {
    table[v] = pseudoColor ? pseudoColorPalette[255 - v] : (v << 16) | (v << 8) | v;
  }
  return table;
}

bool SaveDisplayImage(const std::string& path, const uint8_t* pixels, bool pseudoColor) {
  return WriteColourStill(path, pixels, DisplayColourTable(pseudoColor));
}

bool OpenImageIntoDisplay(const std::string& path, uint8_t* pixels) {
  const auto image = DecodeImageFirstBytes(path);
  if (!image || image->width != kFrameWidth || image->height != kFrameHeight) {
    return false;
  }
  std::memcpy(pixels, image->bytes.data(), kFrameBytes);
  return true;
}

std::string SaveImageDefaultName(const std::string& currentEvent) {
  const std::string key = EventKey(currentEvent);
  return key.empty() ? "image" : key;
}

std::vector<std::pair<int, int>> OverlayGrid(uint8_t* pixels, const Settings& settings) {
  const Calibration calibration = CalibrationFromSettings(settings);
  std::vector<std::pair<int, int>> marked;
  const auto mark = [&](double azimuth, double elevation) {
    const Pixel p = AzElToPixel(calibration, azimuth, elevation);
    if (p.x >= 0 && p.x < kFrameWidth && p.y >= 0 && p.y < kFrameHeight) {
      uint8_t& v = pixels[p.y * kFrameWidth + p.x];
      v = v > 128 ? 0 : 255;
      marked.emplace_back(p.x, p.y);
    }
  };
  for (int azimuth = 0; azimuth < 360; azimuth += 15) {
    for (int elevation : {0, 15, 30, 45}) {
      mark(azimuth, elevation);
    }
  }
  for (int azimuth = 0; azimuth < 360; azimuth += 30) {
    for (int elevation : {60, 75}) {
      mark(azimuth, elevation);
    }
  }
  for (int elevation : {80, 85, 90}) {
    mark(0, elevation);
  }
  return marked;
}

void OverlayMask(uint8_t* pixels, const uint8_t* thresholdTable) {
  for (int i = 0; i < kFrameBytes; ++i) {
    if (thresholdTable[i] == 255) {
      pixels[i] = 255;
    }
  }
}

std::string PixelReadout(const Settings& settings, int x, int y) {
  const AzEl direction = PixelToAzEl(CalibrationFromSettings(settings), x, y);
  char text[96];
  std::snprintf(text, sizeof text, "(%d,%d)  Az: %6.2f El: %6.2f", x, y, direction.azimuth,
                direction.elevation);
  return text;
}

}  // namespace ombrix
