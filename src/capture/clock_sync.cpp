#include "capture/clock_sync.h"

#include <sys/timex.h>

namespace ombrix {

bool ClockStateSynchronised(int adjtimexResult, int status) {
  return adjtimexResult >= 0 && adjtimexResult != TIME_ERROR && (status & STA_UNSYNC) == 0;
}

bool SystemClockSynchronised() {
  timex state{};
  state.modes = 0;  // read only
  const int result = adjtimex(&state);
  return ClockStateSynchronised(result, state.status);
}

}  // namespace ombrix
