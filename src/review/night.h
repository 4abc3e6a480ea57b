#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/utc_time.h"
#include "review/event_listing.h"

namespace ombrix {

// A night runs from local noon to local noon of the next day (the process's time zone, summer
// time included), so that the whole dark of one evening and the morning after fall in one night,
// named by the date of its evening.

// The night that begins on the evening of that local date; nullopt for a date that is none.
std::optional<PickerInterval> NightOfDate(int year, int month, int day);
// The night under way at `now`, or the one that ended last when it is noon: the night that
// began at the latest local noon not after now.
PickerInterval NightAt(UtcTime now);
// "YYYY-MM-DD" to the night of that evening; nullopt for any other text.
std::optional<PickerInterval> NightOfDateText(const std::string& text);

struct NightImage {
  UtcTime time;
  std::string path;
};

// Whole minutes of the stretch without a clip in the archive: the station was off, or the
// cleaner removed them.
struct NightGap {
  UtcTime start;
  UtcTime end;
};

// A direction on the sky in degrees (azimuth 0 north, 90 east).
struct SkyPoint {
  double azimuth;
  double elevation;
};

struct NightEvent {
  Stamp key;
  UtcTime first;
  UtcTime last;
  std::string verdict;          // VerdictName; "-" without a time history
  std::vector<SkyPoint> track;  // the directions of its frames with excess, in time order
};

// What the archive and the events folder hold of a stretch.
struct Night {
  PickerInterval stretch;
  std::vector<NightImage> images;  // the integrated images, in time order
  int archiveMinutes = 0;          // minutes with at least one clip
  std::vector<NightGap> gaps;      // the runs of minutes without one, in time order
  std::vector<NightEvent> events;  // the events that begin in the stretch, in time order
  int64_t framesLost = 0;          // see CountFramesLost
};

// Frames missing from the archive's runs of clips, from the clips' start times (in time order).
// A clip holds 30 consecutive recorded frames, so in a run the next clip begins 30 frame periods
// after the one before; where it begins more than 1.5 frame periods later than that, the frames
// that fit into the difference were lost (overwritten before detection read them, or left out
// of the archive when its writer fell behind). A clip beginning kLostRunBreak or more after the
// one before starts a new run: the station was stopped or disabled in between (the gaps show
// that), which is no loss of frames.
inline constexpr std::chrono::seconds kLostRunBreak{10};
int64_t CountFramesLost(const std::vector<UtcTime>& clipStarts);

// The local date (YYYY-MM-DD) of a night's evening, which names it.
std::string NightDate(const PickerInterval& night);

// Gathers the stretch [start, end). Only the minute folders that exist are visited; a missing
// folder or file is a gap, never an error.
Night GatherNight(const std::string& archiveFolderSetting, const PickerInterval& stretch);

}  // namespace ombrix
