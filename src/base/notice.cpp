#include "base/notice.h"

namespace ombrix {
namespace {

// "1 time", "2 more times".
std::string Times(uint64_t count, const char* more = "") {
  return std::to_string(count) + more + (count == 1 ? " time" : " times");
}

}  // namespace

const char* SeverityName(Severity severity) {
  switch (severity) {
    case Severity::kInfo:
      return "info";
    case Severity::kWarning:
      return "warning";
    case Severity::kError:
      return "error";
    case Severity::kFatal:
      return "fatal";
  }
  return "?";
}

int JournalPriority(Severity severity) {
  switch (severity) {
    case Severity::kInfo:
      return 6;
    case Severity::kWarning:
      return 4;
    case Severity::kError:
      return 3;
    case Severity::kFatal:
      return 2;
  }
  return 6;
}

std::string NoticeLine(const Notice& notice, bool journalPrefix) {
  if (!journalPrefix) {
    return notice.text;
  }
  return "<" + std::to_string(JournalPriority(notice.severity)) + ">" + notice.text;
}

Notices::Notices(SteadyNow steadyNow) : steadyNow_(std::move(steadyNow)) {}

void Notices::SetSink(Sink sink) {
  auto shared = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
  std::lock_guard lock(mutex_);
  sink_ = std::move(shared);
}

void Notices::Say(Severity severity, std::string_view topic, std::string_view text) {
  std::unique_lock lock(mutex_);
  Deliver(lock, severity, topic, std::string(text));
}

void Notices::Failure(Severity severity, std::string_view topic, std::string_view text) {
  std::unique_lock lock(mutex_);
  const auto now = steadyNow_ ? steadyNow_() : std::chrono::steady_clock::now();
  auto it = topics_.find(topic);
  if (it == topics_.end()) {
    it = topics_.emplace(std::string(topic), TopicState{}).first;
  }
  TopicState& state = it->second;
  std::string line;
  if (!state.failing) {
    state.failing = true;
    line = text;
  } else if (now - state.lastSaid >= kRepeatInterval) {
    line = std::string(text);
    if (state.heldBack > 0) {
      line += " (repeated " + Times(state.heldBack) + " since the last report)";
    }
  } else {
    ++state.heldBack;  // the repeats of a run allocate nothing
    return;
  }
  state.heldBack = 0;
  state.lastSaid = now;
  Deliver(lock, severity, topic, std::move(line));
}

void Notices::Recovered(std::string_view topic, std::string_view text) {
  std::unique_lock lock(mutex_);
  const auto it = topics_.find(topic);
  if (it == topics_.end() || !it->second.failing) {
    return;
  }
  TopicState& state = it->second;
  const uint64_t heldBack = state.heldBack;
  state = TopicState{};
  if (text.empty()) {
    return;
  }
  std::string line(text);
  if (heldBack > 0) {
    line += " (the failure repeated " + Times(heldBack, " more") + ")";
  }
  Deliver(lock, Severity::kInfo, topic, std::move(line));
}

bool Notices::Failing(std::string_view topic) const {
  std::lock_guard lock(mutex_);
  const auto it = topics_.find(topic);
  return it != topics_.end() && it->second.failing;
}

std::vector<Notice> Notices::Recent() const {
  std::lock_guard lock(mutex_);
  return {kept_.begin(), kept_.end()};
}

void Notices::Deliver(std::unique_lock<std::mutex>& lock, Severity severity, std::string_view topic,
                      std::string text) {
  Notice notice;
  notice.severity = severity;
  notice.topic = topic;
  notice.text = std::move(text);
  notice.time =
      std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now());
  notice.sequence = ++sequence_;
  if (kept_.size() == kKept) {
    kept_.pop_front();
  }
  kept_.push_back(notice);
  const std::shared_ptr<const Sink> sink = sink_;
  lock.unlock();
  if (sink) {
    (*sink)(notice);
  }
}

}  // namespace ombrix
