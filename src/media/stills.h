#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace ombrix {

class AtomicFile;

// Writes a 640x480 brightness image as a JPEG file (quantiser 2), whole or not at all (through an
// AtomicFile). Silent: when the encoder or the file cannot be had, or the file cannot be written
// whole, no file is left. True when the file was written and closed.
bool WriteJpegStill(const std::string& path, const uint8_t* image);
// The same image into the open temporary of file, which the caller commits; false when it could
// not be encoded or written.
bool WriteJpegStill(AtomicFile& file, const uint8_t* image);

// The same JPEG in memory (for the web page's live picture); empty when it cannot be encoded.
std::vector<uint8_t> EncodeJpegStill(const uint8_t* image);

// Scales 307200 sums in place to 0..255 by the single-precision factor 255 / largest (truncating);
// the largest becomes 254 or 255 depending on the rounding of that factor. An all-zero buffer is
// left unchanged.
void NormalizeSums(uint32_t* sums);

// Writes 307200 normalised sums as a grey RGB24 PNG file, each pixel the low byte of its sum.
// Silent like WriteJpegStill, with the same result.
bool WritePngStill(const std::string& path, const uint32_t* sums);

// Writes a grey image of any size up to 16384x16384 (rows of width bytes, top row first) as an
// 8-bit grey PNG file. Silent like WriteJpegStill, with the same result.
bool WriteGreyPng(const std::string& path, int width, int height, const uint8_t* pixels);

// Writes a 640x480 image of 8-bit values through a colour table (entry v = the colour of value v,
// 0xRRGGBB) as a JPEG (".jpg", ".jpeg") or PNG (".png") file, chosen by the path's extension
// (case ignored). The bytes go to a temporary file in the same folder that is renamed over the
// path once complete, so the file is whole or absent. False when the extension is neither, the
// encoder cannot be had or a write fails; nothing is left behind then.
bool WriteColourStill(const std::string& path, const uint8_t* image,
                      const std::array<uint32_t, 256>& colours);

// 256 colours as 0xRRGGBB; brightness v is shown as entry 255 - v (255 pale yellow, 0 black).
extern const std::array<uint32_t, 256> pseudoColorPalette;

}  // namespace ombrix
