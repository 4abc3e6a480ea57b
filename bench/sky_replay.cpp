// Detection on real and on simulated skies, judged against ground truth.
//
//   sky_replay clips FOLDER
//     Replays every clip listed in FOLDER/truth.csv frame by frame, as the station numbers the
//     frames of a file replayed with --source file:CLIP --fast, under four settings: the plain
//     threshold table (default settings), a mask learnt from the clip itself, the adaptive
//     threshold, and the adaptive threshold with the learnt mask. It prints per clip and setting
//     whether the meteor was found, smeared, partial or missed, the false events, and each
//     event's frames and verdict. With the plain table it also runs the station's own Detector
//     and checks that the rule copied here gives the same events.
//
//   sky_replay sim [MINUTES [SEED]]
//     Generates MINUTES (default 60) of the simulated sky with 6 meteors a minute and every kind
//     of lie (satellites, aircraft, lightning, drifting cloud, a burned-in clock, hot pixels),
//     learns a mask from its first minute, runs detection under the same four settings, and
//     prints per setting the meteors covered by an event, the precision and recall of the verdict
//     "meteor", and the verdicts by the cause of each event (the object nearest to the centroid
//     on the event's first frame; "meteor" when a meteor shows in at least 3 frames of the kept
//     stretch).
//
// The rule copied here is the detector's trigger state machine (detect/detector.cpp) with the
// default trigger settings; the budget of events per hour is that of the settings for the clips
// and unlimited on the simulated sky, whose meteor rate is thirty times the default budget.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "base/frame.h"
#include "base/notice.h"
#include "base/utc_time.h"
#include "calib/calibration.h"
#include "capture/frame_ring.h"
#include "capture/simulated_sky.h"
#include "config/settings.h"
#include "detect/adaptive_threshold.h"
#include "detect/detector.h"
#include "detect/frame_excess.h"
#include "detect/mask_learner.h"
#include "detect/time_history.h"
#include "media/video_file_decoder.h"
#include "review/verdict.h"

namespace ombrix {
namespace {

using Frame = std::vector<uint8_t>;

// The default trigger settings.
struct TriggerSettings {
  int32_t gap = 10;
  int32_t sumBegin = 12;
  int32_t sumEnd = 5;
  int32_t countBegin = 2;
  int32_t countEnd = 2;
  int32_t hourlyRate = 12;  // 0: no budget
};

// An event as frame numbers: the frame that completed the trigger run and the one it ended on.
struct Event {
  int64_t first = 0;
  int64_t last = 0;
};

// The detector's trigger state machine, fed one pixel count per processed frame.
class TriggerRule {
 public:
  explicit TriggerRule(const TriggerSettings& s) : s_(s) {}

  // Frame k's pixel count; an event that ends on it is returned.
  std::optional<Event> Frame(int64_t k, int32_t pixelCount) {
    std::optional<Event> ended;
    if (active_) {
      run_ = pixelCount >= s_.sumEnd ? 0 : run_ + 1;
      if (run_ >= s_.countEnd && eventFrames_ > 50) {
        ended = End(k);
      } else {
        ++eventFrames_;
      }
      if (eventFrames_ > 1000) {
        ended = End(k);
      }
    } else {
      run_ = pixelCount >= s_.sumBegin ? run_ + 1 : 0;
      if (run_ >= s_.countBegin) {
        Begin(k);
      }
    }
    if (debt_ > 0) {
      --debt_;
    }
    last_ = k;
    return ended;
  }

  // The end of the replay: an event in progress ends on the last processed frame.
  std::optional<Event> Finish() {
    if (!active_) {
      return std::nullopt;
    }
    return End(last_);
  }

 private:
  void Begin(int64_t k) {
    run_ = 0;
    eventFrames_ = 0;
    if (s_.hourlyRate > 0) {
      if (debt_ > kFramesPerHour) {
        return;
      }
      debt_ += kFramesPerHour / (std::max(s_.hourlyRate, 2) - 1);
    }
    first_ = k;
    active_ = true;
  }
  Event End(int64_t k) {
    active_ = false;
    run_ = 0;
    eventFrames_ = 0;
    return {first_, k};
  }

  TriggerSettings s_;
  bool active_ = false;
  int32_t run_ = 0;
  int32_t eventFrames_ = 0;
  int32_t debt_ = 0;
  int64_t first_ = 0;
  int64_t last_ = 0;
};

// One way of measuring frames: the plain pass through a table, or the adaptive threshold (which
// takes the same table for its mask), then the trigger rule; every frame's time-history row is
// kept for the verdicts.
class DetectionRun {
 public:
  DetectionRun(std::string name, const Frame& table, bool adaptive, const TriggerSettings& s)
      : name_(std::move(name)), table_(table), trigger_(s) {
    if (adaptive) {
      adaptive_ = std::make_unique<AdaptiveThreshold>();
    }
  }

  // Frame k compared with its reference; k counts from 0 over the whole input.
  void Process(int64_t k, const uint8_t* cur, const uint8_t* ref) {
    const FrameExcess e = adaptive_ ? adaptive_->Process(cur, ref, table_.data())
                                    : MeasureFrameExcess(cur, ref, table_.data());
    TimeHistoryRow row = last_;
    row.pixelCount = e.pixelCount;
    row.excessSum = e.excessSum;
    if (e.excessSum != 0) {
      row.centroidX = static_cast<double>(e.sx) / e.excessSum;
      row.centroidY = static_cast<double>(e.sy) / e.excessSum;
    }
    last_ = row;
    rows_.push_back(row);
    rowFrames_.push_back(k);
    if (auto ended = trigger_.Frame(k, e.pixelCount)) {
      events_.push_back(*ended);
    }
  }
  void Finish() {
    if (auto ended = trigger_.Finish()) {
      events_.push_back(*ended);
    }
  }

  const std::string& name() const { return name_; }
  const std::vector<Event>& events() const { return events_; }
  // The rows of frames first..last that were processed.
  std::vector<TimeHistoryRow> Rows(int64_t first, int64_t last) const {
    std::vector<TimeHistoryRow> out;
    const auto begin = std::lower_bound(rowFrames_.begin(), rowFrames_.end(), first);
    for (auto it = begin; it != rowFrames_.end() && *it <= last; ++it) {
      out.push_back(rows_[static_cast<size_t>(it - rowFrames_.begin())]);
    }
    return out;
  }

 private:
  std::string name_;
  Frame table_;
  std::unique_ptr<AdaptiveThreshold> adaptive_;
  TriggerRule trigger_;
  TimeHistoryRow last_{};
  std::vector<TimeHistoryRow> rows_;
  std::vector<int64_t> rowFrames_;
  std::vector<Event> events_;
};

// The event's time history as the station cuts it (from a second before its first frame to its
// last), with stamps and directions (the default calibration).
std::vector<EventHistoryRow> EventHistory(const DetectionRun& run, const Event& event,
                                          int64_t framesPerSecond,
                                          const std::function<UtcTime(int64_t)>& timeOf) {
  const std::vector<TimeHistoryRow> rows = run.Rows(event.first - framesPerSecond, event.last);
  const int64_t firstFrame = event.last - static_cast<int64_t>(rows.size()) + 1;
  const Calibration calibration;
  std::vector<EventHistoryRow> history;
  for (size_t i = 0; i < rows.size(); ++i) {
    EventHistoryRow h;
    h.frame = rows[i];
    h.frame.time = timeOf(firstFrame + static_cast<int64_t>(i));
    if (h.frame.pixelCount != 0) {
      const AzEl position = PixelToAzEl(calibration, h.frame.centroidX, h.frame.centroidY);
      h.azimuth = position.azimuth;
      h.elevation = position.elevation;
    }
    history.push_back(h);
  }
  return history;
}

UtcTime TimeAt(int64_t milliseconds) {
  constexpr int64_t kOrigin_ms = 1700000000000;  // any fixed start
  return UtcTime{std::chrono::milliseconds{kOrigin_ms + milliseconds}};
}

// ---------------------------------------------------------------------------------------------
// Real clips.

struct ClipTruth {
  std::string clip;
  int64_t first = 0;
  int64_t last = 0;
  double startX = 0, startY = 0, endX = 0, endY = 0;
  std::vector<std::pair<int64_t, int64_t>> flashes;  // sky-wide flashes named in the notes
};

// "... flash ... at frames 12-27 ..." or "flare ... at frames 178-182": the frames of a listed
// sky-wide brightening.
std::vector<std::pair<int64_t, int64_t>> FlashesIn(const std::string& notes) {
  std::vector<std::pair<int64_t, int64_t>> flashes;
  for (const std::string& part : {std::string("flash"), std::string("flare")}) {
    const size_t at = notes.find(part);
    if (at == std::string::npos) {
      continue;
    }
    const size_t frames = notes.find("at frames ", at);
    long a = 0, b = 0;
    if (frames != std::string::npos &&
        std::sscanf(notes.c_str() + frames, "at frames %ld-%ld", &a, &b) == 2) {
      flashes.emplace_back(a, b);
    }
  }
  return flashes;
}

std::vector<ClipTruth> ReadTruth(const std::string& path) {
  std::vector<ClipTruth> truths;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::stringstream fields(line);
    ClipTruth t;
    std::string cell;
    std::vector<std::string> cells;
    while (cells.size() < 7 && std::getline(fields, cell, ',')) {
      cells.push_back(cell);
    }
    if (cells.size() < 7) {
      continue;
    }
    std::string notes;
    std::getline(fields, notes);
    t.clip = cells[0];
    t.first = std::stol(cells[1]);
    t.last = std::stol(cells[2]);
    t.startX = std::stod(cells[3]);
    t.startY = std::stod(cells[4]);
    t.endX = std::stod(cells[5]);
    t.endY = std::stod(cells[6]);
    t.flashes = FlashesIn(notes);
    truths.push_back(t);
  }
  return truths;
}

struct Clip {
  std::vector<Frame> frames;
  std::vector<int64_t> presentation_ms;
  int64_t framesPerSecond = 30;
};

std::optional<Clip> LoadClip(const std::string& path) {
  VideoFileDecoder decoder(path, VideoFileDecoder::Layout::kYuyv);
  if (decoder.failed()) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), decoder.error().c_str());
    return std::nullopt;
  }
  Clip clip;
  std::vector<uint8_t> sample(kSampleSize640);
  int64_t ms = 0;
  while (decoder.ReadFrame(sample.data(), ms)) {
    Frame frame(kFrameBytes);
    for (int i = 0; i < kFrameBytes; ++i) {
      frame[i] = sample[2 * static_cast<size_t>(i)];  // the luma, as the ring keeps it
    }
    clip.frames.push_back(std::move(frame));
    clip.presentation_ms.push_back(ms);
  }
  if (clip.frames.size() > 1) {
    const double spacing_ms = static_cast<double>(clip.presentation_ms.back()) /
                              static_cast<double>(clip.frames.size() - 1);
    clip.framesPerSecond = std::max<int64_t>(1, std::lround(1000.0 / spacing_ms));
  }
  return clip;
}

// The station's Detector on the clip with the plain table and default settings: its events as
// frame numbers. Frames are stamped 40 ms apart from a fixed time so that stamps map back.
class IndexClock final : public Clock {
 public:
  UtcTime UtcNow() const override { return {}; }
  CalendarFields LocalNow() const override { return {}; }
};

std::vector<Event> StationDetectorEvents(const Clip& clip, const std::filesystem::path& work) {
  Settings initial;
  initial.enabled = true;
  initial.archiveFolder = work.string();
  SharedSettings settings(initial);
  FrameRing ring;
  ThresholdMap thresholds;
  EventList eventList;
  IndexClock clock;
  Notices notices;
  Detector detector(settings, ring, thresholds, eventList, clock, notices);
  detector.BuildThresholdMap();
  std::map<UtcTime, int64_t> frameOf;
  std::vector<Event> events;
  detector.SetEventObserver([&](UtcTime first, UtcTime last) {
    events.push_back({frameOf.at(first), frameOf.at(last)});
  });
  std::vector<uint8_t> sample(kSampleSize640, 128);
  for (size_t k = 0; k < clip.frames.size(); ++k) {
    for (int i = 0; i < kFrameBytes; ++i) {
      sample[2 * static_cast<size_t>(i)] = clip.frames[k][i];
    }
    const int64_t ms = static_cast<int64_t>(k) * 40;
    frameOf[TimeAt(ms)] = static_cast<int64_t>(k);
    ring.StoreFrame(sample.data(), TimeAt(ms));
    detector.DetectionStep();
  }
  detector.EndActiveEvent();
  return events;
}

enum class Outcome { kFound, kSmeared, kPartial, kMissed };

// An event covers the meteor when the stretch the station keeps of it (its movie and time history
// start a second before its first frame) holds every frame of the meteor, give or take the
// truth's two frames: a trigger needs a few frames of the meteor before the event can begin. A
// covering event is found when it begins at most 10 frames before the meteor and ends at most 15
// frames after the later of the meteor's end and its own earliest possible end (52 frames after
// its first); else smeared. Without a covering event, one that holds some of the meteor's frames
// makes it partial (not counted as false), else it is missed. Any other event is false, but for
// one that begins during a sky-wide flash named in the truth.
struct Judgement {
  Outcome outcome = Outcome::kMissed;
  int64_t startOffset = 0;  // first frame of the covering event minus the meteor's
  int falseEvents = 0;
  int flashEvents = 0;
};

Judgement JudgeClip(const ClipTruth& truth, const std::vector<Event>& events,
                    int64_t framesPerSecond) {
  constexpr int64_t kTruthSlack = 2;
  Judgement j;
  const Event* covering = nullptr;
  for (const Event& e : events) {
    if (covering == nullptr && e.first - framesPerSecond <= truth.first + kTruthSlack &&
        e.last >= truth.last - kTruthSlack) {
      covering = &e;
    }
  }
  bool partial = false;
  for (const Event& e : events) {
    if (&e == covering) {
      const bool early = e.first < truth.first - 10;
      const bool late = e.last > std::max(truth.last, e.first + 52) + 15;
      j.outcome = early || late ? Outcome::kSmeared : Outcome::kFound;
      j.startOffset = e.first - truth.first;
      continue;
    }
    if (covering == nullptr && !partial && e.first <= truth.last && e.last >= truth.first) {
      partial = true;
      j.outcome = Outcome::kPartial;
      continue;
    }
    const bool flash = std::any_of(truth.flashes.begin(), truth.flashes.end(), [&](auto f) {
      return e.first >= f.first - kTruthSlack && e.first <= f.second + kTruthSlack;
    });
    if (flash) {
      ++j.flashEvents;
    } else {
      ++j.falseEvents;
    }
  }
  return j;
}

const char* OutcomeName(Outcome o) {
  switch (o) {
    case Outcome::kFound:
      return "found";
    case Outcome::kSmeared:
      return "smeared";
    case Outcome::kPartial:
      return "partial";
    case Outcome::kMissed:
      return "missed";
  }
  return "?";
}

bool showFigures = false;
std::string maskFolder;  // where learnt masks are written, when given

std::string TrackText(const Track& t) {
  char text[200];
  std::snprintf(text, sizeof text,
                "%d frames (%.2f) %.2f s %.1f px %.2f deg, off %.1f px, peak %d px, %.1f deg/s",
                t.frames, t.onTrackShare, t.seconds, t.pixels, t.degrees, t.offPixels, t.peakPixels,
                t.degreesPerSecond);
  return text;
}

std::string FiguresText(const EventFigures& f) {
  char text[200];
  std::snprintf(text, sizeof text, "active %d frames %.2f s, peak %d px, wide %d frames %.2f s",
                f.activeFrames, f.activeSeconds, f.peakPixels, f.wideFrames, f.wideSeconds);
  std::string out = text;
  if (f.meteorTrack.frames > 0) {
    out += "; meteor track " + TrackText(f.meteorTrack);
  }
  for (const Track& t : f.tracks) {
    out += "; track " + TrackText(t);
  }
  if (f.fastTrack.frames > 0) {
    out += "; fastest " + TrackText(f.fastTrack);
  }
  return out;
}

int RunClips(const std::string& folder) {
  const std::vector<ClipTruth> truths = ReadTruth(folder + "/truth.csv");
  if (truths.empty()) {
    std::fprintf(stderr, "no clips listed in %s/truth.csv\n", folder.c_str());
    return 2;
  }
  const std::filesystem::path work =
      std::filesystem::temp_directory_path() / ("sky_replay." + std::to_string(getpid()));
  std::filesystem::create_directories(work);
  const TriggerSettings trigger;
  std::printf("%-12s %-24s %-12s %5s %5s  %s\n", "clip", "setting", "meteor", "false", "flash",
              "events (first-last frame: verdict)");
  int totals[4][4] = {};
  int totalFalse[4] = {};
  bool agree = true;
  int64_t framesCompared = 0;
  for (const ClipTruth& truth : truths) {
    const auto clip = LoadClip(folder + "/" + truth.clip);
    if (!clip) {
      return 2;
    }
    // The mask learnt from the whole clip, as "mask learn" does for a file.
    const Frame plain(kFrameBytes, 30);
    MaskLearner learner;
    for (size_t k = trigger.gap; k < clip->frames.size(); ++k) {
      learner.Add(clip->frames[k].data(), clip->frames[k - trigger.gap].data(), plain.data());
    }
    const std::vector<uint8_t> mask = learner.Propose();
    if (!maskFolder.empty()) {
      WriteMaskImage(maskFolder + "/" + truth.clip + ".png", mask.data(),
                     learner.MeanFrame().data());
    }
    Frame masked = plain;
    int maskedPixels = 0;
    for (int i = 0; i < kFrameBytes; ++i) {
      if (mask[i] != 0) {
        masked[i] = 255;
        ++maskedPixels;
      }
    }
    std::vector<DetectionRun> runs;
    runs.emplace_back("default", plain, false, trigger);
    runs.emplace_back("learnt mask", masked, false, trigger);
    runs.emplace_back("adaptive", plain, true, trigger);
    runs.emplace_back("adaptive + learnt mask", masked, true, trigger);
    for (size_t k = trigger.gap; k < clip->frames.size(); ++k) {
      for (DetectionRun& run : runs) {
        run.Process(static_cast<int64_t>(k), clip->frames[k].data(),
                    clip->frames[k - trigger.gap].data());
      }
    }
    const std::vector<Event> station = StationDetectorEvents(*clip, work);
    for (size_t r = 0; r < runs.size(); ++r) {
      DetectionRun& run = runs[r];
      run.Finish();
      if (r == 0) {
        framesCompared += static_cast<int64_t>(clip->frames.size()) - trigger.gap;
        const bool same = station.size() == run.events().size() &&
                          std::equal(station.begin(), station.end(), run.events().begin(),
                                     [](const Event& a, const Event& b) {
                                       return a.first == b.first && a.last == b.last;
                                     });
        if (!same) {
          agree = false;
          std::printf("!! %s: the station's Detector gives other events than the rule\n",
                      truth.clip.c_str());
        }
      }
      const Judgement j = JudgeClip(truth, run.events(), clip->framesPerSecond);
      totals[r][static_cast<int>(j.outcome)]++;
      totalFalse[r] += j.falseEvents;
      std::string list;
      for (const Event& e : run.events()) {
        const auto history = EventHistory(run, e, clip->framesPerSecond, [&](int64_t k) {
          return TimeAt(clip->presentation_ms[static_cast<size_t>(k)]);
        });
        const EventFigures figures = MeasureEvent(history);
        list += std::to_string(e.first) + "-" + std::to_string(e.last) + ": " +
                VerdictName(JudgeEvent(figures)) + "  ";
        if (showFigures) {
          list += "\n      " + FiguresText(figures) + "\n";
        }
      }
      char outcome[32];
      std::snprintf(
          outcome, sizeof outcome,
          j.outcome == Outcome::kFound || j.outcome == Outcome::kSmeared ? "%s %+ld" : "%s",
          OutcomeName(j.outcome), j.startOffset);
      std::printf("%-12s %-24s %-12s %5d %5d  %s\n", r == 0 ? truth.clip.c_str() : "",
                  run.name().c_str(), outcome, j.falseEvents, j.flashEvents, list.c_str());
    }
    std::printf("%-12s meteor frames %ld-%ld; learnt mask %d pixels\n", "", truth.first, truth.last,
                maskedPixels);
  }
  std::printf("\n%-24s %6s %8s %8s %7s %6s\n", "setting", "found", "smeared", "partial", "missed",
              "false");
  const char* names[] = {"default", "learnt mask", "adaptive", "adaptive + learnt mask"};
  for (int r = 0; r < 4; ++r) {
    std::printf("%-24s %6d %8d %8d %7d %6d\n", names[r], totals[r][0], totals[r][1], totals[r][2],
                totals[r][3], totalFalse[r]);
  }
  std::printf("\nThe station's Detector and the rule copied here: %s on %ld frames.\n",
              agree ? "identical events" : "DIFFERENT events", framesCompared);
  std::filesystem::remove_all(work);
  return agree ? 0 : 1;
}

// ---------------------------------------------------------------------------------------------
// The lying simulated sky.

SimulatedSkyOptions LyingSky(uint32_t seed) {
  SimulatedSkyOptions sky;
  sky.seed = seed;
  sky.meteorsPerMinute = 6;
  sky.satellitesPerHour = 20;
  sky.aircraftPerHour = 8;
  sky.lightningPerHour = 6;
  sky.cloudsPerHour = 6;
  sky.clock = true;
  sky.hotPixels = 12;
  return sky;
}

// What set an event off: the object nearest to the centroid on the frame the event began (the
// sky-wide lightning whenever it shows), within 60 pixels; a meteor in the sky then wins.
struct Cause {
  std::string kind = "nothing";
  const SimulatedMeteor* meteor = nullptr;
};

double DistanceToBox(double x, double y, double x0, double y0, double x1, double y1) {
  const double dx = std::max({x0 - x, 0.0, x - x1});
  const double dy = std::max({y0 - y, 0.0, y - y1});
  return std::hypot(dx, dy);
}

Cause CauseOf(const SkyFrameGenerator& sky, int64_t frame, double cx, double cy) {
  constexpr double kNear = 60;
  Cause cause;
  double best = kNear;
  for (const SimulatedMeteor& m : sky.meteors()) {
    if (frame >= m.firstFrame - 2 && frame <= m.lastFrame + 2) {
      const double u = std::clamp(static_cast<double>(frame - m.firstFrame) /
                                      static_cast<double>(m.lastFrame - m.firstFrame + 1),
                                  0.0, 1.0);
      const double d = DistanceToBox(cx, cy, std::min(m.startX, m.startX + (m.endX - m.startX) * u),
                                     std::min(m.startY, m.startY + (m.endY - m.startY) * u),
                                     std::max(m.startX, m.startX + (m.endX - m.startX) * u),
                                     std::max(m.startY, m.startY + (m.endY - m.startY) * u));
      if (d <= best) {
        best = d;
        cause = {"meteor", &m};
      }
    }
  }
  if (cause.meteor != nullptr) {
    return cause;
  }
  best = kNear;
  for (const SimulatedObject& o : sky.objects()) {
    if (frame < o.firstFrame - 2 || frame > o.lastFrame + 2) {
      continue;
    }
    const double u = o.lastFrame > o.firstFrame && o.lastFrame != INT64_MAX
                         ? std::clamp(static_cast<double>(frame - o.firstFrame) /
                                          static_cast<double>(o.lastFrame - o.firstFrame),
                                      0.0, 1.0)
                         : 0;
    const double x = o.startX + (o.endX - o.startX) * u;
    const double y = o.startY + (o.endY - o.startY) * u;
    double d = 0;
    switch (o.kind) {
      case SkyObjectKind::kLightning:
        d = 0;
        break;
      case SkyObjectKind::kClock:
        d = DistanceToBox(cx, cy, o.startX, o.startY, o.endX, o.endY);
        break;
      case SkyObjectKind::kCloud:
        d = std::max(0.0, std::hypot(cx - x, cy - y) - o.size);
        break;
      default:
        d = std::hypot(cx - x, cy - y);
        break;
    }
    if (d <= best) {
      best = d;
      cause = {SkyObjectKindName(o.kind), nullptr};
    }
  }
  return cause;
}

int RunSimulated(double minutes, uint32_t seed) {
  const TriggerSettings trigger{.hourlyRate = 0};
  const int64_t frames = std::llround(minutes * 60 * kFramesPerSecond);
  const int64_t learnFrames = std::min<int64_t>(frames, 1800);  // the first minute
  const SimulatedSkyOptions options = LyingSky(seed);
  SkyFrameGenerator sky(options);
  std::vector<uint8_t> sample(kSampleSize640);
  std::vector<Frame> recent(static_cast<size_t>(trigger.gap + 1), Frame(kFrameBytes));
  const auto load = [&](int64_t k) -> const Frame& {
    Frame& frame = recent[static_cast<size_t>(k % (trigger.gap + 1))];
    sky.GenerateFrame(k, sample.data());
    for (int i = 0; i < kFrameBytes; ++i) {
      frame[i] = sample[2 * static_cast<size_t>(i)];
    }
    return frame;
  };
  const auto reference = [&](int64_t k) -> const Frame& {
    return recent[static_cast<size_t>((k - trigger.gap) % (trigger.gap + 1))];
  };

  // The mask learnt from the first minute, as "mask learn" would on the live sky.
  const Frame plain(kFrameBytes, 30);
  MaskLearner learner;
  for (int64_t k = 0; k < learnFrames; ++k) {
    const Frame& cur = load(k);
    if (k >= trigger.gap) {
      learner.Add(cur.data(), reference(k).data(), plain.data());
    }
  }
  const std::vector<uint8_t> mask = learner.Propose();
  if (!maskFolder.empty()) {
    WriteMaskImage(maskFolder + "/sim.png", mask.data(), learner.MeanFrame().data());
  }
  Frame masked = plain;
  int maskedPixels = 0;
  for (int i = 0; i < kFrameBytes; ++i) {
    if (mask[i] != 0) {
      masked[i] = 255;
      ++maskedPixels;
    }
  }
  std::vector<DetectionRun> runs;
  runs.emplace_back("default", plain, false, trigger);
  runs.emplace_back("learnt mask", masked, false, trigger);
  runs.emplace_back("adaptive", plain, true, trigger);
  runs.emplace_back("adaptive + learnt mask", masked, true, trigger);
  for (int64_t k = 0; k < frames; ++k) {
    const Frame& cur = load(k);
    if (k < trigger.gap) {
      continue;
    }
    for (DetectionRun& run : runs) {
      run.Process(k, cur.data(), reference(k).data());
    }
  }
  sky.ScheduleThrough(frames);

  const int64_t fps = 30;
  const auto timeOf = [](int64_t k) { return TimeAt(k * 1001 / 30); };
  int clockPixels = 0, clockMasked = 0;
  for (const SimulatedObject& o : sky.objects()) {
    if (o.kind == SkyObjectKind::kClock) {
      for (int y = static_cast<int>(o.startY); y <= static_cast<int>(o.endY); ++y) {
        for (int x = static_cast<int>(o.startX); x <= static_cast<int>(o.endX); ++x) {
          ++clockPixels;
          clockMasked += mask[static_cast<size_t>(y) * kFrameWidth + x];
        }
      }
    }
  }
  std::printf(
      "Simulated sky: seed %u, %.0f minutes (%ld frames), %zu meteors, %zu other objects; "
      "learnt mask %d pixels, clock text box %d of %d pixels masked\n",
      seed, minutes, frames, sky.meteors().size(), sky.objects().size(), maskedPixels, clockMasked,
      clockPixels);
  int kindCounts[7] = {};
  for (const SimulatedObject& o : sky.objects()) {
    kindCounts[static_cast<int>(o.kind)]++;
  }
  std::printf("  objects:");
  for (int kind = 1; kind < 7; ++kind) {
    std::printf(" %s %d,", SkyObjectKindName(static_cast<SkyObjectKind>(kind)), kindCounts[kind]);
  }
  std::printf("\n");

  const char* verdicts[] = {"meteor", "slow mover", "flash", "stationary", "unknown"};
  for (DetectionRun& run : runs) {
    run.Finish();
    // Meteors found: covered by an event (not counting those at the very start or end).
    int meteors = 0, covered = 0;
    for (const SimulatedMeteor& m : sky.meteors()) {
      if (m.firstFrame < 2 * fps || m.lastFrame > frames - 2 * fps) {
        continue;
      }
      ++meteors;
      covered += std::any_of(run.events().begin(), run.events().end(), [&](const Event& e) {
        return e.first - fps <= m.firstFrame + 2 && e.last >= m.lastFrame - 2;
      });
    }
    std::map<std::string, std::map<std::string, int>> table;  // cause -> verdict -> events
    int calledMeteor = 0, calledMeteorRight = 0, meteorEvents = 0, meteorEventsCalled = 0;
    for (const Event& e : run.events()) {
      const auto history = EventHistory(run, e, fps, timeOf);
      const std::vector<TimeHistoryRow> begin = run.Rows(e.first, e.first);
      const Cause cause =
          begin.empty() ? Cause{} : CauseOf(sky, e.first, begin[0].centroidX, begin[0].centroidY);
      // A meteor shown in at least 3 frames of the kept stretch makes it a meteor's event.
      const bool holdsMeteor =
          std::any_of(sky.meteors().begin(), sky.meteors().end(), [&](const SimulatedMeteor& m) {
            return std::min(m.lastFrame, e.last) - std::max(m.firstFrame, e.first - fps) >= 2;
          });
      const Verdict verdict = JudgeEvent(history);
      const std::string kind = holdsMeteor ? std::string("meteor") : cause.kind;
      table[kind][VerdictName(verdict)]++;
      if (verdict == Verdict::kMeteor) {
        ++calledMeteor;
        calledMeteorRight += holdsMeteor;
      }
      if (holdsMeteor) {
        ++meteorEvents;
        meteorEventsCalled += verdict == Verdict::kMeteor;
      }
      if (showFigures && kind != "meteor" && verdict == Verdict::kMeteor) {
        std::printf("    %s event %ld-%ld called meteor: %s\n", kind.c_str(), e.first, e.last,
                    FiguresText(MeasureEvent(history)).c_str());
      }
      const bool mover = kind == "satellite" || kind == "aircraft";
      if (showFigures && mover && verdict != Verdict::kSlowMover &&
          verdict != Verdict::kStationary) {
        std::printf("    %s event %ld-%ld called %s: %s\n", kind.c_str(), e.first, e.last,
                    VerdictName(verdict), FiguresText(MeasureEvent(history)).c_str());
      }
      if (showFigures && kind == "meteor" && verdict != Verdict::kMeteor) {
        std::printf("    meteor event %ld-%ld called %s: %s\n", e.first, e.last,
                    VerdictName(verdict), FiguresText(MeasureEvent(history)).c_str());
      }
    }
    std::printf(
        "\n%s: %zu events; meteors covered %d of %d (recall %.3f); verdict \"meteor\": "
        "precision %.3f (%d of %d), recall %.3f (%d of %d meteor events)\n",
        run.name().c_str(), run.events().size(), covered, meteors,
        meteors ? static_cast<double>(covered) / meteors : 0.0,
        calledMeteor ? static_cast<double>(calledMeteorRight) / calledMeteor : 0.0,
        calledMeteorRight, calledMeteor,
        meteorEvents ? static_cast<double>(meteorEventsCalled) / meteorEvents : 0.0,
        meteorEventsCalled, meteorEvents);
    std::printf("  %-12s", "cause");
    for (const char* v : verdicts) {
      std::printf(" %11s", v);
    }
    std::printf("\n");
    for (const auto& [kind, row] : table) {
      std::printf("  %-12s", kind.c_str());
      for (const char* v : verdicts) {
        const auto it = row.find(v);
        std::printf(" %11d", it == row.end() ? 0 : it->second);
      }
      std::printf("\n");
    }
  }
  return 0;
}

}  // namespace
}  // namespace ombrix

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  std::vector<std::string> words;
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--figures") {
      ombrix::showFigures = true;
    } else if (word == "--write-masks" && i + 1 < argc) {
      ombrix::maskFolder = argv[++i];
    } else {
      words.push_back(word);
    }
  }
  if (mode == "clips" && words.size() == 1) {
    return ombrix::RunClips(words[0]);
  }
  if (mode == "sim" && words.size() <= 2) {
    const double minutes = words.size() > 0 ? std::atof(words[0].c_str()) : 60;
    const uint32_t seed = words.size() > 1 ? static_cast<uint32_t>(std::stoul(words[1])) : 1;
    if (minutes >= 2) {
      return ombrix::RunSimulated(minutes, seed);
    }
  }
  std::fprintf(stderr,
               "usage: sky_replay clips FOLDER [--figures] [--write-masks DIR]\n"
               "       sky_replay sim [MINUTES [SEED]] [--figures] [--write-masks DIR]\n");
  return 2;
}
