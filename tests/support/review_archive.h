#pragma once

// A real archive and events folder for the review, station and window tests
// (tests/support/review_archive.cpp is built into those test programs).

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "config/settings.h"
#include "review/review_session.h"
#include "support/temp_dir.h"

namespace ombrix::test {

// The time of a Stamp written in a test.
UtcTime At(const Stamp& stamp);

// Clips of 30 frames 33 ms apart, frame i with a top-left 64x64 block of 40 + 6 i, a peak image
// and (unless told otherwise) a log of count i and centroid (100 + i, 200 + i). The settings
// name the folder; replays run without a frame wait.
struct ReviewArchive {
  ReviewArchive();
  void AddClip(const Stamp& start, bool withLog = true);
  // An integrated image "a" + stamp + ".png" of one grey value.
  void AddIntegratedImage(const Stamp& stamp, uint32_t value);
  // Writes the event file of first..last; returns its path.
  std::string AddEvent(const Stamp& first, const Stamp& last);
  // Cuts the event's peak image, movie and time history out of the archive.
  void CutEvent(const Stamp& first, const Stamp& last);
  std::string EventsFolder() const { return base.str() + "/events"; }
  std::string EventFile(char letter, const Stamp& key) const {
    return EventsFolder() + "/" + letter + key +
           (letter == 'e'   ? ".txt"
            : letter == 'j' ? ".jpg"
            : letter == 'm' ? ".mp4"
                            : ".csv");
  }

  TempDir base;
  SharedSettings settings;
};

// The window as a review session sees it, recording everything; safe from worker threads.
class RecordingWindow final : public ReviewWindow {
 public:
  struct Frame {
    int displayCount;
    std::string time;  // the Stamp of the time shown; empty for none
    uint8_t topLeft;   // pixel (10, 10)
  };
  struct Record {
    std::vector<std::string> infos;
    std::vector<std::string> failures;
    std::vector<Frame> frames;
    int hides = 0;
    int replayEnds = 0;
  };

  void Watch(ReviewSession& session) { session_ = &session; }
  void ShowInfo(const std::string& text) override {
    Change([&](Record& r) { r.infos.push_back(text); });
  }
  void HideLiveVideo() override {
    Change([](Record& r) { ++r.hides; });
  }
  void FileFailed(const std::string& action, const std::string& path,
                  const std::string& reason) override {
    Change([&](Record& r) { r.failures.push_back(action + ": " + path + ": " + reason); });
  }
  void FrameReady() override;
  void ReplayEnded() override {
    Change([](Record& r) { ++r.replayEnds; });
  }

  // Waits (up to 20 s) until n replays have ended, or n frames were shown.
  bool WaitForReplayEnds(int n) {
    return WaitFor([n](const Record& r) { return r.replayEnds >= n; });
  }
  bool WaitForFrames(size_t n) {
    return WaitFor([n](const Record& r) { return r.frames.size() >= n; });
  }
  Record record() const {
    std::lock_guard lock(mutex_);
    return record_;
  }
  std::vector<Frame> frames() const { return record().frames; }
  void Clear() {
    Change([](Record& r) { r = Record{}; });
  }

 private:
  template <typename Edit>
  void Change(Edit edit) {
    {
      std::lock_guard lock(mutex_);
      edit(record_);
    }
    changed_.notify_all();
  }
  template <typename Done>
  bool WaitFor(Done done) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return done(record_); });
  }

  ReviewSession* session_ = nullptr;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Record record_;
};

}  // namespace ombrix::test
