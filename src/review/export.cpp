#include "review/export.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <type_traits>

#include "base/atomic_file.h"
#include "base/folders.h"
#include "media/movie_reader.h"
#include "media/movie_writer.h"
#include "review/event_listing.h"
#include "review/replay.h"

namespace ombrix {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Closes the writer; true when the movie was finished without a failed write. (Close may or may
// not report the trailer's fate itself; both forms are taken.)
template <typename Writer>
bool CloseChecked(Writer& writer) {
  if constexpr (std::is_same_v<decltype(writer.Close()), bool>) {
    const bool closed = writer.Close();
    return closed && !writer.failed();
  } else {
    writer.Close();
    return !writer.failed();
  }
}

// A name beside the output that keeps its extension, so the container is chosen the same way.
std::string TemporaryBeside(const std::string& outputPath) {
  const std::filesystem::path output(outputPath);
  std::string name = ".";
  name.append(output.stem().string());
  name.append(".partial-");
  name.append(std::to_string(getpid()));
  name.append(output.extension().string());
  return (output.parent_path() / name).string();
}

}  // namespace

ExportOutcome ExportEventMovie(const Settings& settings, const std::string& eventPath,
                               const std::string& outputPath, bool pseudoColor, bool trackingBox,
                               const std::function<bool(int framesWritten)>& progress) {
  ExportOutcome outcome;
  const std::string key = EventKey(eventPath);
  std::string eventsFolder;
  if (key.empty() || !GetEventsFolder(settings.archiveFolder, eventsFolder)) {
    return outcome;
  }
  const std::string movie = eventsFolder + "/m" + key + ".mp4";
  std::error_code error;
  if (!std::filesystem::exists(movie, error)) {
    return outcome;
  }
  FilePtr history;
  if (trackingBox) {
    history.reset(std::fopen((eventsFolder + "/c" + key + ".csv").c_str(), "rb"));
  }

  AtomicFile output(outputPath, TemporaryBeside(outputPath));
  bool written = false;
  bool cancelled = false;
  {
    MovieWriter writer(output.temporary());
    if (!writer.ready()) {
      outcome.result = ExportResult::kFailed;
      outcome.reason = "the movie cannot be created there (unknown extension or no access)";
      CloseChecked(writer);
      return outcome;
    }
    MovieReader reader(movie);
    auto work = std::make_unique<uint8_t[]>(kFrameBytes);
    TimeHistoryRow row{};
    while (reader.readFrame(work.get())) {
      if (history) {
        ReadHistoryRow(history.get(), row);
        if (RowGetsTrackingBox(settings, row)) {
          DrawTrackingCorners(work.get(), row.centroidX, row.centroidY);
        }
      }
      if (!writer.ready()) {
        break;  // a write failed: the rest would be lost as well
      }
      writer.WriteFrame(work.get(), pseudoColor);
      ++outcome.frames;
      if (progress && !progress(outcome.frames)) {
        cancelled = true;
        break;
      }
    }
    written = CloseChecked(writer);
  }
  if (cancelled) {
    outcome.result = ExportResult::kCancelled;
    outcome.frames = 0;
    return outcome;
  }
  if (written && output.Commit(Durability::kCached)) {
    outcome.result = ExportResult::kWritten;
    return outcome;
  }
  outcome.reason =
      written ? std::strerror(output.error()) : "writing the movie failed (disk full?)";
  outcome.result = ExportResult::kFailed;
  outcome.frames = 0;
  return outcome;
}

}  // namespace ombrix
