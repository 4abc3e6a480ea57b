// Detection on real and on simulated skies, judged against ground truth, with the station's own
// code throughout (bench/real_sky.sh drives it).
//
//   sky_replay learn SOURCE OUT.png [--seconds N] [--sim-rate N] [--sim-objects LIST]
//     Learns a mask from SOURCE (file:PATH replayed as fast as the learning goes, or sim[:SEED]
//     in real time) and writes it, as "mask learn" does: the whole file, or N seconds (60 by
//     default for the simulated sky).
//
//   sky_replay judge FOLDER RUNS SETTING...
//     For every clip listed in FOLDER/truth.csv and every SETTING, reads the events of the run in
//     RUNS/SETTING/CLIP (the archive folder of `ombrix --headless --source file:CLIP --fast
//     --enable --start 2024-03-15T21:00:00Z`), maps their times back to the clip's frames and
//     prints whether the meteor was found, smeared, partial or missed, the false events, the
//     events excused by a sky-wide flash named in the truth, and each event with the verdict on
//     its time history; then the totals per setting.
//
//   sky_replay judge-sim TRUTH ARCHIVE
//     Judges the events of a station run on the simulated sky (its archive folder) against the
//     run's --sim-truth file: meteors covered by an event, the precision and recall of the verdict
//     "meteor", and the verdicts by the cause of each event.
//
//   sky_replay sim [MINUTES [SEED]]
//     The same on MINUTES (default 60) of the simulated sky with 6 meteors a minute and every
//     kind of lie, without the archive: the frames go through a ring into the station's Detector
//     under three settings (default, adaptiveThreshold, adaptiveThreshold with a mask learnt from
//     the first minute by the RingMaskLearner), the time histories are the detector's figures of
//     every frame. The budget of events per hour is off (the sky's meteor rate is thirty times
//     the default budget).
//
// --figures adds each event's verdict figures.

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
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
#include "capture/file_source.h"
#include "capture/frame_ring.h"
#include "capture/simulated_sky.h"
#include "config/settings.h"
#include "detect/detector.h"
#include "detect/event_file.h"
#include "detect/mask_learning.h"
#include "media/video_file_decoder.h"
#include "review/verdict.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

bool showFigures = false;

// The start the runs of real clips are given (--start), so that event times map back to frames.
const UtcTime kClipStart = *ParseStamp("20240315_210000_000");

// An event with its time history (from a second before its first frame to its last).
struct Event {
  UtcTime first;
  UtcTime last;
  std::vector<EventHistoryRow> history;
};

std::string TrackText(const Track& t) {
  char text[200];
  std::snprintf(text, sizeof text,
                "%d frames (%.2f) %.2f s %.1f px %.2f deg, off %.1f px, peak %d px, %.1f deg/s",
                t.frames, t.onTrackShare, t.seconds, t.pixels, t.degrees, t.offPixels, t.peakPixels,
                t.degreesPerSecond);
  return text;
}

std::string FiguresText(const std::vector<EventHistoryRow>& history) {
  const EventFigures f = MeasureEvent(history);
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

// The events of an archive folder (events/e<key>.txt) with their time histories (c<key>.csv), in
// time order.
std::vector<Event> ReadArchiveEvents(const fs::path& archive) {
  std::vector<Event> events;
  const fs::path folder = archive / "events";
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() != 24 || name[0] != 'e' || name.substr(20) != ".txt") {
      continue;
    }
    const auto times = ReadEventFile(entry.path().string());
    if (!times) {
      continue;
    }
    Event event{times->first, times->last, {}};
    std::ifstream csv(folder / ("c" + name.substr(1, 19) + ".csv"));
    for (std::string line; std::getline(csv, line);) {
      EventHistoryRow row;
      if (ParseEventHistoryLine(line.c_str(), row)) {
        event.history.push_back(row);
      }
    }
    events.push_back(std::move(event));
  }
  std::sort(events.begin(), events.end(),
            [](const Event& a, const Event& b) { return a.first < b.first; });
  return events;
}

// ---------------------------------------------------------------------------------------------
// learn

class StderrNotices {
 public:
  StderrNotices() {
    notices.SetSink([](const Notice& n) { std::fprintf(stderr, "%s\n", n.text.c_str()); });
  }
  Notices notices;
};

int RunLearn(const std::string& source, const std::string& out, std::optional<double> seconds,
             double simRate, const SimulatedSkyOptions& lies) {
  StderrNotices said;
  SystemClock clock;
  SteadyPacer pacer;
  SharedSettings settings;
  FrameRing ring;
  const bool file = source.rfind("file:", 0) == 0;
  std::optional<milliseconds> duration;
  if (seconds || !file) {
    duration = milliseconds(std::llround(seconds.value_or(60) * 1000));
  }
  RingMaskLearner learner(ring, settings.Get()->threshold, settings.Get()->triggerGap, duration);
  std::unique_ptr<CaptureSource> capture;
  if (file) {
    capture = std::make_unique<FileSource>(
        FileSourceOptions{.path = source.substr(5), .fast = true, .start = kClipStart}, settings,
        clock, pacer, said.notices, &learner.readProgress());
  } else if (source == "sim" || source.rfind("sim:", 0) == 0) {
    SimulatedSkyOptions sky = lies;
    sky.seed = source.size() > 4 ? static_cast<uint32_t>(std::stoul(source.substr(4))) : 1;
    sky.meteorsPerMinute = simRate;
    capture = std::make_unique<SimulatedSkySource>(sky, clock, pacer, said.notices);
  } else {
    std::fprintf(stderr, "unknown source '%s' (use file:PATH or sim[:SEED])\n", source.c_str());
    return 2;
  }
  if (!LearnMask(*capture, ring, learner, pacer)) {
    return 2;
  }
  const std::vector<uint8_t> mask = learner.Propose();
  if (!learner.Write(out)) {
    std::fprintf(stderr, "could not write %s\n", out.c_str());
    return 2;
  }
  std::printf("%s: learnt from %lld frames (%.1f s of video), %lld pixels masked\n", out.c_str(),
              static_cast<long long>(learner.learner().framesSeen()),
              learner.learnt().count() / 1000.0,
              static_cast<long long>(std::count(mask.begin(), mask.end(), 1)));
  return 0;
}

// ---------------------------------------------------------------------------------------------
// judge: the real clips

struct ClipTruth {
  std::string clip;
  int64_t first = 0;
  int64_t last = 0;
  std::vector<std::pair<int64_t, int64_t>> flashes;  // sky-wide flashes named in the notes
};

// "... flash ... at frames 12-27 ..." or "flare ... at frames 178-182": the frames of a listed
// sky-wide brightening.
std::vector<std::pair<int64_t, int64_t>> FlashesIn(const std::string& notes) {
  std::vector<std::pair<int64_t, int64_t>> flashes;
  for (const char* part : {"flash", "flare"}) {
    const size_t at = notes.find(part);
    const size_t frames = at == std::string::npos ? at : notes.find("at frames ", at);
    long a = 0, b = 0;
    if (frames != std::string::npos &&
        std::sscanf(notes.c_str() + frames, "at frames %ld-%ld", &a, &b) == 2) {
      flashes.emplace_back(a, b);
    }
  }
  return flashes;
}

std::vector<ClipTruth> ReadClipTruth(const std::string& path) {
  std::vector<ClipTruth> truths;
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::stringstream fields(line);
    std::vector<std::string> cells;
    for (std::string cell; cells.size() < 7 && std::getline(fields, cell, ',');) {
      cells.push_back(cell);
    }
    if (cells.size() < 7) {
      continue;
    }
    std::string notes;
    std::getline(fields, notes);
    truths.push_back({cells[0], std::stol(cells[1]), std::stol(cells[2]), FlashesIn(notes)});
  }
  return truths;
}

// The capture time of every picture of a clip replayed from kClipStart, as the file source
// stamps them.
std::optional<std::vector<UtcTime>> FrameTimes(const std::string& path) {
  VideoFileDecoder decoder(path, VideoFileDecoder::Layout::kYuyv);
  if (decoder.failed()) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), decoder.error().c_str());
    return std::nullopt;
  }
  std::vector<UtcTime> times;
  std::vector<uint8_t> sample(kSampleSize640);
  int64_t ms = 0;
  while (decoder.ReadFrame(sample.data(), ms)) {
    times.push_back(kClipStart + milliseconds(ms));
  }
  return times;
}

enum class Outcome { kFound, kSmeared, kPartial, kMissed };
const char* const kOutcomeNames[] = {"found", "smeared", "partial", "missed"};

// An event as frame numbers of the clip.
struct FrameEvent {
  int64_t first = 0;
  int64_t last = 0;
};

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

Judgement JudgeClip(const ClipTruth& truth, const std::vector<FrameEvent>& events,
                    int64_t framesPerSecond) {
  constexpr int64_t kTruthSlack = 2;
  Judgement j;
  const FrameEvent* covering = nullptr;
  for (const FrameEvent& e : events) {
    if (covering == nullptr && e.first - framesPerSecond <= truth.first + kTruthSlack &&
        e.last >= truth.last - kTruthSlack) {
      covering = &e;
    }
  }
  bool partial = false;
  for (const FrameEvent& e : events) {
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
    ++(flash ? j.flashEvents : j.falseEvents);
  }
  return j;
}

int RunJudge(const std::string& folder, const fs::path& runs,
             const std::vector<std::string>& settings) {
  const std::vector<ClipTruth> truths = ReadClipTruth(folder + "/truth.csv");
  if (truths.empty()) {
    std::fprintf(stderr, "no clips listed in %s/truth.csv\n", folder.c_str());
    return 2;
  }
  std::vector<std::array<int, 5>> totals(settings.size());  // outcomes, then false events
  std::printf("%-12s %-22s %-12s %5s %5s  %s\n", "clip", "setting", "meteor", "false", "flash",
              "events (first-last frame: verdict)");
  for (const ClipTruth& truth : truths) {
    const auto times = FrameTimes(folder + "/" + truth.clip);
    if (!times || times->size() < 2) {
      return 2;
    }
    const int64_t framesPerSecond = std::max<int64_t>(
        1, std::lround((times->size() - 1) * 1000.0 / (times->back() - times->front()).count()));
    const auto frameOf = [&](UtcTime t) {
      return static_cast<int64_t>(std::lower_bound(times->begin(), times->end(), t) -
                                  times->begin());
    };
    for (size_t s = 0; s < settings.size(); ++s) {
      const std::vector<Event> events = ReadArchiveEvents(runs / settings[s] / truth.clip);
      std::vector<FrameEvent> frames;
      std::string list;
      for (const Event& e : events) {
        frames.push_back({frameOf(e.first), frameOf(e.last)});
        list += std::to_string(frames.back().first) + "-" + std::to_string(frames.back().last) +
                ": " + VerdictName(JudgeEvent(e.history)) + "  ";
        if (showFigures) {
          list += "\n      " + FiguresText(e.history) + "\n";
        }
      }
      const Judgement j = JudgeClip(truth, frames, framesPerSecond);
      ++totals[s][static_cast<int>(j.outcome)];
      totals[s][4] += j.falseEvents;
      char outcome[32];
      std::snprintf(outcome, sizeof outcome, "%s", kOutcomeNames[static_cast<int>(j.outcome)]);
      if (j.outcome == Outcome::kFound || j.outcome == Outcome::kSmeared) {
        std::snprintf(outcome, sizeof outcome, "%s %+ld",
                      kOutcomeNames[static_cast<int>(j.outcome)], static_cast<long>(j.startOffset));
      }
      std::printf("%-12s %-22s %-12s %5d %5d  %s\n", s == 0 ? truth.clip.c_str() : "",
                  settings[s].c_str(), outcome, j.falseEvents, j.flashEvents, list.c_str());
    }
    std::printf("%-12s meteor frames %ld-%ld\n", "", static_cast<long>(truth.first),
                static_cast<long>(truth.last));
  }
  std::printf("\n%-22s %6s %8s %8s %7s %6s\n", "setting", "found", "smeared", "partial", "missed",
              "false");
  for (size_t s = 0; s < settings.size(); ++s) {
    std::printf("%-22s %6d %8d %8d %7d %6d\n", settings[s].c_str(), totals[s][0], totals[s][1],
                totals[s][2], totals[s][3], totals[s][4]);
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// The simulated sky

// One object of the sky as its truth tells it; the clock and hot pixels shine for ever.
struct TruthObject {
  std::string kind;
  UtcTime first;
  UtcTime last;
  double startX = 0, startY = 0, endX = 0, endY = 0;
  double size = 0;  // a cloud's radius
};

double DistanceToBox(double x, double y, double x0, double y0, double x1, double y1) {
  const double dx = std::max({x0 - x, 0.0, x - x1});
  const double dy = std::max({y0 - y, 0.0, y - y1});
  return std::hypot(dx, dy);
}

// What set an event off: the object nearest to the centroid of the event's first frame (lightning
// whenever it shows), within 60 pixels; a meteor wins over the rest.
std::string CauseOf(const std::vector<TruthObject>& truth, UtcTime t, double cx, double cy) {
  constexpr double kNear = 60;
  constexpr milliseconds kSlack{67};
  std::string cause = "nothing";
  for (const bool meteors : {true, false}) {
    double best = kNear;
    for (const TruthObject& o : truth) {
      if ((o.kind == "meteor") != meteors || t < o.first - kSlack || t > o.last + kSlack) {
        continue;
      }
      const double span = (o.last - o.first).count();
      const double u = span > 0 ? std::clamp((t - o.first).count() / span, 0.0, 1.0) : 0;
      const double x = o.startX + (o.endX - o.startX) * u;
      const double y = o.startY + (o.endY - o.startY) * u;
      double d = std::hypot(cx - x, cy - y);
      if (o.kind == "meteor") {  // anywhere along the track drawn so far
        d = DistanceToBox(cx, cy, std::min(o.startX, x), std::min(o.startY, y),
                          std::max(o.startX, x), std::max(o.startY, y));
      } else if (o.kind == "lightning") {
        d = 0;
      } else if (o.kind == "clock") {
        d = DistanceToBox(cx, cy, o.startX, o.startY, o.endX, o.endY);
      } else if (o.kind == "cloud") {
        d = std::max(0.0, d - o.size);
      }
      if (d <= best) {
        best = d;
        cause = o.kind;
      }
    }
    if (cause != "nothing") {
      return cause;
    }
  }
  return cause;
}

// Prints how the events of one setting judge against the sky's truth, between begin and end.
void JudgeSky(const std::string& name, const std::vector<TruthObject>& truth,
              const std::vector<Event>& events, UtcTime begin, UtcTime end) {
  constexpr milliseconds kTwoFrames{67};
  constexpr milliseconds kKeptBefore{1000};
  int meteors = 0, covered = 0;
  for (const TruthObject& m : truth) {
    if (m.kind != "meteor" || m.first < begin + std::chrono::seconds(2) ||
        m.last > end - std::chrono::seconds(2)) {
      continue;
    }
    ++meteors;
    covered += std::any_of(events.begin(), events.end(), [&](const Event& e) {
      return e.first - kKeptBefore <= m.first + kTwoFrames && e.last >= m.last - kTwoFrames;
    });
  }
  const char* const verdicts[] = {"meteor", "slow mover", "flash", "stationary", "unknown"};
  std::map<std::string, std::map<std::string, int>> table;  // cause -> verdict -> events
  int called = 0, calledRight = 0, meteorEvents = 0, meteorEventsCalled = 0, moversCalled = 0;
  for (const Event& e : events) {
    // A meteor shown in 3 frames or more of the kept stretch makes it a meteor's event.
    const bool holdsMeteor = std::any_of(truth.begin(), truth.end(), [&](const TruthObject& m) {
      return m.kind == "meteor" &&
             std::min(m.last, e.last) - std::max(m.first, e.first - kKeptBefore) >= kTwoFrames;
    });
    std::string kind = "meteor";
    if (!holdsMeteor) {
      const auto start =
          std::find_if(e.history.begin(), e.history.end(),
                       [&](const EventHistoryRow& r) { return r.frame.time >= e.first; });
      kind = start == e.history.end()
                 ? "nothing"
                 : CauseOf(truth, e.first, start->frame.centroidX, start->frame.centroidY);
    }
    const Verdict verdict = JudgeEvent(e.history);
    ++table[kind][VerdictName(verdict)];
    const bool calledMeteor = verdict == Verdict::kMeteor;
    called += calledMeteor;
    calledRight += calledMeteor && holdsMeteor;
    meteorEvents += holdsMeteor;
    meteorEventsCalled += holdsMeteor && calledMeteor;
    moversCalled += calledMeteor && (kind == "satellite" || kind == "aircraft");
    if (showFigures && calledMeteor != holdsMeteor) {
      std::printf("    %s event %s called %s: %s\n", kind.c_str(), MakeStamp(e.first).c_str(),
                  VerdictName(verdict), FiguresText(e.history).c_str());
    }
  }
  const auto share = [](int a, int b) { return b > 0 ? static_cast<double>(a) / b : 0.0; };
  std::printf(
      "\n%s: %zu events; meteors covered %d of %d (recall %.3f); verdict \"meteor\": precision "
      "%.3f (%d of %d), recall %.3f (%d of %d meteor events); satellites and aircraft called "
      "meteor: %d\n",
      name.c_str(), events.size(), covered, meteors, share(covered, meteors),
      share(calledRight, called), calledRight, called, share(meteorEventsCalled, meteorEvents),
      meteorEventsCalled, meteorEvents, moversCalled);
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

// A --sim-truth file: start Stamp, end Stamp, start x, y, end x, y, peak, kind.
std::vector<TruthObject> ReadSkyTruth(const std::string& path) {
  std::vector<TruthObject> truth;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    char first[20] = {}, last[20] = {}, kind[32] = {};
    TruthObject o;
    int peak = 0;
    if (std::sscanf(line.c_str(), "%19[0-9_],%19[0-9_],%lf,%lf,%lf,%lf,%d,%31[a-z ]", first, last,
                    &o.startX, &o.startY, &o.endX, &o.endY, &peak, kind) != 8 ||
        !ParseStamp(first) || !ParseStamp(last)) {
      continue;
    }
    o.kind = kind;
    o.first = *ParseStamp(first);
    o.last = o.kind == "clock" || o.kind == "hot pixel" ? kLastStampTime : *ParseStamp(last);
    o.size = o.kind == "cloud" ? 120 : 0;  // the middle of a cloud's radii (not in the truth)
    truth.push_back(o);
  }
  return truth;
}

int RunJudgeSim(const std::string& truthPath, const fs::path& archive) {
  const std::vector<TruthObject> truth = ReadSkyTruth(truthPath);
  const std::vector<Event> events = ReadArchiveEvents(archive);
  if (truth.empty()) {
    std::fprintf(stderr, "no truth lines in %s\n", truthPath.c_str());
    return 2;
  }
  UtcTime begin = truth.front().first, end = begin;
  for (const TruthObject& o : truth) {
    begin = std::min(begin, o.first);
    end = std::max(end, o.kind == "clock" || o.kind == "hot pixel" ? o.first : o.last);
  }
  std::map<std::string, int> kinds;
  for (const TruthObject& o : truth) {
    ++kinds[o.kind];
  }
  std::printf("Station run: %s to %s, truth:", MakeStamp(begin).c_str(), MakeStamp(end).c_str());
  for (const auto& [kind, count] : kinds) {
    std::printf(" %s %d,", kind.c_str(), count);
  }
  std::printf("\n");
  JudgeSky(archive.filename().string(), truth, events, begin, end);
  return 0;
}

UtcTime FrameTime(int64_t frame) {
  return kClipStart + std::chrono::duration_cast<milliseconds>(frame * kFramePeriod);
}

class FixedClock final : public Clock {
 public:
  UtcTime UtcNow() const override { return kClipStart; }
  CalendarFields LocalNow() const override { return BreakUtcTime(kClipStart); }
};

// One setting's detector on the shared ring, keeping every processed frame's figures as the
// archive's time history would.
struct SimStation : ArchiveSink {
  SimStation(std::string settingName, const Settings& initial, FrameRing& ring,
             const FixedClock& clock)
      : name(std::move(settingName)),
        settings(initial),
        detector(settings, ring, thresholds, list, clock, notices) {
    detector.SetArchiveSink(*this);
    detector.SetEventObserver([this](UtcTime first, UtcTime last) {
      events.push_back({first, last, {}});
    });
    detector.BuildThresholdMap();
  }
  void LogClipFrame(int32_t) override {
    const FrameStatistics& s = detector.statistics();
    rows.push_back({detector.currentStamp(), s.pixelCount, s.excessSum, s.centroidX, s.centroidY});
  }
  void RecordArchiveFrame() override {}
  void Finish() {
    detector.EndActiveEvent();
    const Calibration calibration;
    for (Event& e : events) {
      const auto from =
          std::lower_bound(rows.begin(), rows.end(), e.first - milliseconds(1000),
                           [](const TimeHistoryRow& r, UtcTime t) { return r.time < t; });
      for (auto it = from; it != rows.end() && it->time <= e.last; ++it) {
        EventHistoryRow h{*it, 0, 0};
        if (it->pixelCount != 0) {
          const AzEl position = PixelToAzEl(calibration, it->centroidX, it->centroidY);
          h.azimuth = position.azimuth;
          h.elevation = position.elevation;
        }
        e.history.push_back(h);
      }
    }
  }

  std::string name;
  SharedSettings settings;
  ThresholdMap thresholds;
  EventList list;
  Notices notices;
  Detector detector;
  std::vector<TimeHistoryRow> rows;
  std::vector<Event> events;
};

int RunSimulated(double minutes, uint32_t seed) {
  SimulatedSkyOptions options{.seed = seed, .meteorsPerMinute = 6};
  std::string error;
  ParseSimulatedObjects("all", options, error);
  const int64_t frames = std::llround(minutes * 60 * kFramesPerSecond);
  std::vector<uint8_t> sample(kSampleSize640);

  // The mask learnt from the first minute, as "mask learn" would on the live sky.
  const fs::path work = fs::temp_directory_path() / ("sky_replay." + std::to_string(seed));
  fs::create_directories(work);
  const std::string maskPath = (work / "learnt.png").string();
  {
    SkyFrameGenerator sky(options);
    FrameRing ring;
    RingMaskLearner learner(ring, 30, 10, std::chrono::seconds(60));
    for (int64_t k = 0; learner.Poll(); ++k) {
      sky.GenerateFrame(k, sample.data());
      ring.StoreFrame(sample.data(), FrameTime(k));
    }
    learner.Write(maskPath);
  }

  Settings initial;
  initial.enabled = true;
  initial.hourlyRate = 1 << 30;  // no budget
  initial.archiveFolder = work.string();
  FrameRing ring;
  FixedClock clock;
  std::vector<std::unique_ptr<SimStation>> stations;
  stations.push_back(std::make_unique<SimStation>("default", initial, ring, clock));
  initial.adaptiveThreshold = true;
  stations.push_back(std::make_unique<SimStation>("adaptive", initial, ring, clock));
  initial.maskFile = maskPath;
  stations.push_back(std::make_unique<SimStation>("adaptive + learnt mask", initial, ring, clock));

  SkyFrameGenerator sky(options);
  for (int64_t k = 0; k < frames; ++k) {
    sky.GenerateFrame(k, sample.data());
    ring.StoreFrame(sample.data(), FrameTime(k));
    for (auto& station : stations) {
      station->detector.DetectionStep();
    }
  }
  sky.ScheduleThrough(frames);
  std::vector<TruthObject> truth;
  for (const SimulatedMeteor& m : sky.meteors()) {
    truth.push_back({"meteor", FrameTime(m.firstFrame), FrameTime(m.lastFrame), m.startX, m.startY,
                     m.endX, m.endY, 0});
  }
  for (const SimulatedObject& o : sky.objects()) {
    const bool forever = o.lastFrame == std::numeric_limits<int64_t>::max();
    truth.push_back({SkyObjectKindName(o.kind), FrameTime(o.firstFrame),
                     forever ? kLastStampTime : FrameTime(o.lastFrame), o.startX, o.startY, o.endX,
                     o.endY, o.size});
  }
  std::map<std::string, int> kinds;
  for (const TruthObject& o : truth) {
    ++kinds[o.kind];
  }
  std::printf(
      "Simulated sky: seed %u, %.0f minutes (%lld frames); mask learnt from the first "
      "minute; objects:",
      seed, minutes, static_cast<long long>(frames));
  for (const auto& [kind, count] : kinds) {
    std::printf(" %s %d,", kind.c_str(), count);
  }
  std::printf("\n");
  for (auto& station : stations) {
    station->Finish();
    JudgeSky(station->name, truth, station->events, FrameTime(0), FrameTime(frames));
  }
  fs::remove_all(work);
  return 0;
}

}  // namespace
}  // namespace ombrix

int main(int argc, char** argv) {
  using namespace ombrix;
  const std::string mode = argc > 1 ? argv[1] : "";
  std::vector<std::string> words;
  std::optional<double> seconds;
  double simRate = 6;
  SimulatedSkyOptions lies;
  for (int i = 2; i < argc; ++i) {
    const std::string word = argv[i];
    std::string error;
    if (word == "--figures") {
      showFigures = true;
    } else if (word == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (word == "--sim-rate" && i + 1 < argc) {
      simRate = std::atof(argv[++i]);
    } else if (word == "--sim-objects" && i + 1 < argc) {
      if (!ParseSimulatedObjects(argv[++i], lies, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
      }
    } else {
      words.push_back(word);
    }
  }
  if (mode == "learn" && words.size() == 2) {
    return RunLearn(words[0], words[1], seconds, simRate, lies);
  }
  if (mode == "judge" && words.size() >= 3) {
    return RunJudge(words[0], words[1], std::vector<std::string>(words.begin() + 2, words.end()));
  }
  if (mode == "judge-sim" && words.size() == 2) {
    return RunJudgeSim(words[0], words[1]);
  }
  if (mode == "sim" && words.size() <= 2) {
    const double minutes = words.size() > 0 ? std::atof(words[0].c_str()) : 60;
    const uint32_t seed = words.size() > 1 ? static_cast<uint32_t>(std::stoul(words[1])) : 1;
    if (minutes >= 2) {
      return RunSimulated(minutes, seed);
    }
  }
  std::fprintf(stderr,
               "usage: sky_replay learn SOURCE OUT.png [--seconds N] [--sim-rate N] "
               "[--sim-objects LIST]\n"
               "       sky_replay judge FOLDER RUNS SETTING... [--figures]\n"
               "       sky_replay judge-sim TRUTH ARCHIVE [--figures]\n"
               "       sky_replay sim [MINUTES [SEED]] [--figures]\n");
  return 2;
}
