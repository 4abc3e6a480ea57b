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

}  // namespace

void EventList::Append(UtcTime start) {
  std::lock_guard lock(mutex_);
  starts_.push_back(start);
}

std::optional<UtcTime> EventList::TakeHead() {
  std::lock_guard lock(mutex_);
  if (starts_.empty()) {
    return std::nullopt;
  }
  const UtcTime head = starts_.front();
  starts_.pop_front();
  return head;
}

bool EventList::Empty() const {
  std::lock_guard lock(mutex_);
  return starts_.empty();
}

size_t EventList::Size() const {
  std::lock_guard lock(mutex_);
  return starts_.size();
}

std::string MarkCommand(UtcTime first, UtcTime last) {
  using std::chrono::seconds;
  const UtcTime from = std::chrono::floor<seconds>(first);
  const CalendarFields f = BreakUtcTime(from);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", f.year, f.month, f.day, f.hour,
                f.minute, f.second);
  const seconds duration = std::chrono::ceil<seconds>(last - from);
  return std::string("ombrix mark --from ") + text + " --duration " +
         std::to_string(std::max<int64_t>(duration.count(), 1));
}

bool RecordEvent(const std::string& archiveFolderSetting, EventList& eventList, UtcTime start,
                 UtcTime end, Notices& notices) {
  const Stamp first = MakeStamp(start);
  const Stamp last = MakeStamp(end);
  if (first.empty() || last.empty()) {
    notices.Say(Severity::kError, kEventFileTopic,
                "An event was not recorded: its time lies outside the years 1900 to 9999.");
    return false;
  }
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
      eventList.Append(start);
      return true;
    }
    why = "cannot write " + path + ": " + std::strerror(error);
  }
  notices.Say(
      Severity::kError, kEventFileTopic,
      "Event from " + first + " to " + last + " could not be written (" + why +
          "). Once that is mended, keep it from the archive with: " + MarkCommand(start, end));
  return false;
}

std::optional<EventTimes> ReadEventFile(const std::string& path) {
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    return std::nullopt;
  }
  const auto firstLine = ReadShortLine(file.get());
  const auto lastLine = firstLine ? ReadShortLine(file.get()) : std::nullopt;
  const auto first = firstLine ? ParseStamp(*firstLine) : std::nullopt;
  const auto last = lastLine ? ParseStamp(*lastLine) : std::nullopt;
  if (!first || !last) {
    return std::nullopt;
  }
  return EventTimes{*first, *last};
}

}  // namespace ombrix
