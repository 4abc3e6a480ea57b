#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ombrix {

// What the web page shows besides the stored files.

// A 640x480 grey picture (the live frame) as JPEG bytes; empty for another size or when it
// cannot be encoded.
std::vector<uint8_t> GreyJpeg(const uint8_t* grey, int width, int height);

// An event's light curve (pixel count and summed excess against time, each on its own axis) and
// its track on a polar azimuth/elevation chart (north up, east left, as seen from below), from
// its time history; nullopt when the file cannot be read or holds no line.
std::optional<std::string> EventLightCurveSvg(const std::string& timeHistoryPath);
std::optional<std::string> EventTrackSvg(const std::string& timeHistoryPath);

// The night summaries the station writes itself: <base>/nights/YYYY-MM-DD/ with keogram.png,
// startrails.png, events.svg, skymap.svg, timelapse.mp4 (or .webm) and summary.json.
std::string NightsFolder(const std::string& archiveFolderSetting);
// Exactly YYYY-MM-DD of a real date (years 1900 to 9998).
bool IsNightDate(std::string_view text);
// The dates of the summaries in the nights folder, newest first.
std::vector<std::string> ListNights(const std::string& archiveFolderSetting);

}  // namespace ombrix
