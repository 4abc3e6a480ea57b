#pragma once

#include <mutex>

namespace ombrix {

// The one process-wide lock held around every FFmpeg codec lookup, codec open, codec close and
// stream-information probe, each for that single call. Encoding, decoding, muxing and file I/O
// run unlocked.
std::mutex& codecLock();

}  // namespace ombrix
