#include "review/reviewer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/folders.h"
#include "review/recalculate.h"
#include "storage/calibration_settings.h"

namespace ombrix {
namespace {

void RunArchiveJob(bool replay, ReviewContext& context, UtcTime first, UtcTime last) {
  if (replay) {
    ReplayArchive(context, first, last);
  } else {
    CompositeArchive(context, first, last);
  }
}

bool Exists(const std::string& path) {
  std::error_code error;
  return std::filesystem::exists(path, error);
}

}  // namespace

bool RemoveEventPath(const std::string& path, std::string& reason) {
  if (path.empty()) {
    reason = "no event file is selected";
    return false;
  }
  if (std::remove(path.c_str()) == 0 || errno == ENOENT) {
    return true;
  }
  reason = std::strerror(errno);
  return false;
}

bool RemoveEventCompanions(const std::string& eventsFolder, const std::string& key,
                           WriteFailure& failure) {
  if (key.empty()) {
    return true;
  }
  for (const std::string& name : {"/c" + key + ".csv", "/j" + key + ".jpg", "/m" + key + ".mp4"}) {
    const std::string path = eventsFolder + name;
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
      continue;
    }
    if (std::remove(path.c_str()) != 0 && errno != ENOENT) {
      failure = {path, std::strerror(errno)};
      return false;
    }
  }
  return true;
}

Reviewer::Reviewer(const SharedSettings& settings, ReviewValues& review, ReviewWindow& window,
                   EventList* eventList)
    : settings_(settings), review_(review), window_(window), eventList_(eventList) {}

Reviewer::~Reviewer() {
  StopWorkers();
}

bool Reviewer::HasSelection() const {
  return !currentEvent_.empty() || (intervalStart_ && intervalEnd_);
}

void Reviewer::ClearInterval() {
  intervalStart_.reset();
  intervalEnd_.reset();
}

void Reviewer::First() {
  ClearInterval();
  const auto listing = ListEvents(settings_.Get()->archiveFolder);
  if (!listing.empty()) {
    currentEvent_ = listing.front();
  }
  if (currentEvent_.empty()) {
    window_.ShowInfo(kNoEvents);
  } else {
    StartReview();
  }
}

void Reviewer::Last() {
  ClearInterval();
  const auto listing = ListEvents(settings_.Get()->archiveFolder);
  if (listing.empty()) {
    window_.ShowInfo(kNoEvents);
    return;
  }
  currentEvent_ = listing.back();
  StartReview();
}

void Reviewer::Next() {
  ClearInterval();
  const std::string next = NextEventPath(ListEvents(settings_.Get()->archiveFolder), currentEvent_);
  if (next.empty()) {
    window_.ShowInfo(kNoMoreEvents);
    return;
  }
  currentEvent_ = next;
  StartReview();
}

void Reviewer::Previous() {
  ClearInterval();
  const std::string previous =
      PreviousEventPath(ListEvents(settings_.Get()->archiveFolder), currentEvent_);
  if (previous.empty()) {
    window_.ShowInfo(kNoMoreEvents);
    return;
  }
  currentEvent_ = previous;
  StartReview();
}

void Reviewer::OpenEvent(const std::string& path) {
  if (path.empty()) {
    return;
  }
  ClearInterval();
  currentEvent_ = path;
  StartReview();
}

void Reviewer::Delete() {
  if (!HasSelection()) {
    window_.ShowInfo(kDeleteNoEvent);
    return;
  }
  const std::string archiveFolder = settings_.Get()->archiveFolder;
  const std::string next = NextEventPath(ListEvents(archiveFolder), currentEvent_);
  // A reader of this event's files must have let go of them before they are removed.
  StopWorkers();
  std::string reason;
  if (!RemoveEventPath(currentEvent_, reason)) {
    window_.FileFailed("Delete", currentEvent_, reason);
    return;
  }
  const std::string key = EventKey(currentEvent_);
  if (!next.empty()) {
    ClearInterval();
    currentEvent_ = next;
    StartReview();
  } else {
    review_.NewReaderGeneration();
    ClearInterval();
    const auto listing = ListEvents(archiveFolder);
    if (!listing.empty()) {
      currentEvent_ = listing.back();
      window_.ShowInfo(kNoMoreEvents);
    } else {
      currentEvent_.clear();
      window_.ShowInfo(kNoEvents);
    }
  }
  std::string eventsFolder;
  WriteFailure failure;
  if (GetEventsFolder(archiveFolder, eventsFolder) &&
      !RemoveEventCompanions(eventsFolder, key, failure)) {
    window_.FileFailed("Delete", failure.path, failure.reason);
  }
}

void Reviewer::StartReview() {
  window_.HideLiveVideo();
  if (settings_.Get()->preferComposites) {
    StartWorker(Job::kComposite);
  } else {
    StartReplayWorker();
  }
}

void Reviewer::StartReplayWorker() {
  runningReplays_.fetch_add(1);
  if (!workers_.empty() && paused_) {
    workers_.back().gate->Resume();
    paused_ = false;
  }
  StartWorker(Job::kReplay);
}

void Reviewer::Replay() {
  if (!HasSelection()) {
    window_.ShowInfo(kReplayNoEvent);
    return;
  }
  window_.HideLiveVideo();
  StartReplayWorker();
}

void Reviewer::Composite() {
  if (!HasSelection()) {
    window_.ShowInfo(kCompositeNoEvent);
    return;
  }
  window_.HideLiveVideo();
  StartWorker(Job::kComposite);
}

void Reviewer::Play(const PickerInterval& interval) {
  intervalStart_ = interval.start;
  intervalEnd_ = interval.end;
  StartReview();
}

bool Reviewer::Save(const PickerInterval& interval) {
  WriteFailure failure;
  if (!WriteEventFileAtomically(settings_.Get()->archiveFolder, interval, failure)) {
    window_.FileFailed("Save", failure.path, failure.reason);
    return false;
  }
  if (eventList_ != nullptr) {
    eventList_->Append(interval.start);
  }
  return true;
}

void Reviewer::ShowAverageComposite(const PickerInterval& interval) {
  averageStart_ = interval.start;
  averageEnd_ = interval.end;
  window_.HideLiveVideo();
  StartWorker(Job::kAverageComposite);
}

void Reviewer::ShowAverageMovie(const PickerInterval& interval) {
  averageStart_ = interval.start;
  averageEnd_ = interval.end;
  window_.HideLiveVideo();
  StartWorker(Job::kAverageMovie);
}

bool Reviewer::SaveMovieBegin(std::string& defaultName) {
  if (!HasSelection()) {
    window_.ShowInfo(kSaveMovieNoEvent);
    return false;
  }
  defaultName = EventKey(currentEvent_);
  return true;
}

ExportOutcome Reviewer::SaveMovie(const std::string& outputPath) {
  const std::shared_ptr<const Settings> settings = settings_.Get();
  const ExportOutcome outcome = ExportEventMovie(*settings, currentEvent_, outputPath,
                                                 settings->pseudoColor, settings->showTrackingBox);
  if (outcome.result == ExportResult::kFailed) {
    window_.FileFailed("Save Movie", outputPath, outcome.reason);
  }
  return outcome;
}

void Reviewer::Recalculate() {
  if (currentEvent_.empty()) {
    window_.ShowInfo(kRecalculateNoEvent);
    return;
  }
  const std::shared_ptr<const Settings> settings = settings_.Get();
  std::string eventsFolder;
  if (!GetEventsFolder(settings->archiveFolder, eventsFolder)) {
    return;
  }
  const std::string path = eventsFolder + "/c" + EventKey(currentEvent_) + ".csv";
  const RecalculateOutcome outcome =
      RecalculateTimeHistory(path, CalibrationFromSettings(*settings));
  if (outcome.result == RecalculateResult::kUnparsable) {
    window_.FileFailed(
        "Recalculate", path,
        "line " + std::to_string(outcome.lines) + " cannot be read; the file is left as it was");
  } else if (outcome.result == RecalculateResult::kWriteFailed) {
    window_.FileFailed("Recalculate", path, outcome.reason + "; the file is left as it was");
  }
}

void Reviewer::TogglePause() {
  if (!paused_) {
    if (!workers_.empty() && !workers_.back().done->load()) {
      workers_.back().gate->Pause();
      paused_ = true;
    }
    return;
  }
  if (!workers_.empty()) {
    workers_.back().gate->Resume();
  }
  paused_ = false;
}

void Reviewer::StopWorkers() {
  review_.NewReaderGeneration();
  for (Worker& worker : workers_) {
    worker.gate->Resume();
  }
  for (Worker& worker : workers_) {
    worker.thread.join();
  }
  workers_.clear();
  paused_ = false;
}

void Reviewer::ReapFinishedWorkers() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void Reviewer::OnReplayEnded() {
  int running = runningReplays_.load();
  while (!runningReplays_.compare_exchange_weak(running, running > 1 ? running - 1 : 0)) {
  }
  window_.ReplayEnded();
}

void Reviewer::StartWorker(Job job) {
  ReapFinishedWorkers();
  Worker worker;
  worker.gate = std::make_shared<PauseGate>();
  worker.done = std::make_shared<std::atomic<bool>>(false);
  const Selection selection{currentEvent_, intervalStart_, intervalEnd_};
  // Taken here, in command order: every older worker stops, and so does this one at a later
  // command or StopWorkers(), even if its thread has not run yet.
  const int generation = review_.NewReaderGeneration();
  // The job reads the settings as they are when the command comes.
  worker.thread =
      std::thread([this, job, selection, averageStart = averageStart_, averageEnd = averageEnd_,
                   gate = worker.gate, done = worker.done, generation, settings = settings_.Get()] {
        ReviewContext context{
            *settings,  review_,   [this] { window_.FrameReady(); }, [this] { OnReplayEnded(); },
            gate.get(), generation};
        RunJob(job, selection, averageStart, averageEnd, context);
        done->store(true);
      });
  workers_.push_back(std::move(worker));
}

void Reviewer::RunJob(Job job, const Selection& selection, std::optional<UtcTime> averageStart,
                      std::optional<UtcTime> averageEnd, ReviewContext& context) {
  if (job == Job::kAverageComposite || job == Job::kAverageMovie) {
    if (averageStart && averageEnd) {
      if (job == Job::kAverageComposite) {
        AverageComposite(context, *averageStart, *averageEnd);
      } else {
        AverageMovie(context, *averageStart, *averageEnd);
      }
    }
    return;
  }
  const bool replay = job == Job::kReplay;
  if (selection.intervalStart && selection.intervalEnd) {
    RunArchiveJob(replay, context, *selection.intervalStart - kReviewWindowWiden,
                  *selection.intervalEnd + kReviewWindowWiden);
    return;
  }
  const std::string key = EventKey(selection.currentEvent);
  std::string eventsFolder;
  if (!key.empty() && GetEventsFolder(context.settings.archiveFolder, eventsFolder)) {
    if (replay && Exists(eventsFolder + "/m" + key + ".mp4")) {
      ReplayEventMovie(context, eventsFolder + "/m" + key + ".mp4",
                       eventsFolder + "/c" + key + ".csv");
      return;
    }
    if (!replay && Exists(eventsFolder + "/j" + key + ".jpg")) {
      ShowEventComposite(context, eventsFolder + "/j" + key + ".jpg");
      return;
    }
  }
  if (selection.currentEvent.size() < 24) {
    return;
  }
  const std::optional<EventTimes> times = ReadEventFile(selection.currentEvent);
  if (!times) {
    return;
  }
  RunArchiveJob(replay, context, times->first - kReviewWindowWiden,
                times->last + kReviewWindowWiden);
}

}  // namespace ombrix
