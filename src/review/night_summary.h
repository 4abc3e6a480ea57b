#pragma once

#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "config/settings.h"
#include "review/night.h"

namespace ombrix {

// What the pictures of a night came to.
struct NightPictures {
  int images = 0;        // integrated images read, one keogram column each
  int unreadable = 0;    // integrated images that could not be read (left out)
  std::string failed;    // the picture that could not be written; empty when both were
  bool stopped = false;  // stopped before the end: nothing was written
};

// Writes the whole summary of a gathered night into folder, which must exist: the pictures and
// the timelapse, summary.json (with the free share of the base folder's disk), events.svg and
// skymap.svg.
struct NightSummary {
  NightPictures pictures;
  std::string failed;  // the first file that could not be written; empty when all were
};
NightSummary WriteNightSummary(const Settings& settings, const Night& night,
                               const std::string& folder, std::stop_token stop = {});

// The station's own summary of a night that has ended: <nights folder>/DATE/ (DATE the night's
// NightDate), built in a temporary folder beside it that is renamed when every file is written,
// so the folder is whole or absent. An existing folder is kept (kExists); a night the archive
// holds nothing of is not written (kNoArchive); kStopped when stop was requested meanwhile;
// kFailed with why.
enum class NightFolderResult { kWritten, kExists, kNoArchive, kStopped, kFailed };
NightFolderResult WriteNightFolder(const Settings& settings, const PickerInterval& stretch,
                                   std::stop_token stop, std::string& why);
// Removes the temporary folders a summary left when the process ended during its writing.
void RemoveUnfinishedNights(const std::string& archiveFolderSetting);
// Removes the summaries of the nights that ended before the time: the dates removed, and those
// that could not be, each with why.
struct NightsRemoved {
  std::vector<std::string> removed;
  std::vector<std::pair<std::string, std::string>> failed;
};
NightsRemoved RemoveNightsEndedBefore(const std::string& archiveFolderSetting, UtcTime before);

}  // namespace ombrix
