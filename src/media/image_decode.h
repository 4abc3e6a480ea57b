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

// One byte per pixel, top row first: the first byte of each pixel as an image library that keeps
// colour pictures as blue, green, red stores it. That is the index of a palette image, the value
// of a grey image, and the blue component of every other (colour) image.
struct StoredByteImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bytes;
};

// Decodes the first picture of an image file as DecodeImageRgb does; nullopt likewise.
std::optional<StoredByteImage> DecodeImageFirstBytes(const std::string& path);

}  // namespace ombrix
