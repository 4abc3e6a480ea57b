#include "station/sources.h"

#include <ostream>

#include "capture/capture_graph.h"
#include "capture/device_source.h"
#include "capture/frame_ring.h"
#include "capture/simulated_sky.h"
#include "config/config_file.h"
#include "media/codec_lock.h"
#include "media/video_file_decoder.h"

namespace ombrix {

std::unique_ptr<CaptureSource> MakeSource(const SourceSpec& request, SourceContext& context,
                                          SourceParts& parts, FileSource** file) {
  switch (request.kind) {
    case SourceKind::kNone:
      return nullptr;
    case SourceKind::kDevice:
      return std::make_unique<DeviceSource>(parts.device, context.settings, context.clock,
                                            context.notices);
    case SourceKind::kSimulated: {
      SimulatedSkyOptions sky;
      if (std::string unused; !request.simObjects.empty()) {
        ParseSimulatedObjects(request.simObjects, sky, unused);  // checked by the command line
      }
      sky.seed = request.simSeed;
      sky.meteorsPerMinute = request.simRate;
      return std::make_unique<SimulatedSkySource>(sky, context.clock, parts.pacer, context.notices,
                                                  request.simTruthPath);
    }
    case SourceKind::kFile: {
      FileSourceOptions options;
      options.path = request.filePath;
      options.fast = request.fast;
      options.start = request.start;
      // Frames are stamped by the file's own time; the clock only stands in when it has none.
      auto made = std::make_unique<FileSource>(options, context.settings, context.clock,
                                               parts.pacer, context.notices, &context.framesRead);
      *file = made.get();
      return made;
    }
  }
  return nullptr;
}

int CountCaptureDevices(SourceParts& parts, const Clock& clock) {
  SharedSettings settings;
  Notices unheard;  // counting says nothing
  CaptureGraph graph(parts.device, settings, clock, unheard);
  return graph.CountCaptureDevices();
}

void QuietMediaLibrary() {
  QuietMediaLibraryLog();
}

std::optional<std::string> SimulatedObjectsProblem(const std::string& text) {
  SimulatedSkyOptions sky;
  std::string why;
  if (text.empty() || ParseSimulatedObjects(text, sky, why)) {
    return std::nullopt;
  }
  return why;
}

std::optional<std::string> ReplayStartProblem(const SourceSpec& source) {
  if (source.kind != SourceKind::kFile || !source.start) {
    return std::nullopt;
  }
  const VideoFileDecoder decoder(source.filePath, VideoFileDecoder::Layout::kGrey);
  const auto length =
      std::chrono::floor<std::chrono::milliseconds>(decoder.estimatedFrameCount() * kFramePeriod);
  if (*source.start <= kLastStampTime - length) {
    return std::nullopt;
  }
  return "the replay's frames would be stamped past 9999-12-31T23:59:59.999Z, the last time a "
         "file name can hold";
}

bool PrintDeviceProperties(std::ostream& out, Notices& notices) {
  SharedSettings settings;
  ConfigReadResult read = ConfigReadResult::NoFile;
  settings.Update([&read](Settings& s) { read = ReadConfiguration(s); });
  if (read == ConfigReadResult::Failed) {
    notices.Say(Severity::kWarning, kConfigTopic, kConfigReadFailed);
  }
  SystemV4l2Device device;
  SystemClock clock;
  FrameRing ring;
  CaptureGraph graph(device, settings, clock, notices);
  if (!graph.BuildCaptureGraph(ring)) {
    notices.Say(Severity::kError, kCaptureTopic, graph.failure());
    return false;
  }
  graph.ShowDeviceProperties(out);
  graph.TearDownCaptureGraph();
  return true;
}

}  // namespace ombrix
