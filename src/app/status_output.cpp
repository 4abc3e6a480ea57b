#include "app/status_output.h"

#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace ombrix {
namespace {

// Counters only grow; should one ever be reset, the line shows 0 rather than a huge number.
uint64_t Since(uint64_t now, uint64_t before) {
  return now >= before ? now - before : 0;
}

}  // namespace

Notices::Sink StandardErrorNoticeSink() {
  static std::mutex mutex;
  const bool journal = isatty(STDERR_FILENO) != 1;
  return [journal](const Notice& notice) {
    const std::string line = NoticeLine(notice, journal) + "\n";
    std::lock_guard lock(mutex);
    std::fputs(line.c_str(), stderr);
    if (std::fflush(stderr) != 0) {
      std::clearerr(stderr);
    }
  };
}

StatusForm StatusFormFor(int fd) {
  return isatty(fd) == 1 ? StatusForm::kLive : StatusForm::kSummary;
}

StatusOutput::StatusOutput(StatusForm form, std::optional<std::chrono::milliseconds> interval,
                           TimePoint start)
    : form_(form),
      interval_(interval ? *interval
                         : std::chrono::milliseconds(form == StatusForm::kLive ? kLiveInterval
                                                                               : kSummaryInterval)),
      next_(start + interval_),
      lastSummary_(start) {}

bool StatusOutput::Due(TimePoint now) {
  if (interval_.count() <= 0 || now < next_) {
    return false;
  }
  next_ += interval_;
  if (next_ <= now) {
    next_ = now + interval_;
  }
  return true;
}

std::string StatusOutput::Summary(const StationFigures& figures, TimePoint now) {
  const double seconds = std::chrono::duration<double>(now - lastSummary_).count();
  const uint64_t events = Since(figures.eventsRecorded, last_.eventsRecorded);
  char freeText[32] = "unknown";
  if (figures.freeFraction) {
    std::snprintf(freeText, sizeof freeText, "%.1f%%", *figures.freeFraction * 100.0);
  }
  char text[224];
  std::snprintf(text, sizeof text,
                "Last %.0f s: %" PRIu64 " frames, %" PRIu64 " lost, %" PRIu64
                " %s recorded, %" PRIu64 " cut; free disk %s",
                std::round(seconds), Since(figures.frames, last_.frames),
                Since(figures.framesLost, last_.framesLost), events,
                events == 1 ? "event" : "events", Since(figures.eventsCut, last_.eventsCut),
                freeText);
  last_ = figures;
  lastSummary_ = now;
  return text;
}

}  // namespace ombrix
