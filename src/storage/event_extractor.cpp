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

// Reads a clip's detection log line by line; a clip without a log reads as no file.
class ClipLogReader {
 public:
  enum class Line { kEnd, kRow, kUnreadable };

  explicit ClipLogReader(const std::string& path) : file_(std::fopen(path.c_str(), "rb")) {}
  ~ClipLogReader() {
    if (file_ != nullptr) {
      std::fclose(file_);
    }
  }
  ClipLogReader(const ClipLogReader&) = delete;
  ClipLogReader& operator=(const ClipLogReader&) = delete;

  bool exists() const { return file_ != nullptr; }

  // The next line into row. kEnd when the log has no more lines (the clip ended early, as the
  // last clip before a shutdown does); kUnreadable when the line does not parse (row untouched).
  Line Next(TimeHistoryRow& row) {
    char text[256];
    if (file_ == nullptr || std::fgets(text, sizeof text, file_) == nullptr) {
      return Line::kEnd;
    }
    if (std::strchr(text, '\n') == nullptr) {
      // An overlong line: drop the rest of it so that the next read starts on the next line.
      int c;
      while ((c = std::fgetc(file_)) != EOF && c != '\n') {
      }
    }
    TimeHistoryRow parsed{};
    if (!ParseTimeHistoryLine(text, parsed)) {
      return Line::kUnreadable;
    }
    row = parsed;
    return Line::kRow;
  }

 private:
  std::FILE* file_;
};

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

// An event's file is written under "." + its name first, in the same folder.
std::string TemporaryPath(const std::string& folder, const std::string& name) {
  return folder + "/." + name;
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

// The folders of parent whose names begin with "s", oldest (smallest) first.
std::vector<std::string> ArchiveLevel(const std::filesystem::path& parent) {
  std::vector<std::string> names;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(parent, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::error_code typeError;
    const std::string name = it->path().filename().string();
    if (name.starts_with('s') && it->is_directory(typeError)) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The start of the oldest minute folder of the archive (named "s" + YYYYMMDD_hhmm); nullopt when
// the archive holds none.
std::optional<UtcTime> OldestArchiveMinute(const std::string& base) {
  const std::filesystem::path archive = std::filesystem::path(base) / "archive";
  for (const std::string& year : ArchiveLevel(archive)) {
    for (const std::string& day : ArchiveLevel(archive / year)) {
      for (const std::string& minute : ArchiveLevel(archive / year / day)) {
        if (const auto start = ParseStamp(minute.substr(1) + "00_000")) {
          return start;
        }
      }
    }
  }
  return std::nullopt;
}

}  // namespace

EventExtractor::EventExtractor(const SharedSettings& settings, EventList& eventList,
                               ReviewValues& review, const Clock& wallClock,
                               const ArchiveProgress& archiveProgress, Notices& notices,
                               SteadyNow steadyNow)
    : settings_(settings),
      eventList_(eventList),
      review_(review),
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
  const std::optional<UtcTime> oldestMinute = OldestArchiveMinute(GetBaseFolder(archiveFolder));
  std::vector<UtcTime> uncut;
  std::vector<std::string> leftovers;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(eventsFolder, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    // A temporary is the real name behind one dot, or two when an image writer put its own
    // temporary beside the cut's.
    const std::string_view rest =
        std::string_view(name).substr(std::min(name.find_first_not_of('.'), name.size()));
    if (name.starts_with('.') && (TimeOfName(rest, 'j', ".jpg") || TimeOfName(rest, 'm', ".mp4") ||
                                  TimeOfName(rest, 'c', ".csv") || TimeOfName(rest, 'e', ".txt") ||
                                  TimeOfName(rest, 'a', ".png"))) {
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
  }
  return (waiting_ ? 1 : 0) + eventList_.Size();
}

bool EventExtractor::TakeNextEvent(const std::string& eventsFolder) {
  // Raised before the entry leaves the list, so that another thread never sees an event in
  // neither place.
  hasWaiting_ = true;
  const std::optional<UtcTime> key = eventList_.TakeHead();
  if (!key) {
    hasWaiting_ = false;
    return false;
  }
  const std::string path = eventsFolder + "/e" + MakeStamp(*key) + ".txt";
  const std::optional<EventTimes> times = ReadEventFile(path);
  if (!times) {
    hasWaiting_ = false;
    notices_.Say(Severity::kWarning, kCutTopic,
                 "Event " + MakeStamp(*key) + " is not cut: its event file " + path +
                     " is missing or does not hold two Stamps.");
    return false;
  }
  waiting_ = WaitingEvent{*key, times->first, times->last, SteadyTime()};
  return true;
}

void EventExtractor::CutWaitingEvent(const Settings& settings, const std::string& eventsFolder) {
  CutEvent(settings, eventsFolder, *waiting_);
  waiting_.reset();
  hasWaiting_ = false;
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

bool EventExtractor::CutEvent(const Settings& settings, const std::string& eventsFolder,
                              const WaitingEvent& event) {
  const Stamp key = MakeStamp(event.key);
  const std::string image = "j" + key + ".jpg";
  const std::string movie = "m" + key + ".mp4";
  AtomicFile imageFile(eventsFolder + "/" + image, TemporaryPath(eventsFolder, image));
  AtomicFile movieFile(eventsFolder + "/" + movie, TemporaryPath(eventsFolder, movie));
  AtomicFile historyFile(eventsFolder + "/c" + key + ".csv", TemporaryName::kFixed);
  const char* failure = nullptr;
  if (!ExtractEventImage(settings, event.first - kImageWindowBefore, event.last + kImageWindowAfter,
                         imageFile.temporary())) {
    failure = "its peak image could not be written";
  } else if (!ExtractEventMovie(settings, event.first, event.last, movieFile.temporary())) {
    failure = "its movie could not be written";
  } else if (!WriteEventTimeHistory(settings, event.first, event.last, historyFile) ||
             !historyFile.Commit(Durability::kCached)) {
    failure = "its time history could not be written";
  } else if (!imageFile.Commit(Durability::kCached) || !movieFile.Commit(Durability::kCached)) {
    // The movie is renamed last: an event with a movie has all three files.
    failure = "its files could not be renamed into place";
  }
  if (failure != nullptr) {
    notices_.Say(Severity::kError, kCutTopic,
                 "Event " + key + " could not be cut: " + failure + ".");
    return false;
  }
  if (cutObserver_) {
    cutObserver_(event.key);
  }
  return true;
}

bool EventExtractor::ExtractEventImage(const Settings& settings, UtcTime from, UtcTime to,
                                       const std::string& outputPath) {
  const int generation = review_.NewReaderGeneration();
  std::fill_n(image_.get(), kFrameBytes, uint8_t{0});
  review_.currentArchiveFile.set(from);
  const std::string& archiveFolder = settings.archiveFolder;
  std::optional<UtcTime> cursor = from;
  std::string folder;
  while (review_.ReaderCurrent(generation)) {
    cursor = FindNextArchiveTime(archiveFolder, *cursor, "t", ".jpg");
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
  return WriteJpegStill(outputPath, image_.get());
}

bool EventExtractor::ExtractEventMovie(const Settings& settings, UtcTime first, UtcTime last,
                                       const std::string& outputPath) {
  MovieWriter writer(outputPath);
  if (writer.fatal()) {
    notices_.Failure(Severity::kFatal, kCutTopic,
                     "The event movie encoder failed: " + writer.error() + ".");
  }
  const UtcTime searchStart = first - kSearchStartBefore;
  const UtcTime firstFrame = first - kFirstFrameBefore;
  const UtcTime lastFrame = last;
  std::fill_n(frame_.get(), kFrameBytes, uint8_t{0});
  review_.archiveFrameCount = 0;
  const std::string& archiveFolder = settings.archiveFolder;

  std::optional<UtcTime> cursor = FindNextArchiveTime(archiveFolder, searchStart, "s", ".mp4");
  review_.currentArchiveFile.set(cursor);
  std::string folder;
  TimeHistoryRow row{};
  while (cursor && *cursor <= lastFrame) {
    const Stamp stamp = MakeStamp(*cursor);
    if (!GetArchiveMinuteFolder(archiveFolder, folder, stamp, false)) {
      break;
    }
    MovieReader reader(folder + "/s" + stamp + ".mp4");
    ClipLogReader log(folder + "/c" + stamp + ".csv");
    for (int i = 0; i < kClipFrames; ++i) {
      // A frame that does not decode leaves the buffer as it was: the movie repeats the last one.
      if (log.exists()) {
        const ClipLogReader::Line line = log.Next(row);
        if (line == ClipLogReader::Line::kEnd) {
          break;
        }
        if (line == ClipLogReader::Line::kUnreadable) {
          row.time = *cursor + i * kNominalFrameSpacing;
        }
      } else {
        row.time = *cursor + i * kNominalFrameSpacing;
      }
      reader.readFrame(frame_.get());
      if (row.time < firstFrame) {
        continue;
      }
      if (row.time > lastFrame) {
        break;
      }
      if (writer.ready()) {
        writer.WriteFrame(frame_.get(), false);
      }
      review_.archiveFrameCount = review_.archiveFrameCount + 1;
    }
    cursor = FindNextArchiveTime(archiveFolder, *cursor, "s", ".mp4");
    review_.currentArchiveFile.set(cursor);
  }
  return writer.Close();
}

bool EventExtractor::ExtractEventTimeHistory(const Settings& settings, UtcTime first, UtcTime last,
                                             const std::string& outputPath) {
  AtomicFile output(outputPath, TemporaryName::kFixed);
  return WriteEventTimeHistory(settings, first, last, output) && output.Commit(Durability::kCached);
}

bool EventExtractor::WriteEventTimeHistory(const Settings& settings, UtcTime first, UtcTime last,
                                           AtomicFile& output) {
  const std::string& archiveFolder = settings.archiveFolder;
  std::string eventsFolder;
  if (!GetEventsFolder(archiveFolder, eventsFolder) || output.file() == nullptr) {
    return false;
  }
  bool written = true;
  const UtcTime searchStart = first - kSearchStartBefore;
  const UtcTime firstFrame = first - kFirstFrameBefore;
  const UtcTime lastFrame = last;
  const Calibration calibration = CalibrationFromSettings(settings);
  const Tilt tilt = TiltFromPositions(calibration);

  TimeHistoryRow row{};  // the centroid carries over frames and clips without a log
  std::string folder;
  std::optional<UtcTime> cursor = FindNextArchiveTime(archiveFolder, searchStart, "t", ".jpg");
  while (cursor && *cursor <= lastFrame) {
    const Stamp stamp = MakeStamp(*cursor);
    if (!GetArchiveMinuteFolder(archiveFolder, folder, stamp, false)) {
      break;
    }
    ClipLogReader log(folder + "/c" + stamp + ".csv");
    for (int i = 0; i < kClipFrames; ++i) {
      const ClipLogReader::Line line = log.Next(row);
      if (log.exists() && line == ClipLogReader::Line::kEnd) {
        break;
      }
      if (line != ClipLogReader::Line::kRow) {
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
        written = false;
        break;
      }
    }
    if (!written) {
      break;
    }
    cursor = FindNextArchiveTime(archiveFolder, *cursor, "t", ".jpg");
  }
  return written;
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
    if (it->is_directory(typeError)) {
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
