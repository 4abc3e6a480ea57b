#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace ombrix {

// Writes a 640x480 brightness image as a JPEG file (quantiser 2). Silent: when the encoder or the
// file cannot be had, or the file cannot be written whole, no file is left. True when the file
// was written and closed.
bool WriteJpegStill(const std::string& path, const uint8_t* image);

// Scales 307200 sums in place to 0..255 by the single-precision factor 255 / largest (truncating);
// the largest becomes 254 or 255 depending on the rounding of that factor. An all-zero buffer is
// left unchanged.
void NormalizeSums(uint32_t* sums);

// Writes 307200 normalised sums as a grey RGB24 PNG file, each pixel the low byte of its sum.
// Silent like WriteJpegStill, with the same result.
bool WritePngStill(const std::string& path, const uint32_t* sums);

// 256 colours as 0xRRGGBB; brightness v is shown as entry 255 - v (255 pale yellow, 0 black).
extern const std::array<uint32_t, 256> pseudoColorPalette;

}  // namespace ombrix
