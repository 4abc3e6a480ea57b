#pragma once

#include <sys/types.h>

#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/utc_time.h"

namespace ombrix {

// One event of the events folder as the web page lists it.
struct EventEntry {
  std::string key;  // the event's Stamp, as in its file names
  UtcTime start{}, end{};
  double seconds = 0;  // duration
  // Degrees, of the first and last frame with a detection and of the one with the largest summed
  // excess, as the time history holds them (its directions follow the calibration in use when
  // it was cut or recalculated); none without a time history or a frame with a detection.
  std::optional<double> startAz, startEl, endAz, endEl, peakAz, peakEl;
  std::string verdict;  // VerdictName; empty when the event has no time history
  bool peakImage = false, movie = false, timeHistory = false;  // which files exist
};

// A cached listing of an events folder for pages and the JSON API: newest first, paged. Each call
// brings it up to date with the folder cheaply: one directory listing (none at all while the
// folder's modification time shows no change since a listing taken more than a second after
// it); only events whose event file or time history is new or was replaced (a new inode) are
// read; removed ones are dropped. Any thread; the calls are serialised.
class EventIndex {
 public:
  explicit EventIndex(std::string eventsFolder);

  // count entries from offset (0: the newest); *total (when given) the number of events.
  std::vector<EventEntry> Page(size_t offset, size_t count, size_t* total);
  std::optional<EventEntry> Find(std::string_view key);
  // The events starting at or after since ("tonight").
  size_t CountSince(UtcTime since);

 private:
  // Which of an event's files are there; the inodes tell a replaced file from the one read.
  struct Files {
    ino_t event = 0;    // 0: no event file
    ino_t history = 0;  // 0: no time history
    bool peakImage = false;
    bool movie = false;
    bool operator==(const Files&) const = default;
  };
  struct Cached {
    Files files;
    EventEntry entry;
  };
  void Refresh();  // with mutex_ held

  std::mutex mutex_;
  const std::string folder_;
  std::map<std::string, Cached, std::less<>> events_;  // by key: oldest first
  // The folder's modification time at the last listing and when that listing began.
  std::optional<timespec> listedModified_;
  timespec listedAt_{};
};

// Whether text is exactly a Stamp (YYYYMMDD_hhmmss_mmm of a real date and time): the only text
// of a request that may name an event's files.
bool IsEventKey(std::string_view text);

// The four files of an event (event file, peak image, movie, time history) by key.
struct EventFilePaths {
  std::string eventFile, peakImage, movie, timeHistory;
};
EventFilePaths EventFiles(const std::string& eventsFolder, std::string_view key);

// Deletes an event's files as the window's Delete does (the event file, then its time history,
// peak image and movie); false with why (no such event, a file that cannot be removed).
bool DeleteEvent(const std::string& eventsFolder, std::string_view key, std::string& why);

// Reads an event from its files (the time history only when history is true).
EventEntry ReadEventEntry(const std::string& eventsFolder, const std::string& key, bool history);

}  // namespace ombrix
