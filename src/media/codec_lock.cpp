#include "media/codec_lock.h"

extern "C" {
#include <libavutil/log.h>
}

namespace ombrix {

std::mutex& codecLock() {
  static std::mutex lock;
  return lock;
}

void QuietMediaLibraryLog() {
  av_log_set_level(AV_LOG_ERROR);
}

}  // namespace ombrix
