#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "base/clock.h"
#include "capture/capture_source.h"
#include "capture/frame_progress.h"
#include "capture/pacer.h"
#include "config/settings.h"

namespace ombrix {

class FrameRing;
class VideoFileDecoder;

// The topic of a video file that cannot be replayed, or not whole.
inline constexpr std::string_view kVideoFileTopic = "video-file";

struct FileSourceOptions {
  std::string path;
  // As fast as the detector can follow, losing no frame; otherwise in real time like a camera.
  bool fast = false;
  // The capture time of the file's first picture; by default the file's creation time, else the
  // time of the start.
  std::optional<UtcTime> start;
};

// The capture time a file's creation_time metadata ("2024-05-06T01:02:03.000000Z") names, to the
// second; nullopt when the text is no such time.
std::optional<UtcTime> ParseCreationTime(const std::string& text);

// A video file as a capture source: its pictures, scaled to 640x480, are stored in the ring with
// virtual capture times (the start time plus each picture's presentation time, rounded down to
// the millisecond), so the same file and settings always give the same Stamps and events.
//
// In fast mode the delivering thread stores a frame only while it is fewer than 64 - triggerGap
// frames ahead of the detector (frames stored in the ring minus framesRead()), so every
// frame the detector needs, including the one triggerGap frames back, is still in the ring.
class FileSource final : public CaptureSource {
 public:
  // framesRead counts the ring's frames the detector has moved past (processed, or skipped for
  // want of a reference: Detector::readProgress()), counted like ring.framesStored; the fast
  // mode's delivering thread reads it and waits on it. A count of processed frames alone would
  // stall the source, since the first triggerGap frames of a ring are never processed. Without
  // it the fast mode does not wait. The settings, clock, pacer, notices and framesRead must
  // outlive the source.
  FileSource(FileSourceOptions options, const SharedSettings& settings, const Clock& clock,
             Pacer& pacer, Notices& notices, const FrameProgress* framesRead);
  ~FileSource() override;

  bool Start(FrameRing& ring) override;
  void Stop() override;
  // True once the last picture of the file has been stored (or reading ended on an error).
  bool Finished() const override { return finished_.load(std::memory_order_acquire); }

  // Frames stored since the last Start.
  uint64_t framesDelivered() const { return framesDelivered_.load(std::memory_order_relaxed); }
  // For progress: the pictures the file holds, 0 when unknown. Valid after Start.
  int64_t estimatedFrameCount() const { return estimatedFrameCount_; }
  // The capture time of the file's start. Valid after Start.
  UtcTime startTime() const { return startTime_; }

 private:
  void Deliver(std::stop_token stop, FrameRing* ring);
  // Fast mode: waits until the lead is below 64 - triggerGap; false when stopped first.
  bool WaitForDetector(std::stop_token stop, const FrameRing& ring);

  FileSourceOptions options_;
  const SharedSettings& settings_;
  const Clock& clock_;
  Pacer& pacer_;
  Notices& notices_;
  const FrameProgress* framesRead_;
  std::unique_ptr<VideoFileDecoder> decoder_;  // used by the delivering thread only
  std::unique_ptr<uint8_t[]> sample_;
  UtcTime startTime_{};
  int64_t estimatedFrameCount_ = 0;
  std::atomic<bool> finished_{false};
  std::atomic<uint64_t> framesDelivered_{0};
  std::jthread thread_;  // last: stopped and joined first
};

}  // namespace ombrix
