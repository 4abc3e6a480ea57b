#include "review/browser_movie.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

#include "base/atomic_file.h"
#include "base/frame.h"
#include "media/movie_reader.h"
#include "media/movie_writer.h"
#include "review/event_index.h"

namespace ombrix {
namespace {

// The modification time of a file; nullopt when it is not there.
std::optional<timespec> Modified(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    return std::nullopt;
  }
  return info.st_mtim;
}

bool NotOlder(const timespec& a, const timespec& b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

}  // namespace

BrowserMovieCache::BrowserMovieCache(std::string cacheFolder) : folder_(std::move(cacheFolder)) {}

std::optional<BrowserMovie> BrowserMovieCache::Get(const std::string& eventMovie,
                                                   std::string_view key, std::string& why,
                                                   std::stop_token stop) {
  if (!IsEventKey(key)) {
    why = "no event " + std::string(key);
    return std::nullopt;
  }
  const BrowserVideoType type = BrowserVideoTypeHere();
  const BrowserMovie movie{folder_ + "/" + std::string(key) + type.extension, type.mimeType};
  const auto fresh = [&] {
    const std::optional<timespec> source = Modified(eventMovie);
    const std::optional<timespec> copy = Modified(movie.path);
    return source && copy && NotOlder(*copy, *source);
  };
  if (fresh()) {
    return movie;
  }
  {
    std::unique_lock lock(mutex_);
    if (!idle_.wait_for(lock, stop, kTranscodeWait, [this] { return !transcoding_; })) {
      why = stop.stop_requested() ? "the web page is stopping"
                                  : "another movie is being prepared; try again shortly";
      return std::nullopt;
    }
    transcoding_ = true;
  }
  struct Done {
    BrowserMovieCache& cache;
    ~Done() {
      {
        std::lock_guard lock(cache.mutex_);
        cache.transcoding_ = false;
      }
      cache.idle_.notify_one();
    }
  } done{*this};
  if (fresh()) {
    return movie;  // made while this request waited
  }
  if (!Modified(eventMovie)) {
    why = "the event has no movie";
    return std::nullopt;
  }
  std::error_code error;
  std::filesystem::create_directories(folder_, error);
  if (error) {
    why = folder_ + ": " + error.message();
    return std::nullopt;
  }
  MovieReader reader(eventMovie);
  AtomicFile file(movie.path);
  MovieWriter writer(file, MovieKind::kBrowser);
  std::vector<uint8_t> frame(kFrameBytes);
  while (!stop.stop_requested() && !reader.failed() && writer.ready() &&
         reader.readFrame(frame.data())) {
    writer.WriteFrame(frame.data(), false);
  }
  if (stop.stop_requested()) {
    why = "the web page is stopping";
    return std::nullopt;  // the copy is left unmade
  }
  if (reader.failed() || writer.frameCount() == 0) {
    why = eventMovie + ": the movie cannot be read";
    return std::nullopt;
  }
  if (!writer.Close() || !file.Commit(Durability::kCached)) {
    why =
        movie.path + ": " + (writer.error().empty() ? std::strerror(file.error()) : writer.error());
    return std::nullopt;
  }
  Prune(std::filesystem::path(eventMovie).parent_path().string());
  return movie;
}

void BrowserMovieCache::Prune(const std::string& eventsFolder) {
  struct Copy {
    std::filesystem::file_time_type made;
    std::filesystem::path path;
    uintmax_t bytes;
  };
  std::vector<Copy> copies;
  uintmax_t total = 0;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(folder_, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string key = it->path().stem().string();
    const std::string extension = it->path().extension().string();
    if (!IsEventKey(key) || (extension != ".mp4" && extension != ".webm")) {
      continue;
    }
    std::error_code fileError;
    if (!std::filesystem::exists(EventFiles(eventsFolder, key).movie, fileError) && !fileError) {
      std::filesystem::remove(it->path(), fileError);  // its event is gone
      continue;
    }
    const uintmax_t bytes = it->file_size(fileError);
    copies.push_back({it->last_write_time(fileError), it->path(), fileError ? 0 : bytes});
    total += copies.back().bytes;
  }
  std::sort(copies.begin(), copies.end(),
            [](const Copy& a, const Copy& b) { return a.made < b.made; });
  for (size_t i = 0;
       i + 1 < copies.size() &&
       (copies.size() - i > static_cast<size_t>(kMaxCachedMovies) || total > kMaxCachedBytes);
       ++i) {
    std::filesystem::remove(copies[i].path, error);
    total -= copies[i].bytes;
  }
}

}  // namespace ombrix
