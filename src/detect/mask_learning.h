#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "capture/capture_source.h"
#include "capture/frame_progress.h"
#include "capture/frame_ring.h"
#include "capture/pacer.h"
#include "detect/mask_learner.h"

namespace ombrix {

// How often RingMaskLearner::PollUntilDone polls: well within the 64 frames the ring holds.
inline constexpr std::chrono::milliseconds kMaskLearningPoll{50};

// Learns a mask from the frames a running source stores in a ring, as the detector sees them:
// each frame against the one triggerGap before it, through a table of the threshold alone (what
// the mask in use covers is learnt again, so that the learnt mask can replace it). Frames the
// ring overwrote before they were read are passed over. One thread polls; the ring may be the
// station's own, which the detector reads at the same time.
class RingMaskLearner {
 public:
  // duration: how much video to learn from, by the frames' capture times; none for as long as
  // the caller polls.
  RingMaskLearner(const FrameRing& ring, int32_t threshold, int32_t triggerGap,
                  std::optional<std::chrono::milliseconds> duration);
  RingMaskLearner(const RingMaskLearner&) = delete;
  RingMaskLearner& operator=(const RingMaskLearner&) = delete;

  // Learns from every frame stored since the last call; true while more is wanted. Allocates
  // nothing.
  bool Poll();
  // How PollUntilDone ended.
  enum class End { kDone, kStopped, kNoVideo };
  // Polls every kMaskLearningPoll (timed by the pacer) while a running source fills the ring,
  // until the duration is learnt or the source (when given) has finished and every frame it
  // stored is read (kDone), a stop is requested (kStopped), or no frame arrived for noVideoWait
  // (kNoVideo).
  End PollUntilDone(Pacer& pacer, std::stop_token stop, const CaptureSource* source = nullptr,
                    std::chrono::milliseconds noVideoWait = std::chrono::seconds(10));
  // True once the duration has been learnt.
  bool Done() const { return done_; }

  // The frames moved past, counted as the ring counts them: what a fast file source waits on.
  const FrameProgress& readProgress() const { return read_; }
  // The video learnt from so far, first to last frame.
  std::chrono::milliseconds learnt() const { return last_ - first_; }
  const MaskLearner& learner() const { return learner_; }

  // The proposed mask (1 masked) and the mean picture to show it over.
  std::vector<uint8_t> Propose() const { return learner_.Propose(); }
  std::vector<uint8_t> MeanFrame() const { return learner_.MeanFrame(); }
  // Writes the proposal as a mask image (see WriteMaskImage); false when it was not written.
  bool Write(const std::string& path) const;

 private:
  const FrameRing& ring_;
  uint32_t gap_;
  std::optional<std::chrono::milliseconds> duration_;
  std::vector<uint8_t> thresholds_;
  std::unique_ptr<uint8_t[]> current_;
  std::unique_ptr<uint8_t[]> reference_;
  MaskLearner learner_;
  FrameProgress read_;
  uint64_t position_ = 0;
  UtcTime first_{};
  UtcTime last_{};
  bool done_ = false;
};

// Learns a mask from a source that is not running: starts it into the learner's ring, polls
// until done (PollUntilDone) and stops the source. False when the source did not start (it has
// said why). A fast file source must be made with the learner's readProgress().
bool LearnMask(CaptureSource& source, FrameRing& ring, RingMaskLearner& learner, Pacer& pacer,
               std::stop_token stop = {});

}  // namespace ombrix
