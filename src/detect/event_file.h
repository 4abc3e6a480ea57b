#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

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

// Writes the event file events/e<S>.txt (S CR LF E CR LF, 42 bytes) under the base folder given by
// the archiveFolder setting, replacing a file of that name, and only once the file is complete and
// closed appends S to the list. The file is written as ".e<S>.txt" and renamed when complete.
// Failures are silent and lose the event: no events folder, a time that no Stamp can hold, a file
// that cannot be opened, or a write, close or rename that fails (the partial file is then removed,
// so the archive thread is never handed an event it cannot read).
// True when the event was written and queued.
bool RecordEvent(const std::string& archiveFolderSetting, EventList& eventList, UtcTime start,
                 UtcTime end);

struct EventTimes {
  UtcTime first;
  UtcTime last;
};

// The two times of an event file, read from its two Stamps without their line ends. nullopt when
// the file is missing, has fewer than two lines, or either line is not a Stamp.
std::optional<EventTimes> ReadEventFile(const std::string& path);

}  // namespace ombrix
