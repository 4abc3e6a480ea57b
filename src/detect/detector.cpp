#include "detect/detector.h"

#include <cstring>

#include "detect/frame_excess.h"

namespace ombrix {
Detector::Detector(SharedSettings& settings, FrameRing& ring, ThresholdMap& thresholds,
                   EventList& eventList, const Clock& clock, Notices& notices)
    : settings_(settings),
      pass_(settings.Get()),
      ring_(ring),
      thresholds_(thresholds),
      eventList_(eventList),
      clock_(clock),
      notices_(notices),
      current_(std::make_unique<uint8_t[]>(kFrameBytes)),
      reference_(std::make_unique<uint8_t[]>(kFrameBytes)) {}

Detector::TimeOfDayNow Detector::Now(const Settings& settings) const {
  if (settings.enableDisableTimeIsLocal) {
    const CalendarFields local = clock_.LocalNow();
    return {local.hour, local.minute, local.second};
  }
  const CalendarFields utc = BreakUtcTime(clock_.UtcNow());
  return {utc.hour, utc.minute, utc.second};
}

void Detector::ApplyEnableWindow() {
  const std::shared_ptr<const Settings> settings = settings_.Get();
  const int e = settings->enableTime.SecondsSinceMidnight();
  const int d = settings->disableTime.SecondsSinceMidnight();
  if (e == d) {
    return;
  }
  const TimeOfDayNow now = Now(*settings);
  const int n = now.hour * 3600 + now.minute * 60 + now.second;
  const bool enabled = e < d ? (e <= n && n < d) : (n < d || n >= e);
  settings_.Update([enabled](Settings& s) { s.enabled = enabled; });
}

bool Detector::CheckSchedule(const Settings& settings) {
  const TimeOfDay enable = settings.enableTime;
  const TimeOfDay disable = settings.disableTime;
  if (enable == disable) {
    return false;
  }
  // Only hour and minute count, so the switch is re-applied on every pass of that minute; when
  // both fall in the same minute, enabling wins.
  const TimeOfDayNow now = Now(settings);
  bool enabled = settings.enabled;
  if (now.hour == disable.hour && now.minute == disable.minute) {
    enabled = false;
  }
  if (now.hour == enable.hour && now.minute == enable.minute) {
    enabled = true;
  }
  if (enabled == settings.enabled) {
    return false;
  }
  settings_.Update([enabled](Settings& s) { s.enabled = enabled; });
  return true;
}

void Detector::BuildThresholdMap() {
  const std::shared_ptr<const Settings> settings = settings_.Get();
  thresholds_.Build(settings->threshold, settings->maskFile);
}

bool Detector::CopyThresholdTable(uint8_t* out) const {
  if (settings_.Get()->adaptiveThreshold) {
    std::lock_guard lock(shownMutex_);
    if (tableShown_) {
      std::memcpy(out, shown_.get(), kFrameBytes);
      return true;
    }
  }
  const auto table = thresholds_.Current();
  if (!table) {
    return false;
  }
  std::memcpy(out, table->data(), kFrameBytes);
  return true;
}

void Detector::ShowAdaptiveTable(bool shown) {
  if (shown) {
    // Never waits for a reader: a copy in progress puts this one off to the next frame.
    std::unique_lock lock(shownMutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
      return;
    }
    std::memcpy(shown_.get(), adaptive_->table(), kFrameBytes);
    tableShown_ = true;
    framesToShow_ = kTableShownEvery;
  } else if (adaptive_) {
    std::lock_guard lock(shownMutex_);
    tableShown_ = false;
    framesToShow_ = 0;
  }
}

FrameExcess Detector::MeasureAdaptive(uint64_t number, uint32_t gap, const uint8_t* ref,
                                      const uint8_t* plain) {
  if (!adaptive_) {
    adaptive_ = std::make_unique<AdaptiveThreshold>();
    std::lock_guard lock(shownMutex_);
    shown_ = std::make_unique<uint8_t[]>(kFrameBytes);
  }
  const auto expected = static_cast<int64_t>(number - adaptiveNumber_) * kFramePeriod;
  const bool broken = adaptiveOn_ && (currentStamp_ < adaptiveStamp_ ||
                                      currentStamp_ - adaptiveStamp_ > expected + kStampBreak);
  adaptiveNumber_ = number;
  adaptiveStamp_ = currentStamp_;
  if (broken) {
    // The next gap frames are compared with frames from before the break: not learnt from.
    learnFrom_ = number + gap;
  }
  if (!adaptiveOn_ || gap != adaptiveGap_ || broken) {
    adaptive_->Reset();
    ShowAdaptiveTable(false);
    adaptiveOn_ = true;
    adaptiveGap_ = gap;
  }
  if (number < learnFrom_) {
    return MeasureFrameExcess(current_.get(), ref, plain);
  }
  const FrameExcess excess = adaptive_->Process(current_.get(), ref, plain);
  if (adaptive_->armed() && --framesToShow_ <= 0) {
    ShowAdaptiveTable(true);
  }
  return excess;
}

void Detector::DetectionStep() {
  pass_ = settings_.Get();
  if (CheckSchedule(*pass_)) {
    pass_ = settings_.Get();
  }
  while (true) {
    // The running count, not writeIndex, tells how far the writer is ahead: writeIndex alone
    // cannot tell an empty ring from one lapped exactly once.
    const uint64_t stored = ring_.FramesStored();
    if (stored <= position_) {
      break;
    }
    // A frame can be compared only while both it and its reference are still in the ring: the
    // reference slot is overwritten once the writer is more than 64 - gap frames ahead of the
    // frame (its own slot once it is more than 64 ahead). Frames further behind are counted as
    // lost and the read position moves up to the oldest frame that still qualifies.
    const uint32_t gap = RingDistance(pass_->triggerGap);
    const uint64_t maxLag = static_cast<uint64_t>(kRingSlots - gap);
    if (stored - position_ > maxLag) {
      const uint64_t resume = stored - maxLag;
      framesLost_ = framesLost_ + (resume - position_);
      position_ = resume;
    }
    state_.readIndex = static_cast<uint32_t>(position_ % kRingSlots);
    ProcessFrame(position_, gap);
    ++position_;
    state_.readIndex = static_cast<uint32_t>(position_ % kRingSlots);
    framesRead_.Set(position_);
  }
}

void Detector::EndActiveEvent() {
  if (state_.eventActive) {
    EndEvent();  // currentStamp_ is still the capture time of the last processed frame
  }
  EndRefusalRun();
}

void Detector::EndRefusalRun() {
  if (refusing_ && refusedInRun_ > 1) {
    notices_.Say(Severity::kWarning, kBudgetTopic,
                 std::to_string(refusedInRun_ - 1) + " more event(s) after the one at " +
                     MakeStamp(firstRefusal_) + ", the last at " + MakeStamp(currentRefusal_) +
                     ", were not recorded: the hourly budget was spent.");
  }
  refusing_ = false;
  refusedInRun_ = 0;
}

void Detector::ProcessFrame(uint64_t number, uint32_t gap) {
  if (number < gap) {
    return;  // the reference was never stored: nothing is computed and no counter moves
  }
  // Both frames are copied out of the ring and then checked: the writer may be refilling either
  // slot. A copy caught being overwritten is a lost frame, as one overwritten before it was read.
  // The reference, the older frame and so the nearer to being overwritten, goes first.
  UtcTime stamp;
  if ((gap != 0 && !ring_.CopyFrame(number - gap, reference_.get(), nullptr)) ||
      !ring_.CopyFrame(number, current_.get(), &stamp)) {
    framesLost_ = framesLost_ + 1;
    return;
  }
  const uint8_t* ref = gap != 0 ? reference_.get() : current_.get();
  auto table = thresholds_.Current();
  if (!table) {
    BuildThresholdMap();
    table = thresholds_.Current();
  }
  currentSlot_ = static_cast<uint32_t>(number % kRingSlots);
  currentStamp_ = stamp;

  FrameExcess excess;
  if (pass_->adaptiveThreshold) {
    excess = MeasureAdaptive(number, gap, ref, table->data());
  } else {
    if (adaptiveOn_) {
      adaptiveOn_ = false;
      ShowAdaptiveTable(false);
    }
    excess = MeasureFrameExcess(current_.get(), ref, table->data());
  }
  statistics_.pixelCount = excess.pixelCount;
  statistics_.excessSum = excess.excessSum;
  if (excess.excessSum != 0) {
    statistics_.centroidX = static_cast<double>(excess.sx) / excess.excessSum;
    statistics_.centroidY = static_cast<double>(excess.sy) / excess.excessSum;
  }

  const Settings& settings = *pass_;
  if (state_.eventActive) {
    if (excess.pixelCount >= settings.triggerSumEnd) {
      state_.runLength = 0;
    } else {
      ++state_.runLength;
    }
    if (state_.runLength >= settings.triggerCountEnd && state_.eventFrames > 50) {
      EndEvent();
    } else {
      ++state_.eventFrames;
    }
    if (state_.eventFrames > 1000) {
      EndEvent();
    }
  } else {
    if (excess.pixelCount >= settings.triggerSumBegin) {
      ++state_.runLength;
    } else {
      state_.runLength = 0;
    }
    if (settings.enabled && state_.runLength >= settings.triggerCountBegin) {
      BeginEvent();
    }
  }

  lastPixelCount_ = excess.pixelCount;
  framesProcessed_ = framesProcessed_ + 1;
  sink_->LogClipFrame(excess.excessSum);
  sink_->RecordArchiveFrame();
  if (state_.rateDebt > 0) {
    --state_.rateDebt;
  }
  if (refusing_ && position_ - lastRefusal_ > kRefusalRunGap) {
    EndRefusalRun();
  }
}

void Detector::BeginEvent() {
  state_.runLength = 0;
  state_.eventFrames = 0;
  // The budget divides an hour among hourlyRate - 1 events; a rate of 1 or less (which the
  // dialog and the file let through) would divide by zero or go negative, so it counts as 2.
  int32_t hourlyRate = pass_->hourlyRate;
  if (hourlyRate <= 1) {
    hourlyRate = 2;
  }
  if (state_.rateDebt > kFramesPerHour) {
    // Budget spent: a new busy run is needed for the next attempt. The operator hears of the
    // first refusal of a run at once, and of the ones that followed it within a minute of each
    // other when the run ends.
    if (!refusing_) {
      // The debt was run up at the rates in force when the earlier events were recorded, which
      // may differ from today's: what is true is when the next one fits.
      const int64_t minutes =
          (state_.rateDebt - kFramesPerHour + kFramesPerHour / 60 - 1) / (kFramesPerHour / 60);
      notices_.Say(Severity::kWarning, kBudgetTopic,
                   "Event at " + MakeStamp(currentStamp_) +
                       " not recorded: the events recorded before it have spent the hourly "
                       "budget; the next can be recorded in about " +
                       std::to_string(minutes) + " minute(s) (the budget is now " +
                       std::to_string(pass_->hourlyRate) + " events per hour).");
      firstRefusal_ = currentStamp_;
    }
    refusing_ = true;
    ++refusedInRun_;
    currentRefusal_ = currentStamp_;
    lastRefusal_ = position_;
    return;
  }
  EndRefusalRun();
  state_.eventStart = currentStamp_;
  state_.rateDebt += kFramesPerHour / (hourlyRate - 1);
  state_.eventActive = true;
}

void Detector::EndEvent() {
  state_.eventActive = false;
  state_.runLength = 0;
  state_.eventFrames = 0;
  if (RecordEvent(pass_->archiveFolder, eventList_, state_.eventStart, currentStamp_, notices_) &&
      eventObserver_) {
    eventObserver_(state_.eventStart, currentStamp_);
  }
}

}  // namespace ombrix
