#pragma once

#include <mutex>

namespace ombrix {

// The one process-wide lock held around every FFmpeg codec lookup, codec open, codec close and
// stream-information probe, each for that single call. Encoding, decoding, muxing and file I/O
// run unlocked.
std::mutex& codecLock();

// Keeps FFmpeg's own log to errors. Its warnings (a decoder noting a marker it supplied itself,
// say) mean nothing to an operator and would drown the station's own lines.
void QuietMediaLibraryLog();

}  // namespace ombrix
