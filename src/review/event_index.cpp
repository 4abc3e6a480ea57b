#include "review/event_index.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <unordered_map>

#include "detect/event_file.h"
#include "review/event_listing.h"
#include "review/verdict.h"

namespace ombrix {
namespace {

// "e" + Stamp + ".txt" and its companions: the letter, the Stamp, a four-character extension.
constexpr size_t kNameLength = 1 + kStampLength + 4;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

bool Before(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

bool IsEventKey(std::string_view text) {
  return ParseStamp(text).has_value();
}

EventFilePaths EventFiles(const std::string& eventsFolder, std::string_view key) {
  const std::string k(key);
  return {eventsFolder + "/e" + k + ".txt", eventsFolder + "/j" + k + ".jpg",
          eventsFolder + "/m" + k + ".mp4", eventsFolder + "/c" + k + ".csv"};
}

bool DeleteEvent(const std::string& eventsFolder, std::string_view key, std::string& why) {
  if (!IsEventKey(key)) {
    why = "no event " + std::string(key);
    return false;
  }
  const EventFilePaths paths = EventFiles(eventsFolder, key);
  std::error_code error;
  if (!std::filesystem::exists(paths.eventFile, error)) {
    why = "no event " + std::string(key);
    return false;
  }
  std::string reason;
  if (!RemoveEventPath(paths.eventFile, reason)) {
    why = paths.eventFile + ": " + reason;
    return false;
  }
  WriteFailure failure;
  if (!RemoveEventCompanions(eventsFolder, std::string(key), failure)) {
    why = failure.path + ": " + failure.reason;
    return false;
  }
  return true;
}

EventEntry ReadEventEntry(const std::string& eventsFolder, const std::string& key, bool history) {
  EventEntry entry;
  entry.key = key;
  const EventFilePaths paths = EventFiles(eventsFolder, key);
  if (const std::optional<EventTimes> times = ReadEventFile(paths.eventFile)) {
    entry.start = times->first;
    entry.end = times->last;
  } else {
    entry.start = entry.end = ParseStamp(key).value_or(UtcTime{});
  }
  entry.seconds = std::chrono::duration<double>(entry.end - entry.start).count();
  if (!history) {
    return entry;
  }
  const std::optional<std::vector<EventHistoryRow>> rows = ReadEventHistory(paths.timeHistory);
  if (!rows) {
    return entry;
  }
  entry.timeHistory = true;
  const EventHistoryRow* first = nullptr;
  const EventHistoryRow* last = nullptr;
  const EventHistoryRow* peak = nullptr;
  for (const EventHistoryRow& r : *rows) {
    if (r.frame.pixelCount <= 0) {
      continue;  // a quiet frame has no centroid, so no direction
    }
    first = first != nullptr ? first : &r;
    last = &r;
    if (peak == nullptr || r.frame.excessSum > peak->frame.excessSum) {
      peak = &r;
    }
  }
  if (first != nullptr) {
    entry.startAz = first->azimuth;
    entry.startEl = first->elevation;
    entry.endAz = last->azimuth;
    entry.endEl = last->elevation;
    entry.peakAz = peak->azimuth;
    entry.peakEl = peak->elevation;
  }
  entry.verdict = VerdictName(JudgeEvent(*rows));
  return entry;
}

EventIndex::EventIndex(std::string eventsFolder) : folder_(std::move(eventsFolder)) {}

void EventIndex::Refresh() {
  struct stat folderInfo {};
  if (stat(folder_.c_str(), &folderInfo) != 0) {
    events_.clear();
    listedModified_.reset();
    return;
  }
  // A change to the folder after a listing sets its modification time past the one seen then;
  // within a second of that listing the file system's coarse clock might not show it yet.
  if (listedModified_ && listedModified_->tv_sec == folderInfo.st_mtim.tv_sec &&
      listedModified_->tv_nsec == folderInfo.st_mtim.tv_nsec &&
      !Before(listedAt_, timespec{folderInfo.st_mtim.tv_sec + 1, folderInfo.st_mtim.tv_nsec})) {
    return;
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const std::unique_ptr<DIR, DirCloser> dir(opendir(folder_.c_str()));
  if (dir == nullptr) {
    events_.clear();
    listedModified_.reset();
    return;
  }
  std::unordered_map<std::string, Files> seen;
  seen.reserve(events_.size() + 16);
  while (const dirent* item = readdir(dir.get())) {
    const char* name = item->d_name;
    if (std::strlen(name) != kNameLength) {
      continue;
    }
    const std::string_view extension(name + 1 + kStampLength, 4);
    const std::string_view key(name + 1, kStampLength);
    const char letter = name[0];
    const bool known =
        (letter == 'e' && extension == ".txt") || (letter == 'c' && extension == ".csv") ||
        (letter == 'j' && extension == ".jpg") || (letter == 'm' && extension == ".mp4");
    if (!known || !IsEventKey(key)) {
      continue;
    }
    Files& files = seen[std::string(key)];
    const ino_t inode = item->d_ino != 0 ? item->d_ino : 1;
    switch (letter) {
      case 'e':
        files.event = inode;
        break;
      case 'c':
        files.history = inode;
        break;
      case 'j':
        files.peakImage = true;
        break;
      default:
        files.movie = true;
    }
  }
  for (auto it = events_.begin(); it != events_.end();) {
    const auto found = seen.find(it->first);
    it = found == seen.end() || found->second.event == 0 ? events_.erase(it) : std::next(it);
  }
  for (const auto& [key, files] : seen) {
    if (files.event == 0) {
      continue;  // companions without an event file are no event
    }
    const auto cached = events_.find(key);
    if (cached != events_.end() && cached->second.files == files) {
      continue;
    }
    const bool reread = cached == events_.end() || cached->second.files.event != files.event ||
                        cached->second.files.history != files.history;
    Cached& entry = events_[key];
    if (reread) {
      entry.entry = ReadEventEntry(folder_, key, files.history != 0);
    }
    entry.files = files;
    entry.entry.peakImage = files.peakImage;
    entry.entry.movie = files.movie;
  }
  listedModified_ = folderInfo.st_mtim;
  listedAt_ = now;
}

std::vector<EventEntry> EventIndex::Page(size_t offset, size_t count, size_t* total) {
  std::lock_guard lock(mutex_);
  Refresh();
  if (total != nullptr) {
    *total = events_.size();
  }
  std::vector<EventEntry> page;
  if (offset >= events_.size()) {
    return page;
  }
  page.reserve(std::min(count, events_.size() - offset));
  for (auto it = std::next(events_.rbegin(), static_cast<std::ptrdiff_t>(offset));
       it != events_.rend() && page.size() < count; ++it) {
    page.push_back(it->second.entry);
  }
  return page;
}

std::optional<EventEntry> EventIndex::Find(std::string_view key) {
  std::lock_guard lock(mutex_);
  Refresh();
  const auto it = events_.find(key);
  return it == events_.end() ? std::nullopt : std::optional<EventEntry>(it->second.entry);
}

size_t EventIndex::CountSince(UtcTime since) {
  std::lock_guard lock(mutex_);
  Refresh();
  // Keys are the Stamps of the starts, which sort in time order.
  const Stamp from = MakeStamp(std::clamp(since, kFirstStampTime, kLastStampTime));
  return static_cast<size_t>(std::distance(events_.lower_bound(from), events_.end()));
}

}  // namespace ombrix
