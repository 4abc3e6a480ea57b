#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/relaxed.h"
#include "base/stamp.h"
#include "capture/frame_ring.h"

namespace ombrix {

// A Stamp that one thread replaces while another copies it. Both happen under one small lock and
// the text lives in fixed storage, so a replacement never allocates and a reader never sees a
// text that is being freed.
class GuardedStamp {
 public:
  Stamp get() const {
    std::lock_guard lock(mutex_);
    return Stamp(text_, length_);
  }
  // Keeps at most kStampLength characters.
  void set(std::string_view stamp) {
    std::lock_guard lock(mutex_);
    length_ = std::min(stamp.size(), kStampLength);
    std::memcpy(text_, stamp.data(), length_);
  }

 private:
  mutable std::mutex mutex_;
  char text_[kStampLength] = {};
  size_t length_ = 0;
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
  // The Stamp shown with the frame on display.
  GuardedStamp currentArchiveFile;
  // Frames since currentArchiveFile; the time shown is that Stamp plus 33 ms per frame.
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
