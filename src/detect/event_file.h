#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "base/stamp.h"
#include "base/system_time.h"

namespace ombrix {

// The queue of event start Stamps from the event writers (detection thread, manual events) to the
// archive thread. Every access holds the list's mutex, and only for the one operation.
class EventList {
 public:
  EventList() = default;
  EventList(const EventList&) = delete;
  EventList& operator=(const EventList&) = delete;

  void Append(const Stamp& stamp);
  // Copies and removes the oldest Stamp; nullopt when the list is empty.
  std::optional<Stamp> TakeHead();
  bool Empty() const;
  size_t Size() const;

 private:
  mutable std::mutex mutex_;
  std::deque<Stamp> stamps_;
};

// Writes the event file events/e<S>.txt (S CR LF E CR LF, 42 bytes) under the base folder given by
// the archiveFolder setting, replacing a file of that name, and only once the file is complete and
// closed appends S to the list. The file is written as ".e<S>.txt" and renamed when complete.
// Failures are silent and lose the event: no events folder, a file that cannot be opened, or a
// write, close or rename that fails (the partial file is then removed, so the archive thread is
// never handed an event it cannot read).
// True when the event was written and queued.
bool RecordEvent(const std::string& archiveFolderSetting, EventList& eventList,
                 const SystemTime& start, const SystemTime& end);

// The path of the event file of a start Stamp; false when the events folder cannot be had.
bool EventFilePath(const std::string& archiveFolderSetting, const Stamp& start, std::string& path);

struct EventTimes {
  Stamp first;
  Stamp last;
};

// The two Stamps of an event file, line ends removed. nullopt when the file is missing, has fewer
// than two lines, or either line is not a Stamp (the Stamps go into file names, so nothing else
// is let through).
std::optional<EventTimes> ReadEventFile(const std::string& path);

}  // namespace ombrix
