#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "base/notice.h"
#include "base/utc_time.h"

namespace ombrix {

// The queue of event start times (the events' keys) from the event writers (detection thread,
// manual events) to the archive thread. Every access holds the list's mutex, and only for the one
// operation.
class EventList {
 public:
  EventList() = default;
  EventList(const EventList&) = delete;
  EventList& operator=(const EventList&) = delete;

  void Append(UtcTime start);
  // Copies and removes the oldest entry; nullopt when the list is empty.
  std::optional<UtcTime> TakeHead();
  bool Empty() const;
  size_t Size() const;

 private:
  mutable std::mutex mutex_;
  std::deque<UtcTime> starts_;
};

// The topic of an event file that could not be written.
inline constexpr std::string_view kEventFileTopic = "event-file";

// Writes the event file events/e<S>.txt (S CR LF E CR LF, 42 bytes) under the base folder given by
// the archiveFolder setting, replacing a file of that name, and only once the file is complete and
// closed appends its start to the list. The file is written as ".e<S>.txt" and renamed when
// complete, so the archive thread is never handed an event it cannot read. A time that no Stamp can
// hold is refused and said as an error. A write that fails (no events folder, a file that cannot be
// made, written or renamed) is tried once more; when that fails too, the event is said as an error
// with its times and the `ombrix mark` command that keeps it later.
// True when the event was written and queued.
bool RecordEvent(const std::string& archiveFolderSetting, EventList& eventList, UtcTime start,
                 UtcTime end, Notices& notices);

// The command line that stores the stretch from first to last as an event from the archive:
// "ombrix mark --from 2024-03-15T21:59:58Z --duration 3" (whole seconds that cover both times).
std::string MarkCommand(UtcTime first, UtcTime last);

struct EventTimes {
  UtcTime first;
  UtcTime last;
};

// The two times of an event file, read from its two Stamps without their line ends. nullopt when
// the file is missing, has fewer than two lines, or either line is not a Stamp.
std::optional<EventTimes> ReadEventFile(const std::string& path);

}  // namespace ombrix
