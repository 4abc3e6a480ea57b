#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace ombrix {

// Receives the texts of failures and warnings meant for the operator, one sentence each. It may be
// called from any thread, so it must be safe to call from any thread.
using ReportFunction = std::function<void(const std::string&)>;

// A failure that can repeat (every clip, every frame, every pass) is reported when it first
// happens and then at most once per interval, with the count of repeats held back since the last
// report: "Recording failed: ... (repeated 58 times in the last minute)". When the failure stops,
// Clear() ends the run, and the next failure is reported at once again. Safe to call from several
// threads; the report function is called outside the lock.
class ThrottledReport {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr std::chrono::seconds kInterval{60};

  explicit ThrottledReport(ReportFunction report, Clock clock = nullptr);

  // One occurrence of the failure. `text` is what the operator reads; when it differs from the
  // text of the run in progress, it starts a new run and is reported at once.
  void Failure(const std::string& text);
  // The failure has stopped: ends the run in progress. With `recovered` non-empty and a run in
  // progress, that text is reported (with the count still held back).
  void Clear(const std::string& recovered = {});
  // Whether a run of failures is in progress.
  bool failing() const;

 private:
  std::chrono::steady_clock::time_point Now() const;

  ReportFunction report_;
  Clock clock_;
  mutable std::mutex mutex_;
  std::string text_;  // the failure of the run in progress; empty when none
  uint64_t heldBack_ = 0;
  std::chrono::steady_clock::time_point lastReport_{};
};

}  // namespace ombrix
