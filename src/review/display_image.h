#pragma once

#include <cstdint>
#include <string>

namespace ombrix {

// The still-image commands on the display picture (640x480 bytes, shown through the grey or the
// pseudo-colour table).

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

}  // namespace ombrix
