#include "capture/file_source.h"

#include <algorithm>
#include <cstdio>

#include "capture/frame_ring.h"
#include "media/video_file_decoder.h"

namespace ombrix {

std::optional<UtcTime> ParseCreationTime(const std::string& text) {
  CalendarFields f;
  char separator = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &f.year, &f.month, &f.day, &separator,
                  &f.hour, &f.minute, &f.second) != 7 ||
      (separator != 'T' && separator != ' ')) {
    return std::nullopt;
  }
  return MakeUtcTime(f);
}

FileSource::FileSource(FileSourceOptions options, const SharedSettings& settings,
                       const Clock& clock, Pacer& pacer, Notices& notices,
                       const FrameProgress* framesRead)
    : options_(std::move(options)),
      settings_(settings),
      clock_(clock),
      pacer_(pacer),
      notices_(notices),
      framesRead_(framesRead),
      sample_(std::make_unique<uint8_t[]>(kSampleSize640)) {}

FileSource::~FileSource() {
  Stop();
}

bool FileSource::Start(FrameRing& ring) {
  Stop();
  finished_.store(false, std::memory_order_release);
  framesDelivered_.store(0, std::memory_order_relaxed);
  decoder_ = std::make_unique<VideoFileDecoder>(options_.path, VideoFileDecoder::Layout::kYuyv);
  if (decoder_->failed()) {
    notices_.Say(Severity::kError, kVideoFileTopic, decoder_->error());
    decoder_.reset();
    return false;
  }
  estimatedFrameCount_ = decoder_->estimatedFrameCount();
  if (options_.start) {
    startTime_ = *options_.start;
  } else if (const auto created = ParseCreationTime(decoder_->creationTime())) {
    startTime_ = *created;
  } else {
    startTime_ = std::chrono::floor<std::chrono::seconds>(clock_.UtcNow());
  }
  ring.sampleSize.store(kSampleSize640, std::memory_order_relaxed);
  thread_ = std::jthread([this, &ring](std::stop_token stop) { Deliver(stop, &ring); });
  return true;
}

void FileSource::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
  decoder_.reset();
}

bool FileSource::WaitForDetector(std::stop_token stop, const FrameRing& ring) {
  // The gap as the detector reduces it to a distance in the ring.
  const uint64_t limit = kRingSlots - RingDistance(settings_.Get()->triggerGap);
  // Only this thread stores frames, so the count read here holds until it stores the next one.
  const uint64_t stored = ring.FramesStored();
  while (framesRead_ != nullptr && !stop.stop_requested()) {
    // Acquire: the detector is done with every frame it counts before the slot is refilled.
    const uint64_t read = framesRead_->Get();
    // Storing frame S keeps frames S - 63 .. S; the detector at frame P needs P - gap.
    if (stored - std::min(stored, read) < limit) {
      return true;
    }
    framesRead_->WaitPast(read, stop);  // woken by the detector's next count or by a stop
  }
  return !stop.stop_requested();
}

void FileSource::Deliver(std::stop_token stop, FrameRing* ring) {
  const Pacer::TimePoint begin = pacer_.Now();
  std::optional<int64_t> firstPresentation_ms;
  int64_t presentation_ms = 0;
  int64_t skipped = 0;
  while (!stop.stop_requested()) {
    const bool read = decoder_->ReadFrame(sample_.get(), presentation_ms);
    if (decoder_->packetsSkipped() != skipped) {
      skipped = decoder_->packetsSkipped();
      notices_.Failure(Severity::kWarning, kVideoFileTopic,
                       "Video file " + options_.path + ": a damaged picture was skipped.");
    }
    if (!read) {
      // A file that cannot be read on ends the replay as its end does.
      if (!decoder_->error().empty()) {
        notices_.Say(Severity::kWarning, kVideoFileTopic,
                     "Video file " + options_.path + " ended early: " + decoder_->error());
      }
      break;
    }
    if (options_.fast) {
      if (!WaitForDetector(stop, *ring)) {
        return;
      }
    } else {
      if (!firstPresentation_ms) {
        firstPresentation_ms = presentation_ms;
      }
      const auto due = begin + std::chrono::milliseconds(presentation_ms - *firstPresentation_ms);
      if (!pacer_.SleepUntil(due, stop)) {
        return;
      }
    }
    ring->StoreFrame(sample_.get(), startTime_ + std::chrono::milliseconds{presentation_ms});
    framesDelivered_.fetch_add(1, std::memory_order_relaxed);
  }
  if (!stop.stop_requested()) {
    finished_.store(true, std::memory_order_release);
  }
}

}  // namespace ombrix
