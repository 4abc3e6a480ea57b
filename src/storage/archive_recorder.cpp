#include "storage/archive_recorder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "base/atomic_file.h"
#include "base/folders.h"
#include "detect/time_history.h"
#include "media/stills.h"

namespace ombrix {

using std::chrono_literals::operator""ms;

uint32_t ClampedIntegrationFactor(uint32_t factor) {
  return std::clamp<uint32_t>(factor, 1, 10);
}

void AddFrameToSums(uint32_t* __restrict sums, const uint8_t* __restrict frame) {
  for (int i = 0; i < kFrameBytes; ++i) {
    sums[i] += frame[i];
  }
}

void FoldFrameMax(uint8_t* __restrict peak, const uint8_t* __restrict frame) {
  for (int i = 0; i < kFrameBytes; ++i) {
    peak[i] = std::max(peak[i], frame[i]);
  }
}

ArchiveProgress::Snapshot ArchiveProgress::Read() const {
  Snapshot snapshot;
  // Read the flag first: once it is seen false, every clip is closed and its time published.
  snapshot.active = active_.load();
  std::lock_guard lock(mutex_);
  snapshot.lastClosedClip = lastClosedClip_;
  snapshot.openClip = openClip_;
  return snapshot;
}

void ArchiveProgress::ClipStarted(std::optional<UtcTime> firstFrame) {
  std::lock_guard lock(mutex_);
  openClip_ = firstFrame;
}

void ArchiveProgress::ClipClosed(UtcTime firstFrame) {
  std::lock_guard lock(mutex_);
  lastClosedClip_ = firstFrame;
  openClip_.reset();
}

ArchiveRecorder::ArchiveRecorder(const Detector& detector, Notices& notices,
                                 ArchiveRecorderOptions options)
    : detector_(detector),
      notices_(notices),
      options_(std::move(options)),
      peak_(std::make_unique<uint8_t[]>(kFrameBytes)),
      sums_(std::make_unique<uint32_t[]>(kFrameBytes)) {
  for (Slot& slot : slots_) {
    slot.frame = std::make_unique<uint8_t[]>(kFrameBytes);
  }
  writer_ = std::jthread([this](std::stop_token stop) { WriterLoop(stop); });
}

ArchiveRecorder::~ArchiveRecorder() {
  FinishClip();
  if (writer_.joinable()) {
    writer_.request_stop();
    writer_.join();
  }
}

void ArchiveRecorder::LogClipFrame(int32_t excessSum) {
  // The gate is decided here, and RecordArchiveFrame follows it, so that a setting flipped
  // between the two calls cannot start a clip whose first log row was never stored.
  const Settings& settings = *detector_.passSettings();
  pending_.wanted = settings.archiveAlways || settings.enabled;
  pending_.logged = true;
  const FrameStatistics& statistics = detector_.statistics();
  pending_.row.pixelCount = statistics.pixelCount;
  pending_.row.excessSum = excessSum;
  pending_.row.centroidX = statistics.centroidX;
  pending_.row.centroidY = statistics.centroidY;
}

void ArchiveRecorder::RecordArchiveFrame() {
  const bool logged = pending_.logged;
  pending_.logged = false;
  const std::shared_ptr<const Settings>& settings = detector_.passSettings();
  const bool wanted = logged ? pending_.wanted : settings->archiveAlways || settings->enabled;
  const uint8_t* frame = detector_.currentFrame();
  uint64_t number = 0;
  {
    std::unique_lock lock(queueMutex_);
    if (!wanted && WriterIdleLocked()) {
      // Nothing is recorded and nothing is left to write: the archive holds all it will hold.
      progress_.SetActive(false);
      return;
    }
    if (frame == nullptr) {
      return;
    }
    if (produced_ - consumed_ == kArchiveQueueSlots) {
      if (!options_.waitWhenFull) {
        lock.unlock();
        framesDropped_ = framesDropped_ + 1;
        notices_.Failure(Severity::kWarning, kArchiveQueueTopic,
                         "Recording falls behind: frames are left out of the archive clips.");
        return;
      }
      freed_.wait(lock, [this] { return produced_ - consumed_ < kArchiveQueueSlots; });
    }
    number = produced_;
  }
  // Before the frame is handed over: an event ending on it must wait for its clips.
  progress_.SetActive(true);
  Slot& slot = slots_[number % kArchiveQueueSlots];
  std::memcpy(slot.frame.get(), frame, kFrameBytes);
  slot.row = pending_.row;
  slot.row.time = detector_.currentStamp();
  slot.logged = logged;
  slot.wanted = wanted;
  slot.factor = ClampedIntegrationFactor(settings->pngIntegrationFactor);
  slot.settings = settings;
  {
    std::lock_guard lock(queueMutex_);
    produced_ = number + 1;
  }
  queued_.notify_one();
}

void ArchiveRecorder::WriterLoop(std::stop_token stop) {
  while (true) {
    uint64_t number = 0;
    {
      std::unique_lock lock(queueMutex_);
      if (!queued_.wait(lock, stop, [this] { return produced_ != consumed_; })) {
        return;
      }
      number = consumed_;
    }
    if (options_.beforeWrite) {
      options_.beforeWrite();
    }
    Write(slots_[number % kArchiveQueueSlots]);
    {
      std::lock_guard lock(queueMutex_);
      consumed_ = number + 1;
      clipOpen_ = clipFrame_ != 0;
    }
    freed_.notify_all();
  }
}

void ArchiveRecorder::Drain() {
  std::unique_lock lock(queueMutex_);
  freed_.wait(lock, [this] { return consumed_ == produced_; });
}

void ArchiveRecorder::Write(const Slot& slot) {
  // A clip once begun is finished whatever the settings say now.
  if (!slot.wanted && clipFrame_ == 0) {
    return;
  }
  writing_ = slot.settings;
  const UtcTime time = slot.row.time;
  if (slot.logged) {
    rows_[clipFrame_] = slot.row;
    if (clipFrame_ == kClipFrames - 1) {
      WriteClipLog(kClipFrames);
    }
  }

  const uint32_t runFrames = slot.factor * kIntegrationFramesPerFactor;
  if (integrationFrame_ == 0) {
    StartIntegrationRun(time);
  }
  AddFrameToSums(sums_.get(), slot.frame.get());
  // ">=" rather than "==": a factor lowered in the middle of a run ends that run at once instead
  // of letting the count wrap past its end.
  if (integrationFrame_ + 1 >= runFrames) {
    EndIntegrationRun(slot.factor);
    integrationFrame_ = 0;
  } else {
    ++integrationFrame_;
  }

  // The integration count has moved on with the frame it summed; only the clip waits for a
  // minute folder, and the next frame tries again.
  if (clipFrame_ == 0 && !StartClip(time)) {
    return;
  }
  if (encoder_ && encoder_->ready()) {
    encoder_->WriteFrame(slot.frame.get(), false);
    if (encoder_->failed()) {
      CheckEncoder("writing a clip movie in");
    }
  }
  FoldFrameMax(peak_.get(), slot.frame.get());
  if (clipFrame_ == kClipFrames - 1) {
    CloseClip();
    clipFrame_ = 0;
  } else {
    ++clipFrame_;
  }
}

void ArchiveRecorder::FinishClip() {
  Drain();
  // The writer waits for the next slot: its state is this thread's until one is handed over.
  CloseOpenClip();
  {
    std::lock_guard lock(queueMutex_);
    clipOpen_ = false;
  }
  progress_.SetActive(false);
}

void ArchiveRecorder::CloseOpenClip() {
  if (clipFrame_ > 0) {
    WriteClipLog(clipFrame_);
    CloseClip();
    clipFrame_ = 0;
  }
}

void ArchiveRecorder::WriteClipLog(int rowCount) {
  const bool moved = std::any_of(rows_.begin(), rows_.begin() + rowCount,
                                 [](const ClipLogRow& row) { return row.excessSum > 0; });
  if (!moved) {
    return;
  }
  // Named like the clip; the file is whole or absent.
  AtomicFile log(clipFolder_ + "/c" + clipStamp_ + ".csv");
  bool written = log.opened();
  TimeHistoryRow line{};
  for (int i = 0; i < rowCount && written; ++i) {
    const ClipLogRow& row = rows_[i];
    line.time = row.time;
    line.pixelCount = row.pixelCount;
    line.excessSum = row.excessSum;
    line.centroidX = row.centroidX;
    line.centroidY = row.centroidY;
    written = log.Check(WriteTimeHistoryLine(log.file(), line));
  }
  if (!written || !log.Commit(Durability::kCached)) {
    notices_.Failure(Severity::kError, kClipLogTopic,
                     "Recording failed: cannot write the clip log " + log.path() + ": " +
                         std::strerror(log.error() != 0 ? log.error() : EIO) + ".");
    return;
  }
  notices_.Recovered(kClipLogTopic);
}

void ArchiveRecorder::WriteStill(const std::string& path, bool written) {
  if (written) {
    notices_.Recovered(kStillTopic);
  } else {
    notices_.Failure(
        Severity::kError, kStillTopic,
        "Recording failed: cannot write the images in " + path.substr(0, path.rfind('/')) + ".");
  }
}

void ArchiveRecorder::StartIntegrationRun(UtcTime time) {
  std::fill_n(sums_.get(), kFrameBytes, 0u);
  archiveImagePath_.clear();
  eventsImagePath_.clear();
  const std::string& archiveFolder = writing_->archiveFolder;
  std::string folder;
  // The name of an image already there (times that repeat an earlier recording) is not taken.
  char stamp[kStampLength + 1];
  for (UtcTime named = time; named < time + kNominalFrameSpacing; named += 1ms) {
    if (!FormatStamp(named, stamp) || !GetArchiveMinuteFolder(archiveFolder, folder, stamp, true)) {
      return;  // no image of this run is written; the clip reports the time or the folder
    }
    archiveImagePath_ = folder + "/a" + stamp + ".png";
    std::error_code error;
    if (!std::filesystem::exists(archiveImagePath_, error)) {
      if (GetEventsFolder(archiveFolder, folder)) {
        eventsImagePath_ = folder + "/a" + stamp + ".png";
      }
      return;
    }
  }
  archiveImagePath_.clear();
}

void ArchiveRecorder::EndIntegrationRun(uint32_t factor) {
  if (!archiveImagePath_.empty()) {
    NormalizeSums(sums_.get());
    WriteStill(archiveImagePath_, WritePngStill(archiveImagePath_, sums_.get()));
  }
  const uint32_t copyInterval = kEventsCopyBase / factor;
  eventsCopyCount_ = (eventsCopyCount_ + 1) % copyInterval;
  if (eventsCopyCount_ == 0 && !eventsImagePath_.empty()) {
    NormalizeSums(sums_.get());  // a second normalisation leaves the image as it is
    WriteStill(eventsImagePath_, WritePngStill(eventsImagePath_, sums_.get()));
  }
}

bool ArchiveRecorder::StartClip(UtcTime time) {
  std::fill_n(peak_.get(), kFrameBytes, uint8_t{0});
  if (!FitsStamp(time)) {
    notices_.Failure(
        Severity::kError, kRecordingTopic,
        "Recording failed: a frame's capture time lies outside the years 1900 to 9999.");
    return false;
  }
  encoderFailureSeen_ = false;
  // A clip name already taken (frame times that repeat an earlier recording: a replay run again,
  // a clock set back to the same millisecond) is never overwritten: the clip takes the next free
  // millisecond, within one frame spacing. Distinct names keep both recordings whole.
  for (UtcTime named = time; named < time + kNominalFrameSpacing && FitsStamp(named);
       named += 1ms) {
    clipTime_ = named;
    progress_.ClipStarted(named);
    FormatStamp(named, clipStamp_);
    FolderFailure failure;
    if (!GetArchiveMinuteFolder(writing_->archiveFolder, clipFolder_, clipStamp_, true, &failure)) {
      progress_.ClipStarted(std::nullopt);  // no clip after all
      notices_.Failure(Severity::kError, kRecordingTopic,
                       "Recording failed: " + failure.Describe() + ".");
      return false;
    }
    encoder_.emplace(clipFolder_ + "/s" + clipStamp_ + ".mp4");
    if (encoder_->fileError() != EEXIST) {
      if (encoder_->failed()) {
        CheckEncoder("cannot write the clip movies in");
      }
      peakPath_ = clipFolder_ + "/t" + clipStamp_ + ".jpg";
      return true;
    }
  }
  encoder_.reset();
  progress_.ClipStarted(std::nullopt);
  notices_.Failure(Severity::kError, kRecordingTopic,
                   "Recording failed: the archive already holds clips at " + MakeStamp(time) +
                       " and the 32 ms after it (the frame times repeat an earlier recording).");
  return false;
}

void ArchiveRecorder::CheckEncoder(const char* doing) {
  if (encoderFailureSeen_) {
    return;
  }
  encoderFailureSeen_ = true;
  if (encoder_->fatal()) {
    notices_.Failure(Severity::kFatal, kRecordingTopic,
                     "The clip movie encoder failed: " + encoder_->error() + ".");
    return;
  }
  std::string text = std::string("Recording failed: ") + doing + " " + clipFolder_;
  if (!encoder_->reason().empty()) {
    text += ": " + encoder_->reason();
  }
  notices_.Failure(Severity::kError, kRecordingTopic, text + ".");
}

void ArchiveRecorder::CloseClip() {
  if (encoder_) {
    // A movie whose trailer or close failed is as lost as one never written.
    if (encoder_->Close()) {
      notices_.Recovered(kRecordingTopic, "Recording works again.");
    } else {
      CheckEncoder("cannot finish the clip movies in");
    }
    encoder_.reset();
  }
  if (!peakPath_.empty()) {
    WriteStill(peakPath_, WriteJpegStill(peakPath_, peak_.get()));
  }
  progress_.ClipClosed(clipTime_);
}

}  // namespace ombrix
