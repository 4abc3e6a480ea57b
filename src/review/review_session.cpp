#include "review/review_session.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "base/folders.h"
#include "detect/event_file.h"
#include "review/pause_gate.h"
#include "review/recalculate.h"
#include "review/replay.h"
#include "review/review_values.h"

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

std::string ShownTimeText(UtcTime time) {
  const CalendarFields t = BreakUtcTime(time);
  char line[96];
  std::snprintf(line, sizeof line, "UTC %02d/%02d/%04d %02d:%02d:%02d.%03d", t.month, t.day, t.year,
                t.hour, t.minute, t.second, t.millisecond);
  return line;
}

ReviewSession::ReviewSession(const SharedSettings& settings, ReviewWindow& window,
                             EventQueue* queue)
    : settings_(settings),
      window_(window),
      queue_(queue),
      values_(std::make_unique<ReviewValues>()) {}

ReviewSession::~ReviewSession() {
  StopWorkers();
}

bool ReviewSession::HasSelection() const {
  return !currentEvent_.empty() || (intervalStart_ && intervalEnd_);
}

void ReviewSession::ClearInterval() {
  intervalStart_.reset();
  intervalEnd_.reset();
}

void ReviewSession::First() {
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

void ReviewSession::Last() {
  ClearInterval();
  const auto listing = ListEvents(settings_.Get()->archiveFolder);
  if (listing.empty()) {
    window_.ShowInfo(kNoEvents);
    return;
  }
  currentEvent_ = listing.back();
  StartReview();
}

void ReviewSession::Next() {
  ClearInterval();
  const std::string next = NextEventPath(ListEvents(settings_.Get()->archiveFolder), currentEvent_);
  if (next.empty()) {
    window_.ShowInfo(kNoMoreEvents);
    return;
  }
  currentEvent_ = next;
  StartReview();
}

void ReviewSession::Previous() {
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

void ReviewSession::OpenEvent(const std::string& path) {
  if (path.empty()) {
    return;
  }
  ClearInterval();
  currentEvent_ = path;
  StartReview();
}

void ReviewSession::Delete() {
  if (!HasSelection()) {
    window_.ShowInfo(kDeleteNoEvent);
    return;
  }
  if ((intervalStart_ && intervalEnd_) || !eventShown_) {
    window_.ShowInfo(kDeleteNotShown);
    return;
  }
  const std::string archiveFolder = settings_.Get()->archiveFolder;
  const std::string next = NextEventPath(ListEvents(archiveFolder), currentEvent_);
  // A reader of this event's files must have let go of them before they are removed.
  JoinReaders();
  std::string reason;
  if (!RemoveEventPath(currentEvent_, reason)) {
    window_.FileFailed("Delete", currentEvent_, reason);
    return;
  }
  const std::string key = EventKey(currentEvent_);
  ClearInterval();
  if (!next.empty()) {
    currentEvent_ = next;
    StartReview();
  } else {
    // The event the selection falls back to is shown, so the next Delete removes what is seen.
    const auto listing = ListEvents(archiveFolder);
    currentEvent_ = listing.empty() ? std::string() : listing.back();
    window_.ShowInfo(listing.empty() ? kNoEvents : kNoMoreEvents);
    if (listing.empty()) {
      eventShown_ = false;
      window_.ShowNothing(kNoEvents);
    } else {
      StartReview();
    }
  }
  std::string eventsFolder;
  WriteFailure failure;
  if (GetEventsFolder(archiveFolder, eventsFolder) &&
      !RemoveEventCompanions(eventsFolder, key, failure)) {
    window_.FileFailed("Delete", failure.path, failure.reason);
  }
}

void ReviewSession::StartReview() {
  window_.HideLiveVideo();
  eventShown_ = !(intervalStart_ && intervalEnd_);
  if (settings_.Get()->preferComposites) {
    StartWorker(Job::kComposite);
  } else {
    StartReplayWorker();
  }
}

void ReviewSession::StartReplayWorker() {
  runningReplays_.fetch_add(1);
  paused_ = false;  // a paused replay is stopped by the new one
  StartWorker(Job::kReplay);
}

void ReviewSession::Replay() {
  if (!HasSelection()) {
    window_.ShowInfo(kReplayNoEvent);
    return;
  }
  window_.HideLiveVideo();
  eventShown_ = !(intervalStart_ && intervalEnd_);
  StartReplayWorker();
}

void ReviewSession::Composite() {
  if (!HasSelection()) {
    window_.ShowInfo(kCompositeNoEvent);
    return;
  }
  window_.HideLiveVideo();
  eventShown_ = !(intervalStart_ && intervalEnd_);
  StartWorker(Job::kComposite);
}

void ReviewSession::Play(const PickerInterval& interval) {
  intervalStart_ = interval.start;
  intervalEnd_ = interval.end;
  StartReview();
}

bool ReviewSession::Save(const PickerInterval& interval) {
  // A stretch the archive holds nothing of would only make an event of empty files.
  const std::string archiveFolder = settings_.Get()->archiveFolder;
  const Stamp key = MakeStamp(interval.start);
  const Stamp end = MakeStamp(interval.end);
  if (!key.empty() && !end.empty()) {  // else the writer says why the stretch cannot be named
    const std::optional<UtcTime> clip = FindNextArchiveTime(
        archiveFolder, interval.start - std::chrono::seconds(1), "s", ".mp4", interval.end);
    if (!clip || *clip > interval.end) {
      window_.Tell("Save: the archive holds nothing from " + key + " to " + end +
                   "; nothing was written.");
      return false;
    }
  }
  WriteFailure failure;
  if (!WriteEventFileAtomically(archiveFolder, interval, failure)) {
    window_.FileFailed("Save", failure.path, failure.reason);
    return false;
  }
  if (queue_ != nullptr) {
    queue_->Append(interval.start);
  }
  window_.Tell("Save: " + key + " to " + end +
               " is kept as an event; its files are cut from the archive shortly.");
  return true;
}

void ReviewSession::ShowAverageComposite(const PickerInterval& interval) {
  averageStart_ = interval.start;
  averageEnd_ = interval.end;
  eventShown_ = false;
  window_.HideLiveVideo();
  StartWorker(Job::kAverageComposite);
}

void ReviewSession::ShowAverageMovie(const PickerInterval& interval) {
  averageStart_ = interval.start;
  averageEnd_ = interval.end;
  eventShown_ = false;
  window_.HideLiveVideo();
  StartWorker(Job::kAverageMovie);
}

bool ReviewSession::SaveMovieBegin(std::string& defaultName) {
  if (!HasSelection()) {
    window_.ShowInfo(kSaveMovieNoEvent);
    return false;
  }
  defaultName = EventKey(currentEvent_);
  return true;
}

bool ReviewSession::StartExport(const std::string& outputPath) {
  if (exportDone_ && !exportDone_->load()) {
    return false;
  }
  if (exporter_.joinable()) {
    exporter_.join();
  }
  exportDone_ = std::make_shared<std::atomic<bool>>(false);
  exporter_ = std::jthread([this, event = currentEvent_, outputPath, done = exportDone_,
                            settings = settings_.Get()](std::stop_token stop) {
    const ExportOutcome outcome = ExportEventMovie(*settings, event, outputPath,
                                                   settings->pseudoColor, settings->showTrackingBox,
                                                   [&stop](int) { return !stop.stop_requested(); });
    window_.ExportEnded(outcome, outputPath);
    done->store(true);
  });
  return true;
}

void ReviewSession::CancelExport() {
  exporter_.request_stop();
}

void ReviewSession::Recalculate() {
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
  const RecalculateOutcome outcome = RecalculateTimeHistory(path, *settings);
  if (outcome.result == RecalculateResult::kRewritten) {
    window_.Tell("Recalculate: " + std::to_string(outcome.lines) + " line(s) of " + path +
                 " now hold the directions of the calibration set now.");
  } else if (outcome.result == RecalculateResult::kNoFile) {
    window_.Tell("Recalculate: " + path + " cannot be read (not cut yet?); nothing was done.");
  } else if (outcome.result == RecalculateResult::kUnparsable) {
    window_.FileFailed(
        "Recalculate", path,
        "line " + std::to_string(outcome.lines) + " cannot be read; the file is left as it was");
  } else if (outcome.result == RecalculateResult::kWriteFailed) {
    window_.FileFailed("Recalculate", path, outcome.reason + "; the file is left as it was");
  }
}

std::vector<LightCurvePoint> ReviewSession::LightCurve() {
  if (currentEvent_.empty()) {
    window_.ShowInfo(kLightCurveNoEvent);
    return {};
  }
  std::string eventsFolder;
  if (!GetEventsFolder(settings_.Get()->archiveFolder, eventsFolder)) {
    return {};
  }
  std::vector<LightCurvePoint> points =
      ReadLightCurve(eventsFolder + "/c" + EventKey(currentEvent_) + ".csv");
  if (points.empty()) {
    window_.ShowInfo("Light Curve: the event has no time history yet.");
  }
  return points;
}

void ReviewSession::TogglePause() {
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

void ReviewSession::StopReaders() {
  for (Worker& worker : workers_) {
    std::stop_source source = worker.thread.get_stop_source();
    values_->Stop(source);
  }
}

void ReviewSession::JoinReaders() {
  StopReaders();
  workers_.clear();  // each jthread joins as it goes
  paused_ = false;
}

void ReviewSession::StopWorkers() {
  JoinReaders();
  exporter_.request_stop();
  if (exporter_.joinable()) {
    exporter_.join();
  }
}

bool ReviewSession::CopyShownFrame(uint8_t* pixels, ShownFrame* shown) const {
  ShownValues values;
  if (!values_->Copy(pixels, &values)) {
    return false;
  }
  shown->displayCount = values.displayCount;
  shown->time.reset();
  if (values.file) {
    const UtcTime time = *values.file + values.frameCount * kNominalFrameSpacing;
    if (FitsStamp(time)) {
      shown->time = time;
    }
  }
  return true;
}

void ReviewSession::ReapFinishedWorkers() {
  std::erase_if(workers_, [](const Worker& worker) { return worker.done->load(); });
}

void ReviewSession::OnReplayEnded() {
  int running = runningReplays_.load();
  while (!runningReplays_.compare_exchange_weak(running, running > 1 ? running - 1 : 0)) {
  }
  window_.ReplayEnded();
}

void ReviewSession::StartWorker(Job job) {
  ReapFinishedWorkers();
  // Stopped here, in command order: every older worker stops, and so does this one at a later
  // command, even if its thread has not run yet.
  StopReaders();
  Worker worker;
  worker.gate = std::make_shared<PauseGate>();
  worker.done = std::make_shared<std::atomic<bool>>(false);
  const Selection selection{currentEvent_, intervalStart_, intervalEnd_};
  // The job reads the settings as they are when the command comes.
  worker.thread = std::jthread([this, job, selection, averageStart = averageStart_,
                                averageEnd = averageEnd_, gate = worker.gate, done = worker.done,
                                settings = settings_.Get()](std::stop_token stop) {
    bool shown = false;
    ReviewContext context{*settings,
                          *values_,
                          stop,
                          [this, &shown] {
                            shown = true;
                            window_.FrameReady();
                          },
                          [this] { OnReplayEnded(); },
                          gate.get()};
    const std::string why = RunJob(job, selection, averageStart, averageEnd, context);
    // A selection with no frame to show (a movie without pictures, a stretch the archive no
    // longer holds) must not leave the previous picture looking like its result.
    if (!shown && !stop.stop_requested()) {
      window_.ShowNothing(why);
    }
    done->store(true);
  });
  workers_.push_back(std::move(worker));
}

std::string ReviewSession::RunJob(Job job, const Selection& selection,
                                  std::optional<UtcTime> averageStart,
                                  std::optional<UtcTime> averageEnd, ReviewContext& context) {
  if (job == Job::kAverageComposite || job == Job::kAverageMovie) {
    if (averageStart && averageEnd) {
      if (job == Job::kAverageComposite) {
        AverageComposite(context, *averageStart, *averageEnd);
      } else {
        AverageMovie(context, *averageStart, *averageEnd);
      }
    }
    return {};
  }
  const bool replay = job == Job::kReplay;
  if (selection.intervalStart && selection.intervalEnd) {
    RunArchiveJob(replay, context, *selection.intervalStart - kReviewWindowWiden,
                  *selection.intervalEnd + kReviewWindowWiden);
    return {};
  }
  const std::string key = EventKey(selection.currentEvent);
  std::string eventsFolder;
  if (!key.empty() && GetEventsFolder(context.settings.archiveFolder, eventsFolder)) {
    if (replay && Exists(eventsFolder + "/m" + key + ".mp4")) {
      ReplayEventMovie(context, eventsFolder + "/m" + key + ".mp4",
                       eventsFolder + "/c" + key + ".csv");
      return {};
    }
    if (!replay && Exists(eventsFolder + "/j" + key + ".jpg")) {
      ShowEventComposite(context, eventsFolder + "/j" + key + ".jpg");
      return {};
    }
  }
  const std::string notAnEvent =
      "Nothing to show: " + selection.currentEvent + " is not an event file.";
  if (selection.currentEvent.size() < 24) {
    return notAnEvent;
  }
  const std::optional<EventTimes> times = ReadEventFile(selection.currentEvent);
  if (!times) {
    return notAnEvent;
  }
  RunArchiveJob(replay, context, times->first - kReviewWindowWiden,
                times->last + kReviewWindowWiden);
  return {};
}

}  // namespace ombrix
