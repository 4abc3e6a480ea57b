#include "review/display_image.h"

#include <array>
#include <cstring>

#include "capture/frame_ring.h"
#include "media/image_decode.h"
#include "media/stills.h"
#include "review/event_listing.h"

namespace ombrix {
namespace {

std::array<uint32_t, 256> ColourTable(bool pseudoColor) {
  std::array<uint32_t, 256> table{};
  for (uint32_t v = 0; v < 256; ++v) {
    table[v] = pseudoColor ? pseudoColorPalette[255 - v] : (v << 16) | (v << 8) | v;
  }
  return table;
}

}  // namespace

bool SaveDisplayImage(const std::string& path, const uint8_t* pixels, bool pseudoColor) {
  return WriteColourStill(path, pixels, ColourTable(pseudoColor));
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

}  // namespace ombrix
