#pragma once

#include <span>
#include <string>

#include "detect/time_history.h"

namespace ombrix {

// What an event most likely was, judged from its time history alone.
enum class Verdict {
  kMeteor,      // a short straight track at meteor speed
  kSlowMover,   // a straight track too slow for a meteor: a satellite, an aircraft
  kFlash,       // a wide brightening without a track: lightning, a flare, headlights
  kStationary,  // the brightening stays in one place: noise, a lamp, a clock
  kUnknown,     // none of these, or too little to tell
};

// "meteor", "slow mover", "flash", "stationary", "unknown".
const char* VerdictName(Verdict verdict);

// One line of an event's time history: the frame's figures and the centroid's direction
// (azimuth and elevation in degrees; both 0 on a line of a frame without excess).
struct EventHistoryRow {
  TimeHistoryRow frame;
  double azimuth = 0;
  double elevation = 0;
};

// Reads an event time-history line: the five fields of every time-history line, then
// ",azimuth,elevation". False when the line does not parse.
bool ParseEventHistoryLine(const char* line, EventHistoryRow& row);

// The figures a verdict is drawn from, over the event's active frames (those whose summed excess
// reaches a tenth of the event's largest and whose pixel count reaches kMinActivePixels).
struct EventFigures {
  int activeFrames = 0;
  double activeSeconds = 0;   // first to last active frame
  int peakPixels = 0;         // the largest pixel count
  int wideFrames = 0;         // active frames with at least kWidePixels pixels
  double wideSeconds = 0;     // first to last wide frame
  double trackPixels = 0;     // the centroid's travel along its main direction
  double trackDegrees = 0;    // the same on the sky
  double onTrackShare = 0;    // share of the active frames whose centroid lies on the track
  double offTrackPixels = 0;  // the on-track centroids' root-mean-square distance from it
  double progression = 0;     // correlation of travel and time: 1 for a steady straight motion
  double degreesPerSecond = 0;
};

inline constexpr int kMinActivePixels = 3;
inline constexpr int kWidePixels = 2000;
inline constexpr double kOnTrackPixels = 3;
inline constexpr double kMeteorDegreesPerSecond = 3;

// The figures of an event; frames whose stamp does not parse are left out.
EventFigures MeasureEvent(std::span<const EventHistoryRow> rows);

// The verdict on those figures:
// - meteor: a track of at least 8 pixels and 1.5 degrees, straight (off the line by at most
//   a fifth of its length, 2 pixels at least), advancing steadily (progression 0.8 or more) at
//   4 degrees a second or faster, active for at most 15 s;
// - flash: at least kFlashPixels pixels in a frame, the wide frames lasting at most 2 s;
// - stationary: the centroid's travel is under 6 pixels;
// - slow mover: a straight, steadily advancing track slower than a meteor;
// - unknown: anything else, and events with fewer than 2 active frames.
inline constexpr int kFlashPixels = 8000;
Verdict JudgeEvent(const EventFigures& figures);
Verdict JudgeEvent(std::span<const EventHistoryRow> rows);

}  // namespace ombrix
