#pragma once

#include <memory>

#include "capture/capture_source.h"
#include "capture/file_source.h"
#include "capture/pacer.h"
#include "capture/v4l2_device.h"
#include "detect/mask_learning.h"
#include "station/station.h"

namespace ombrix {

// What the sources the station makes use and must outlive them.
struct SourceParts {
  SystemV4l2Device device;
  SteadyPacer pacer;
};

// The source the request names, not started; null for SourceKind::kNone. For a video file, *file
// points at it.
std::unique_ptr<CaptureSource> MakeSource(const SourceSpec& request, SourceContext& context,
                                          SourceParts& parts, FileSource** file);

// Polls the learner while a running source fills its ring, until its duration is learnt or,
// without one, until source (when given) has finished and every frame it stored is read. nullopt,
// with why, when stopped or when no frame arrives for kLearnNoVideoWait.
std::optional<LearntMask> RunMaskLearner(RingMaskLearner& learner, const CaptureSource* source,
                                         std::stop_token stop, std::string& why);

// The capture devices present.
int CountCaptureDevices(SourceParts& parts, const Clock& clock);

}  // namespace ombrix
