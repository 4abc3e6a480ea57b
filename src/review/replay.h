#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "base/utc_time.h"
#include "config/settings.h"
#include "detect/time_history.h"
#include "storage/review_values.h"

namespace ombrix {

class PauseGate;

// Fill of a replay frame made by a replay or the event composite, before its first picture.
inline constexpr uint8_t kReplayFill = 187;
// An archive replay and composite widen an event's or interval's window by this on each side.
inline constexpr std::chrono::milliseconds kReviewWindowWiden{1500};
// The frame wait of the moving-picture routines: this times slowdownFactor.
inline constexpr int kFrameWaitUnit_ms = 30;

// What a review routine works with. frameReady and replayEnded are called on the routine's
// thread. The gate may be null (no pause, the frame wait is a plain cancellable sleep).
struct ReviewContext {
  const Settings& settings;
  ReviewValues& review;
  std::function<void()> frameReady;
  std::function<void()> replayEnded;
  PauseGate* gate = nullptr;
  // The reader generation taken for this routine by whoever started its thread, in the order the
  // commands came, so that a later command or a stop supersedes it even before the thread first
  // runs. Empty: the routine takes a new generation itself as it begins.
  std::optional<int> generation;
};

// Sets the 20 corner pixels of the 101x101 tracking box around (x, y) to 255: left = trunc(x) - 50
// clamped to 0..539, top = trunc(y) - 50 clamped to 0..379, so the box lies inside the frame.
void DrawTrackingCorners(uint8_t* frame, double x, double y);

// Reads one frame's line of an open time history: count, x and y are reset first; a line that
// cannot be read leaves count 0 and the time as it was.
void ReadHistoryRow(std::FILE* history, TimeHistoryRow& row);

// Whether a row's count earns the tracking box: at least the smaller trigger count.
bool RowGetsTrackingBox(const Settings& settings, const TimeHistoryRow& row);

// The routines of the review workers. Each returns how many pictures it showed (frame-ready
// notifications) or, for the composites, folded.
//
// Plays an event movie with its time history (which may be missing): one frame-ready per frame
// with displayCount and currentArchiveFile from the history, then replay-ended.
int ReplayEventMovie(ReviewContext& context, const std::string& moviePath,
                     const std::string& historyPath);
// Plays the archive clips that begin after first and not after last, the time shown running from
// each clip's time at kNominalFrameSpacing (33 ms) a frame; replay-ended at the end.
int ReplayArchive(ReviewContext& context, UtcTime first, UtcTime last);
// Shows one picture (an event's peak image) with its key as the time; replay-ended at the end.
int ShowEventComposite(ReviewContext& context, const std::string& imagePath);
// The per-pixel maximum of the clip peak images that begin after first and not after last; one
// frame-ready at the end, no replay-ended.
int CompositeArchive(ReviewContext& context, UtcTime first, UtcTime last);
// The same over the integrated images; the first one after first is always taken.
int AverageComposite(ReviewContext& context, UtcTime first, UtcTime last);
// The integrated images one after another, each a frame-ready and a frame wait.
int AverageMovie(ReviewContext& context, UtcTime first, UtcTime last);

}  // namespace ombrix
