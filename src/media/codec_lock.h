#pragma once

#include <mutex>

namespace ombrix {

// The one process-wide lock held around every FFmpeg codec lookup, codec open, codec close and
// stream-information probe, each for that single call. Encoding, decoding, muxing and file I/O
// run unlocked.
std::mutex& codecLock();

// Silences FFmpeg's own log. Its lines ("moov atom not found", a decoder noting a marker it
// supplied itself) mean nothing to an operator, reach standard error past the station's notice
// channel, and would drown the station's own lines; every failure that matters is said by the
// station in its own words. Done when the program starts; calling it again does no harm.
void QuietMediaLibraryLog();

}  // namespace ombrix
