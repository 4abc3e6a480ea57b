#include "review/replay.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "base/folders.h"
#include "media/movie_reader.h"
#include "review/event_listing.h"
#include "review/pause_gate.h"

namespace ombrix {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

FilePtr OpenForReading(const std::string& path) {
  return FilePtr(std::fopen(path.c_str(), "rb"));
}

// A frame buffer of the routine's own; pictures are decoded here and then published whole.
std::unique_ptr<uint8_t[]> WorkFrame(uint8_t fill) {
  auto frame = std::make_unique<uint8_t[]>(kFrameBytes);
  std::memset(frame.get(), fill, kFrameBytes);
  return frame;
}

void Publish(ReviewValues& review, uint8_t initialFill, const uint8_t* frame) {
  review.replayFrame.Update(initialFill,
                            [frame](uint8_t* pixels) { std::memcpy(pixels, frame, kFrameBytes); });
}

// The routine's reader generation; taking a new one stops every older reader.
int TakeGeneration(ReviewContext& context) {
  return context.generation ? *context.generation : context.review.NewReaderGeneration();
}

// The start of a routine that shows pictures over the replay fill: its generation, and the fill
// made ready while that reader is current (a worker stopped before it ran leaves the picture).
int BeginFilledReader(ReviewContext& context) {
  const int generation = TakeGeneration(context);
  if (context.review.ReaderCurrent(generation)) {
    context.review.replayFrame.Update(kReplayFill, [](uint8_t*) {});
  }
  return generation;
}

void Notify(const std::function<void()>& note) {
  if (note) {
    note();
  }
}

// The wait after a shown frame; false when a newer reader has started meanwhile.
bool FrameWait(ReviewContext& context, int generation) {
  const std::chrono::milliseconds wait(
      kFrameWaitUnit_ms * std::clamp<int32_t>(context.settings.slowdownFactor, 0, 100000));
  if (context.gate != nullptr) {
    return context.gate->Pass(context.review, generation, wait);
  }
  const auto end = std::chrono::steady_clock::now() + wait;
  while (context.review.ReaderCurrent(generation)) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) {
      return true;
    }
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(end - now, std::chrono::milliseconds(20)));
  }
  return false;
}

// A centroid coordinate truncated toward zero, kept finite and within int range.
int Truncated(double value) {
  if (!(value > -1e6)) {
    return value != value ? 0 : -1000000;  // NaN counts as 0
  }
  return static_cast<int>(std::trunc(std::min(value, 1e6)));
}

// Plays one open movie: each frame is read, its history row applied, published and announced,
// then the frame wait. archiveClip: the time shown stays the clip's and the frame count rises.
int PlayMovie(ReviewContext& context, int generation, MovieReader& reader, std::FILE* history,
              bool archiveClip, uint8_t* work) {
  ReviewValues& review = context.review;
  TimeHistoryRow row{};
  int shown = 0;
  bool more = reader.readFrame(work);
  while (more) {
    if (!review.ReaderCurrent(generation)) {
      break;
    }
    if (history != nullptr) {
      ReadHistoryRow(history, row);
      review.displayCount = row.pixelCount;
      if (context.settings.showTrackingBox && RowGetsTrackingBox(context.settings, row)) {
        DrawTrackingCorners(work, row.centroidX, row.centroidY);
      }
      if (!archiveClip) {
        review.currentArchiveFile.set(row.time);
        review.archiveFrameCount = 0;
      }
    }
    Publish(review, kReplayFill, work);
    if (review.ReaderCurrent(generation)) {
      Notify(context.frameReady);
      ++shown;
    }
    if (!FrameWait(context, generation)) {
      break;
    }
    if (archiveClip) {
      review.archiveFrameCount = review.archiveFrameCount + 1;
    }
    more = reader.readFrame(work);
  }
  return shown;
}

// Walks the archive's pictures named letter + Stamp + extension from first to last while the
// reader is current, handing each one's path to visit (false from it stops the walk).
// firstAlwaysTaken takes the first one found even past last. Returns how many were visited.
template <typename Visit>
int WalkArchivePictures(ReviewContext& context, int generation, UtcTime first, UtcTime last,
                        const char* letter, const char* extension, bool firstAlwaysTaken,
                        Visit visit) {
  ReviewValues& review = context.review;
  review.currentArchiveFile.set(first);
  review.archiveFrameCount = 0;
  const std::string archiveFolder = context.settings.archiveFolder;
  std::optional<UtcTime> cursor = first;
  std::string folder;
  int visited = 0;
  while (review.ReaderCurrent(generation)) {
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

// The fold shared by the two composites of the archive.
int FoldArchive(ReviewContext& context, UtcTime first, UtcTime last, const char* letter,
                const char* extension, bool firstAlwaysTaken) {
  ReviewValues& review = context.review;
  const int generation = TakeGeneration(context);
  auto work = WorkFrame(0);
  const int folded = WalkArchivePictures(context, generation, first, last, letter, extension,
                                         firstAlwaysTaken, [&work](const std::string& path) {
                                           MovieReader reader(path);
                                           reader.readFrameMax(work.get());
                                           return true;
                                         });
  if (review.ReaderCurrent(generation)) {
    Publish(review, 0, work.get());
    Notify(context.frameReady);
  }
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
  const int generation = BeginFilledReader(context);
  auto work = WorkFrame(kReplayFill);
  int shown = 0;
  {
    const FilePtr history = OpenForReading(historyPath);
    MovieReader reader(moviePath);
    shown = PlayMovie(context, generation, reader, history.get(), false, work.get());
  }
  Notify(context.replayEnded);
  return shown;
}

int ReplayArchive(ReviewContext& context, UtcTime first, UtcTime last) {
  ReviewValues& review = context.review;
  const int generation = BeginFilledReader(context);
  auto work = WorkFrame(kReplayFill);
  const std::string archiveFolder = context.settings.archiveFolder;
  std::optional<UtcTime> cursor = first;
  std::string folder;
  int shown = 0;
  while (review.ReaderCurrent(generation)) {
    cursor = FindNextArchiveTime(archiveFolder, *cursor, "s", ".mp4");
    if (!cursor || *cursor > last) {
      break;
    }
    review.currentArchiveFile.set(cursor);
    review.archiveFrameCount = 0;
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
    shown += PlayMovie(context, generation, reader, history.get(), true, work.get());
  }
  Notify(context.replayEnded);
  return shown;
}

int ShowEventComposite(ReviewContext& context, const std::string& imagePath) {
  ReviewValues& review = context.review;
  const int generation = BeginFilledReader(context);  // a running reader stops
  auto work = WorkFrame(kReplayFill);
  int shown = 0;
  {
    MovieReader reader(imagePath);
    if (reader.readFrame(work.get()) && review.ReaderCurrent(generation)) {
      Publish(review, kReplayFill, work.get());
      review.currentArchiveFile.set(ParseStamp(EventKey(imagePath)));
      review.archiveFrameCount = 0;
      Notify(context.frameReady);
      shown = 1;
    }
  }
  Notify(context.replayEnded);
  return shown;
}

int CompositeArchive(ReviewContext& context, UtcTime first, UtcTime last) {
  return FoldArchive(context, first, last, "t", ".jpg", false);
}

int AverageComposite(ReviewContext& context, UtcTime first, UtcTime last) {
  return FoldArchive(context, first, last, "a", ".png", true);
}

int AverageMovie(ReviewContext& context, UtcTime first, UtcTime last) {
  ReviewValues& review = context.review;
  const int generation = TakeGeneration(context);
  auto work = WorkFrame(0);
  return WalkArchivePictures(context, generation, first, last, "a", ".png", true,
                             [&](const std::string& path) {
                               std::memset(work.get(), 0, kFrameBytes);
                               {
                                 MovieReader reader(path);
                                 reader.readFrameMax(work.get());
                               }
                               Publish(review, 0, work.get());
                               if (review.ReaderCurrent(generation)) {
                                 Notify(context.frameReady);
                               }
                               return FrameWait(context, generation);
                             });
}

}  // namespace ombrix
