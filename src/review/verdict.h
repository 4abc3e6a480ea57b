#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

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

// A track of an event's centroid: frames whose centroids follow one motion at constant velocity.
struct Track {
  int frames = 0;           // frames on it
  double onTrackShare = 0;  // their share of the frames looked at in that time
  double seconds = 0;       // from the first to the last of them
  double pixels = 0;        // travel in that time
  double degrees = 0;       // the same on the sky
  double offPixels = 0;     // root-mean-square distance of its centroids from the motion
  double degreesPerSecond = 0;
  int peakPixels = 0;  // the largest pixel count of its frames
};

// The figures a verdict is drawn from. First what already shone before the event is taken out
// of every frame (the medians, over the stretch's first kBackgroundSeconds, of the excess and of
// the excess-weighted coordinates; the stretch begins a second before the event); the active
// frames are those left with at least kMinActivePixels pixels, an excess of at least the steady
// one and of at least a fiftieth of the largest. Tracks are followed on the active
// frames that are not wide (a wide frame's centroid is the middle of a lit area).
struct EventFigures {
  int activeFrames = 0;
  double activeSeconds = 0;  // first to last active frame
  int peakPixels = 0;        // the largest pixel count
  int wideFrames = 0;        // active frames with at least kWidePixels pixels
  double wideSeconds = 0;    // first to last wide frame
  int trackFrames = 0;       // active frames that are not wide
  // The longest meteor-like track among those of the runs of frames one after another (gaps up
  // to kRunGapSeconds; up to kMaxTracks tracks a run); none (0 frames) when there is none.
  Track meteorTrack;
  // The tracks slower than a meteor, largest first, that together hold two thirds of the track
  // frames (two aircraft, a satellite and a lamp); empty when kMaxTracks do not.
  std::vector<Track> tracks;
  // The track of the most track frames at any speed.
  Track fastTrack;
};

inline constexpr int kMinActivePixels = 3;
inline constexpr int kWidePixels = 8000;
inline constexpr double kBackgroundSeconds = 0.5;
inline constexpr double kOnTrackPixels = 3;  // a centroid may miss its track by this, or 2%
inline constexpr double kDefaultDegreesPerPixel = 0.375;
inline constexpr double kRunGapSeconds = 0.15;
inline constexpr int kMinRunFrames = 4;
inline constexpr int kMinMeteorPeakPixels = 20;
inline constexpr size_t kMaxTracks = 3;
inline constexpr double kMeteorDegreesPerSecond = 3;

// The figures of an event. When fewer than two
// frames stand out from what shone before, that is the event: nothing is taken out.
EventFigures MeasureEvent(std::span<const EventHistoryRow> rows);

// A meteor's track: at least kMinRunFrames frames on it and half of those in its time, one of
// them with at least kMinMeteorPeakPixels pixels (fainter tracks are too easily drawn by noise
// and the centroid's wandering), at least 20 pixels and 3 degrees long, close to its motion
// (root-mean-square miss at most a fifth of its travel, 2 pixels at least), at
// kMeteorDegreesPerSecond or faster, within 15 s.
bool MeteorLike(const Track& track);

// The verdict on an event's figures, the first that applies:
// - meteor: a run of frames has a meteor-like track;
// - flash: wide frames, lasting at most 2 s from the first to the last;
// - slow mover: kMaxTracks tracks slower than a meteor hold two thirds of the frames, and one of
//   them moves 6 pixels or more;
// - stationary: they do, and none moves that far (a lamp, a clock, several of them);
// - otherwise, by the track of the most frames at any speed when it is coherent (at least
//   kMinRunFrames frames and half of those in its time, 8 pixels long or more): slow mover when
//   it is slower than a meteor, unknown when it is as fast yet no meteor (with at least
//   kMinMeteorPeakPixels pixels in a frame);
// - stationary: the centroid only jumps about (noise).
// Events with fewer than 2 active frames are unknown.
Verdict JudgeEvent(const EventFigures& figures);
Verdict JudgeEvent(std::span<const EventHistoryRow> rows);

// The lines of an event's time history that parse; nullopt when there is no such file.
std::optional<std::vector<EventHistoryRow>> ReadEventHistory(const std::string& path);

// The verdict on the event whose time history ("c" + key + ".csv") is at path, from the lines that
// parse; nullopt when there is no such file.
std::optional<Verdict> JudgeEventHistory(const std::string& path);

}  // namespace ombrix
