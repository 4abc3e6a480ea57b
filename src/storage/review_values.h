#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>

#include "base/frame.h"
#include "base/relaxed.h"
#include "base/utc_time.h"

namespace ombrix {

// A time, or none, that one thread replaces while another reads it: one atomic word, so a reader
// never sees half of a replacement.
class SharedTime {
 public:
  std::optional<UtcTime> get() const {
    const int64_t ms = ms_.load();
    if (ms == kNone) {
      return std::nullopt;
    }
    return UtcTime{std::chrono::milliseconds{ms}};
  }
  void set(std::optional<UtcTime> time) {
    ms_.store(time ? time->time_since_epoch().count() : kNone);
  }

 private:
  static constexpr int64_t kNone = std::numeric_limits<int64_t>::min();
  std::atomic<int64_t> ms_{kNone};
};

// The 640x480 frame on display during replays and composites. It is made by its first user, who
// says what it starts as; writer and window each hold the lock only for one frame's work, so the
// window never copies a frame that is half written.
class ReplayFrame {
 public:
  // Runs write(pixels) on the frame, making it first (every byte = initialFill) when it does not
  // exist yet.
  template <typename Write>
  void Update(uint8_t initialFill, Write&& write) {
    std::lock_guard lock(mutex_);
    if (!pixels_) {
      pixels_ = std::make_unique<uint8_t[]>(kFrameBytes);
      std::memset(pixels_.get(), initialFill, kFrameBytes);
    }
    write(pixels_.get());
  }
  // Copies the frame into dst (640x480); false while it does not exist.
  bool CopyTo(uint8_t* dst) const {
    std::lock_guard lock(mutex_);
    if (!pixels_) {
      return false;
    }
    std::memcpy(dst, pixels_.get(), kFrameBytes);
    return true;
  }
  bool exists() const {
    std::lock_guard lock(mutex_);
    return pixels_ != nullptr;
  }

 private:
  mutable std::mutex mutex_;
  std::unique_ptr<uint8_t[]> pixels_;
};

// What the window shows with a replayed or extracted frame, written by the archive readers (the
// event extractor, the review workers) and read by the window. One instance per station.
struct ReviewValues {
  // Every cancellable archive reader takes a new value when it starts and stops at its next step
  // once the shared value differs. Showing the live video and a Delete that finds no next event
  // advance it too.
  std::atomic<int> readerGeneration{0};
  // The time shown with the frame on display: the Stamp of the file or time-history line it came
  // from; none shows no time.
  SharedTime currentArchiveFile;
  // Frames since currentArchiveFile; the time shown is that time plus kNominalFrameSpacing (33 ms)
  // per frame.
  Relaxed<int> archiveFrameCount{0};
  ReplayFrame replayFrame;
  // The detection count shown with the frame on display.
  Relaxed<int> displayCount{0};

  // Advances readerGeneration and returns the new value, which the caller keeps.
  int NewReaderGeneration() { return readerGeneration.fetch_add(1) + 1; }
  // Whether a reader holding generation may go on.
  bool ReaderCurrent(int generation) const { return readerGeneration.load() == generation; }
};

}  // namespace ombrix
