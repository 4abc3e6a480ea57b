#include "review/replay.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "base/file.h"
#include "base/folders.h"
#include "media/movie_reader.h"
#include "review/event_listing.h"
#include "review/pause_gate.h"

namespace ombrix {
namespace {

FilePtr OpenForReading(const std::string& path) {
  return FilePtr(std::fopen(path.c_str(), "rb"));
}

// A frame buffer of the routine's own; pictures are decoded here and then published whole.
std::unique_ptr<uint8_t[]> WorkFrame(uint8_t fill) {
  auto frame = std::make_unique<uint8_t[]>(kFrameBytes);
  std::memset(frame.get(), fill, kFrameBytes);
  return frame;
}

// Publishes the frame with its values and announces it; false once the routine is stopped.
bool Show(ReviewContext& context, const uint8_t* frame, const ShownValues& shown) {
  if (!context.values.Publish(frame, shown, context.stop)) {
    return false;
  }
  if (context.frameReady) {
    context.frameReady();
  }
  return true;
}

void ReplayEnded(ReviewContext& context) {
  if (context.replayEnded) {
    context.replayEnded();
  }
}

// The wait after a shown frame; false when the routine is stopped meanwhile.
bool FrameWait(ReviewContext& context) {
  const std::chrono::milliseconds wait(
      kFrameWaitUnit_ms * std::clamp<int32_t>(context.settings.slowdownFactor, 0, 100000));
  if (context.gate != nullptr) {
    return context.gate->Pass(context.stop, wait);
  }
  std::mutex mutex;
  std::condition_variable_any woken;
  std::unique_lock lock(mutex);
  woken.wait_for(lock, context.stop, wait, [] { return false; });
  return !context.stop.stop_requested();
}

// A centroid coordinate truncated toward zero, kept finite and within int range.
int Truncated(double value) {
  if (!(value > -1e6)) {
    return value != value ? 0 : -1000000;  // NaN counts as 0
  }
  return static_cast<int>(std::trunc(std::min(value, 1e6)));
}

// Plays one open movie: each frame is read, its history row applied, shown, then the frame wait.
// archiveClip: the time shown stays the clip's and the frame count rises.
int PlayMovie(ReviewContext& context, MovieReader& reader, std::FILE* history, bool archiveClip,
              ShownValues& shown, uint8_t* work) {
  TimeHistoryRow row{};
  int count = 0;
  while (!context.stop.stop_requested() && reader.readFrame(work)) {
    if (history != nullptr) {
      ReadHistoryRow(history, row);
      shown.displayCount = row.pixelCount;
      if (context.settings.showTrackingBox && RowGetsTrackingBox(context.settings, row)) {
        DrawTrackingCorners(work, row.centroidX, row.centroidY);
      }
      if (!archiveClip) {
        shown.file = row.time;
        shown.frameCount = 0;
      }
    }
    if (!Show(context, work, shown)) {
      break;
    }
    ++count;
    if (!FrameWait(context)) {
      break;
    }
    if (archiveClip) {
      ++shown.frameCount;
    }
  }
  return count;
}

// Walks the archive's pictures named letter + Stamp + extension from first to last until the
// routine is stopped, handing each one's path to visit (false from it stops the walk).
// firstAlwaysTaken takes the first one found even past last. Returns how many were visited.
template <typename Visit>
int WalkArchivePictures(ReviewContext& context, UtcTime first, UtcTime last, const char* letter,
                        const char* extension, bool firstAlwaysTaken, Visit visit) {
  const std::string archiveFolder = context.settings.archiveFolder;
  std::optional<UtcTime> cursor = first;
  std::string folder;
  int visited = 0;
  while (!context.stop.stop_requested()) {
    cursor = FindNextArchiveTime(archiveFolder, *cursor, letter, extension);
    if (!cursor || ((visited > 0 || !firstAlwaysTaken) && *cursor > last)) {
      break;
    }
    const Stamp stamp = MakeStamp(*cursor);
    if (!GetArchiveMinuteFolder(archiveFolder, folder, stamp, false)) {
      break;
    }
    ++visited;
    if (!visit(folder + "/" + letter + stamp + extension)) {
      break;
    }
  }
  return visited;
}

// The values shown with a composite or an average of the stretch from first.
ShownValues StretchValues(ReviewContext& context, UtcTime first) {
  ShownValues shown = context.values.Shown();
  shown.displayCount = kNoDisplayCount;
  shown.file = first;
  shown.frameCount = 0;
  return shown;
}

// The fold shared by the two composites of the archive.
int FoldArchive(ReviewContext& context, UtcTime first, UtcTime last, const char* letter,
                const char* extension, bool firstAlwaysTaken) {
  auto work = WorkFrame(0);
  const int folded = WalkArchivePictures(context, first, last, letter, extension, firstAlwaysTaken,
                                         [&work](const std::string& path) {
                                           MovieReader reader(path);
                                           reader.readFrameMax(work.get());
                                           return true;
                                         });
  Show(context, work.get(), StretchValues(context, first));
  return folded;
}

}  // namespace

void DrawTrackingCorners(uint8_t* frame, double x, double y) {
  const int left = std::clamp(Truncated(x) - 50, 0, 539);
  const int top = std::clamp(Truncated(y) - 50, 0, 379);
  const auto set = [frame, left, top](int dx, int dy) {
    frame[(top + dy) * kFrameWidth + left + dx] = 255;
  };
  for (const int cornerX : {0, 100}) {
    for (const int cornerY : {0, 100}) {
      const int stepX = cornerX == 0 ? 1 : -1;  // along the row, into the box
      const int stepY = cornerY == 0 ? 1 : -1;  // along the column, into the box
      set(cornerX, cornerY);
      for (int i = 1; i <= 2; ++i) {
        set(cornerX + stepX * i, cornerY);
        set(cornerX, cornerY + stepY * i);
      }
    }
  }
}

void ReadHistoryRow(std::FILE* history, TimeHistoryRow& row) {
  row.pixelCount = 0;
  row.centroidX = 0;
  row.centroidY = 0;
  char line[256];
  if (std::fgets(line, sizeof line, history) == nullptr) {
    return;
  }
  if (std::strchr(line, '\n') == nullptr) {
    int c = 0;  // an overlong line: skip the rest of it
    while ((c = std::fgetc(history)) != EOF && c != '\n') {
    }
  }
  TimeHistoryRow parsed{};
  if (ParseTimeHistoryLine(line, parsed)) {
    row = parsed;
  }
}

bool RowGetsTrackingBox(const Settings& settings, const TimeHistoryRow& row) {
  return row.pixelCount >= std::min<int32_t>(settings.triggerCountBegin, settings.triggerCountEnd);
}

int ReplayEventMovie(ReviewContext& context, const std::string& moviePath,
                     const std::string& historyPath) {
  auto work = WorkFrame(kReplayFill);
  ShownValues shown = context.values.Shown();
  int count = 0;
  {
    const FilePtr history = OpenForReading(historyPath);
    MovieReader reader(moviePath);
    count = PlayMovie(context, reader, history.get(), false, shown, work.get());
  }
  ReplayEnded(context);
  return count;
}

int ReplayArchive(ReviewContext& context, UtcTime first, UtcTime last) {
  auto work = WorkFrame(kReplayFill);
  ShownValues shown = context.values.Shown();
  const std::string archiveFolder = context.settings.archiveFolder;
  std::optional<UtcTime> cursor = first;
  std::string folder;
  int count = 0;
  while (!context.stop.stop_requested()) {
    cursor = FindNextArchiveTime(archiveFolder, *cursor, "s", ".mp4");
    if (!cursor || *cursor > last) {
      break;
    }
    shown.file = cursor;
    shown.frameCount = 0;
    const Stamp stamp = MakeStamp(*cursor);
    if (!GetArchiveMinuteFolder(archiveFolder, folder, stamp, false)) {
      break;
    }
    const std::string clip = folder + "/s" + stamp + ".mp4";
    if (!OpenForReading(clip)) {
      break;  // the clip went away (the disk thread) between the search and now
    }
    const FilePtr history = OpenForReading(folder + "/c" + stamp + ".csv");
    MovieReader reader(clip);
    count += PlayMovie(context, reader, history.get(), true, shown, work.get());
  }
  ReplayEnded(context);
  return count;
}

int ShowEventComposite(ReviewContext& context, const std::string& imagePath) {
  auto work = WorkFrame(kReplayFill);
  int count = 0;
  {
    MovieReader reader(imagePath);
    if (reader.readFrame(work.get())) {
      ShownValues shown = context.values.Shown();
      shown.displayCount = kNoDisplayCount;
      shown.file = ParseStamp(EventKey(imagePath));
      shown.frameCount = 0;
      count = Show(context, work.get(), shown) ? 1 : 0;
    }
  }
  ReplayEnded(context);
  return count;
}

int CompositeArchive(ReviewContext& context, UtcTime first, UtcTime last) {
  return FoldArchive(context, first, last, "t", ".jpg", false);
}

int AverageComposite(ReviewContext& context, UtcTime first, UtcTime last) {
  return FoldArchive(context, first, last, "a", ".png", true);
}

int AverageMovie(ReviewContext& context, UtcTime first, UtcTime last) {
  auto work = WorkFrame(0);
  const ShownValues shown = StretchValues(context, first);
  return WalkArchivePictures(context, first, last, "a", ".png", true, [&](const std::string& path) {
    std::memset(work.get(), 0, kFrameBytes);
    {
      MovieReader reader(path);
      reader.readFrameMax(work.get());
    }
    return Show(context, work.get(), shown) && FrameWait(context);
  });
}

}  // namespace ombrix
