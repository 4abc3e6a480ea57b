#include <algorithm>
#include <cmath>

#include "base/frame.h"
#include "capture/frame_ring.h"
#include "detect/mask_learning.h"
#include "station/sources.h"

namespace ombrix {

int64_t LearntMask::MaskedPixels() const {
  return std::count(mask.begin(), mask.end(), 1);
}

std::optional<LearntMask> RunMaskLearner(RingMaskLearner& learner, const CaptureSource* source,
                                         std::stop_token stop, std::string& why) {
  SteadyPacer pacer;
  switch (learner.PollUntilDone(pacer, stop, source, kLearnNoVideoWait)) {
    case RingMaskLearner::End::kStopped:
      why = "stopped";
      return std::nullopt;
    case RingMaskLearner::End::kNoVideo:
      why = "no video arrived for " + std::to_string(kLearnNoVideoWait.count()) + " s";
      return std::nullopt;
    case RingMaskLearner::End::kDone:
      break;
  }
  if (learner.learner().framesSeen() == 0) {
    why = "the video held no frame to learn from";
    return std::nullopt;
  }
  LearntMask learnt;
  learnt.mask = learner.Propose();
  learnt.mean = learner.MeanFrame();
  learnt.frames = learner.learner().framesSeen();
  learnt.seconds = std::chrono::duration<double>(learner.learnt()).count();
  return learnt;
}

std::optional<LearntMask> LearnMaskFromSource(const SourceSpec& request, const Settings& settings,
                                              std::optional<std::chrono::milliseconds> duration,
                                              Notices& notices, std::stop_token stop) {
  SharedSettings shared;
  shared.Update([&settings](Settings& s) { s = settings; });
  SystemClock clock;
  FrameRing ring;
  RingMaskLearner learner(ring, settings.threshold, settings.triggerGap, duration);
  SourceSpec fast = request;
  fast.fast = true;  // a file goes as fast as the learning takes its frames
  fast.simTruthPath.clear();
  SourceContext context{shared, notices, clock, learner.readProgress()};
  SourceParts parts;
  FileSource* file = nullptr;
  const std::unique_ptr<CaptureSource> source = MakeSource(fast, context, parts, &file);
  if (!source || !source->Start(ring)) {
    notices.Say(Severity::kError, kStationTopic, "Learn Mask: the video source did not start.");
    return std::nullopt;
  }
  std::string why;
  std::optional<LearntMask> learnt = RunMaskLearner(learner, source.get(), stop, why);
  source->Stop();
  if (!learnt) {
    notices.Say(Severity::kError, kStationTopic, "Learn Mask: " + why + ".");
  }
  return learnt;
}

bool WriteLearntMask(const std::string& path, const LearntMask& learnt) {
  constexpr size_t kBytes = kFrameBytes;
  return learnt.mask.size() == kBytes && learnt.mean.size() == kBytes &&
         WriteMaskImage(path, learnt.mask.data(), learnt.mean.data());
}

}  // namespace ombrix
