#include "station/station.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

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

// Replays a file of `frames` frames as fast as the station can, into the archive folder base.
// Reports other than the detection thread's priority fail the test unless reports is given.
void ReplayFast(const std::string& movie, const fs::path& base, uint64_t frames = 240,
                int32_t hourlyRate = 12, std::vector<std::string>* reports = nullptr) {
  fs::create_directories(base);  // a configured archive folder must exist
  SystemClock clock;
  PlentyOfSpace space;
  SteadyPacer pacer;
  StationOptions options = QuickOptions();
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
    if (reports != nullptr) {
      reports->push_back(text);
    } else {
      ADD_FAILURE() << text;
    }
  };
  Station station(clock, space, options, hooks);
  station.settings.archiveFolder.set(base.string());
  station.settings.hourlyRate = hourlyRate;
  FileSourceOptions file;
  file.path = movie;
  file.fast = true;
  file.start = MakeCalendarTime(2024, 3, 15, 21, 14, 50);
  auto source = std::make_unique<FileSource>(file, station.settings, clock, pacer, hooks.report,
                                             [&station] { return station.detector.FramesRead(); });
  FileSource* replay = source.get();
  station.Start(std::move(source));
  const auto deadline = std::chrono::steady_clock::now() + 180s;
  while (!(replay->Finished() && station.FramesPending() == 0) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(replay->Finished());
  station.Stop();
  EXPECT_EQ(station.detector.FramesLost(), 0u);
  EXPECT_EQ(station.detector.FramesRead(), frames);
  EXPECT_EQ(station.EventsCut(), station.EventsRecorded());
}

// Three streaks with a budget of two events an hour: two events are recorded and cut, and the
// operator hears of the third, which is not recorded.
TEST(StationTest, EventRefusedByTheHourlyBudgetIsReported) {
  test::ScopedHome home;
  test::TempDir dir;
  const std::string movie = (dir / "streaks.mp4").string();
  WriteStreakMovie(movie, {120, 240, 360});
  std::vector<std::string> reports;
  ReplayFast(movie, dir / "archive", 480, 2, &reports);
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

// An archive folder that cannot be used (an unmounted disk) sends the recordings to the
// documents folder; the operator hears of it when it happens and when the folder is back, once
// each, not on every check.
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
