#include "review/recalculate.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "detect/time_history.h"

namespace ombrix {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

bool Blank(const char* line) {
  for (; *line != '\0'; ++line) {
    if (*line != ' ' && *line != '\t' && *line != '\r' && *line != '\n') {
      return false;
    }
  }
  return true;
}

}  // namespace

RecalculateOutcome RecalculateTimeHistory(const std::string& path, const Calibration& calibration) {
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
  std::string temporary = path + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  std::FILE* output = fd >= 0 ? fdopen(fd, "wb") : nullptr;
  bool ok = output != nullptr;
  int error = ok ? 0 : errno;
  if (!ok && fd >= 0) {
    close(fd);
  }
  for (const TimeHistoryRow& row : rows) {
    if (!ok) {
      break;
    }
    AzEl position{0.0, 0.0};
    if (row.pixelCount != 0) {
      position = PixelToAzEl(calibration, tilt, row.centroidX, row.centroidY);
    }
    if (!WriteEventTimeHistoryLine(output, row, position.azimuth, position.elevation)) {
      ok = false;
      error = errno;
    }
  }
  if (ok && (std::fflush(output) != 0 || fsync(fileno(output)) != 0)) {
    ok = false;
    error = errno;
  }
  if (output != nullptr && std::fclose(output) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    if (fd >= 0) {
      std::remove(temporary.c_str());
    }
    outcome.result = RecalculateResult::kWriteFailed;
    outcome.reason = std::strerror(error != 0 ? error : EIO);
    return outcome;
  }
  outcome.result = RecalculateResult::kRewritten;
  outcome.lines = static_cast<int>(rows.size());
  return outcome;
}

}  // namespace ombrix
