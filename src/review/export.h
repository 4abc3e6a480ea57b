#pragma once

#include <functional>
#include <string>

#include "config/settings.h"

namespace ombrix {

enum class ExportResult {
  kWritten,    // the movie was written whole
  kNoMovie,    // the event has no movie (not cut yet, or no key): nothing written
  kNoFrames,   // its movie holds no picture that decodes: nothing written
  kFailed,     // the output could not be written; nothing is left at the output path
  kCancelled,  // the progress function asked to stop; nothing is left at the output path
};

struct ExportOutcome {
  ExportResult result = ExportResult::kNoMovie;
  int frames = 0;      // frames written
  std::string reason;  // with kFailed: why
};

// Re-encodes the movie of the event named by eventPath's key (events folder + "/m" + key + ".mp4")
// to outputPath, in the container and codec its extension chooses (".mp4", ".mpg"), in grey or
// in the pseudo-colour palette, with the tracking box burnt into the frames whose time-history
// count reaches the smaller trigger count when trackingBox is set. Runs on the caller's thread.
// The movie is written under a temporary name beside outputPath and renamed over it when
// complete, so a failed export leaves no half-written file (and an older file stays).
// progress, when given, is called after every frame written with the count so far (a window's
// progress dialog); returning false cancels the export.
ExportOutcome ExportEventMovie(const Settings& settings, const std::string& eventPath,
                               const std::string& outputPath, bool pseudoColor, bool trackingBox,
                               const std::function<bool(int framesWritten)>& progress = nullptr);

}  // namespace ombrix
