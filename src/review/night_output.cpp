#include "review/night_output.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "base/atomic_file.h"
#include "base/folders.h"
#include "base/frame.h"
#include "base/json.h"
#include "media/image_decode.h"
#include "media/movie_writer.h"
#include "media/stills.h"
#include "review/web_views.h"
#include "storage/calibration_settings.h"
#include "storage/disk_cleaner.h"

namespace ombrix {
namespace {

constexpr std::array<const char*, 6> kVerdicts = {"meteor",     "slow mover", "flash",
                                                  "stationary", "unknown",    "-"};
constexpr std::array<const char*, 6> kVerdictColours = {"#e8b020", "#4a90d9", "#d94a4a",
                                                        "#888888", "#b070d0", "#cccccc"};

size_t VerdictIndex(const std::string& verdict) {
  const auto at = std::find(kVerdicts.begin(), kVerdicts.end(), verdict);
  return at == kVerdicts.end() ? kVerdicts.size() - 1 : static_cast<size_t>(at - kVerdicts.begin());
}

// The local hour a time falls in, counted from the epoch.
int64_t LocalHour(UtcTime time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  return (static_cast<int64_t>(seconds) + local.tm_gmtoff) / 3600;
}

std::string Format(const char* format, auto... values) {
  char text[256];
  std::snprintf(text, sizeof text, format, values...);
  return text;
}

}  // namespace

std::vector<int> KeogramOffsets(const std::optional<Calibration>& calibration) {
  std::vector<int> offsets(kKeogramSkyRows);
  for (int row = 0; row < kKeogramSkyRows; ++row) {
    if (!calibration) {
      offsets[row] = row * kFrameWidth + kFrameWidth / 2;
      continue;
    }
    const bool north = row < kKeogramSkyRows / 2;
    const int fromHorizon = north ? row : kKeogramSkyRows - 1 - row;
    const double elevation = (fromHorizon + 0.5) * 90.0 / (kKeogramSkyRows / 2);
    const Pixel pixel = AzElToPixel(*calibration, north ? 0 : 180, elevation);
    const bool inside =
        pixel.x >= 0 && pixel.x < kFrameWidth && pixel.y >= 0 && pixel.y < kFrameHeight;
    offsets[row] = inside ? pixel.y * kFrameWidth + pixel.x : -1;
  }
  return offsets;
}

NightPictures WriteNightPictures(const Night& night, const std::optional<Calibration>& calibration,
                                 const std::string& folder, std::stop_token stop) {
  NightPictures result;
  const std::vector<int> offsets = KeogramOffsets(calibration);
  std::vector<uint8_t> trails(kFrameBytes, 0);
  std::vector<std::vector<uint8_t>> columns;
  std::vector<UtcTime> times;
  const std::string timelapse = folder + "/timelapse" + BrowserVideoTypeHere().extension;
  AtomicFile movieFile(timelapse);
  MovieWriter movie(movieFile, MovieKind::kTimelapse);
  for (const NightImage& image : night.images) {
    if (stop.stop_requested()) {
      result.stopped = true;
      return result;
    }
    const std::optional<StoredByteImage> decoded = DecodeImageFirstBytes(image.path);
    if (!decoded || decoded->width != kFrameWidth || decoded->height != kFrameHeight) {
      ++result.unreadable;
      continue;
    }
    const std::vector<uint8_t>& bytes = decoded->bytes;
    std::transform(trails.begin(), trails.end(), bytes.begin(), trails.begin(),
                   [](uint8_t a, uint8_t b) { return std::max(a, b); });
    std::vector<uint8_t>& column = columns.emplace_back(kKeogramSkyRows);
    for (int row = 0; row < kKeogramSkyRows; ++row) {
      column[row] = offsets[row] < 0 ? 0 : bytes[offsets[row]];
    }
    times.push_back(image.time);
    movie.WriteFrame(bytes.data(), false);
  }
  result.images = static_cast<int>(columns.size());
  if (columns.empty()) {
    return result;
  }
  const int width = result.images;
  const int height = kKeogramSkyRows + kKeogramTickRows;
  std::vector<uint8_t> keogram(static_cast<size_t>(width) * height, 0);
  for (int x = 0; x < width; ++x) {
    for (int row = 0; row < kKeogramSkyRows; ++row) {
      keogram[row * width + x] = columns[x][row];
    }
    if (x > 0 && LocalHour(times[x]) != LocalHour(times[x - 1])) {
      for (int row = kKeogramSkyRows + 1; row < height; ++row) {
        keogram[row * width + x] = 255;
      }
    }
  }
  if (!WriteGreyPng(folder + "/startrails.png", kFrameWidth, kFrameHeight, trails.data())) {
    result.failed = folder + "/startrails.png";
  } else if (!WriteGreyPng(folder + "/keogram.png", width, height, keogram.data())) {
    result.failed = folder + "/keogram.png";
  } else if (!movie.Close() || !movieFile.Commit(Durability::kCached)) {
    result.failed = timelapse;
  }
  return result;
}

std::string NightSummaryJson(const Night& night, int images, std::optional<double> freeFraction) {
  std::array<int, kVerdicts.size()> perVerdict{};
  for (const NightEvent& event : night.events) {
    ++perVerdict[VerdictIndex(event.verdict)];
  }
  std::string json = "{\n  \"from\": \"" + IsoUtc(night.stretch.start) + "\",\n  \"to\": \"" +
                     IsoUtc(night.stretch.end) + "\",\n";
  json += Format("  \"events\": %zu,\n  \"perVerdict\": {", night.events.size());
  for (size_t i = 0; i < kVerdicts.size(); ++i) {
    json += Format("%s\"%s\": %d", i == 0 ? "" : ", ", kVerdicts[i], perVerdict[i]);
  }
  json += Format(
      "},\n  \"framesLost\": %lld,\n  \"integratedImages\": %d,\n  \"archiveMinutes\": %d,\n"
      "  \"gaps\": [",
      static_cast<long long>(night.framesLost), images, night.archiveMinutes);
  for (size_t i = 0; i < night.gaps.size(); ++i) {
    const NightGap& gap = night.gaps[i];
    json += (i == 0 ? "\n" : ",\n") +
            Format("    {\"from\": \"%s\", \"to\": \"%s\", \"minutes\": %lld}",
                   IsoUtc(gap.start).c_str(), IsoUtc(gap.end).c_str(),
                   static_cast<long long>(
                       std::chrono::ceil<std::chrono::minutes>(gap.end - gap.start).count()));
  }
  json += night.gaps.empty() ? "],\n" : "\n  ],\n";
  json += freeFraction ? Format("  \"freeDiskFraction\": %.4f\n}\n", *freeFraction)
                       : std::string("  \"freeDiskFraction\": null\n}\n");
  return json;
}

std::string EventsPerHourSvg(const Night& night) {
  const auto hours = std::max<int64_t>(
      1, std::chrono::ceil<std::chrono::hours>(night.stretch.end - night.stretch.start).count());
  std::vector<std::array<int, kVerdicts.size()>> counts(static_cast<size_t>(hours));
  for (const NightEvent& event : night.events) {
    const auto hour =
        std::chrono::floor<std::chrono::hours>(event.first - night.stretch.start).count();
    if (hour >= 0 && hour < hours) {
      ++counts[static_cast<size_t>(hour)][VerdictIndex(event.verdict)];
    }
  }
  int most = 1;
  for (const auto& hour : counts) {
    int total = 0;
    for (int n : hour)
      total += n;
    most = std::max(most, total);
  }
  constexpr int kBarWidth = 24, kPlotHeight = 200, kLeft = 30, kTop = 10;
  const int width = kLeft + static_cast<int>(hours) * kBarWidth + 10;
  std::string svg = Format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
      "font-family=\"sans-serif\" font-size=\"10\">\n",
      width, kTop + kPlotHeight + 40);
  svg += Format("<text x=\"2\" y=\"%d\">%d</text>\n", kTop + 8, most);
  for (size_t h = 0; h < counts.size(); ++h) {
    const int x = kLeft + static_cast<int>(h) * kBarWidth;
    double base = kTop + kPlotHeight;
    for (size_t v = 0; v < kVerdicts.size(); ++v) {
      if (counts[h][v] == 0)
        continue;
      const double height = counts[h][v] * double{kPlotHeight} / most;
      base -= height;
      svg += Format(
          "<rect x=\"%d\" y=\"%.1f\" width=\"%d\" height=\"%.1f\" fill=\"%s\"><title>%s: "
          "%d</title></rect>\n",
          x + 2, base, kBarWidth - 4, height, kVerdictColours[v], kVerdicts[v], counts[h][v]);
    }
    const UtcTime hourStart = night.stretch.start + std::chrono::hours(h);
    const std::time_t seconds = std::chrono::system_clock::to_time_t(hourStart);
    std::tm local{};
    localtime_r(&seconds, &local);
    svg += Format("<text x=\"%d\" y=\"%d\">%02d</text>\n", x + 6, kTop + kPlotHeight + 14,
                  local.tm_hour);
  }
  for (size_t v = 0; v < kVerdicts.size(); ++v) {
    svg += Format(
        "<rect x=\"%zu\" y=\"%d\" width=\"8\" height=\"8\" fill=\"%s\"/><text x=\"%zu\" "
        "y=\"%d\">%s</text>\n",
        kLeft + v * 80, kTop + kPlotHeight + 24, kVerdictColours[v], kLeft + v * 80 + 10,
        kTop + kPlotHeight + 32, v + 1 == kVerdicts.size() ? "no verdict" : kVerdicts[v]);
  }
  return svg + "</svg>\n";
}

std::string SkyMapSvg(const Night& night) {
  constexpr double kCentre = 210, kRadius = 190;
  // Zenith in the middle, the horizon on the circle; north up, east left.
  const auto point = [&](const SkyPoint& direction) {
    const double r = kRadius * (90 - std::clamp(direction.elevation, 0.0, 90.0)) / 90;
    const double a = direction.azimuth * M_PI / 180;
    return std::pair{kCentre - r * std::sin(a), kCentre - r * std::cos(a)};
  };
  std::string svg =
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"420\" height=\"420\" "
      "font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"420\" height=\"420\" "
      "fill=\"#101828\"/>\n";
  for (const int elevation : {0, 30, 60}) {
    svg += Format("<circle cx=\"%.0f\" cy=\"%.0f\" r=\"%.1f\" fill=\"none\" stroke=\"#556\"/>\n",
                  kCentre, kCentre, kRadius * (90 - elevation) / 90.0);
  }
  const std::pair<const char*, double> marks[] = {{"N", 0}, {"E", 90}, {"S", 180}, {"W", 270}};
  for (const auto& [name, azimuth] : marks) {
    const auto [x, y] = point({azimuth, -6});
    svg += Format(
        "<text x=\"%.1f\" y=\"%.1f\" fill=\"#ccc\" text-anchor=\"middle\" "
        "dominant-baseline=\"middle\">%s</text>\n",
        x, y, name);
  }
  for (const NightEvent& event : night.events) {
    if (event.track.empty())
      continue;
    std::string points;
    for (const SkyPoint& direction : event.track) {
      const auto [x, y] = point(direction);
      points += Format("%s%.1f,%.1f", points.empty() ? "" : " ", x, y);
    }
    svg += Format("<polyline fill=\"none\" stroke-width=\"2\" stroke=\"%s\" points=\"",
                  kVerdictColours[VerdictIndex(event.verdict)]) +
           points + "\"><title>" + event.key + " " + event.verdict + "</title></polyline>\n";
  }
  return svg + "</svg>\n";
}

std::optional<Calibration> NightCalibration(const Settings& settings) {
  const Calibration c = CalibrationFromSettings(settings);
  const Calibration none;
  const bool uncalibrated =
      c.rotation == none.rotation && c.degPerPixel0 == none.degPerPixel0 &&
      c.degPerPixel1 == none.degPerPixel1 && c.degPerPixel2 == none.degPerPixel2 &&
      c.degPerPixel3 == none.degPerPixel3 && c.apparentLatitude == none.apparentLatitude &&
      c.apparentLongitude == none.apparentLongitude && c.trueLatitude == none.trueLatitude &&
      c.trueLongitude == none.trueLongitude && c.copX == none.copX && c.copY == none.copY;
  return uncalibrated ? std::nullopt : std::optional<Calibration>(c);
}

NightSummary WriteNightSummary(const Settings& settings, const Night& night,
                               const std::string& folder, std::stop_token stop) {
  NightSummary summary;
  summary.pictures = WriteNightPictures(night, NightCalibration(settings), folder, stop);
  summary.failed = summary.pictures.failed;
  if (summary.pictures.stopped) {
    return summary;
  }
  StatvfsFreeSpace freeSpace;
  const std::string base = GetBaseFolder(settings.archiveFolder);
  const std::pair<const char*, std::string> texts[] = {
      {"/summary.json",
       NightSummaryJson(night, summary.pictures.images, freeSpace.FreeFraction(base))},
      {"/events.svg", EventsPerHourSvg(night)},
      {"/skymap.svg", SkyMapSvg(night)}};
  for (const auto& [name, text] : texts) {
    if (!WriteFileAtomically(folder + name, text, Durability::kCached) && summary.failed.empty()) {
      summary.failed = folder + name;
    }
  }
  return summary;
}

}  // namespace ombrix

namespace ombrix {

NightFolderResult WriteNightFolder(const Settings& settings, const PickerInterval& stretch,
                                   std::stop_token stop, std::string& why) {
  const std::string nights = NightsFolder(settings.archiveFolder);
  const std::string date = NightDate(stretch);
  const std::string folder = nights + "/" + date;
  std::error_code error;
  if (std::filesystem::exists(folder, error)) {
    return NightFolderResult::kExists;
  }
  const Night night = GatherNight(settings.archiveFolder, stretch);
  if (night.images.empty() && night.archiveMinutes == 0) {
    return NightFolderResult::kNoArchive;
  }
  std::filesystem::create_directories(nights, error);
  std::string temporary = nights + "/." + date + ".XXXXXX";
  if (error || mkdtemp(temporary.data()) == nullptr) {
    why = nights + ": " + (error ? error.message() : std::strerror(errno));
    return NightFolderResult::kFailed;
  }
  const NightSummary summary = WriteNightSummary(settings, night, temporary, stop);
  NightFolderResult result = NightFolderResult::kWritten;
  if (summary.pictures.stopped) {
    result = NightFolderResult::kStopped;
  } else if (!summary.failed.empty()) {
    why = summary.failed.substr(temporary.size() + 1) + " could not be written";
    result = NightFolderResult::kFailed;
  } else if (std::rename(temporary.c_str(), folder.c_str()) != 0) {
    why = folder + ": " + std::strerror(errno);
    result = NightFolderResult::kFailed;
  }
  if (result != NightFolderResult::kWritten) {
    std::filesystem::remove_all(temporary, error);
  }
  return result;
}

NightsRemoved RemoveNightsEndedBefore(const std::string& archiveFolderSetting, UtcTime before) {
  NightsRemoved result;
  for (const std::string& date : ListNights(archiveFolderSetting)) {
    const std::optional<PickerInterval> night = NightOfDateText(date);
    if (!night || night->end >= before) {
      continue;
    }
    std::error_code error;
    std::filesystem::remove_all(NightsFolder(archiveFolderSetting) + "/" + date, error);
    if (error) {
      result.failed.emplace_back(date, error.message());
    } else {
      result.removed.push_back(date);
    }
  }
  return result;
}

void RemoveUnfinishedNights(const std::string& archiveFolderSetting) {
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(NightsFolder(archiveFolderSetting), error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    // "." + date + "." + six characters, as WriteNightFolder makes them.
    if (name.size() == 18 && name[0] == '.' && name[11] == '.' &&
        IsNightDate(std::string_view(name).substr(1, 10))) {
      std::error_code removeError;
      std::filesystem::remove_all(it->path(), removeError);
    }
  }
}

}  // namespace ombrix
