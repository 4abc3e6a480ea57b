#include "base/report.h"

namespace ombrix {
namespace {

std::string WithCount(const std::string& text, uint64_t heldBack) {
  if (heldBack == 0) {
    return text;
  }
  return text + " (repeated " + std::to_string(heldBack) + (heldBack == 1 ? " time" : " times") +
         " since the last report)";
}

}  // namespace

ThrottledReport::ThrottledReport(ReportFunction report, Clock clock)
    : report_(std::move(report)), clock_(std::move(clock)) {}

std::chrono::steady_clock::time_point ThrottledReport::Now() const {
  return clock_ ? clock_() : std::chrono::steady_clock::now();
}

void ThrottledReport::Failure(const std::string& text) {
  std::string line;
  {
    std::lock_guard lock(mutex_);
    const auto now = Now();
    if (text != text_) {
      text_ = text;
      heldBack_ = 0;
      lastReport_ = now;
      line = text;
    } else if (now - lastReport_ >= kInterval) {
      line = WithCount(text, heldBack_);
      heldBack_ = 0;
      lastReport_ = now;
    } else {
      ++heldBack_;
      return;
    }
  }
  if (report_) {
    report_(line);
  }
}

void ThrottledReport::Clear(const std::string& recovered) {
  std::string line;
  {
    std::lock_guard lock(mutex_);
    if (text_.empty()) {
      return;
    }
    if (!recovered.empty()) {
      line = heldBack_ == 0 ? recovered
                            : recovered + " (the failure repeated " + std::to_string(heldBack_) +
                                  " more times)";
    }
    text_.clear();
    heldBack_ = 0;
  }
  if (!line.empty() && report_) {
    report_(line);
  }
}

bool ThrottledReport::failing() const {
  std::lock_guard lock(mutex_);
  return !text_.empty();
}

}  // namespace ombrix
