#pragma once

#include <memory>

#include "capture/capture_source.h"
#include "capture/file_source.h"
#include "capture/pacer.h"
#include "capture/v4l2_device.h"
#include "station/station.h"

namespace ombrix {

// What the sources the station makes use and must outlive them.
struct SourceParts {
  SystemV4l2Device device;
  SteadyPacer pacer;
};

// The source the spec names, not started; null for SourceKind::kNone. For a video file, *file
// points at it.
std::unique_ptr<CaptureSource> MakeSource(const SourceSpec& spec, SourceContext& context,
                                          SourceParts& parts, FileSource** file);

// The capture devices present.
int CountCaptureDevices(SourceParts& parts, const Clock& clock);

}  // namespace ombrix
