#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <stop_token>
#include <string>
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
  // The frame without noise and meteors (640x480 brightness).
  const uint8_t* starField() const { return sky_.get(); }

 private:
  static constexpr uint32_t kNoiseTableBits = 20;
  void AddMeteor();
  void DrawMeteor(const SimulatedMeteor& meteor, int64_t frameIndex, uint8_t* yuyv) const;

  SimulatedSkyOptions options_;
  std::unique_ptr<uint8_t[]> sky_;
  std::unique_ptr<int8_t[]> noise_;
  std::mt19937 meteorRandom_;
  double nextMeteorFrame_ = 0;
  std::vector<SimulatedMeteor> meteors_;
};

// The simulated sky as a capture source: a thread delivers the frames to the ring at 29.97
// frames/s, stamped by the clock, and writes one truth line per meteor once it has been drawn
// (start Stamp, end Stamp, start x, start y, end x, end y, peak brightness; CR LF).
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

  void RecordTruth(int64_t frameIndex, UtcTime stamp);

  std::unique_ptr<uint8_t[]> sample_;
  std::unique_ptr<std::FILE, FileCloser> truth_;
  // Per meteor of the generator: its state and the stamps of its first and last frame shown.
  std::vector<TruthState> truthStates_;
  std::vector<UtcTime> truthStarts_;
  std::vector<UtcTime> truthEnds_;
  size_t firstOpenMeteor_ = 0;
  int64_t nextFrame_ = 0;
  std::atomic<uint64_t> framesDelivered_{0};
  std::atomic<uint64_t> framesSkipped_{0};
  std::jthread thread_;  // last: stopped and joined first
};

// One truth line, without the line end.
std::string FormatMeteorTruth(UtcTime start, UtcTime end, const SimulatedMeteor& meteor);

}  // namespace ombrix
