#include "storage/archive_recorder.h"

#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/folders.h"
#include "detect/time_history.h"
#include "media/stills.h"

namespace ombrix {
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
  char stamp[kStampLength + 1];
  std::string folder;
  if (!FormatStamp(rows_[0].time, stamp) ||
      !GetArchiveMinuteFolder(writing_->archiveFolder, folder, stamp, true)) {
    return;  // the clip reports the time or the folder
  }
  const std::string path = folder + "/c" + stamp + ".csv";
  // Normally a new file; a clip started again within the same second (a restart, a clock step)
  // appends to the log already there. Either way the log is whole: rows that cannot all be
  // written are taken back.
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (file == nullptr) {
    notices_.Failure(Severity::kError, kClipLogTopic,
                     "Recording failed: cannot write the clip log in " + folder + ": " +
                         std::strerror(errno) + ".");
    return;
  }
  const long before = std::ftell(file);
  bool written = before >= 0;
  TimeHistoryRow line{};
  for (int i = 0; i < rowCount && written; ++i) {
    const ClipLogRow& row = rows_[i];
    line.time = row.time;
    line.pixelCount = row.pixelCount;
    line.excessSum = row.excessSum;
    line.centroidX = row.centroidX;
    line.centroidY = row.centroidY;
    written = WriteTimeHistoryLine(file, line);
  }
  written = std::fflush(file) == 0 && written;
  const int error = written ? 0 : errno;
  if (!written) {
    if (before > 0 && ftruncate(fileno(file), before) == 0) {
      // the rows of the earlier clip stay
    } else {
      std::remove(path.c_str());
    }
  }
  if (std::fclose(file) != 0 && written) {
    written = false;
    std::remove(path.c_str());
  }
  if (!written) {
    notices_.Failure(Severity::kError, kClipLogTopic,
                     "Recording failed: cannot write the clip log " + path + ": " +
                         std::strerror(error != 0 ? error : EIO) + ".");
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
  char stamp[kStampLength + 1];
  if (!FormatStamp(time, stamp)) {
    return;  // no image of this run is written; the clip reports the time
  }
  const std::string& archiveFolder = writing_->archiveFolder;
  std::string folder;
  if (GetArchiveMinuteFolder(archiveFolder, folder, stamp, true)) {
    archiveImagePath_ = folder + "/a" + stamp + ".png";
  }
  if (GetEventsFolder(archiveFolder, folder)) {
    eventsImagePath_ = folder + "/a" + stamp + ".png";
  }
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
  if (!FormatStamp(time, clipStamp_)) {
    notices_.Failure(
        Severity::kError, kRecordingTopic,
        "Recording failed: a frame's capture time lies outside the years 1900 to 9999.");
    return false;
  }
  clipTime_ = time;
  progress_.ClipStarted(time);
  FolderFailure failure;
  if (!GetArchiveMinuteFolder(writing_->archiveFolder, clipFolder_, clipStamp_, true, &failure)) {
    progress_.ClipStarted(std::nullopt);  // no clip after all
    notices_.Failure(Severity::kError, kRecordingTopic,
                     "Recording failed: " + failure.Describe() + ".");
    return false;
  }
  encoderFailureSeen_ = false;
  encoder_.emplace(clipFolder_ + "/s" + clipStamp_ + ".mp4");
  if (encoder_->failed()) {
    CheckEncoder("cannot write the clip movies in");
  }
  peakPath_ = clipFolder_ + "/t" + clipStamp_ + ".jpg";
  return true;
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
