#include "station/station.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/folders.h"
#include "capture/file_source.h"
#include "capture/simulated_sky.h"
#include "media/movie_reader.h"
#include "support/movies.h"
#include "support/program.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::FillBox;
using test::MovieFrames;
using test::Program;
using test::WriteSky;
using test::WriteStreakMovie;

class PlentyOfSpace final : public FreeSpace {
 public:
  std::optional<double> FreeFraction(const std::string&) override { return 0.9; }
};

std::vector<fs::path> FilesMatching(const fs::path& folder, const std::string& prefix,
                                    const std::string& extension) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (it->is_regular_file() && name.rfind(prefix, 0) == 0 &&
        it->path().extension() == extension) {
      files.push_back(it->path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

struct Interval {
  std::string first;
  std::string last;
};

std::vector<Interval> ReadIntervals(const fs::path& path) {
  std::vector<Interval> intervals;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    const auto comma = line.find(',');
    const auto second = line.find(',', comma + 1);
    if (comma == std::string::npos || second == std::string::npos) {
      continue;
    }
    intervals.push_back({line.substr(0, comma), line.substr(comma + 1, second - comma - 1)});
  }
  return intervals;
}

std::vector<Interval> EventWindows(const fs::path& events) {
  std::vector<Interval> windows;
  for (const auto& file : FilesMatching(events, "e", ".txt")) {
    const auto times = ReadEventFile(file.string());
    EXPECT_TRUE(times) << file;
    if (times) {
      windows.push_back({MakeStamp(times->first), MakeStamp(times->last)});
    }
  }
  return windows;
}

bool Overlaps(const Interval& a, const Interval& b) {
  return a.first <= b.last && b.first <= a.last;
}

StationOptions QuickOptions() {
  StationOptions options;
  options.readConfiguration = false;
  options.enableAtStart = true;
  options.extractionPeriod = 200ms;
  options.drainBound = 60s;
  return options;
}

// The station on the simulated sky, in real time: every event it records covers a meteor that
// was drawn, every clear meteor is covered by an event, and every event is cut.
TEST(StationTest, SimulatedSkyEventsCoverTheDrawnMeteorsAndAreCut) {
  test::ScopedHome home;
  test::TempDir base;
  SystemClock clock;
  PlentyOfSpace space;
  SteadyPacer pacer;
  StationHooks hooks;
  const fs::path truthPath = base / "truth.csv";
  {
    Station station(clock, space, QuickOptions(), hooks);
    station.Apply([&base](Settings& s) { s.archiveFolder = base.str(); });
    SimulatedSkyOptions sky;
    sky.seed = 11;
    sky.meteorsPerMinute = 12;
    station.Start(std::make_unique<SimulatedSkySource>(sky, clock, pacer, station.notices(),
                                                       truthPath.string()));
    std::this_thread::sleep_for(16s);
    station.Stop();
    EXPECT_EQ(station.FramesLost(), 0u);
    EXPECT_GT(station.Status().framesRead, 400u);
    EXPECT_EQ(station.EventsRecorded(), station.EventsCut());
  }

  const auto meteors = ReadIntervals(truthPath);
  const auto events = EventWindows(base / "events");
  ASSERT_GE(meteors.size(), 2u) << "the seed should draw a few meteors in 16 s";
  ASSERT_FALSE(events.empty());
  for (const auto& event : events) {
    EXPECT_TRUE(std::any_of(meteors.begin(), meteors.end(),
                            [&](const Interval& m) { return Overlaps(event, m); }))
        << "event " << event.first << " covers no meteor";
    for (const std::string& name : {"j" + event.first + ".jpg", "c" + event.first + ".csv"}) {
      EXPECT_TRUE(fs::exists(base / "events" / name)) << name;
    }
    EXPECT_GT(MovieFrames(base / "events" / ("m" + event.first + ".mp4")), 30);
  }
  // Every meteor ending a second before the station stopped lies inside an event.
  const auto lastEventEnd = events.back().last;
  for (const auto& meteor : meteors) {
    if (meteor.last < lastEventEnd) {
      EXPECT_TRUE(std::any_of(events.begin(), events.end(),
                              [&](const Interval& e) { return Overlaps(e, meteor); }))
          << "meteor " << meteor.first << " was missed";
    }
  }
}

// Two twinkling 8 x 8 stars, one of which brightens against the frame ten before on every frame
// (64 pixels, above triggerSumEnd, below a triggerSumBegin of 1000), and a 200 x 200 flash on
// frames flashAt to flashAt + 3. An event begun on the flash never goes quiet.
void WriteFlashMovie(const std::string& path, int frames, int flashAt) {
  WriteSky(path, frames, 777, [&](int n, auto& frame) {
    for (int star = 0; star < 2; ++star) {
      FillBox(frame, 48 + 64 * star, 48, 8, 8, (n / 10 + star) % 2 == 0 ? 200 : 40);
    }
    if (n >= flashAt && n < flashAt + 4) {
      FillBox(frame, 300, 200, 200, 200, 255);
    }
  });
}

struct ReplayOptions {
  SettingsEdit adjust;                        // changes the settings before the start
  std::function<void(Station&)> stopped;      // looks at the station after Stop()
  std::function<void(const Stamp&)> deleted;  // told of each event retention deletes
  bool fast = true;                           // else at the movie's own pace
  bool readConfiguration = false;
  UtcTime start = *ParseStamp("20240315_211450_000");
};

// Replays a file of 240 frames (as fast as the station can, unless told otherwise) into the
// archive folder base. Returns the events recorded.
uint64_t ReplayFast(const std::string& movie, const fs::path& base,
                    const ReplayOptions& replayOptions = {}) {
  fs::create_directories(base);  // a configured archive folder must exist
  SystemClock clock;
  PlentyOfSpace space;
  SteadyPacer pacer;
  StationOptions options = QuickOptions();
  options.readConfiguration = replayOptions.readConfiguration;
  options.timeBase = TimeBase::kFrameTime;
  options.detectionPeriod = 2ms;
  options.archive.waitWhenFull = true;
  StationHooks hooks;
  hooks.notice = [&](const Notice& notice) {
    const std::string deleted = "Event deleted (older than daysToKeep): ";
    if (notice.text.starts_with(deleted) && replayOptions.deleted) {
      replayOptions.deleted(notice.text.substr(deleted.size()));
    }
    // Without CAP_SYS_NICE the detection thread runs at normal priority, which only slows it.
    if (notice.severity != Severity::kInfo && notice.topic != "priority") {
      ADD_FAILURE() << notice.text;
    }
  };
  Station station(clock, space, options, hooks);
  station.Apply([&base](Settings& s) { s.archiveFolder = base.string(); });
  if (replayOptions.adjust) {
    station.Apply(replayOptions.adjust);
  }
  FileSourceOptions file;
  file.path = movie;
  file.fast = replayOptions.fast;
  file.start = replayOptions.start;
  auto source = std::make_unique<FileSource>(file, station.sharedSettings(), clock, pacer,
                                             station.notices(), &station.readProgress());
  FileSource* replay = source.get();
  station.Start(std::move(source));
  const auto deadline = std::chrono::steady_clock::now() + 180s;
  while (!(replay->Finished() && station.FramesPending() == 0) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(replay->Finished());
  station.Stop();
  EXPECT_EQ(station.FramesLost(), 0u);
  EXPECT_EQ(station.Status().framesRead, 240u);
  EXPECT_EQ(station.EventsCut(), station.EventsRecorded());
  if (replayOptions.stopped) {
    replayOptions.stopped(station);
  }
  return station.EventsRecorded();
}

// The first replay reads config.txt, where daysToKeep:-1 is refused: retention keeps its default
// of 99 days.
TEST(StationTest, FastReplayFindsTheStreakOnItsFrameAndRepeatsByteForByte) {
  test::ScopedHome home;
  test::TempDir dir;
  const std::string movie = (dir / "streak.mp4").string();
  WriteStreakMovie(movie);
  fs::create_directories(LocalDataFolder());
  test::WriteFileBytes(LocalDataFolder() + "/config.txt", "daysToKeep:-1\r\n");

  ReplayOptions options;
  options.readConfiguration = true;
  options.stopped = [](Station& station) { EXPECT_EQ(station.settings()->daysToKeep, 99); };
  ReplayFast(movie, dir / "first", options);
  // Frame 120 is the first to differ from the frame ten before it; the second busy frame, 121,
  // begins the event. Its capture time is the start plus its presentation time, 121 * 100/2997 s
  // rounded down to the millisecond.
  const auto events = EventWindows(dir / "first" / "events");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].first, "20240315_211454_037");
  // The movie holds the frames from one second before the first frame through the last.
  const int64_t lastMs = (ParseStamp(events[0].last).value() - ReplayOptions().start).count();
  int expected = 0;
  for (int n = 0; n < 240; ++n) {
    const int64_t ms = n * 100000LL / 2997;
    expected += ms >= 4037 - 1000 && ms <= lastMs;
  }
  EXPECT_EQ(MovieFrames(dir / "first" / "events" / ("m" + events[0].first + ".mp4")), expected);

  ReplayFast(movie, dir / "second");
  const auto logs1 = FilesMatching(dir / "first" / "archive", "c", ".csv");
  const auto logs2 = FilesMatching(dir / "second" / "archive", "c", ".csv");
  ASSERT_FALSE(logs1.empty());
  ASSERT_EQ(logs1.size(), logs2.size());
  for (size_t i = 0; i < logs1.size(); ++i) {
    EXPECT_EQ(logs1[i].filename(), logs2[i].filename());
    EXPECT_EQ(test::ReadFileBytes(logs1[i]), test::ReadFileBytes(logs2[i])) << logs1[i];
  }
  EXPECT_EQ(test::ReadFileBytes(dir / "first" / "events" / ("c" + events[0].first + ".csv")),
            test::ReadFileBytes(dir / "second" / "events" / ("c" + events[0].first + ".csv")));
}

// The three files of a cut event are there and readable: an image, a movie and a time history,
// with a line for every frame of the movie when every clip of the window was closed. Returns the
// movie's frame count.
int ExpectCut(const fs::path& events, const std::string& key, bool everyClipClosed = true) {
  std::vector<uint8_t> image(kFrameBytes);
  EXPECT_TRUE(MovieReader((events / ("j" + key + ".jpg")).string()).readFrame(image.data())) << key;
  const int frames = MovieFrames(events / ("m" + key + ".mp4"));
  const size_t lines = ReadIntervals(events / ("c" + key + ".csv")).size();
  EXPECT_GT(lines, 0u);
  if (everyClipClosed) {
    EXPECT_EQ(static_cast<size_t>(frames), lines);
  }
  EXPECT_GT(frames, 0);
  return frames;
}

// The replay ends while the event that began on the flash is still busy: it ends on the last
// frame, and is recorded and cut like any other.
TEST(StationTest, FastReplayEndingInTheMiddleOfAnEventRecordsAndCutsIt) {
  test::ScopedHome home;
  test::TempDir dir;
  const std::string movie = (dir / "flash.mp4").string();
  WriteFlashMovie(movie, 240, 60);
  ReplayOptions options;
  options.adjust = [](Settings& s) { s.triggerSumBegin = 1000; };
  EXPECT_EQ(ReplayFast(movie, dir / "out", options), 1u);
  const auto events = EventWindows(dir / "out" / "events");
  ASSERT_EQ(events.size(), 1u);
  // Frame 61 begins the event, frame 239 (the last) ends it: 100/2997 s per frame from 21:14:50.
  EXPECT_EQ(events[0].first, "20240315_211452_035");
  EXPECT_EQ(events[0].last, "20240315_211457_974");
  // From one second before the first frame (2035 ms) through the last.
  int expected = 0;
  for (int n = 0; n < 240; ++n) {
    expected += n * 100000LL / 2997 >= 2035 - 1000;
  }
  EXPECT_EQ(ExpectCut(dir / "out" / "events", events[0].first), expected);
}

// Retention ages the event files by the wall clock, not by the replayed frames' times: in a
// replay set 25 years back with daysToKeep 0, the pass after the replay's event is cut deletes
// the event file left a second before the run, and the owner is told its key.
TEST(StationTest, RetentionDuringAReplayAgesFilesByTheWallClockAndTellsOfTheDeletedEvent) {
  test::ScopedHome home;
  test::TempDir dir;
  const std::string movie = (dir / "streak.mp4").string();
  WriteStreakMovie(movie, {30});  // cut while the replay runs on at its own pace
  const Stamp old = "20010315_211000_000";
  const fs::path oldFile = dir / "events" / ("e" + old + ".txt");
  fs::create_directories(dir / "events");
  test::WriteFileBytes(oldFile, old + "\r\n" + old + "\r\n");
  std::this_thread::sleep_for(1100ms);
  std::mutex mutex;
  std::vector<Stamp> deleted;
  ReplayOptions options;
  options.fast = false;
  options.start = *ParseStamp("20010315_211450_000");
  options.adjust = [](Settings& s) { s.daysToKeep = 0; };
  options.deleted = [&](const Stamp& key) {
    std::lock_guard lock(mutex);
    deleted.push_back(key);
  };
  EXPECT_EQ(ReplayFast(movie, dir.path(), options), 1u);
  EXPECT_FALSE(fs::exists(oldFile));
  std::lock_guard lock(mutex);
  EXPECT_NE(std::find(deleted.begin(), deleted.end(), old), deleted.end());
  for (const Stamp& key : deleted) {
    EXPECT_FALSE(fs::exists(dir / "events" / ("e" + key + ".txt"))) << key;
  }
}

// An event recorded but not cut when the program is killed is cut by the next run.
TEST(StationTest, EventLeftUncutBySigkillIsCutAfterTheRestart) {
  test::TempDir home;
  std::string recorded;
  {
    Program program(home.path(), {"--source", "sim:5", "--sim-rate", "60", "--enable"});
    recorded = program.WaitForLine("<6>Event recorded: ");
    program.Signal(SIGKILL);  // at least 1.5 s before the event could be cut
    EXPECT_EQ(program.Wait(60s), 128 + SIGKILL);
  }
  ASSERT_FALSE(recorded.empty());
  const std::string key = recorded.substr(19, kStampLength);
  const fs::path events = home / "Documents" / "Ombrix" / "events";
  ASSERT_TRUE(fs::exists(events / ("e" + key + ".txt")));
  ASSERT_FALSE(fs::exists(events / ("m" + key + ".mp4")));

  Program program(home.path(), {"--source", "sim:6", "--duration", "3"});
  EXPECT_EQ(program.WaitForLine("<6>Event cut: "), "<6>Event cut: " + key);
  EXPECT_EQ(program.Wait(60s), 0);
  // The clip being written at the kill has no peak image nor log: its frames are in the movie
  // (repeating the last frame that decodes) but not in the time history.
  ExpectCut(events, key, false);
}

// An archive folder that cannot be used (an unmounted disk) sends the recordings to the
// documents folder, and a plain file in its place takes them nowhere; the operator hears of each
// when it happens and when the folder is back, once each, not on every check.
TEST(StationTest, ArchiveFolderFallbackIsReportedOncePerChange) {
  test::ScopedHome home;
  test::TempDir dir;
  SystemClock clock;
  PlentyOfSpace space;
  std::mutex mutex;
  std::vector<std::string> reports;
  StationHooks hooks;
  hooks.notice = [&](const Notice& notice) {
    if (notice.topic == kArchiveFolderTopic) {
      std::lock_guard lock(mutex);
      reports.push_back(notice.text);
    }
  };
  auto seen = [&] {
    std::lock_guard lock(mutex);
    return reports;
  };
  const std::string disk = (dir / "disk").string();
  Station station(clock, space, QuickOptions(), hooks);
  station.Apply([&disk](Settings& s) { s.archiveFolder = disk; });
  station.Start(nullptr);
  const std::string fallback = "The archive folder " + disk +
                               " cannot be used (No such file or directory): recordings go to " +
                               (home.home() / "Documents" / "Ombrix").string() + " instead.";
  const std::string plain = "The archive folder " + disk +
                            " cannot be used (Not a directory): nothing can be recorded until it "
                            "is a folder again.";
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (seen().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(2500ms);  // more health passes: nothing new to say
  EXPECT_EQ(seen(), std::vector<std::string>{fallback});
  test::WriteFileBytes(disk, "x");
  std::this_thread::sleep_for(2500ms);
  fs::remove(disk);
  fs::create_directories(disk);  // mounted
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(seen(), (std::vector<std::string>{fallback, plain,
                                              "The archive folder " + disk + " is in use again."}));
  station.Stop();
}

// Every archive clip a stopped program left is a readable movie of 1 to 30 frames with its peak
// image.
void ExpectReadableClips(const fs::path& home, size_t atLeast) {
  const auto clips = FilesMatching(home / "Documents" / "Ombrix" / "archive", "s", ".mp4");
  ASSERT_GE(clips.size(), atLeast);
  for (const auto& clip : clips) {
    const int frames = MovieFrames(clip);
    EXPECT_GE(frames, 1) << clip;
    EXPECT_LE(frames, 30) << clip;
    const std::string stamp = clip.stem().string().substr(1);
    EXPECT_TRUE(fs::exists(clip.parent_path() / ("t" + stamp + ".jpg"))) << stamp;
  }
}

// SIGTERM and SIGHUP in the middle of a clip: the program closes it, so every archive movie is
// readable, and ends with code 0 (what a stop does with an event in progress: the station test of
// a replay ending in one). A reader of its output that goes away (SIGPIPE) changes nothing: the
// run goes on to its --duration. The three programs run side by side.
TEST(ProgramTest, SignalsAndAClosedOutputEndTheRunCleanly) {
  const int signals[] = {SIGTERM, SIGHUP, SIGPIPE};
  test::TempDir homes[3];
  const auto began = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<Program>> programs;
  for (int i = 0; i < 3; ++i) {
    programs.push_back(std::make_unique<Program>(
        homes[i].path(), std::vector<std::string>{"--source", "sim", "--enable", "--duration",
                                                  signals[i] == SIGPIPE ? "5" : "60"}));
  }
  ASSERT_FALSE(programs[2]->WaitForLine("").empty());  // the first line of output
  programs[2]->CloseOutput();
  std::this_thread::sleep_until(began + 5s);
  programs[0]->Signal(SIGTERM);
  programs[1]->Signal(SIGHUP);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(signals[i]);
    EXPECT_EQ(programs[i]->Wait(60s), 0);
    ExpectReadableClips(homes[i].path(), 2);
  }
}

// Runs that end by themselves, with what they say and their exit code: a replay whose file
// cannot be read ends at once with code 1, in fast and in real-time mode; a file cut off in the
// middle is replayed up to the cut, and the replay ends there as at the end of a file; without a
// capture device the station keeps trying (and says so) and a run that never had video ends with
// code 1.
TEST(ProgramTest, RunsEndByThemselvesWithTheirCodeAndSaySo) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "empty.mp4", "");
  test::WriteFileBytes(dir / "text.mp4", std::string(100000, 'x'));
  fs::create_directories(dir / "folder.mp4");
  const fs::path cut = dir / "streak.mpg";
  WriteStreakMovie(cut.string());
  std::string bytes = test::ReadFileBytes(cut);
  ASSERT_GT(bytes.size(), 10000u);
  bytes.resize(bytes.size() / 2);
  test::WriteFileBytes(cut, bytes);
  struct Row {
    std::vector<std::string> args;
    std::chrono::seconds limit;
    int code;
    std::vector<std::string> says;
  };
  std::vector<Row> rows = {{{"--source", "file:" + cut.string(), "--fast", "--enable", "--start",
                             "2024-03-15T21:14:50Z"},
                            60s,
                            0,
                            {"Stopped:"}}};
  for (const auto& [name, reason] : {std::pair{"missing.mp4", "No such file or directory"},
                                     {"empty.mp4", "Could not"},
                                     {"text.mp4", "Could not"},
                                     {"folder.mp4", "Could not"}}) {
    for (const bool fast : {true, false}) {
      rows.push_back(
          {{"--source", "file:" + (dir / name).string()}, 10s, 1, {reason, "cannot be replayed"}});
      if (fast) {
        rows.back().args.push_back("--fast");
      }
    }
  }
  bool device = false;
  for (int n = 0; n < 64; ++n) {
    device = device || fs::exists("/dev/video" + std::to_string(n));
  }
  if (!device) {  // else this machine has a video device
    rows.push_back({{"--duration", "2"},
                    30s,
                    1,
                    {"No capture device can be used; trying again in 30 s.",
                     "No video was received during the whole run."}});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[1] + " " + row.args.back());
    test::TempDir home;
    Program program(home.path(), row.args);
    const std::string output = program.ReadAll(row.limit);
    EXPECT_EQ(program.Wait(row.limit), row.code) << output;
    for (const std::string& text : row.says) {
      EXPECT_NE(output.find(text), std::string::npos) << output;
    }
    if (row.code == 0) {
      ExpectReadableClips(home.path(), 2);
    }
  }
}

}  // namespace
}  // namespace ombrix
