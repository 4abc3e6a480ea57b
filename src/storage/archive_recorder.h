#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "base/report.h"
#include "base/stamp.h"
#include "base/system_time.h"
#include "config/settings.h"
#include "detect/detector.h"
#include "media/movie_writer.h"

namespace ombrix {

inline constexpr int kClipFrames = 30;
inline constexpr uint32_t kIntegrationFramesPerFactor = 1024;
// The events folder gets a copy of every (kEventsCopyBase / pngIntegrationFactor)-th integrated
// image.
inline constexpr uint32_t kEventsCopyBase = 105;

// pngIntegrationFactor as the recorder uses it: 1..10.
uint32_t ClampedIntegrationFactor(uint32_t factor);

// The two per-pixel passes of every archived frame, kept apart so that they can be measured.
// Plain loops over 307200 pixels that the compiler vectorises.
void AddFrameToSums(uint32_t* __restrict sums, const uint8_t* __restrict frame);
void FoldFrameMax(uint8_t* __restrict peak, const uint8_t* __restrict frame);

// How far the archive has got, for the archive thread: an event is cut only once the clips that
// cover its window are closed (a movie cannot be read until it is closed). The detection thread
// writes, the archive thread reads.
class ArchiveProgress {
 public:
  struct Snapshot {
    Stamp lastClosedClip;  // Stamp of the first frame of the clip closed last; empty before any
    Stamp openClip;        // Stamp of the clip being recorded (its minute folder); empty if none
    bool active = false;   // recording, or a clip still open
  };
  Snapshot Read() const;

  // Recorder side. ClipStarted is published before the clip's minute folder is made, so that the
  // disk cleaner, which reads it, never takes that folder for an old one (a clock stepped back).
  void ClipStarted(const char* firstFrameStamp);
  void ClipClosed(const char* firstFrameStamp);
  void SetActive(bool active) { active_.store(active); }

 private:
  mutable std::mutex mutex_;
  char lastClosedClip_[kStampLength + 1] = {};
  char openClip_[kStampLength + 1] = {};
  std::atomic<bool> active_{false};
};

// The continuous archive. Every 30 consecutive recorded frames become one clip in the minute
// folder of its first frame: the movie "s<Stamp>.mp4", the peak image "t<Stamp>.jpg" and, when
// any of its frames had a positive excess, the log "c<Stamp>.csv". The frames of a run of
// pngIntegrationFactor * 1024 frames are summed into the integrated image "a<Stamp>.png", and
// every (105 / pngIntegrationFactor)-th of those is copied into the events folder.
//
// Recording runs while detection is enabled or archiveAlways is set; a clip once begun is always
// finished. The detector calls LogClipFrame and then RecordArchiveFrame for each processed frame,
// on the detection thread; nothing here takes a lock except the progress publication. Per frame
// nothing is allocated: buffers are made once, Stamps and paths once per clip or run.
//
// The settings and the detector must outlive the recorder.
class ArchiveRecorder final : public ArchiveSink {
 public:
  ArchiveRecorder(const Settings& settings, const Detector& detector);
  ~ArchiveRecorder() override;
  ArchiveRecorder(const ArchiveRecorder&) = delete;
  ArchiveRecorder& operator=(const ArchiveRecorder&) = delete;

  void LogClipFrame(int32_t excessSum) override;
  void RecordArchiveFrame() override;

  // Where recording failures go: a folder or movie that cannot be written is reported once, a
  // repeated one at most once a minute with a count, and the return to working order once. Set
  // before the detection thread starts.
  void SetReport(ReportFunction report) { report_ = std::move(report); }
  // Told (detection thread) when a clip movie cannot be made at all for want of an encoder or
  // picture: the station cannot record and must stop. Set before the detection thread starts.
  void SetFatalHandler(std::function<void(const std::string&)> handler) {
    fatal_ = std::move(handler);
  }

  // Closes the clip being recorded with the frames it has: the movie, the peak image and the log
  // (when a frame had a positive excess). For a clean shutdown, so that every archive file is a
  // readable movie; also marks the recorder inactive. Detection thread, or after it has stopped.
  void FinishClip();

  const ArchiveProgress& progress() const { return progress_; }
  int clipFrame() const { return clipFrame_; }
  uint32_t integrationFrame() const { return integrationFrame_; }

 private:
  struct ClipLogRow {
    SystemTime time;
    int32_t pixelCount = 0;
    int32_t excessSum = 0;
    double centroidX = 0;
    double centroidY = 0;
  };

  bool GateOpen() const;
  // Writes rows [0, rowCount) as the clip's log when one of them had a positive excess.
  void WriteClipLog(int rowCount);
  void StartIntegrationRun(const SystemTime& time);
  void EndIntegrationRun(uint32_t factor);
  bool StartClip(const SystemTime& time);
  void CloseClip();

  // A failed or fatal clip writer: reported, or handed to the fatal handler.
  void CheckEncoder(const char* doing);

  const Settings& settings_;
  const Detector& detector_;
  ReportFunction report_;
  std::function<void(const std::string&)> fatal_;
  ThrottledReport clipFailures_{[this](const std::string& text) {
    if (report_) {
      report_(text);
    }
  }};
  ThrottledReport logFailures_{[this](const std::string& text) {
    if (report_) {
      report_(text);
    }
  }};
  bool encoderFailureSeen_ = false;  // the current clip's writer failure has been handled

  int clipFrame_ = 0;
  uint32_t integrationFrame_ = 0;
  uint32_t eventsCopyCount_ = 0;
  std::unique_ptr<uint8_t[]> peak_;
  std::unique_ptr<uint32_t[]> sums_;
  std::optional<MovieWriter> encoder_;
  std::string clipFolder_;
  char clipStamp_[kStampLength + 1] = {};
  std::string peakPath_;
  std::string archiveImagePath_;
  std::string eventsImagePath_;
  std::array<ClipLogRow, kClipFrames> rows_{};

  // The gate is decided once per frame, in LogClipFrame, and RecordArchiveFrame follows it.
  bool frameLogged_ = false;
  bool frameGateOpen_ = false;

  ArchiveProgress progress_;
};

}  // namespace ombrix
