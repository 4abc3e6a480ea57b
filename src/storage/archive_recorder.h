#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "base/frame.h"
#include "base/notice.h"
#include "base/utc_time.h"
#include "config/settings.h"
#include "detect/detector.h"
#include "media/movie_writer.h"

namespace ombrix {

inline constexpr uint32_t kIntegrationFramesPerFactor = 1024;
// The events folder gets a copy of every (kEventsCopyBase / pngIntegrationFactor)-th integrated
// image.
inline constexpr uint32_t kEventsCopyBase = 105;

// The recorder's topics: clip movies (and their folders), clip logs, peak and integrated images,
// and frames left out for a full queue. Each is said once, then at most once a minute with a
// count, and the return of clip movies to working order once ("Recording works again.").
inline constexpr std::string_view kRecordingTopic = "recording";
inline constexpr std::string_view kClipLogTopic = "clip-log";
inline constexpr std::string_view kStillTopic = "still";
inline constexpr std::string_view kArchiveQueueTopic = "archive-queue";

// pngIntegrationFactor as the recorder uses it: 1..10.
uint32_t ClampedIntegrationFactor(uint32_t factor);

// The two per-pixel passes of every archived frame, kept apart so that they can be measured.
// Plain loops over 307200 pixels that the compiler vectorises.
void AddFrameToSums(uint32_t* __restrict sums, const uint8_t* __restrict frame);
void FoldFrameMax(uint8_t* __restrict peak, const uint8_t* __restrict frame);

// How far the archive has got, for the archive thread: an event is cut only once the clips that
// cover its window are closed (a movie cannot be read until it is closed). The recorder's writer
// publishes the clips; the detection thread sets the flag, true before it hands over a frame to
// record and false only once the writer has nothing left to write. The archive thread and the
// disk cleaner read.
class ArchiveProgress {
 public:
  struct Snapshot {
    std::optional<UtcTime> lastClosedClip;  // first frame of the clip closed last; none before any
    std::optional<UtcTime> openClip;        // first frame of the clip being recorded; none if none
    bool active = false;                    // recording, or a clip still open
  };
  Snapshot Read() const;

  // Recorder side. ClipStarted is published before the clip's minute folder is made, so that the
  // disk cleaner, which reads it, never takes that folder for an old one (a clock stepped back).
  void ClipStarted(std::optional<UtcTime> firstFrame);
  void ClipClosed(UtcTime firstFrame);
  void SetActive(bool active) { active_.store(active); }

 private:
  mutable std::mutex mutex_;
  std::optional<UtcTime> lastClosedClip_;
  std::optional<UtcTime> openClip_;
  std::atomic<bool> active_{false};
};

// How the recorder hands frames to its writer.
struct ArchiveRecorderOptions {
  // A full queue makes the detection thread wait for a free slot instead of leaving the frame
  // out: for a replay, which can wait and must lose nothing. A camera cannot wait.
  bool waitWhenFull = false;
  // Called on the writer thread before each frame is written (tests stall the writer with it).
  std::function<void()> beforeWrite;
};

// Frames the detection thread may hand over before the writer has taken them: half a second
// of a camera's frames, to ride out a slow disk or a clip's start (about 5 MB).
inline constexpr int kArchiveQueueSlots = 16;

// The continuous archive. Every 30 consecutive recorded frames become one clip in the minute
// folder of its first frame: the movie "s<Stamp>.mp4", the peak image "t<Stamp>.jpg" and, when
// any of its frames had a positive excess, the log "c<Stamp>.csv". The frames of a run of
// pngIntegrationFactor * 1024 frames are summed into the integrated image "a<Stamp>.png", and
// every (105 / pngIntegrationFactor)-th of those is copied into the events folder.
//
// Recording runs while detection is enabled or archiveAlways is set; a clip once begun is always
// finished. The detector calls LogClipFrame and then RecordArchiveFrame for each processed frame,
// on the detection thread, which only copies the frame, its capture time, its log row and the
// settings of the detection pass it is recorded under into a slot of a bounded queue. The
// recorder's writer thread takes the slots in order and does all the rest (clips, logs, images,
// progress), so the files are the same as when the detection thread wrote them itself. When the
// queue is full the frame is left out of the archive, counted and said, or, with waitWhenFull, the
// detection thread waits. Per frame nothing is allocated: slots and buffers are made once, Stamps
// and paths once per clip or run.
//
// A clip movie that cannot be made, written or finished is a recording failure; one that cannot be
// made at all for want of an encoder or picture is fatal (the station cannot record).
//
// The detector and the notices must outlive the recorder, which stops and joins its writer.
class ArchiveRecorder final : public ArchiveSink {
 public:
  ArchiveRecorder(const Detector& detector, Notices& notices, ArchiveRecorderOptions options = {});
  ~ArchiveRecorder() override;
  ArchiveRecorder(const ArchiveRecorder&) = delete;
  ArchiveRecorder& operator=(const ArchiveRecorder&) = delete;

  void LogClipFrame(int32_t excessSum) override;
  void RecordArchiveFrame() override;

  // Waits until the writer has written every frame handed over so far. Detection thread, or
  // after it has stopped.
  void Drain();
  // Writes the frames still queued, then closes the clip being recorded with the frames it has:
  // the movie, the peak image and the log (when a frame had a positive excess). For a clean
  // shutdown, so that every archive file is a readable movie; also marks the recorder inactive.
  // Detection thread, or after it has stopped.
  void FinishClip();

  const ArchiveProgress& progress() const { return progress_; }
  // Frames left out of the archive because the queue was full (any thread).
  uint64_t FramesDropped() const { return framesDropped_; }
  // The writer's position; valid on the detection thread after Drain().
  int clipFrame() const { return clipFrame_; }
  uint32_t integrationFrame() const { return integrationFrame_; }

 private:
  struct ClipLogRow {
    UtcTime time{};
    int32_t pixelCount = 0;
    int32_t excessSum = 0;
    double centroidX = 0;
    double centroidY = 0;
  };
  // One frame handed over, with everything the writer needs to record it as the detection thread
  // saw it.
  struct Slot {
    std::unique_ptr<uint8_t[]> frame;
    ClipLogRow row;       // row.time is the frame's capture time
    bool logged = false;  // LogClipFrame came first: row holds its log row
    bool wanted = false;  // archiveAlways or enabled when the frame was processed
    uint32_t factor = 1;  // pngIntegrationFactor then, clamped
    std::shared_ptr<const Settings> settings;  // of the pass that processed the frame
  };

  // Writer side: records one frame, as one LogClipFrame and RecordArchiveFrame pair.
  void Write(const Slot& slot);
  void WriterLoop(std::stop_token stop);
  // Detection side: whether nothing is queued and no clip is open (under queueMutex_).
  bool WriterIdleLocked() const { return consumed_ == produced_ && !clipOpen_; }

  // Writes rows [0, rowCount) as the clip's log when one of them had a positive excess.
  void WriteClipLog(int rowCount);
  // Says (throttled) a peak or integrated image that could not be written.
  void WriteStill(const std::string& path, bool written);
  void StartIntegrationRun(UtcTime time);
  void EndIntegrationRun(uint32_t factor);
  bool StartClip(UtcTime time);
  void CloseClip();
  void CloseOpenClip();

  // A failed or fatal clip writer, said once per clip.
  void CheckEncoder(const char* doing);

  const Detector& detector_;
  Notices& notices_;
  ArchiveRecorderOptions options_;

  // Detection side: the frame's log row, kept from LogClipFrame to RecordArchiveFrame.
  Slot pending_;
  Relaxed<uint64_t> framesDropped_{0};

  // The queue: slot n % kArchiveQueueSlots holds frame n; the detection thread fills slots
  // [produced_, consumed_ + kArchiveQueueSlots) and the writer empties [consumed_, produced_).
  std::array<Slot, kArchiveQueueSlots> slots_;
  std::mutex queueMutex_;
  std::condition_variable_any queued_;  // a slot was filled, or a stop
  std::condition_variable_any freed_;   // a slot was written
  uint64_t produced_ = 0;
  uint64_t consumed_ = 0;
  bool clipOpen_ = false;  // the writer's clipFrame_ != 0, as of consumed_

  // Writer side (the writer thread, or the detection thread once the queue is drained).
  std::shared_ptr<const Settings> writing_;  // the settings of the frame written last
  bool encoderFailureSeen_ = false;          // the current clip's writer failure has been handled
  int clipFrame_ = 0;
  uint32_t integrationFrame_ = 0;
  uint32_t eventsCopyCount_ = 0;
  std::unique_ptr<uint8_t[]> peak_;
  std::unique_ptr<uint32_t[]> sums_;
  std::optional<MovieWriter> encoder_;
  std::string clipFolder_;
  UtcTime clipTime_{};
  char clipStamp_[kStampLength + 1] = {};
  std::string peakPath_;
  std::string archiveImagePath_;
  std::string eventsImagePath_;
  std::array<ClipLogRow, kClipFrames> rows_{};

  ArchiveProgress progress_;
  std::jthread writer_;  // last: started once everything it uses is made
};

}  // namespace ombrix
