#include "review/recalculate.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "base/atomic_file.h"
#include "base/file.h"
#include "calib/calibration.h"
#include "detect/time_history.h"
#include "storage/calibration_settings.h"

namespace ombrix {
namespace {

bool Blank(const char* line) {
  for (; *line != '\0'; ++line) {
    if (*line != ' ' && *line != '\t' && *line != '\r' && *line != '\n') {
      return false;
    }
  }
  return true;
}

}  // namespace

RecalculateOutcome RecalculateTimeHistory(const std::string& path, const Settings& settings) {
  const Calibration calibration = CalibrationFromSettings(settings);
  RecalculateOutcome outcome;
  std::vector<TimeHistoryRow> rows;
  {
    FilePtr input(std::fopen(path.c_str(), "rb"));
    if (!input) {
      return outcome;
    }
    char line[512];
    int number = 0;
    while (std::fgets(line, sizeof line, input.get()) != nullptr) {
      ++number;
      const bool whole = std::strchr(line, '\n') != nullptr || std::feof(input.get());
      TimeHistoryRow row{};
      if (Blank(line)) {
        continue;
      }
      if (!whole || !ParseTimeHistoryLine(line, row)) {
        outcome.result = RecalculateResult::kUnparsable;
        outcome.lines = number;
        return outcome;
      }
      rows.push_back(row);
    }
    if (std::ferror(input.get())) {
      return outcome;
    }
  }

  const Tilt tilt = TiltFromPositions(calibration);
  AtomicFile output(path);
  for (const TimeHistoryRow& row : rows) {
    if (output.file() == nullptr) {
      break;
    }
    AzEl position{0.0, 0.0};
    if (row.pixelCount != 0) {
      position = PixelToAzEl(calibration, tilt, row.centroidX, row.centroidY);
    }
    if (!output.Check(
            WriteEventTimeHistoryLine(output.file(), row, position.azimuth, position.elevation))) {
      break;
    }
  }
  if (!output.Commit(Durability::kSynced)) {
    outcome.result = RecalculateResult::kWriteFailed;
    outcome.reason = std::strerror(output.error());
    return outcome;
  }
  outcome.result = RecalculateResult::kRewritten;
  outcome.lines = static_cast<int>(rows.size());
  return outcome;
}

}  // namespace ombrix
