#include "media/codec_lock.h"

namespace ombrix {

std::mutex& codecLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace ombrix
