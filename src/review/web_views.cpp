#include "review/web_views.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "base/folders.h"
#include "base/frame.h"
#include "media/stills.h"
#include "review/light_curve.h"
#include "review/night.h"
#include "review/night_output.h"
#include "review/verdict.h"

namespace ombrix {
namespace {

std::string Format(const char* format, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

}  // namespace

std::vector<uint8_t> GreyJpeg(const uint8_t* grey, int width, int height) {
  if (grey == nullptr || width != kFrameWidth || height != kFrameHeight) {
    return {};
  }
  return EncodeJpegStill(grey);
}

std::optional<std::string> EventLightCurveSvg(const std::string& timeHistoryPath) {
  const std::vector<LightCurvePoint> points = ReadLightCurve(timeHistoryPath);
  if (points.empty()) {
    return std::nullopt;
  }
  constexpr double kLeft = 50, kTop = 20, kWidth = 520, kHeight = 180;
  const double seconds = std::max(points.back().time_s, 0.001);
  int mostPixels = 1, mostExcess = 1;
  for (const LightCurvePoint& p : points) {
    mostPixels = std::max(mostPixels, p.pixelCount);
    mostExcess = std::max(mostExcess, p.excessSum);
  }
  std::string svg = Format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
      "font-family=\"sans-serif\" font-size=\"11\">\n<rect x=\"%.0f\" y=\"%.0f\" width=\"%.0f\" "
      "height=\"%.0f\" fill=\"none\" stroke=\"#888\"/>\n",
      kLeft * 2 + kWidth, kTop + kHeight + 40, kLeft, kTop, kWidth, kHeight);
  // One line each, scaled to its own axis: pixel count on the left, summed excess on the right.
  const auto line = [&](const char* colour, auto value, int most) {
    std::string polyline = Format("<polyline fill=\"none\" stroke=\"%s\" points=\"", colour);
    for (const LightCurvePoint& p : points) {
      polyline += Format("%.1f,%.1f ", kLeft + kWidth * std::max(p.time_s, 0.0) / seconds,
                         kTop + kHeight - kHeight * std::max(value(p), 0) / most);
    }
    return polyline + "\"/>\n";
  };
  svg += line(
      "#2a7ab0", [](const LightCurvePoint& p) { return p.pixelCount; }, mostPixels);
  svg += line(
      "#d07020", [](const LightCurvePoint& p) { return p.excessSum; }, mostExcess);
  svg += Format(
      "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"end\" fill=\"#2a7ab0\">%d</text>\n"
      "<text x=\"%.0f\" y=\"%.0f\" text-anchor=\"end\" fill=\"#2a7ab0\">0</text>\n"
      "<text x=\"%.0f\" y=\"%.0f\" fill=\"#d07020\">%d</text>\n",
      kLeft - 4, kTop + 10, mostPixels, kLeft - 4, kTop + kHeight, kLeft + kWidth + 4, kTop + 10,
      mostExcess);
  svg += Format(
      "<text x=\"%.0f\" y=\"%.0f\">0 s</text><text x=\"%.0f\" y=\"%.0f\" "
      "text-anchor=\"end\">%.2f s</text>\n",
      kLeft, kTop + kHeight + 14, kLeft + kWidth, kTop + kHeight + 14, seconds);
  svg += Format(
      "<text x=\"%.0f\" y=\"%.0f\" fill=\"#2a7ab0\">pixel count</text><text x=\"%.0f\" "
      "y=\"%.0f\" fill=\"#d07020\">summed excess</text>\n",
      kLeft, kTop + kHeight + 32, kLeft + 120, kTop + kHeight + 32);
  return svg + "</svg>\n";
}

std::optional<std::string> EventTrackSvg(const std::string& timeHistoryPath) {
  const std::optional<std::vector<EventHistoryRow>> rows = ReadEventHistory(timeHistoryPath);
  if (!rows || rows->empty()) {
    return std::nullopt;
  }
  // The night's sky map with this one event on it.
  Night night;
  NightEvent& event = night.events.emplace_back();
  const std::string stem = std::filesystem::path(timeHistoryPath).stem().string();
  event.key = stem.size() > 1 ? stem.substr(1) : stem;  // "c" + key
  event.verdict = VerdictName(JudgeEvent(*rows));
  for (const EventHistoryRow& row : *rows) {
    if (row.frame.pixelCount > 0) {
      event.track.push_back({row.azimuth, row.elevation});
    }
  }
  return SkyMapSvg(night);
}

std::string NightsFolder(const std::string& archiveFolderSetting) {
  return GetBaseFolder(archiveFolderSetting) + "/nights";
}

bool IsNightDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (i != 4 && i != 7 && (text[i] < '0' || text[i] > '9')) {
      return false;
    }
  }
  return NightOfDateText(std::string(text)).has_value();
}

std::vector<std::string> ListNights(const std::string& archiveFolderSetting) {
  std::vector<std::string> dates;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(NightsFolder(archiveFolderSetting), error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::error_code typeError;
    const std::string name = it->path().filename().string();
    if (IsNightDate(name) && it->is_directory(typeError)) {
      dates.push_back(name);
    }
  }
  std::sort(dates.rbegin(), dates.rend());
  return dates;
}

}  // namespace ombrix
