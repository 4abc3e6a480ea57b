#pragma once

#include <functional>
#include <stop_token>
#include <string>

#include "base/notice.h"
#include "base/utc_time.h"
#include "config/settings.h"

namespace ombrix {

enum class MarkResult {
  kCut,       // the event file is written and its peak image, movie and time history are cut
  kEmpty,     // no clip of the archive lies in the stretch: nothing was written
  kTooEarly,  // the stretch ends later than the running station has recorded: nothing written
  kNotSaved,  // the event file could not be written
  kNotCut,    // the event file is written, its files could not be cut (the notices say why)
};

struct MarkOutcome {
  MarkResult result = MarkResult::kNotSaved;
  std::string text;  // what to tell the operator
};

// How far past the newest clip of a running station a stretch may end and still be waited for.
inline constexpr std::chrono::seconds kMarkWaitAhead{60};

// `ombrix mark`: stores the stretch from start to end as an event (its event file) and cuts its
// peak image, movie and time history out of the archive as the station's archive thread does. A
// stretch in which no clip of the archive begins is refused. Beside a running station (one holds
// the base folder's lock), a stretch that reaches the clip being recorded, or clips not yet
// recorded, waits until the station has closed a clip after the stretch's window (waiting is told
// first), as long as the archive keeps growing; one that ends more than kMarkWaitAhead past the
// newest clip is refused. A stop requested while it waits ends the wait: nothing is stored
// (kTooEarly). Runs on the calling thread.
MarkOutcome MarkStretch(const SharedSettings& settings, UtcTime start, UtcTime end,
                        Notices& notices, const std::function<void()>& waiting,
                        std::stop_token stop = {});

}  // namespace ombrix
