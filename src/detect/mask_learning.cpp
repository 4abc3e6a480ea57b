#include "detect/mask_learning.h"

namespace ombrix {

RingMaskLearner::RingMaskLearner(const FrameRing& ring, int32_t threshold, int32_t triggerGap,
                                 std::optional<std::chrono::milliseconds> duration)
    : ring_(ring),
      gap_(RingDistance(triggerGap)),
      duration_(duration),
      thresholds_(kFrameBytes, static_cast<uint8_t>(threshold & 0xFF)),
      current_(std::make_unique<uint8_t[]>(kFrameBytes)),
      reference_(std::make_unique<uint8_t[]>(kFrameBytes)) {}

bool RingMaskLearner::Poll() {
  const uint64_t stored = ring_.FramesStored();
  // As the detector: a frame is usable while both it and its reference are in the ring.
  const uint64_t maxLag = static_cast<uint64_t>(kRingSlots) - gap_;
  if (stored - position_ > maxLag) {
    position_ = stored - maxLag;
  }
  for (; position_ < stored && !done_; ++position_) {
    UtcTime stamp;
    if (position_ < gap_ || !ring_.CopyFrame(position_ - gap_, reference_.get(), nullptr) ||
        !ring_.CopyFrame(position_, current_.get(), &stamp)) {
      continue;
    }
    if (learner_.framesSeen() == 0) {
      first_ = stamp;
    }
    last_ = stamp;
    learner_.Add(current_.get(), reference_.get(), thresholds_.data());
    done_ = duration_ && learnt() >= *duration_;
  }
  read_.Set(position_);
  return !done_;
}

bool RingMaskLearner::Write(const std::string& path) const {
  return WriteMaskImage(path, Propose().data(), MeanFrame().data());
}

RingMaskLearner::End RingMaskLearner::PollUntilDone(Pacer& pacer, std::stop_token stop,
                                                    const CaptureSource* source,
                                                    std::chrono::milliseconds noVideoWait) {
  uint64_t stored = ring_.FramesStored();
  Pacer::TimePoint lastArrival = pacer.Now();
  while (Poll() &&
         !(source != nullptr && source->Finished() && position_ >= ring_.FramesStored())) {
    if (const uint64_t now = ring_.FramesStored(); now != stored) {
      stored = now;
      lastArrival = pacer.Now();
    } else if (pacer.Now() - lastArrival >= noVideoWait) {
      return End::kNoVideo;
    }
    if (!pacer.SleepUntil(pacer.Now() + kMaskLearningPoll, stop)) {
      return End::kStopped;
    }
  }
  return End::kDone;
}

bool LearnMask(CaptureSource& source, FrameRing& ring, RingMaskLearner& learner, Pacer& pacer,
               std::stop_token stop) {
  if (!source.Start(ring)) {
    return false;
  }
  learner.PollUntilDone(pacer, stop, &source);
  source.Stop();
  return true;
}

}  // namespace ombrix
