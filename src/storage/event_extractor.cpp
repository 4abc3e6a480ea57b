#include "storage/event_extractor.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "base/folders.h"
#include "calib/calibration.h"
#include "detect/time_history.h"
#include "media/movie_reader.h"
#include "media/movie_writer.h"
#include "media/stills.h"
#include "storage/calibration_settings.h"

namespace ombrix {
namespace {

// Birth time of a file where the file system records it, else its modification time; nullopt
// when the file cannot be examined.
std::optional<int64_t> FileCreationSeconds(const std::string& path) {
  struct statx info {};
  if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_MTIME, &info) != 0) {
    return std::nullopt;
  }
  if ((info.stx_mask & STATX_BTIME) != 0) {
    return info.stx_btime.tv_sec;
  }
  if ((info.stx_mask & STATX_MTIME) != 0) {
    return info.stx_mtime.tv_sec;
  }
  return std::nullopt;
}

// The time of a name letter + Stamp + extension, e.g. "e20240315_211507_042.txt"; nullopt for
// any other name.
std::optional<UtcTime> TimeOfName(std::string_view name, char letter, std::string_view extension) {
  if (name.size() != 1 + kStampLength + extension.size() || name.front() != letter ||
      !name.ends_with(extension)) {
    return std::nullopt;
  }
  return ParseStamp(name.substr(1, kStampLength));
}

// The time of a file the station names in the events folder: e, j, m or c + Stamp of an event, or
// a copy of an integrated image (a); nullopt for any other name.
std::optional<UtcTime> TimeOfEventsFolderName(std::string_view name) {
  static constexpr std::pair<char, std::string_view> kKinds[] = {
      {'e', ".txt"}, {'j', ".jpg"}, {'m', ".mp4"}, {'c', ".csv"}, {'a', ".png"}};
  for (const auto& [letter, extension] : kKinds) {
    if (const auto time = TimeOfName(name, letter, extension)) {
      return time;
    }
  }
  return std::nullopt;
}

// The system's word for a file's failure ("No space left on device").
std::string Reason(int error) {
  return std::strerror(error != 0 ? error : EIO);
}

}  // namespace

EventExtractor::EventExtractor(const SharedSettings& settings, EventList& eventList,
                               const Clock& wallClock, const ArchiveProgress& archiveProgress,
                               Notices& notices, SteadyNow steadyNow)
    : settings_(settings),
      eventList_(eventList),
      wallClock_(wallClock),
      archiveProgress_(archiveProgress),
      notices_(notices),
      steadyNow_(std::move(steadyNow)),
      image_(std::make_unique<uint8_t[]>(kFrameBytes)),
      frame_(std::make_unique<uint8_t[]>(kFrameBytes)) {}

std::chrono::steady_clock::time_point EventExtractor::SteadyTime() const {
  return steadyNow_ ? steadyNow_() : std::chrono::steady_clock::now();
}

size_t EventExtractor::QueueUncutEvents() {
  std::string eventsFolder;
  const std::string archiveFolder = settings_.Get()->archiveFolder;
  if (!GetEventsFolder(archiveFolder, eventsFolder)) {
    return 0;
  }
  const std::optional<UtcTime> oldestMinute = OldestArchiveMinute(archiveFolder);
  std::vector<UtcTime> uncut;
  std::vector<std::string> leftovers;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(eventsFolder, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    const std::optional<std::string_view> behind = NameBehindTemporary(name);
    if (behind && TimeOfEventsFolderName(*behind)) {
      leftovers.push_back(it->path().string());
      continue;
    }
    const std::optional<UtcTime> key = TimeOfName(name, 'e', ".txt");
    if (!key || !oldestMinute) {
      continue;
    }
    std::error_code existsError;
    if (std::filesystem::exists(eventsFolder + "/m" + name.substr(1, kStampLength) + ".mp4",
                                existsError)) {
      continue;
    }
    const std::optional<EventTimes> times = ReadEventFile(it->path().string());
    if (times && times->last + kImageWindowAfter >= *oldestMinute) {
      uncut.push_back(*key);
    }
  }
  for (const std::string& path : leftovers) {
    std::filesystem::remove(path, error);
  }
  std::sort(uncut.begin(), uncut.end());
  for (const UtcTime key : uncut) {
    eventList_.Append(key);
  }
  return uncut.size();
}

void EventExtractor::Pass() {
  const std::shared_ptr<const Settings> settings = settings_.Get();
  std::string eventsFolder;
  if (!GetEventsFolder(settings->archiveFolder, eventsFolder)) {
    return;
  }
  bool handled = false;
  for (;;) {
    if (!waiting_ && !TakeNextEvent(eventsFolder)) {
      break;
    }
    if (!ClipsComplete(*waiting_)) {
      break;  // it and every event after it wait for the next pass
    }
    CutWaitingEvent(*settings, eventsFolder);
    handled = true;
  }
  handled = RetryCuts(*settings, eventsFolder, false) || handled;
  if (handled) {
    DeleteOldEvents(*settings, eventsFolder);
  }
}

size_t EventExtractor::DrainAll(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  const std::shared_ptr<const Settings> settings = settings_.Get();
  std::string eventsFolder;
  if (GetEventsFolder(settings->archiveFolder, eventsFolder)) {
    while (std::chrono::steady_clock::now() < deadline) {
      if (!waiting_ && !TakeNextEvent(eventsFolder)) {
        if (eventList_.Empty()) {
          break;
        }
        continue;  // that event's file was unreadable and it is dropped; go on with the next
      }
      CutWaitingEvent(*settings, eventsFolder);
    }
    if (std::chrono::steady_clock::now() < deadline) {
      RetryCuts(*settings, eventsFolder, true);
    }
  }
  return (waiting_ ? 1 : 0) + eventList_.Size() + retries_.size();
}

bool EventExtractor::TakeNextEvent(const std::string& eventsFolder) {
  const std::optional<UtcTime> key = eventList_.TakeHead();
  if (!key) {
    return false;
  }
  const std::string path = eventsFolder + "/e" + MakeStamp(*key) + ".txt";
  const std::optional<EventTimes> times = ReadEventFile(path);
  if (!times) {
    notices_.Say(Severity::kWarning, kCutTopic,
                 "Event " + MakeStamp(*key) + " is not cut: its event file " + path +
                     " is missing or does not hold two Stamps.");
    return false;
  }
  waiting_ = WaitingEvent{*key, times->first, times->last, SteadyTime()};
  return true;
}

void EventExtractor::CutWaitingEvent(const Settings& settings, const std::string& eventsFolder) {
  const WaitingEvent event = *waiting_;
  waiting_.reset();
  std::string why;
  const Cut cut = CutEvent(settings, eventsFolder, event, &why);
  const std::string key = MakeStamp(event.key);
  if (cut == Cut::kFailed) {
    retries_.push_back({event, 1, SteadyTime() + kCutRetryPauses[0]});
    notices_.Say(Severity::kError, kCutTopic,
                 "Event " + key + " could not be cut: " + why +
                     ". It is tried again while the archive holds its clips.");
  } else if (cut == Cut::kNothing) {
    notices_.Say(Severity::kError, kCutTopic, "Event " + key + " is not cut: " + why + ".");
  }
}

bool EventExtractor::RetryCuts(const Settings& settings, const std::string& eventsFolder,
                               bool all) {
  const auto now = SteadyTime();
  const std::optional<UtcTime> oldest = OldestArchiveMinute(settings.archiveFolder);
  bool tried = false;
  for (auto it = retries_.begin(); it != retries_.end();) {
    if (!all && it->due > now) {
      ++it;
      continue;
    }
    tried = true;
    const WaitingEvent& event = it->event;
    std::string why = "the archive no longer holds its clips";
    Cut cut = Cut::kNothing;
    if (oldest && *oldest <= event.last + kImageWindowAfter) {
      cut = CutEvent(settings, eventsFolder, event, &why);
    }
    ++it->attempts;
    if (cut == Cut::kFailed && it->attempts <= std::size(kCutRetryPauses)) {
      it->due = now + kCutRetryPauses[it->attempts - 1];
      ++it;
      continue;
    }
    if (cut != Cut::kDone) {
      notices_.Say(Severity::kError, kCutTopic,
                   "Event " + MakeStamp(event.key) + " is not cut: " + why + " (given up after " +
                       std::to_string(it->attempts) + " tries).");
    }
    it = retries_.erase(it);
  }
  return tried;
}

bool EventExtractor::ClipsComplete(const WaitingEvent& event) const {
  const ArchiveProgress::Snapshot archive = archiveProgress_.Read();
  if (!archive.active) {
    return true;  // nothing is being recorded: the archive holds all it will hold
  }
  // Clips follow one another, so a closed clip that begins after the window's end means that
  // the clip holding the window's end is closed as well.
  if (archive.lastClosedClip && *archive.lastClosedClip > event.last + kImageWindowAfter) {
    return true;
  }
  // The clock may be stepped, and a replay's frame times are not the wall clock: the bound is
  // measured on the steady clock from when the event left the list, which is about when its last
  // frame was processed.
  return SteadyTime() - event.takenAt > kImageWindowAfter + kClipWaitLimit;
}

EventExtractor::Cut EventExtractor::CutEvent(const Settings& settings,
                                             const std::string& eventsFolder,
                                             const WaitingEvent& event, std::string* why) {
  const Stamp key = MakeStamp(event.key);
  AtomicFile image(eventsFolder + "/j" + key + ".jpg");
  AtomicFile movie(eventsFolder + "/m" + key + ".mp4");
  AtomicFile history(eventsFolder + "/c" + key + ".csv");
  Movie cut;
  if (!ExtractEventImage(settings, event.first - kImageWindowBefore, event.last + kImageWindowAfter,
                         image)) {
    *why = "its peak image could not be written (" + Reason(image.error()) + ")";
  } else if (cut = ExtractEventMovie(settings, event.first, event.last, movie); !cut.written) {
    *why = "its movie could not be written (" + cut.failure + ")";
  } else if (cut.frames == 0) {
    *why = "the archive holds no clip of its window";
    return Cut::kNothing;
  } else if (!ExtractEventTimeHistory(settings, event.first, event.last, history) ||
             !history.Commit(Durability::kCached)) {
    *why = "its time history could not be written (" + Reason(history.error()) + ")";
  } else if (!image.Commit(Durability::kCached) || !movie.Commit(Durability::kCached)) {
    // The movie is renamed last: an event with a movie has all three files.
    *why = "its files could not be renamed into place (" +
           Reason(image.error() != 0 ? image.error() : movie.error()) + ")";
  } else {
    if (cutObserver_) {
      cutObserver_(event.key);
    }
    return Cut::kDone;
  }
  return Cut::kFailed;
}

bool EventExtractor::ExtractEventImage(const Settings& settings, UtcTime from, UtcTime to,
                                       AtomicFile& output) {
  std::fill_n(image_.get(), kFrameBytes, uint8_t{0});
  const std::string& archiveFolder = settings.archiveFolder;
  std::optional<UtcTime> cursor = from;
  std::string folder;
  for (;;) {
    cursor = FindNextArchiveTime(archiveFolder, *cursor, "t", ".jpg", to);
    if (!cursor || *cursor > to) {
      break;
    }
    const Stamp stamp = MakeStamp(*cursor);
    if (!GetArchiveMinuteFolder(archiveFolder, folder, stamp, false)) {
      break;
    }
    MovieReader reader(folder + "/t" + stamp + ".jpg");
    reader.readFrameMax(image_.get());
  }
  return WriteJpegStill(output, image_.get());
}

EventExtractor::Movie EventExtractor::ExtractEventMovie(const Settings& settings, UtcTime first,
                                                        UtcTime last, AtomicFile& output) {
  MovieWriter writer(output);
  if (writer.fatal()) {
    notices_.Failure(Severity::kFatal, kCutTopic,
                     "The event movie encoder failed: " + writer.error() + ".");
  }
  const UtcTime searchStart = first - kSearchStartBefore;
  const UtcTime firstFrame = first - kFirstFrameBefore;
  const UtcTime lastFrame = last;
  std::fill_n(frame_.get(), kFrameBytes, uint8_t{0});
  const std::string& archiveFolder = settings.archiveFolder;

  std::optional<UtcTime> cursor =
      FindNextArchiveTime(archiveFolder, searchStart, "s", ".mp4", lastFrame);
  std::string folder;
  TimeHistoryRow row{};
  while (cursor && *cursor <= lastFrame && writer.ready()) {
    const Stamp stamp = MakeStamp(*cursor);
    if (!GetArchiveMinuteFolder(archiveFolder, folder, stamp, false)) {
      break;
    }
    MovieReader reader(folder + "/s" + stamp + ".mp4");
    TimeHistoryReader log(folder + "/c" + stamp + ".csv");
    for (int i = 0; i < kClipFrames; ++i) {
      // A frame that does not decode leaves the buffer as it was: the movie repeats the last one.
      const TimeHistoryReader::Line line = log.Next(row);
      if (log.exists() && line == TimeHistoryReader::Line::kEnd) {
        break;
      }
      if (line != TimeHistoryReader::Line::kRow) {
        row.time = *cursor + i * kNominalFrameSpacing;
      }
      reader.readFrame(frame_.get());
      if (row.time < firstFrame) {
        continue;
      }
      if (row.time > lastFrame) {
        break;
      }
      writer.WriteFrame(frame_.get(), false);
    }
    cursor = FindNextArchiveTime(archiveFolder, *cursor, "s", ".mp4", lastFrame);
  }
  Movie movie;
  movie.frames = writer.frameCount();
  movie.written = writer.Close();
  if (!movie.written) {
    movie.failure = writer.reason().empty() ? writer.error() : writer.reason();
  }
  return movie;
}

bool EventExtractor::ExtractEventTimeHistory(const Settings& settings, UtcTime first, UtcTime last,
                                             AtomicFile& output) {
  if (output.file() == nullptr) {
    return false;
  }
  const std::string& archiveFolder = settings.archiveFolder;
  const UtcTime searchStart = first - kSearchStartBefore;
  const UtcTime firstFrame = first - kFirstFrameBefore;
  const UtcTime lastFrame = last;
  const Calibration calibration = CalibrationFromSettings(settings);
  const Tilt tilt = TiltFromPositions(calibration);

  TimeHistoryRow row{};  // the centroid carries over frames and clips without a log
  std::string folder;
  std::optional<UtcTime> cursor =
      FindNextArchiveTime(archiveFolder, searchStart, "t", ".jpg", lastFrame);
  while (cursor && *cursor <= lastFrame) {
    const Stamp stamp = MakeStamp(*cursor);
    if (!GetArchiveMinuteFolder(archiveFolder, folder, stamp, false)) {
      break;
    }
    TimeHistoryReader log(folder + "/c" + stamp + ".csv");
    for (int i = 0; i < kClipFrames; ++i) {
      const TimeHistoryReader::Line line = log.Next(row);
      if (log.exists() && line == TimeHistoryReader::Line::kEnd) {
        break;
      }
      if (line != TimeHistoryReader::Line::kRow) {
        row.time = *cursor + i * kNominalFrameSpacing;
        row.pixelCount = 0;
        row.excessSum = 0;
      }
      if (row.time < firstFrame) {
        continue;
      }
      if (row.time > lastFrame) {
        break;
      }
      AzEl position{0.0, 0.0};
      if (row.pixelCount != 0) {
        position = PixelToAzEl(calibration, tilt, row.centroidX, row.centroidY);
      }
      if (!output.Check(WriteEventTimeHistoryLine(output.file(), row, position.azimuth,
                                                  position.elevation))) {
        return false;
      }
    }
    cursor = FindNextArchiveTime(archiveFolder, *cursor, "t", ".jpg", lastFrame);
  }
  return true;
}

void EventExtractor::DeleteOldEvents(const Settings& settings, const std::string& eventsFolder) {
  const int32_t daysToKeep = settings.daysToKeep;
  if (daysToKeep < 0) {
    return;  // refused: a negative retention must not wipe the events
  }
  const int64_t limit_s = static_cast<int64_t>(std::min(daysToKeep, kMaxDaysToKeep)) * 86400;
  // File times are wall-clock times, whatever times the frames carry.
  const int64_t now_s =
      std::chrono::floor<std::chrono::seconds>(wallClock_.UtcNow()).time_since_epoch().count();

  std::vector<std::string> expired;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(eventsFolder, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::error_code typeError;
    if (it->is_directory(typeError) || !TimeOfEventsFolderName(it->path().filename().string())) {
      continue;
    }
    const std::string path = it->path().string();
    const std::optional<int64_t> created_s = FileCreationSeconds(path);
    if (created_s && now_s - *created_s > limit_s) {
      expired.push_back(path);
    }
  }
  for (const std::string& path : expired) {
    if (!std::filesystem::remove(path, error) || !deleteObserver_) {
      continue;
    }
    const std::string name = std::filesystem::path(path).filename().string();
    if (const std::optional<UtcTime> key = TimeOfName(name, 'e', ".txt")) {
      deleteObserver_(*key);
    }
  }
}

}  // namespace ombrix
