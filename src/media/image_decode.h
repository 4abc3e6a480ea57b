#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ombrix {

// A decoded still image: packed RGB24 rows without padding (width * 3 bytes each), top row first,
// colours as displayed (a palette image gives its palette colours).
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

// Decodes the first picture of an image file (PNG, JPEG, BMP and whatever else FFmpeg reads as a
// still, palette images included). The path is taken as a plain file name: no protocol prefix and
// no '%' sequence pattern is interpreted. nullopt when the file is missing or cannot be decoded.
std::optional<RgbImage> DecodeImageRgb(const std::string& path);

}  // namespace ombrix
