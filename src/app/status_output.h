#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "base/notice.h"

namespace ombrix {

// Prints each notice as one line on standard error; when standard error is not a terminal (a
// journal, a pipe, a file), the line begins with the journal's priority prefix, so that
// `journalctl -p warning` shows exactly the warnings and worse. Lines from several threads are
// never interleaved; a closed standard error only loses them.
Notices::Sink StandardErrorNoticeSink();

// How often the headless runner prints the station's status, and the summary line it prints
// where nobody watches live.
enum class StatusForm {
  kLive,     // a terminal: the live line (capture time, state, pixels, frames lost) every second
  kSummary,  // a journal, a pipe or a file: one summary line a minute
};

// kLive when the descriptor is a terminal, else kSummary.
StatusForm StatusFormFor(int fd);

// Running totals of the station that a summary line reports.
struct StationFigures {
  uint64_t frames = 0;      // frames the detection thread moved past
  uint64_t framesLost = 0;  // frames overwritten before detection reached them
  uint64_t eventsRecorded = 0;
  uint64_t eventsCut = 0;
  std::optional<double> freeFraction;  // free part of the archive's volume; unknown when empty
};

class StatusOutput {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  static constexpr std::chrono::seconds kLiveInterval{1};
  static constexpr std::chrono::seconds kSummaryInterval{60};

  // interval: the time between two lines, or the form's own interval when not given; zero
  // prints no periodic line at all. start: when the station started.
  StatusOutput(StatusForm form, std::optional<std::chrono::milliseconds> interval, TimePoint start);

  StatusForm form() const { return form_; }
  std::chrono::milliseconds interval() const { return interval_; }

  // Whether a line is due at now; when it is, the next one is due an interval later. After a
  // stall the missed lines are not made up: the next one is then due an interval after now.
  bool Due(TimePoint now);

  // "Last 60 s: 1798 frames, 0 lost, 2 events recorded, 2 cut; free disk 43.5%": what changed
  // since the previous summary (or the start), and the free disk as it is now. Remembers the
  // figures for the next summary.
  std::string Summary(const StationFigures& figures, TimePoint now);

 private:
  StatusForm form_;
  std::chrono::milliseconds interval_;
  TimePoint next_;
  TimePoint lastSummary_;
  StationFigures last_;
};

}  // namespace ombrix
