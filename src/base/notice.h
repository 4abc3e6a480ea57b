#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/utc_time.h"

namespace ombrix {

// How much a notice matters. A fatal notice ends the run: whoever owns the station stops it when
// one arrives, and the process ends with exit code 1.
enum class Severity { kInfo, kWarning, kError, kFatal };

// "info", "warning", "error", "fatal".
const char* SeverityName(Severity severity);
// The journal's priority: 6 (info), 4 (warning), 3 (error), 2 (critical, for fatal).
int JournalPriority(Severity severity);

// Something the station has to say to the operator.
struct Notice {
  Severity severity = Severity::kInfo;
  std::string topic;      // what it is about ("capture", "recording", ...): a constant of its sayer
  std::string text;       // one or two sentences; the count of repeats held back is part of it
  UtcTime time{};         // when it was said
  uint64_t sequence = 0;  // 1, 2, ... in the order said
};

// The notice as one line of a log: its text, after the journal's priority prefix ("<4>") when
// journalPrefix is set.
std::string NoticeLine(const Notice& notice, bool journalPrefix);

// The station's one channel for everything it has to say. Components never print: they say it
// here, and the owner's sink decides where it goes (standard error, a window, a test's list).
//
// A failure that may repeat (every clip, every retry) is said through Failure(): at once when its
// topic is not failing, then at most once per kRepeatInterval with the count of repeats held back,
// and its end once through Recovered(). The count belongs to the topic, so a text that changes
// within a run (it names a file or a minute folder) does not restart it.
//
// Any thread may say something. The sink is called on the saying thread, outside the channel's
// lock, and must only print or post. The newest kKept notices are kept for a list of messages.
class Notices {
 public:
  using Sink = std::function<void(const Notice&)>;
  using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr std::chrono::seconds kRepeatInterval{60};
  static constexpr size_t kKept = 500;

  // steadyNow (default: std::chrono::steady_clock) times the repeats.
  explicit Notices(SteadyNow steadyNow = nullptr);
  Notices(const Notices&) = delete;
  Notices& operator=(const Notices&) = delete;

  // Where notices go from now on; a notice said meanwhile reaches the old or the new sink. Empty:
  // they are only kept.
  void SetSink(Sink sink);

  // A notice that is always said (an event recorded, a refused line, a fatal failure).
  void Say(Severity severity, std::string_view topic, std::string_view text);
  // One occurrence of the topic's failure; said as described above.
  void Failure(Severity severity, std::string_view topic, std::string_view text);
  // The topic's failure has stopped. When it was failing, `text` is said once (info) with the
  // count of repeats still held back; an empty text ends the run without a word. Nothing happens
  // when the topic was not failing.
  void Recovered(std::string_view topic, std::string_view text = {});
  bool Failing(std::string_view topic) const;

  // The kept notices, oldest first.
  std::vector<Notice> Recent() const;

 private:
  struct TopicState {
    bool failing = false;
    uint64_t heldBack = 0;
    std::chrono::steady_clock::time_point lastSaid{};
  };

  // Keeps the notice and hands it to the sink. Called with lock held; unlocks it.
  void Deliver(std::unique_lock<std::mutex>& lock, Severity severity, std::string_view topic,
               std::string text);

  SteadyNow steadyNow_;
  mutable std::mutex mutex_;
  std::shared_ptr<const Sink> sink_;
  std::map<std::string, TopicState, std::less<>> topics_;
  std::deque<Notice> kept_;
  uint64_t sequence_ = 0;
};

}  // namespace ombrix
