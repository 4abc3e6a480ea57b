#pragma once

#include <chrono>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "base/notice.h"
#include "config/settings.h"

namespace ombrix {

// What the station says of its night summaries.
inline constexpr std::string_view kNightSummaryTopic = "night-summary";

// The station's own night summaries: once a night has ended (at the local noon after it, by the
// clock), a pass writes its summary into the nights folder of the base folder, and those of the
// older nights the archive holds from their start that have none (the station was off at their
// noon), newest first, back at most daysToKeep nights. "Night summary written: YYYY-MM-DD" (info)
// for each; the night that ended is said once (info) when the archive holds nothing of it, older
// ones are skipped silently; a summary that cannot be written is a failure (warning, throttled) and
// is tried again an hour later. A summary already there is kept. Summaries older than daysToKeep
// nights are deleted ("Night summary deleted (older than daysToKeep): YYYY-MM-DD"). The first pass
// removes the temporary folders of a summary the process did not finish. One thread.
class NightWriter {
 public:
  static constexpr std::chrono::hours kRetryAfterFailure{1};

  // written (may be empty) is told each summary written, with its date and folder.
  using Written = std::function<void(const std::string& date, const std::string& folder)>;
  NightWriter(const SharedSettings& settings, const Clock& clock, Notices& notices,
              Written written = nullptr);
  // Writing stops early, leaving nothing, when stop is requested.
  void Pass(std::stop_token stop);

 private:
  const SharedSettings& settings_;
  const Clock& clock_;
  Notices& notices_;
  Written written_;
  bool cleaned_ = false;
  std::string done_;  // the night written, found written or said to be without archive
  std::string failed_;
  std::chrono::steady_clock::time_point retryAt_{};
};

}  // namespace ombrix
