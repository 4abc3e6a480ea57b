#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"

namespace ombrix {

// The still-image commands and overlays on the display picture (640x480 bytes, shown through the
// grey or the pseudo-colour table).

// The colour (0xRRGGBB) each pixel value is shown in: grey, or the pseudo-colour palette read
// backwards (255 is E7F39B, 0 black).
std::array<uint32_t, 256> DisplayColourTable(bool pseudoColor);

// Saves the picture as it is shown, through the pseudo-colour table when pseudoColor is set and
// the grey one otherwise, as JPEG or PNG by the path's extension. False when it was not written
// (unknown extension, no access, disk full); nothing is left behind then.
bool SaveDisplayImage(const std::string& path, const uint8_t* pixels, bool pseudoColor);

// Loads a 640x480 image into the picture: each pixel takes the first stored byte of the decoded
// pixel (a grey value, a palette index, or the blue component of a colour image). An image of
// another size, or one that cannot be read, leaves the picture unchanged: false.
bool OpenImageIntoDisplay(const std::string& path, uint8_t* pixels);

// The default file name of Save Image: the current event's key, else "image".
std::string SaveImageDefaultName(const std::string& currentEvent);

// Overlay Grid: marks the pixel of each of 123 sky directions (azimuth every 15 degrees at
// elevations 0 to 45, every 30 at 60 and 75, the meridian at 80, 85 and 90) found with the
// calibration of the settings: a value above 128 becomes 0, any other 255, so a pixel marked
// twice flips back and forth. Returns the pixels marked (x, y), in that order.
std::vector<std::pair<int, int>> OverlayGrid(uint8_t* pixels, const Settings& settings);

// Overlay Mask: sets every pixel that the threshold table masks (value 255) to 255.
void OverlayMask(uint8_t* pixels, const uint8_t* thresholdTable);

// The readout of a click on the picture: "(x,y)  Az: %6.2f El: %6.2f" with the direction of the
// pixel by the calibration of the settings.
std::string PixelReadout(const Settings& settings, int x, int y);

}  // namespace ombrix
