#pragma once

#include <cstdint>
#include <string>

#include "config/settings.h"
#include "review/event_listing.h"

namespace ombrix {

// The composites of the review commands, made on the calling thread into picture (640x480). Each
// returns how many pictures went into it; with 0 the picture is all 0.

// What Composite shows for an event file: its peak image once it is cut, else the maximum of the
// archive's clip peak images from 1.5 s before its start to 1.5 s after its end (0 when the event
// file does not hold two times).
int ComposeEvent(const Settings& settings, const std::string& eventPath, uint8_t* picture);
// What Composite shows after Play: the clip peak images of the interval widened by 1.5 s on each
// side.
int ComposeInterval(const Settings& settings, const PickerInterval& interval, uint8_t* picture);
// Show Average Composite: the integrated images of the interval; the first one after its start is
// always taken.
int AverageInterval(const Settings& settings, const PickerInterval& interval, uint8_t* picture);

}  // namespace ombrix
