#include "review/night.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "base/folders.h"
#include "base/frame.h"
#include "detect/event_file.h"
#include "detect/time_history.h"
#include "review/verdict.h"

namespace ombrix {
namespace {

using std::chrono::milliseconds;
using std::chrono::minutes;

// The UTC time of local noon on that date; nullopt for a date that is none.
std::optional<UtcTime> LocalNoon(int year, int month, int day) {
  std::tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = 12;
  fields.tm_isdst = -1;
  const std::tm asked = fields;
  std::time_t time = -1;
  {
    // mktime reads the time zone anew at every call, replacing the C library's copy of its name
    // under a lock of the library's own that the thread checker cannot see: one call at a time.
    static std::mutex oneAtATime;
    std::lock_guard lock(oneAtATime);
    time = std::mktime(&fields);
  }
  if (time == static_cast<std::time_t>(-1) || fields.tm_mday != asked.tm_mday ||
      fields.tm_mon != asked.tm_mon || fields.tm_year != asked.tm_year) {
    return std::nullopt;  // mktime carries 30 February over to March
  }
  return std::chrono::time_point_cast<milliseconds>(std::chrono::system_clock::from_time_t(time));
}

std::vector<SkyPoint> ReadTrack(const std::string& historyPath, std::string& verdict) {
  std::vector<SkyPoint> track;
  const std::optional<std::vector<EventHistoryRow>> rows = ReadEventHistory(historyPath);
  if (!rows) {
    verdict = "-";
    return track;
  }
  for (const EventHistoryRow& row : *rows) {
    if (row.frame.pixelCount > 0) {
      track.push_back({row.azimuth, row.elevation});
    }
  }
  verdict = VerdictName(JudgeEvent(*rows));
  return track;
}

// Adds the start times of the clips in the minute folder of stamp that fall in the stretch.
void AddClipStarts(const std::string& archiveFolderSetting, const Stamp& stamp,
                   const PickerInterval& stretch, std::vector<UtcTime>& starts) {
  std::string folder;
  if (!GetArchiveMinuteFolder(archiveFolderSetting, folder, stamp, false)) {
    return;
  }
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(folder, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() != 1 + kStampLength + 4 || name[0] != 's' || !name.ends_with(".mp4")) {
      continue;
    }
    const std::optional<UtcTime> time = ParseStamp(std::string_view(name).substr(1, kStampLength));
    if (time && *time >= stretch.start && *time < stretch.end) {
      starts.push_back(*time);
    }
  }
}

}  // namespace

int64_t CountFramesLost(const std::vector<UtcTime>& clipStarts) {
  int64_t lost = 0;
  for (size_t i = 1; i < clipStarts.size(); ++i) {
    const auto spacing = clipStarts[i] - clipStarts[i - 1];
    const double frames = std::chrono::duration<double>(spacing) / kFramePeriod;
    if (spacing < kLostRunBreak && frames > kClipFrames + 1.5) {
      lost += std::lround(frames) - kClipFrames;
    }
  }
  return lost;
}

std::string NightDate(const PickerInterval& night) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(night.start);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return text;
}

std::optional<PickerInterval> NightOfDate(int year, int month, int day) {
  const std::chrono::year_month_day date{std::chrono::year{year},
                                         std::chrono::month{static_cast<unsigned>(month)},
                                         std::chrono::day{static_cast<unsigned>(day)}};
  if (!date.ok()) {
    return std::nullopt;
  }
  const std::chrono::year_month_day next{std::chrono::sys_days{date} + std::chrono::days{1}};
  const std::optional<UtcTime> start = LocalNoon(year, month, day);
  const std::optional<UtcTime> end = LocalNoon(
      static_cast<int>(next.year()), static_cast<int>(static_cast<unsigned>(next.month())),
      static_cast<int>(static_cast<unsigned>(next.day())));
  if (!start || !end) {
    return std::nullopt;
  }
  return PickerInterval{*start, *end};
}

PickerInterval NightAt(UtcTime now) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  std::chrono::year_month_day date{std::chrono::year{local.tm_year + 1900},
                                   std::chrono::month{static_cast<unsigned>(local.tm_mon + 1)},
                                   std::chrono::day{static_cast<unsigned>(local.tm_mday)}};
  if (local.tm_hour < 12) {
    // The night began on the evening of the calendar day before (24 hours back may be two days
    // back after a clock change).
    date = std::chrono::sys_days{date} - std::chrono::days{1};
  }
  return NightOfDate(static_cast<int>(date.year()),
                     static_cast<int>(static_cast<unsigned>(date.month())),
                     static_cast<int>(static_cast<unsigned>(date.day())))
      .value_or(PickerInterval{now, now});
}

std::optional<PickerInterval> NightOfDateText(const std::string& text) {
  int year = 0, month = 0, day = 0;
  char tail = 0;
  if (text.size() != 10 ||
      std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &year, &month, &day, &tail) != 3 || year < 1900 ||
      year > 9998) {
    return std::nullopt;
  }
  return NightOfDate(year, month, day);
}

Night GatherNight(const std::string& archiveFolderSetting, const PickerInterval& stretch) {
  Night night;
  night.stretch = stretch;
  const UtcTime start = stretch.start;
  const UtcTime end = stretch.end;
  std::string folder;
  for (UtcTime cursor = start - milliseconds(1);;) {
    const std::optional<UtcTime> next =
        FindNextArchiveTime(archiveFolderSetting, cursor, "a", ".png", end);
    if (!next || *next >= end) {
      break;
    }
    const Stamp stamp = MakeStamp(*next);
    if (GetArchiveMinuteFolder(archiveFolderSetting, folder, stamp, false)) {
      night.images.push_back({*next, folder + "/a" + stamp + ".png"});
    }
    cursor = *next;
  }
  // Minutes with clips, and the runs between them; the clips' start times.
  std::vector<UtcTime> clipStarts;
  UtcTime expected = std::chrono::floor<minutes>(start);
  for (UtcTime cursor = start - milliseconds(1);;) {
    const std::optional<UtcTime> next =
        FindNextArchiveTime(archiveFolderSetting, cursor, "s", ".mp4", end);
    if (!next || *next >= end) {
      break;
    }
    const UtcTime minute = std::chrono::floor<minutes>(*next);
    if (minute > expected) {
      night.gaps.push_back({std::max(expected, start), minute});
    }
    ++night.archiveMinutes;
    AddClipStarts(archiveFolderSetting, MakeStamp(*next), stretch, clipStarts);
    expected = minute + minutes(1);
    cursor = expected - milliseconds(1);
  }
  if (expected < end) {
    night.gaps.push_back({std::max(expected, start), end});
  }
  std::sort(clipStarts.begin(), clipStarts.end());
  night.framesLost = CountFramesLost(clipStarts);
  std::string eventsFolder;
  if (!GetEventsFolder(archiveFolderSetting, eventsFolder)) {
    return night;
  }
  for (const std::string& path : ListEvents(archiveFolderSetting)) {
    const std::optional<UtcTime> keyTime = ParseStamp(EventKey(path));
    if (!keyTime || *keyTime < start - std::chrono::hours(1) || *keyTime >= end) {
      continue;  // the key is the event's first time: only those near the stretch are read
    }
    const std::optional<EventTimes> times = ReadEventFile(path);
    if (!times || times->first < start || times->first >= end) {
      continue;
    }
    NightEvent event{EventKey(path), times->first, times->last, {}, {}};
    event.track = ReadTrack(eventsFolder + "/c" + event.key + ".csv", event.verdict);
    night.events.push_back(std::move(event));
  }
  return night;
}

}  // namespace ombrix
