#pragma once

#include <string>

#include "config/settings.h"
#include "review/night.h"

namespace ombrix {

// What the pictures of a night came to.
struct NightPictures {
  int images = 0;      // integrated images read, one keogram column each
  int unreadable = 0;  // integrated images that could not be read (left out)
  std::string failed;  // the picture that could not be written; empty when both were
};

// Writes the whole summary of a gathered night into folder, which must exist: the pictures and
// the timelapse, summary.json (with the free share of the base folder's disk), events.svg and
// skymap.svg.
struct NightSummary {
  NightPictures pictures;
  std::string failed;  // the first file that could not be written; empty when all were
};
NightSummary WriteNightSummary(const Settings& settings, const Night& night,
                               const std::string& folder);

}  // namespace ombrix
