#pragma once

#include <optional>
#include <stop_token>
#include <string>

#include "calib/calibration.h"
#include "config/settings.h"
#include "review/night.h"
#include "review/night_summary.h"

namespace ombrix {

// Rows of the keogram: the sky from the north horizon (top) through the zenith to the south
// horizon, then a strip with a tick under the first column of every local hour.
inline constexpr int kKeogramSkyRows = 480;
inline constexpr int kKeogramTickRows = 10;

// The frame offsets of the keogram's sky rows: along the north-south line through the zenith
// of the calibration, or the middle column of the frame without one; -1 for a row whose
// direction falls outside the frame.
std::vector<int> KeogramOffsets(const std::optional<Calibration>& calibration);

// Writes folder + "/startrails.png" (the per-pixel maximum of the night's integrated images),
// folder + "/keogram.png" (one column per image) and folder + "/timelapse.mp4" (the images at 25
// frames/s in H.264; "timelapse.webm" in VP9 where H.264 cannot be encoded), each whole or not at
// all. Nothing is written when no image can be read. Stops early (stopped, nothing committed) when
// stop is requested.
NightPictures WriteNightPictures(const Night& night, const std::optional<Calibration>& calibration,
                                 const std::string& folder, std::stop_token stop = {});

// summary.json: the stretch, the counts (events, per verdict, integrated images, archive
// minutes), the gaps with their times and, when known, the free share of the disk.
std::string NightSummaryJson(const Night& night, int images, std::optional<double> freeFraction);
// events.svg: events per hour of the stretch, stacked by verdict.
std::string EventsPerHourSvg(const Night& night);
// skymap.svg: every event's track on a polar azimuth/elevation chart, zenith in the middle,
// north up and east left (the sky seen from below).
std::string SkyMapSvg(const Night& night);

// The calibration of the settings; nullopt when they hold the uncalibrated defaults.
std::optional<Calibration> NightCalibration(const Settings& settings);

}  // namespace ombrix
