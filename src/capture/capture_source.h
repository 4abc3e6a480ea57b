#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/notice.h"
#include "capture/video_controls.h"

namespace ombrix {

class FrameRing;

// Something that hands video samples, with their capture times, to the frame ring: a capture
// device, the simulated sky or a video file. The station owns one and drives it from one thread.
class CaptureSource {
 public:
  virtual ~CaptureSource() = default;

  // Starts delivering samples into the ring (and sets the ring's sampleSize first). False when
  // the source could not start; the reason has been said and nothing runs.
  virtual bool Start(FrameRing& ring) = 0;
  // Stops delivering and joins every thread of the source. Safe when not started; Start may be
  // called again afterwards.
  virtual void Stop() = 0;
  // True once a source with an end (a file) has delivered its last frame.
  virtual bool Finished() const { return false; }
  // Called by the station about once a second with the steady time, so a source can notice that
  // it has stopped delivering and recover.
  virtual void CheckHealth(std::chrono::steady_clock::time_point /*now*/) {}
  // The controls of the capture device behind the source, with their values; nullopt when the
  // source has no device open (the simulated sky, a file, a device that could not be had). May be
  // called from another thread than the one driving the source.
  virtual std::optional<std::vector<VideoControl>> ListVideoControls() { return std::nullopt; }
  // Sets one of those controls on the running device (see CaptureGraph::SetControl); false, with
  // the reason said, when it could not be set. Same threads as ListVideoControls.
  virtual bool SetVideoControl(uint32_t /*id*/, int32_t /*value*/) { return false; }
};

}  // namespace ombrix
