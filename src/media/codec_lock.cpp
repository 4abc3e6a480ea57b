#include "media/codec_lock.h"

extern "C" {
#include <libavutil/log.h>
}

namespace ombrix {

namespace {

// Every program that links the media code links this file (all of it takes codecLock), so the
// library is quiet from the start, before any file is opened.
[[maybe_unused]] const bool kQuietFromTheStart = (QuietMediaLibraryLog(), true);

}  // namespace

std::mutex& codecLock() {
  static std::mutex lock;
  return lock;
}

void QuietMediaLibraryLog() {
  av_log_set_level(AV_LOG_QUIET);
}

}  // namespace ombrix
