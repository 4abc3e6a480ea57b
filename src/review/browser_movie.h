#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

namespace ombrix {

// An event movie in a codec browsers play.
struct BrowserMovie {
  std::string path;
  std::string mimeType;  // "video/mp4" or "video/webm"
};

// The event movies in a codec browsers play (H.264 in MP4 with its index in front; VP9 in WebM
// where H.264 cannot be encoded), transcoded on first request into cacheFolder as key + ".mp4"
// (or ".webm") and kept there, each whole or absent; a copy older than its event movie is made
// anew; after each transcode the copies of events whose movie is gone are removed, and beyond
// kMaxCachedMovies or kMaxCachedBytes the least recently made. One transcode at a time
// (a request waits up to kTranscodeWait for another's, then is refused as busy); the stored event
// files are only read. Any thread.
class BrowserMovieCache {
 public:
  static constexpr int kMaxCachedMovies = 200;
  static constexpr uintmax_t kMaxCachedBytes = uintmax_t{1} << 30;
  static constexpr std::chrono::seconds kTranscodeWait{30};

  explicit BrowserMovieCache(std::string cacheFolder);

  // The browser's copy of eventMovie (the event of key); nullopt with why when the key is no
  // event key, the movie cannot be read, the copy cannot be written, or stop is requested (a
  // transcode under way is then given up, and a wait for another's ended).
  std::optional<BrowserMovie> Get(const std::string& eventMovie, std::string_view key,
                                  std::string& why, std::stop_token stop = {});

 private:
  // Removes the copies of events without a movie in eventsFolder, then the oldest beyond the
  // bounds.
  void Prune(const std::string& eventsFolder);

  const std::string folder_;
  // One transcode at a time: a plain mutex and a flag rather than a timed mutex, whose timed lock
  // the thread checker cannot follow.
  std::mutex mutex_;
  std::condition_variable_any idle_;
  bool transcoding_ = false;
};

}  // namespace ombrix
