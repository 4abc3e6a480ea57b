#include "detect/event_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "base/atomic_file.h"
#include "base/folders.h"

namespace ombrix {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// One line of at most 30 characters without its line end; nullopt at end of file. A longer line
// is cut after 30 characters, as a reader with a 31-character buffer would.
std::optional<std::string> ReadShortLine(std::FILE* file) {
  char buffer[31];
  if (std::fgets(buffer, sizeof buffer, file) == nullptr) {
    return std::nullopt;
  }
  std::string line(buffer);
  if (!line.empty() && line.back() == '\n') {
    line.pop_back();
  } else {
    // Drop the rest of an overlong line so that the next read starts on the next line.
    int c = 0;
    while ((c = std::fgetc(file)) != EOF && c != '\n') {
    }
  }
  if (!line.empty() && line.back() == '\r') {
    line.pop_back();
  }
  return line;
}

bool IsStamp(const std::string& text) {
  if (text.size() != kStampLength || text[8] != '_' || text[15] != '_') {
    return false;
  }
  for (size_t i = 0; i < text.size(); ++i) {
    if (i != 8 && i != 15 && (text[i] < '0' || text[i] > '9')) {
      return false;
    }
  }
  return ParseStamp(text).has_value();
}

}  // namespace

void EventList::Append(const Stamp& stamp) {
  std::lock_guard lock(mutex_);
  stamps_.push_back(stamp);
}

std::optional<Stamp> EventList::TakeHead() {
  std::lock_guard lock(mutex_);
  if (stamps_.empty()) {
    return std::nullopt;
  }
  Stamp head = std::move(stamps_.front());
  stamps_.pop_front();
  return head;
}

bool EventList::Empty() const {
  std::lock_guard lock(mutex_);
  return stamps_.empty();
}

size_t EventList::Size() const {
  std::lock_guard lock(mutex_);
  return stamps_.size();
}

std::string MarkCommand(const Stamp& first, const Stamp& last) {
  const auto from = ParseStamp(first);
  const auto to = ParseStamp(last);
  if (!from || !to) {
    return {};
  }
  const CalendarTime end = to->time + (to->milliseconds > 0 ? 1 : 0);
  return "ombrix mark --from " +
         FormatCalendarTime(from->time, "%Y-%m-%dT%H:%M:%SZ").value_or("?") + " --duration " +
         std::to_string(std::max<CalendarTime>(end - from->time, 1));
}

bool RecordEvent(const std::string& archiveFolderSetting, EventList& eventList,
                 const SystemTime& start, const SystemTime& end, Notices& notices) {
  const Stamp first = MakeStamp(start);
  const Stamp last = MakeStamp(end);
  // Written under "." + the name and renamed when complete, so that a crash never leaves a
  // partial event file for the review or the archive thread to find.
  std::string why;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::string folder;
    FolderFailure failure;
    if (!GetEventsFolder(archiveFolderSetting, folder, &failure)) {
      why = failure.Describe();
      continue;
    }
    const std::string path = folder + "/e" + first + ".txt";
    int error = 0;
    if (WriteFileAtomically(path, first + "\r\n" + last + "\r\n", TemporaryName::kFixed,
                            Durability::kCached, &error)) {
      eventList.Append(first);
      return true;
    }
    why = "cannot write " + path + ": " + std::strerror(error);
  }
  notices.Say(
      Severity::kError, kEventFileTopic,
      "Event from " + first + " to " + last + " could not be written (" + why +
          "). Once that is mended, keep it from the archive with: " + MarkCommand(first, last));
  return false;
}

std::optional<EventTimes> ReadEventFile(const std::string& path) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    return std::nullopt;
  }
  auto first = ReadShortLine(file.get());
  auto last = first ? ReadShortLine(file.get()) : std::nullopt;
  if (!first || !last || !IsStamp(*first) || !IsStamp(*last)) {
    return std::nullopt;
  }
  return EventTimes{std::move(*first), std::move(*last)};
}

}  // namespace ombrix
