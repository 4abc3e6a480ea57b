#pragma once

#include <string>

#include "config/settings.h"

namespace ombrix {

enum class RecalculateResult {
  kRewritten,    // every line was rewritten with the calibration
  kNoFile,       // the time history is missing or unreadable: nothing done
  kUnparsable,   // a line does not parse: the file is left as it was
  kWriteFailed,  // the new file could not be written: the old one is left as it was
};

struct RecalculateOutcome {
  RecalculateResult result = RecalculateResult::kNoFile;
  int lines = 0;       // lines rewritten; with kUnparsable the 1-based number of the bad line
  std::string reason;  // with kWriteFailed: why
};

// Recomputes the azimuth and elevation of every line of an event time history from its centroid
// with the calibration of the settings (0.00 and 0.00 for a count of 0), keeping the first five
// fields as they were read, and replaces the file with the result: the new text goes to a temporary
// file in the same folder, which is renamed over the history once complete, so a crash or a full
// disk leaves the old file. Blank lines are dropped.
RecalculateOutcome RecalculateTimeHistory(const std::string& path, const Settings& settings);

}  // namespace ombrix
