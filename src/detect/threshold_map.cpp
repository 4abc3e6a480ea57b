#include "detect/threshold_map.h"

#include "media/image_decode.h"

namespace ombrix {
namespace {

bool IsMaskColour(uint8_t red, uint8_t green, uint8_t blue) {
  return red > 200 && green < 50 && blue < 50;
}

void ApplyMask(ThresholdMap::Table& table, const std::string& maskFile) {
  if (maskFile.empty()) {
    return;
  }
  const auto image = DecodeImageRgb(maskFile);
  if (!image || image->width != kFrameWidth || image->height != kFrameHeight) {
    return;
  }
  const uint8_t* rgb = image->rgb.data();
  for (int i = 0; i < kFrameBytes; ++i, rgb += 3) {
    if (IsMaskColour(rgb[0], rgb[1], rgb[2])) {
      table[static_cast<size_t>(i)] = 255;
    }
  }
}

}  // namespace

void ThresholdMap::Build(int32_t threshold, const std::string& maskFile) {
  std::lock_guard lock(buildMutex_);
  auto table = std::make_shared<Table>();
  table->fill(static_cast<uint8_t>(threshold & 0xFF));
  ApplyMask(*table, maskFile);
  current_.store(std::move(table), std::memory_order_release);
}

}  // namespace ombrix
