#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/utc_time.h"
#include "capture/capture_source.h"
#include "capture/pacer.h"

namespace ombrix {

class FrameRing;

struct SimulatedSkyOptions {
  uint32_t seed = 1;
  double meteorsPerMinute = 1.0;  // mean rate; 0 for a sky without meteors
  int starCount = 300;
  // What else a real sky shows, to test detection against; none by default.
  double satellitesPerHour = 0;  // slow straight tracks, some with a flare
  double aircraftPerHour = 0;    // steady lights and a strobe, crossing slowly
  double lightningPerHour = 0;   // the whole sky brightening for a few frames
  double cloudsPerHour = 0;      // moonlit cloud drifting across
  bool clock = false;            // a clock burned in along the bottom edge
  int hotPixels = 0;             // single pixels flickering on and off
};

// The sky's lies as the command line names them: a comma-separated list of "satellites",
// "aircraft", "lightning" and "clouds" (each optionally "=N", N an hour; by default 20, 8, 6 and
// 6), "clock" and "hotpixels" (optionally "=N" pixels, by default 12), or "all" for each with its
// default. Sets those named in options and leaves the others; false, with the reason in error,
// for any other text.
bool ParseSimulatedObjects(std::string_view text, SimulatedSkyOptions& options, std::string& error);

// Everything the simulated sky draws besides stars and noise. Meteors are listed apart
// (SimulatedMeteor); the others are the sky's lies.
enum class SkyObjectKind : uint8_t {
  kMeteor,
  kSatellite,
  kAircraft,
  kLightning,
  kCloud,
  kClock,
  kHotPixel,
};

// "meteor", "satellite", "aircraft", "lightning", "cloud", "clock", "hot pixel".
const char* SkyObjectKindName(SkyObjectKind kind);

// One lie of the simulated sky, shown in frames firstFrame..lastFrame (the clock and hot pixels
// in every frame). Satellites, aircraft and clouds move from the start point to the end point;
// a lightning's points are the brightest place of the sky; the clock's are the corners of its
// text. peakBrightness is the brightest it gets, in grey levels above the sky.
struct SimulatedObject {
  SkyObjectKind kind = SkyObjectKind::kSatellite;
  int64_t firstFrame = 0;
  int64_t lastFrame = 0;
  double startX = 0;
  double startY = 0;
  double endX = 0;
  double endY = 0;
  int peakBrightness = 0;
  int steadyBrightness = 0;  // satellite: outside its flare; aircraft: the steady wing lights
  int64_t flareFrame = -1;   // satellite: the middle of its flare, -1 for none
  int flareFrames = 0;       // satellite: the flare's half-width
  int period = 0;       // aircraft: frames between strobe flashes; hot pixel: frames a state lasts
  double size = 0;      // cloud: radius in pixels
  uint32_t random = 0;  // the object's own randomness (flicker, texture offset)
};

// One meteor of the simulated sky: it is drawn in frames firstFrame..lastFrame, its head moving
// from the start point to the end point, its brightness rising to peakBrightness (grey levels
// above the sky) and falling again.
struct SimulatedMeteor {
  int64_t firstFrame = 0;
  int64_t lastFrame = 0;
  double startX = 0;
  double startY = 0;
  double endX = 0;
  double endY = 0;
  int peakBrightness = 0;
};

// A night sky as seen by the station's camera, frame by frame: a dark background with a little
// sky glow, a few hundred fixed stars, sensor noise well below the detection threshold (frame to
// frame differences stay under 21 grey levels) and meteors at random times. The same options
// give the same frames, whatever order frames are asked in.
class SkyFrameGenerator {
 public:
  static constexpr int kMinMeteorFrames = 6;   // 0.2 s
  static constexpr int kMaxMeteorFrames = 44;  // 1.47 s
  static constexpr int kMaxNoise = 10;         // noise stays within +-kMaxNoise grey levels

  explicit SkyFrameGenerator(const SimulatedSkyOptions& options);
  SkyFrameGenerator(const SkyFrameGenerator&) = delete;
  SkyFrameGenerator& operator=(const SkyFrameGenerator&) = delete;

  // Writes frame frameIndex (0, 1, ...) as 640x480 YUYV, 614400 bytes, neutral chroma.
  void GenerateFrame(int64_t frameIndex, uint8_t* yuyv);
  // Makes every meteor that starts at or before the frame known in meteors().
  void ScheduleThrough(int64_t frameIndex);
  // The meteors known so far, in order of their first frame.
  const std::vector<SimulatedMeteor>& meteors() const { return meteors_; }
  // The other objects known so far (all that start at or before the frame scheduled through),
  // in order of their first frame; the clock and the hot pixels come first and last forever.
  const std::vector<SimulatedObject>& objects() const { return objects_; }
  // The frame without noise and meteors (640x480 brightness).
  const uint8_t* starField() const { return sky_.get(); }

 private:
  static constexpr uint32_t kNoiseTableBits = 20;
  // The kinds that come and go, each with its own random stream and next start.
  struct LieSchedule {
    SkyObjectKind kind;
    double perHour;
    std::mt19937 random;
    double nextFrame;
  };
  void AddMeteor();
  void DrawMeteor(const SimulatedMeteor& meteor, int64_t frameIndex, uint8_t* yuyv) const;
  SimulatedObject MakeLie(LieSchedule& schedule);
  void DrawLie(const SimulatedObject& object, int64_t frameIndex, uint8_t* yuyv) const;
  void DrawClock(int64_t frameIndex, uint8_t* yuyv) const;

  SimulatedSkyOptions options_;
  std::unique_ptr<uint8_t[]> sky_;
  std::unique_ptr<int8_t[]> noise_;
  std::mt19937 meteorRandom_;
  double nextMeteorFrame_ = 0;
  std::vector<SimulatedMeteor> meteors_;
  std::vector<LieSchedule> lies_;
  std::vector<SimulatedObject> objects_;
  size_t permanentObjects_ = 0;       // the clock and hot pixels, at the front of objects_
  std::unique_ptr<float[]> texture_;  // cloud texture, kTextureSize squared, when there are clouds
};

// The simulated sky as a capture source: a thread delivers the frames to the ring at 29.97
// frames/s, stamped by the clock, and writes one truth line per object once it has been drawn
// (start Stamp, end Stamp, start x, start y, end x, end y, peak brightness, kind; CR LF). The
// clock and hot pixels, which never end, get their line with the first frame (both Stamps that
// frame's).
class SimulatedSkySource final : public CaptureSource {
 public:
  // truthPath may be empty (no truth file). The clock and pacer must outlive the source.
  SimulatedSkySource(const SimulatedSkyOptions& options, const Clock& clock, Pacer& pacer,
                     Notices& notices, std::string truthPath = {});
  ~SimulatedSkySource() override { Stop(); }

  bool Start(FrameRing& ring) override;
  void Stop() override;

  // Frames delivered since the last Start.
  uint64_t framesDelivered() const { return framesDelivered_.load(std::memory_order_relaxed); }
  // The frames' generator; read it only while the source is stopped.
  const SkyFrameGenerator& generator() const { return generator_; }
  // Frames the thread could not deliver on time and skipped (the sky went on without them).
  uint64_t framesSkipped() const { return framesSkipped_.load(std::memory_order_relaxed); }

 private:
  void Deliver(std::stop_token stop, FrameRing* ring);

  SkyFrameGenerator generator_;
  const Clock& clock_;
  Pacer& pacer_;
  Notices& notices_;
  std::string truthPath_;
  struct FileCloser {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
  };
  enum class TruthState : uint8_t { kNotSeen, kShowing, kDone };

  // Per object of one of the generator's lists: its state and the stamps of its first and last
  // frame shown.
  struct TruthTrack {
    std::vector<TruthState> states;
    std::vector<UtcTime> starts;
    std::vector<UtcTime> ends;
    size_t firstOpen = 0;
  };
  template <typename Object>
  void RecordTruthOf(const std::vector<Object>& objects, TruthTrack& track, int64_t frameIndex,
                     UtcTime stamp);
  void RecordTruth(int64_t frameIndex, UtcTime stamp);

  std::unique_ptr<uint8_t[]> sample_;
  std::unique_ptr<std::FILE, FileCloser> truth_;
  TruthTrack meteorTruth_;
  TruthTrack objectTruth_;
  int64_t nextFrame_ = 0;
  std::atomic<uint64_t> framesDelivered_{0};
  std::atomic<uint64_t> framesSkipped_{0};
  std::jthread thread_;  // last: stopped and joined first
};

// One truth line, without the line end.
std::string FormatMeteorTruth(UtcTime start, UtcTime end, const SimulatedMeteor& meteor);
std::string FormatObjectTruth(UtcTime start, UtcTime end, const SimulatedObject& object);

}  // namespace ombrix
