#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>

#include "base/frame.h"
#include "base/utc_time.h"

namespace ombrix {

// What is shown with the frame on display: the detection count, and the time of the file or
// time-history line the frame came from plus kNominalFrameSpacing (33 ms) per frame since it.
// The count of a picture that has none (a composite, an average): the window shows no count.
inline constexpr int kNoDisplayCount = -1;

struct ShownValues {
  int displayCount = 0;
  std::optional<UtcTime> file;  // none: no time is shown
  int frameCount = 0;
};

// The frame on display (640x480) and its values, as the readers of one review session publish
// them and its window reads them. A reader publishes a whole frame with its values at once, and
// only while its stop has not been requested; stops are requested under the same lock, so once a
// newer reader has stopped the older ones, none of them changes what is shown.
class ReviewValues {
 public:
  // Publishes frame and shown; false (nothing changed) once stop has been requested.
  bool Publish(const uint8_t* frame, const ShownValues& shown, std::stop_token stop) {
    std::lock_guard lock(mutex_);
    if (stop.stop_requested()) {
      return false;
    }
    if (!frame_) {
      frame_ = std::make_unique<uint8_t[]>(kFrameBytes);
    }
    std::memcpy(frame_.get(), frame, kFrameBytes);
    shown_ = shown;
    return true;
  }
  // The values published last (a reader goes on from what is shown).
  ShownValues Shown() const {
    std::lock_guard lock(mutex_);
    return shown_;
  }
  // Copies the frame and its values; false while no frame has been published.
  bool Copy(uint8_t* frame, ShownValues* shown) const {
    std::lock_guard lock(mutex_);
    if (!frame_) {
      return false;
    }
    std::memcpy(frame, frame_.get(), kFrameBytes);
    *shown = shown_;
    return true;
  }
  // Stops a reader: from now on its Publish fails.
  void Stop(std::stop_source& reader) {
    std::lock_guard lock(mutex_);
    reader.request_stop();
  }

 private:
  mutable std::mutex mutex_;
  std::unique_ptr<uint8_t[]> frame_;
  ShownValues shown_;
};

}  // namespace ombrix
