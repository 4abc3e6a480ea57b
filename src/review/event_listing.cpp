#include "review/event_listing.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/atomic_file.h"
#include "base/folders.h"
#include "detect/event_file.h"
#include "review/verdict.h"

namespace ombrix {

std::string EventKey(const std::string& path) {
  constexpr size_t kFromEnd = 23;
  if (path.size() < kFromEnd) {
    return {};
  }
  return path.substr(path.size() - kFromEnd, kStampLength);
}

std::vector<std::string> ListEvents(const std::string& archiveFolderSetting) {
  std::vector<std::string> paths;
  std::string folder;
  if (!GetEventsFolder(archiveFolderSetting, folder)) {
    return paths;
  }
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(folder, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() >= 5 && name[0] == 'e' && name.compare(name.size() - 4, 4, ".txt") == 0) {
      paths.push_back(folder + "/" + name);
    }
  }
  std::sort(paths.begin(), paths.end());  // byte-wise, as std::string compares
  return paths;
}

std::string NextEventPath(const std::vector<std::string>& listing, const std::string& current) {
  const auto it = std::upper_bound(listing.begin(), listing.end(), current);
  return it == listing.end() ? std::string() : *it;
}

std::string PreviousEventPath(const std::vector<std::string>& listing, const std::string& current) {
  if (current.empty()) {
    return listing.empty() ? std::string() : listing.back();
  }
  const auto it = std::lower_bound(listing.begin(), listing.end(), current);
  return it == listing.begin() ? std::string() : *std::prev(it);
}

PickerInterval ReadPickerInterval(UtcTime picker, const std::string& durationText) {
  // The leading whole number of the text, as the digits-only duration field holds it.
  int64_t duration_s = 0;
  size_t i = 0;
  while (i < durationText.size() && durationText[i] == ' ') {
    ++i;
  }
  for (; i < durationText.size() && durationText[i] >= '0' && durationText[i] <= '9'; ++i) {
    duration_s = std::min<int64_t>(duration_s * 10 + (durationText[i] - '0'), 1000000000);
  }
  PickerInterval interval;
  interval.start =
      picker < kFirstStampTime ? UtcTime{} : std::chrono::floor<std::chrono::seconds>(picker);
  interval.end = interval.start + std::chrono::seconds{duration_s};
  return interval;
}

std::optional<std::string> WriteEventFileAtomically(const std::string& archiveFolderSetting,
                                                    const PickerInterval& interval,
                                                    WriteFailure& failure) {
  std::string folder;
  if (!GetEventsFolder(archiveFolderSetting, folder)) {
    failure = {GetBaseFolder(archiveFolderSetting) + "/events", "the events folder cannot be had"};
    return std::nullopt;
  }
  const Stamp start = MakeStamp(interval.start);
  const Stamp end = MakeStamp(interval.end);
  if (start.empty() || end.empty()) {
    failure = {folder, "the stretch does not lie within the years 1900 to 9999"};
    return std::nullopt;
  }
  const std::string path = folder + "/e" + start + ".txt";
  std::error_code exists;
  if (std::filesystem::exists(path, exists)) {
    failure = {path, "an event of that start exists already and is kept"};
    return std::nullopt;
  }
  int error = 0;
  if (!WriteFileAtomically(path, start + "\r\n" + end + "\r\n", Durability::kSynced, &error)) {
    failure = {path, std::strerror(error)};
    return std::nullopt;
  }
  return path;
}

bool RemoveEventPath(const std::string& path, std::string& reason) {
  if (path.empty()) {
    reason = "no event file is selected";
    return false;
  }
  if (std::remove(path.c_str()) == 0 || errno == ENOENT) {
    return true;
  }
  reason = std::strerror(errno);
  return false;
}

bool RemoveEventCompanions(const std::string& eventsFolder, const std::string& key,
                           WriteFailure& failure) {
  if (key.empty()) {
    return true;
  }
  for (const std::string& name : {"/c" + key + ".csv", "/j" + key + ".jpg", "/m" + key + ".mp4"}) {
    const std::string path = eventsFolder + name;
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
      continue;
    }
    if (std::remove(path.c_str()) != 0 && errno != ENOENT) {
      failure = {path, std::strerror(errno)};
      return false;
    }
  }
  return true;
}

std::vector<EventSummary> SummariseEvents(const std::string& archiveFolderSetting) {
  std::vector<EventSummary> events;
  std::string folder;
  if (!GetEventsFolder(archiveFolderSetting, folder)) {
    return events;
  }
  const auto exists = [&folder](char letter, const Stamp& key, const char* extension) {
    std::error_code error;
    return std::filesystem::exists(folder + "/" + letter + key + extension, error);
  };
  for (const std::string& path : ListEvents(archiveFolderSetting)) {
    const std::string name = std::filesystem::path(path).filename().string();
    const Stamp key = EventKey(path);
    if (name != "e" + key + ".txt" || !ParseStamp(key)) {
      continue;
    }
    EventSummary event;
    event.key = key;
    if (const std::optional<EventTimes> times = ReadEventFile(path)) {
      event.first = times->first;
      event.last = times->last;
    }
    event.image = exists('j', key, ".jpg");
    event.movie = exists('m', key, ".mp4");
    event.history = exists('c', key, ".csv");
    if (const std::optional<Verdict> verdict = JudgeEventHistory(folder + "/c" + key + ".csv")) {
      event.verdict = VerdictName(*verdict);
    }
    events.push_back(event);
  }
  return events;
}

std::string EventVerdictText(const std::string& eventPath) {
  const std::string key = EventKey(eventPath);
  if (key.empty()) {
    return {};
  }
  const std::string folder = std::filesystem::path(eventPath).parent_path().string();
  const std::optional<Verdict> verdict = JudgeEventHistory(folder + "/c" + key + ".csv");
  return verdict ? VerdictName(*verdict) : std::string();
}

}  // namespace ombrix
