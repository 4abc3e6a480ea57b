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

// The station's own night summaries: each pass writes the summary of the night that ended last
// (at the local noon after it, by the clock) into the nights folder of the base folder, once.
// "Night summary written: YYYY-MM-DD" (info) when it is; a night the archive holds nothing of is
// said once (info) and not written; a summary that cannot be written is a failure (warning,
// throttled) and is tried again an hour later. A summary already there is kept. The first pass
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
