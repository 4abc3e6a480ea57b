#pragma once

// Small writers of real image files for the mask tests: uncompressed BMP (24-bit and 8-bit
// palette) and PNG (RGB and palette) with stored deflate blocks. Both formats are plain enough
// to write by hand, which keeps the fixtures independent of the decoder under test.

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace ombrix::test {

struct Rgb {
  uint8_t r = 0;
  uint8_t g = 0;
  uint8_t b = 0;
};

// An image as rows of RGB pixels, top row first.
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<Rgb> pixels;

  Picture(int w, int h, Rgb fill) : width(w), height(h), pixels(static_cast<size_t>(w) * h, fill) {}
  Rgb& at(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
  const Rgb& at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};

// A picture given as palette indices plus a palette.
struct PalettePicture {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> indices;
  std::vector<Rgb> palette;
};

namespace detail {

inline void Put16(std::string& out, uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
inline void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
inline void Put32Big(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out += static_cast<char>((v >> shift) & 0xFF);
  }
}

inline uint32_t Crc32(const std::string& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) {
      crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
  }
  return crc ^ 0xFFFFFFFFu;
}

// A zlib stream of stored (uncompressed) deflate blocks.
inline std::string ZlibStored(const std::string& data) {
  std::string out("\x78\x01", 2);
  size_t pos = 0;
  do {
    const size_t n = std::min<size_t>(65535, data.size() - pos);
    const bool last = pos + n == data.size();
    out += static_cast<char>(last ? 1 : 0);
    Put16(out, static_cast<uint32_t>(n));
    Put16(out, static_cast<uint32_t>(~n & 0xFFFF));
    out.append(data, pos, n);
    pos += n;
  } while (pos < data.size());
  uint32_t a = 1;
  uint32_t b = 0;
  for (unsigned char c : data) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  Put32Big(out, (b << 16) | a);
  return out;
}

inline void PngChunk(std::string& out, const char* type, const std::string& body) {
  Put32Big(out, static_cast<uint32_t>(body.size()));
  const std::string typed = std::string(type, 4) + body;
  out += typed;
  Put32Big(out, Crc32(typed));
}

inline std::string Png(int width, int height, int colourType, const std::string& rows,
                       const std::vector<Rgb>* palette) {
  std::string out("\x89PNG\r\n\x1a\n", 8);
  std::string header;
  Put32Big(header, static_cast<uint32_t>(width));
  Put32Big(header, static_cast<uint32_t>(height));
  header += static_cast<char>(8);  // bit depth
  header += static_cast<char>(colourType);
  header += std::string(3, '\0');  // compression, filter, interlace
  PngChunk(out, "IHDR", header);
  if (palette != nullptr) {
    std::string plte;
    for (const Rgb& c : *palette) {
      plte += static_cast<char>(c.r);
      plte += static_cast<char>(c.g);
      plte += static_cast<char>(c.b);
    }
    PngChunk(out, "PLTE", plte);
  }
  PngChunk(out, "IDAT", ZlibStored(rows));
  PngChunk(out, "IEND", "");
  return out;
}

inline std::string BmpHeaders(int width, int height, int bitsPerPixel, size_t paletteEntries,
                              size_t pixelBytes) {
  const uint32_t offset = 14 + 40 + static_cast<uint32_t>(paletteEntries * 4);
  std::string out = "BM";
  Put32(out, offset + static_cast<uint32_t>(pixelBytes));
  Put32(out, 0);
  Put32(out, offset);
  Put32(out, 40);
  Put32(out, static_cast<uint32_t>(width));
  Put32(out, static_cast<uint32_t>(height));  // positive: bottom row first
  Put16(out, 1);
  Put16(out, static_cast<uint32_t>(bitsPerPixel));
  Put32(out, 0);  // no compression
  Put32(out, static_cast<uint32_t>(pixelBytes));
  Put32(out, 2835);
  Put32(out, 2835);
  Put32(out, static_cast<uint32_t>(paletteEntries));
  Put32(out, 0);
  return out;
}

}  // namespace detail

inline void WriteBmp(const std::filesystem::path& path, const Picture& picture) {
  const size_t stride = (static_cast<size_t>(picture.width) * 3 + 3) / 4 * 4;
  std::string pixels;
  for (int y = picture.height - 1; y >= 0; --y) {
    std::string row;
    for (int x = 0; x < picture.width; ++x) {
      const Rgb& c = picture.at(x, y);
      row += static_cast<char>(c.b);
      row += static_cast<char>(c.g);
      row += static_cast<char>(c.r);
    }
    row.resize(stride, '\0');
    pixels += row;
  }
  WriteFileBytes(path,
                 detail::BmpHeaders(picture.width, picture.height, 24, 0, pixels.size()) + pixels);
}

inline void WritePaletteBmp(const std::filesystem::path& path, const PalettePicture& picture) {
  const size_t stride = (static_cast<size_t>(picture.width) + 3) / 4 * 4;
  std::string pixels;
  for (int y = picture.height - 1; y >= 0; --y) {
    std::string row(picture.indices.begin() + static_cast<ptrdiff_t>(y) * picture.width,
                    picture.indices.begin() + static_cast<ptrdiff_t>(y + 1) * picture.width);
    row.resize(stride, '\0');
    pixels += row;
  }
  std::string palette;
  for (const Rgb& c : picture.palette) {
    palette += static_cast<char>(c.b);
    palette += static_cast<char>(c.g);
    palette += static_cast<char>(c.r);
    palette += '\0';
  }
  WriteFileBytes(path, detail::BmpHeaders(picture.width, picture.height, 8, picture.palette.size(),
                                          pixels.size()) +
                           palette + pixels);
}

inline void WritePng(const std::filesystem::path& path, const Picture& picture) {
  std::string rows;
  for (int y = 0; y < picture.height; ++y) {
    rows += '\0';  // filter: none
    for (int x = 0; x < picture.width; ++x) {
      const Rgb& c = picture.at(x, y);
      rows += static_cast<char>(c.r);
      rows += static_cast<char>(c.g);
      rows += static_cast<char>(c.b);
    }
  }
  WriteFileBytes(path, detail::Png(picture.width, picture.height, 2, rows, nullptr));
}

inline void WritePalettePng(const std::filesystem::path& path, const PalettePicture& picture) {
  std::string rows;
  for (int y = 0; y < picture.height; ++y) {
    rows += '\0';
    rows.append(picture.indices.begin() + static_cast<ptrdiff_t>(y) * picture.width,
                picture.indices.begin() + static_cast<ptrdiff_t>(y + 1) * picture.width);
  }
  WriteFileBytes(path, detail::Png(picture.width, picture.height, 3, rows, &picture.palette));
}

}  // namespace ombrix::test
