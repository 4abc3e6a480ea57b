#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "config/settings.h"
#include "detect/event_file.h"
#include "review/review_window.h"
#include "storage/event_extractor.h"
#include "storage/review_values.h"
#include "support/movies.h"
#include "support/temp_dir.h"

namespace ombrix::test {

// The time of a Stamp written in a test.
inline UtcTime At(const Stamp& stamp) {
  return ParseStamp(stamp).value();
}

// A real archive: clips of 30 frames, frame i with a top-left 64x64 block of 40 + 6 i, a peak
// image and (unless told otherwise) a log of count i and centroid (100 + i, 200 + i).
class ReviewArchive {
 public:
  ReviewArchive();

  // Writes the clip beginning at start (its frames 33 ms apart).
  void AddClip(const Stamp& start, bool withLog = true);
  // Writes an integrated image "a" + stamp + ".png" of one grey value.
  void AddIntegratedImage(const Stamp& stamp, uint32_t value);
  // Writes the event file of first..last; returns its path.
  std::string AddEvent(const Stamp& first, const Stamp& last);
  // Cuts the event's peak image, movie and time history out of the archive.
  void CutEvent(const Stamp& first, const Stamp& last);

  std::string MinuteFolder(const Stamp& stamp) const;
  std::string EventsFolder() const { return base.str() + "/events"; }
  std::string EventFile(char letter, const Stamp& key) const;

  TempDir base;
  SharedSettings settings;
  ReviewValues review;
  EventList eventList;
  SystemClock clock;
  ArchiveProgress progress;  // never active: cuts do not wait
  Notices notices;
};

// The window as the review code sees it, recording everything; safe from worker threads.
class RecordingWindow final : public ReviewWindow {
 public:
  struct Frame {
    int displayCount;
    std::string currentArchiveFile;
    int archiveFrameCount;
    uint8_t topLeft;  // pixel (10, 10) of the replay frame
  };

  explicit RecordingWindow(ReviewValues& review) : review_(review) {}

  void ShowInfo(const std::string& text) override {
    Record([&] { infos_.push_back(text); });
  }
  void HideLiveVideo() override {
    Record([&] { ++hides_; });
  }
  void FileFailed(const std::string& action, const std::string& path,
                  const std::string& reason) override {
    Record([&] { failures_.push_back(action + ": " + path + ": " + reason); });
  }
  void FrameReady() override;
  void ReplayEnded() override;

  // Waits (up to 20 s) until at least n replays have ended.
  bool WaitForReplayEnds(int n);
  // Waits (up to 20 s) until at least n frames were shown.
  bool WaitForFrames(size_t n);

  std::vector<std::string> infos() const { return Locked(infos_); }
  std::vector<Frame> frames() const { return Locked(frames_); }
  std::vector<std::string> failures() const { return Locked(failures_); }
  int hides() const { return Locked(hides_); }
  int replayEnds() const { return Locked(replayEnds_); }
  void Clear();

 private:
  template <typename T>
  T Locked(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }
  // Changes the record under the lock and wakes the waiters.
  template <typename Change>
  void Record(Change change) {
    {
      std::lock_guard lock(mutex_);
      change();
    }
    changed_.notify_all();
  }

  ReviewValues& review_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> infos_;
  std::vector<std::string> failures_;
  std::vector<Frame> frames_;
  int hides_ = 0;
  int replayEnds_ = 0;
};

}  // namespace ombrix::test
