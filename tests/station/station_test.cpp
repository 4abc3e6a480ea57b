#include "station/station.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "base/folders.h"
#include "capture/file_source.h"
#include "capture/simulated_sky.h"
#include "media/movie_reader.h"
#include "media/movie_writer.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

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

int CountFrames(const fs::path& movie) {
  MovieReader reader(movie.string());
  std::vector<uint8_t> frame(kFrameBytes);
  int count = 0;
  while (reader.readFrame(frame.data())) {
    ++count;
  }
  return count;
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
      windows.push_back({times->first, times->last});
    }
  }
  return windows;
}

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
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
    station.settings.archiveFolder.set(base.str());
    SimulatedSkyOptions sky;
    sky.seed = 11;
    sky.meteorsPerMinute = 12;
    station.Start(
        std::make_unique<SimulatedSkySource>(sky, clock, pacer, hooks.report, truthPath.string()));
    std::this_thread::sleep_for(16s);
    station.Stop();
    EXPECT_EQ(station.detector.FramesLost(), 0u);
    EXPECT_GT(station.detector.FramesProcessed(), 400u);
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
    EXPECT_GT(CountFrames(base / "events" / ("m" + event.first + ".mp4")), 30);
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

// A dark, slightly noisy movie of 120 frames per streak and 120 more, with a bright streak
// crossing the 20 frames from each start (by default one streak in frames 120 to 139).
void WriteStreakMovie(const std::string& path, const std::vector<int>& starts = {120}) {
  MovieWriter writer(path);
  ASSERT_TRUE(writer.ready());
  std::vector<uint8_t> frame(kFrameBytes);
  uint32_t seed = 12345;
  const int frames = 120 * static_cast<int>(starts.size() + 1);
  for (int n = 0; n < frames; ++n) {
    for (auto& pixel : frame) {
      seed = seed * 1664525u + 1013904223u;
      pixel = static_cast<uint8_t>(18 + (seed >> 30));
    }
    const auto streak = std::find_if(starts.begin(), starts.end(),
                                     [n](int start) { return n >= start && n < start + 20; });
    if (streak != starts.end()) {
      const int x0 = 100 + 12 * (n - *streak);
      const int y0 = 200 + 3 * (n - *streak);
      for (int y = y0; y < y0 + 8; ++y) {
        for (int x = x0; x < x0 + 8; ++x) {
          frame[y * kFrameWidth + x] = 230;
        }
      }
    }
    writer.WriteFrame(frame.data(), false);
  }
  writer.Close();
}

struct ReplayOptions {
  std::function<void(Settings&)> adjust;  // changes the settings before the start
  std::function<void(Station&)> stopped;  // looks at the station after Stop()
  bool readConfiguration = false;
  CalendarTime start = *MakeCalendarTime(2024, 3, 15, 21, 14, 50);
  uint64_t frames = 240;                        // frames the movie holds
  std::vector<std::string>* reports = nullptr;  // else a report other than the priority's fails
};

// Replays a file as fast as the station can into the archive folder base. Returns the events
// recorded.
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
  StationHooks hooks;
  std::mutex mutex;
  hooks.report = [&](const std::string& text) {
    // Without CAP_SYS_NICE the detection thread runs at normal priority, which only slows it.
    if (text.find("runs at normal priority") != std::string::npos) {
      return;
    }
    std::lock_guard lock(mutex);
    if (replayOptions.reports != nullptr) {
      replayOptions.reports->push_back(text);
    } else {
      ADD_FAILURE() << text;
    }
  };
  Station station(clock, space, options, hooks);
  station.settings.archiveFolder.set(base.string());
  if (replayOptions.adjust) {
    replayOptions.adjust(station.settings);
  }
  FileSourceOptions file;
  file.path = movie;
  file.fast = true;
  file.start = replayOptions.start;
  auto source = std::make_unique<FileSource>(file, station.settings, clock, pacer, hooks.report,
                                             &station.detector.readProgress());
  FileSource* replay = source.get();
  station.Start(std::move(source));
  const auto deadline = std::chrono::steady_clock::now() + 180s;
  while (!(replay->Finished() && station.FramesPending() == 0) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(replay->Finished());
  station.Stop();
  EXPECT_EQ(station.detector.FramesLost(), 0u);
  EXPECT_EQ(station.detector.FramesRead(), replayOptions.frames);
  EXPECT_EQ(station.EventsCut(), station.EventsRecorded());
  if (replayOptions.stopped) {
    replayOptions.stopped(station);
  }
  return station.EventsRecorded();
}

// Three streaks with a budget of two events an hour: two events are recorded and cut, and the
// operator hears of the third, which is not recorded.
TEST(StationTest, EventRefusedByTheHourlyBudgetIsReported) {
  test::ScopedHome home;
  test::TempDir dir;
  const std::string movie = (dir / "streaks.mp4").string();
  WriteStreakMovie(movie, {120, 240, 360});
  std::vector<std::string> reports;
  ReplayOptions options;
  options.adjust = [](Settings& s) { s.hourlyRate = 2; };
  options.frames = 480;
  options.reports = &reports;
  ReplayFast(movie, dir / "archive", options);
  EXPECT_EQ(EventWindows(dir / "archive" / "events").size(), 2u);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("not recorded: the hourly budget of 2 events is spent."),
            std::string::npos)
      << reports[0];
  EXPECT_EQ(reports[0].rfind("Event at 20240315_2115", 0), 0u) << reports[0];
}

TEST(StationTest, FastReplayFindsTheStreakOnItsFrameAndRepeatsByteForByte) {
  test::ScopedHome home;
  test::TempDir dir;
  const std::string movie = (dir / "streak.mp4").string();
  WriteStreakMovie(movie);

  ReplayFast(movie, dir / "first");
  // Frame 120 is the first to differ from the frame ten before it; the second busy frame, 121,
  // begins the event. Its capture time is the start plus its presentation time, 121 * 100/2997 s
  // rounded down to the millisecond.
  const auto events = EventWindows(dir / "first" / "events");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].first, "20240315_211454_037");
  // The movie holds the frames from one second before the first frame through the last.
  const auto last = ParseStamp(events[0].last);
  ASSERT_TRUE(last);
  const int64_t lastMs =
      (last->time - *MakeCalendarTime(2024, 3, 15, 21, 14, 50)) * 1000 + last->milliseconds;
  int expected = 0;
  for (int n = 0; n < 240; ++n) {
    const int64_t ms = n * 100000LL / 2997;
    expected += ms >= 4037 - 1000 && ms <= lastMs;
  }
  EXPECT_EQ(CountFrames(dir / "first" / "events" / ("m" + events[0].first + ".mp4")), expected);

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

// A dark noisy sky with two twinkling 8 x 8 stars, one of which brightens against the frame ten
// before on every frame (64 pixels, above triggerSumEnd, below a triggerSumBegin of 1000), and a
// 200 x 200 flash on frames flashAt to flashAt + 3. An event begun on the flash never goes quiet.
void WriteFlashMovie(const std::string& path, int frames, int flashAt) {
  MovieWriter writer(path);
  ASSERT_TRUE(writer.ready());
  std::vector<uint8_t> frame(kFrameBytes);
  uint32_t seed = 777;
  for (int n = 0; n < frames; ++n) {
    for (auto& pixel : frame) {
      seed = seed * 1664525u + 1013904223u;
      pixel = static_cast<uint8_t>(18 + (seed >> 30));
    }
    for (int star = 0; star < 2; ++star) {
      const uint8_t level = (n / 10 + star) % 2 == 0 ? 200 : 40;
      for (int y = 48; y < 56; ++y) {
        for (int x = 48 + 64 * star; x < 56 + 64 * star; ++x) {
          frame[y * kFrameWidth + x] = level;
        }
      }
    }
    if (n >= flashAt && n < flashAt + 4) {
      for (int y = 200; y < 400; ++y) {
        std::fill_n(frame.begin() + y * kFrameWidth + 300, 200, uint8_t{255});
      }
    }
    writer.WriteFrame(frame.data(), false);
  }
  ASSERT_TRUE(writer.Close());
}

// The three files of a cut event are there and readable: an image, a movie and a time history,
// with a line for every frame of the movie when every clip of the window was closed. Returns the
// movie's frame count.
int ExpectCut(const fs::path& events, const std::string& key, bool everyClipClosed = true) {
  std::vector<uint8_t> image(kFrameBytes);
  EXPECT_TRUE(MovieReader((events / ("j" + key + ".jpg")).string()).readFrame(image.data())) << key;
  const int frames = CountFrames(events / ("m" + key + ".mp4"));
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

// Retention ages the event files by the wall clock, not by the replayed frames' times: a replay
// set 60 years ahead keeps its new events for daysToKeep 99, and in one set 25 years back
// daysToKeep 0 deletes every event file made a second or more ago. daysToKeep:-1 in config.txt
// is refused, so the default of 99 days keeps them.
TEST(StationTest, RetentionDuringAReplayAgesFilesByTheWallClock) {
  test::ScopedHome home;
  test::TempDir dir;
  const std::string movie = (dir / "streak.mp4").string();
  WriteStreakMovie(movie);
  struct Row {
    int year;
    std::optional<int32_t> daysToKeep;  // set in the settings; else read from config.txt
    bool deleted;
  } rows[] = {{2086, 99, false}, {2001, 0, true}, {2024, std::nullopt, false}};
  fs::create_directories(LocalDataFolder());
  test::WriteFileBytes(LocalDataFolder() + "/config.txt", "daysToKeep:-1\r\n");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.year);
    const fs::path base = dir / std::to_string(row.year);
    ReplayOptions options;
    options.start = *MakeCalendarTime(row.year, 3, 15, 21, 14, 50);
    options.readConfiguration = !row.daysToKeep;
    options.adjust = [&row](Settings& s) { s.daysToKeep = row.daysToKeep.value_or(s.daysToKeep); };
    size_t before = 0;
    options.stopped = [&](Station& station) {
      before = Names(base / "events").size();
      std::this_thread::sleep_for(1100ms);
      station.extractor.DeleteOldEvents((base / "events").string());
    };
    ReplayFast(movie, base, options);
    if (row.deleted) {
      EXPECT_TRUE(Names(base / "events").empty());
    } else {
      EXPECT_GE(before, 4u) << "the event file and its cut files";
      EXPECT_EQ(Names(base / "events").size(), before);
    }
  }
}

// Runs the program with HOME at home; its standard output goes to the returned descriptor.
pid_t StartOmbrix(const fs::path& home, std::vector<std::string> args, int& output) {
  int fds[2];
  if (pipe(fds) != 0) {
    return -1;
  }
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_DOCUMENTS_DIR");
    unsetenv("XDG_CONFIG_HOME");
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    freopen("/dev/null", "w", stderr);
    std::vector<char*> argv{const_cast<char*>(OMBRIX_BINARY)};
    for (std::string& arg : args) {
      argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    execv(OMBRIX_BINARY, argv.data());
    _exit(127);
  }
  close(fds[1]);
  output = fds[0];
  return child;
}

// Reads the program's output until a line begins with prefix (returned) or the time runs out
// (empty text).
std::string WaitForLine(int fd, const std::string& prefix, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string pending;
  char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
      if (pending.compare(0, prefix.size(), prefix) == 0) {
        return pending.substr(0, end);
      }
    }
    pollfd poll_fd{fd, POLLIN, 0};
    if (poll(&poll_fd, 1, 100) > 0) {
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) {
        break;
      }
      pending.append(buffer, static_cast<size_t>(n));
    }
  }
  return {};
}

// Reads the rest of the output (a closed pipe would end the program), then waits for the exit.
int WaitExit(pid_t child, int output) {
  char buffer[4096];
  while (read(output, buffer, sizeof buffer) > 0) {
  }
  close(output);
  int status = 0;
  if (waitpid(child, &status, 0) != child) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// SIGTERM while an event is in progress (a replay in real time whose sky never goes quiet after
// the flash): the event ends where the station stopped and its files are cut before the exit.
TEST(StationTest, SigtermDuringAnEventLeavesItsEventFileAndCutFiles) {
  test::TempDir home;
  const std::string movie = (home / "flash.mp4").string();
  WriteFlashMovie(movie, 450, 30);
  fs::create_directories(home / ".local/share/Ombrix");
  test::WriteFileBytes(home / ".local/share/Ombrix/config.txt", "triggerSumBegin:1000\r\n");
  int output = -1;
  const pid_t child =
      StartOmbrix(home.path(), {"--headless", "--source", "file:" + movie, "--enable"}, output);
  ASSERT_GT(child, 0);
  std::this_thread::sleep_for(6s);  // the flash is at 1 s, the file lasts 15 s
  kill(child, SIGTERM);
  const std::string stopped = WaitForLine(output, "Stopped:", 120s);
  EXPECT_EQ(WaitExit(child, output), 0);
  EXPECT_EQ(stopped, "Stopped: 1 events recorded, 1 cut.");
  const fs::path events = home / "Documents" / "Ombrix" / "events";
  const auto windows = EventWindows(events);
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_GT(ExpectCut(events, windows[0].first), 60);
}

// An event recorded but not cut when the program is killed is cut by the next run.
TEST(StationTest, EventLeftUncutBySigkillIsCutAfterTheRestart) {
  test::TempDir home;
  int output = -1;
  pid_t child = StartOmbrix(
      home.path(), {"--headless", "--source", "sim:5", "--sim-rate", "60", "--enable"}, output);
  ASSERT_GT(child, 0);
  const std::string recorded = WaitForLine(output, "Event recorded: ", 60s);
  kill(child, SIGKILL);  // at least 1.5 s before the event could be cut
  WaitExit(child, output);
  ASSERT_FALSE(recorded.empty());
  const std::string key = recorded.substr(16, kStampLength);
  const fs::path events = home / "Documents" / "Ombrix" / "events";
  ASSERT_TRUE(fs::exists(events / ("e" + key + ".txt")));
  ASSERT_FALSE(fs::exists(events / ("m" + key + ".mp4")));

  child = StartOmbrix(home.path(), {"--headless", "--source", "sim:6", "--duration", "3"}, output);
  ASSERT_GT(child, 0);
  EXPECT_EQ(WaitForLine(output, "Event cut: ", 60s), "Event cut: " + key);
  EXPECT_EQ(WaitExit(child, output), 0);
  // The clip being written at the kill has no peak image nor log: its frames are in the movie
  // (repeating the last frame that decodes) but not in the time history.
  ExpectCut(events, key, false);
}

// An archive folder that cannot be used (an unmounted disk) sends the recordings to the
// documents folder; the operator hears of it when it happens and when the folder is back, once
// each, not on every check.
// A source that only records its starts and stops.
class RecordingSource final : public CaptureSource {
 public:
  RecordingSource(std::vector<std::string>& log, std::string name)
      : log_(log), name_(std::move(name)) {}
  bool Start(FrameRing&) override {
    log_.push_back("start " + name_);
    return true;
  }
  void Stop() override {
    if (!stopped_) {
      log_.push_back("stop " + name_);
    }
    stopped_ = true;
  }

 private:
  std::vector<std::string>& log_;
  std::string name_;
  bool stopped_ = false;
};

TEST(StationTest, StatusSnapshotAndSourceReplacement) {
  test::ScopedHome home;
  SystemClock clock;
  PlentyOfSpace space;
  std::vector<std::string> log;
  Station station(clock, space, QuickOptions(), StationHooks{});
  EXPECT_FALSE(station.ReplaceSource(std::make_unique<RecordingSource>(log, "early")));
  station.Start(std::make_unique<RecordingSource>(log, "a"));
  StationStatus status = station.Status();
  EXPECT_FALSE(status.newestCapture.has_value());
  EXPECT_TRUE(status.enabled);
  EXPECT_EQ(status.freeFraction, 0.9);
  EXPECT_EQ(status.eventsWaiting, 0u);

  const std::vector<uint8_t> sample(kSampleSize640, 77);
  const SystemTime stamp{2016, 6, 5, 10, 21, 5, 9, 990};
  station.ring.StoreFrame(sample.data(), stamp);
  status = station.Status();
  ASSERT_TRUE(status.newestCapture.has_value());
  EXPECT_EQ(*status.newestCapture, stamp);
  std::vector<uint8_t> frame(kFrameBytes);
  SystemTime copied;
  ASSERT_TRUE(station.CopyNewestFrame(frame.data(), &copied));
  EXPECT_EQ(copied, stamp);
  EXPECT_EQ(frame[12345], 77);

  EXPECT_TRUE(station.ReplaceSource(std::make_unique<RecordingSource>(log, "b")));
  station.Stop();
  EXPECT_FALSE(station.ReplaceSource(std::make_unique<RecordingSource>(log, "late")));
  EXPECT_EQ(log, (std::vector<std::string>{"start a", "stop a", "start b", "stop b"}));
}

TEST(StationTest, ArchiveFolderFallbackIsReportedOncePerChange) {
  test::ScopedHome home;
  test::TempDir dir;
  SystemClock clock;
  PlentyOfSpace space;
  std::mutex mutex;
  std::vector<std::string> reports;
  StationHooks hooks;
  hooks.report = [&](const std::string& text) {
    if (text.find("archive folder") != std::string::npos) {
      std::lock_guard lock(mutex);
      reports.push_back(text);
    }
  };
  auto seen = [&] {
    std::lock_guard lock(mutex);
    return reports;
  };
  const std::string disk = (dir / "disk").string();
  Station station(clock, space, QuickOptions(), hooks);
  station.settings.archiveFolder.set(disk);
  station.Start(nullptr);
  const std::string fallback = "The archive folder " + disk +
                               " cannot be used (No such file or directory): recordings go to " +
                               (home.home() / "Documents" / "Ombrix").string() + " instead.";
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (seen().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  std::this_thread::sleep_for(2500ms);  // more health passes: nothing new to say
  EXPECT_EQ(seen(), std::vector<std::string>{fallback});
  fs::create_directories(disk);  // mounted
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(seen(), (std::vector<std::string>{fallback,
                                              "The archive folder " + disk + " is in use again."}));
  station.Stop();
}

// The real program in a child process, with HOME in a fresh folder and standard output and
// error on a pipe the test reads.
class Program {
 public:
  Program(const fs::path& home, const std::vector<std::string>& args) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_ = fork();
    if (pid_ == 0) {
      setenv("HOME", home.c_str(), 1);
      unsetenv("XDG_DATA_HOME");
      unsetenv("XDG_DOCUMENTS_DIR");
      unsetenv("XDG_CONFIG_HOME");
      dup2(fds[1], STDOUT_FILENO);
      dup2(fds[1], STDERR_FILENO);
      close(fds[0]);
      close(fds[1]);
      std::vector<char*> argv{const_cast<char*>(OMBRIX_BINARY), const_cast<char*>("--headless")};
      for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
      }
      argv.push_back(nullptr);
      execv(OMBRIX_BINARY, argv.data());
      _exit(127);
    }
    close(fds[1]);
    out_ = fdopen(fds[0], "r");
  }
  ~Program() {
    CloseOutput();
    if (pid_ > 0 && !waited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // The next line of output; false at its end.
  bool ReadLine(std::string& line) {
    line.clear();
    if (out_ == nullptr) {
      return false;
    }
    int c;
    while ((c = std::fgetc(out_)) != EOF && c != '\n') {
      line.push_back(static_cast<char>(c));
    }
    return c != EOF || !line.empty();
  }
  // Everything until the program closes its output.
  std::string ReadAll() {
    std::string all;
    std::string line;
    while (ReadLine(line)) {
      all += line + "\n";
    }
    return all;
  }
  // A reader that goes away, as `| head` does.
  void CloseOutput() {
    if (out_ != nullptr) {
      std::fclose(out_);
      out_ = nullptr;
    }
  }
  void Signal(int signal) { kill(pid_, signal); }
  // The wait status, or -1 when the program has not ended within the limit (it is then killed).
  int Wait(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        waited_ = true;
        return -1;
      }
      std::this_thread::sleep_for(20ms);
    }
    waited_ = true;
    return status;
  }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
  bool waited_ = false;
};

int ExitCode(int status) {
  return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Every archive clip a stopped program left is a readable movie of 1 to 30 frames with its peak
// image.
void ExpectReadableClips(const fs::path& home, size_t atLeast) {
  const auto clips = FilesMatching(home / "Documents" / "Ombrix" / "archive", "s", ".mp4");
  ASSERT_GE(clips.size(), atLeast);
  for (const auto& clip : clips) {
    const int frames = CountFrames(clip);
    EXPECT_GE(frames, 1) << clip;
    EXPECT_LE(frames, 30) << clip;
    const std::string stamp = clip.stem().string().substr(1);
    EXPECT_TRUE(fs::exists(clip.parent_path() / ("t" + stamp + ".jpg"))) << stamp;
  }
}

// SIGTERM and SIGHUP in the middle of a clip: the program closes it, so every archive movie is
// readable, and ends with code 0. A reader of its output that goes away (SIGPIPE) changes
// nothing: the run goes on to its --duration.
TEST(ProgramTest, SignalsAndAClosedOutputLeaveEveryArchiveClipReadable) {
  for (const int signal : {SIGTERM, SIGHUP, SIGPIPE}) {
    SCOPED_TRACE(signal);
    test::TempDir home;
    Program program(home.path(),
                    {"--source", "sim", "--enable", "--duration", signal == SIGPIPE ? "5" : "60"});
    if (signal == SIGPIPE) {
      std::string line;
      ASSERT_TRUE(program.ReadLine(line));  // the first status line
      program.CloseOutput();
    } else {
      std::this_thread::sleep_for(5s);
      program.Signal(signal);
    }
    const int status = program.Wait(60s);
    ASSERT_TRUE(status >= 0 && WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ExpectReadableClips(home.path(), 2);
  }
}

// A replay whose file cannot be read ends at once with code 1, in fast and in real-time mode.
TEST(ProgramTest, UnreadableVideoFileEndsTheReplayAtOnceWithCodeOne) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "empty.mp4", "");
  test::WriteFileBytes(dir / "text.mp4", std::string(100000, 'x'));
  fs::create_directories(dir / "folder.mp4");
  const std::vector<std::pair<std::string, std::string>> rows = {
      // file, what the report says
      {"missing.mp4", "No such file or directory"},
      {"empty.mp4", "Could not"},
      {"text.mp4", "Could not"},
      {"folder.mp4", "Could not"},
  };
  for (const auto& [name, reason] : rows) {
    for (const bool fast : {true, false}) {
      SCOPED_TRACE(name + (fast ? " fast" : " real time"));
      test::TempDir home;
      std::vector<std::string> args = {"--source", "file:" + (dir / name).string()};
      if (fast) {
        args.push_back("--fast");
      }
      Program program(home.path(), args);
      const std::string output = program.ReadAll();
      EXPECT_EQ(ExitCode(program.Wait(10s)), 1) << output;
      EXPECT_NE(output.find(reason), std::string::npos) << output;
      EXPECT_NE(output.find("cannot be replayed"), std::string::npos) << output;
    }
  }
}

// Without a capture device the station keeps trying (and says so) and a run that never had
// video ends with code 1.
TEST(ProgramTest, RunWithoutAnyVideoSaysSoAndEndsWithCodeOne) {
  for (int n = 0; n < 64; ++n) {
    if (fs::exists("/dev/video" + std::to_string(n))) {
      GTEST_SKIP() << "this machine has a video device";
    }
  }
  test::TempDir home;
  Program program(home.path(), {"--duration", "2"});
  const std::string output = program.ReadAll();
  EXPECT_EQ(ExitCode(program.Wait(30s)), 1) << output;
  EXPECT_NE(output.find("No capture device can be used; trying again in 30 s."), std::string::npos)
      << output;
  EXPECT_NE(output.find("No video was received during the whole run."), std::string::npos)
      << output;
}

// A file cut off in the middle is replayed up to the cut, and the replay ends there as at the
// end of a file.
TEST(ProgramTest, FileCutOffMidwayEndsTheReplayAtTheCut) {
  test::TempDir dir;
  const fs::path movie = dir / "streak.mpg";
  WriteStreakMovie(movie.string());
  std::string bytes = test::ReadFileBytes(movie);
  ASSERT_GT(bytes.size(), 10000u);
  bytes.resize(bytes.size() / 2);
  test::WriteFileBytes(movie, bytes);

  test::TempDir home;
  Program program(home.path(), {"--source", "file:" + movie.string(), "--fast", "--enable",
                                "--start", "2024-03-15T21:14:50Z"});
  const std::string output = program.ReadAll();
  EXPECT_EQ(ExitCode(program.Wait(60s)), 0) << output;
  EXPECT_NE(output.find("Stopped:"), std::string::npos) << output;
  ExpectReadableClips(home.path(), 2);
}

}  // namespace
}  // namespace ombrix
