#include "station/station.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
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

// A dark, slightly noisy movie with one bright streak crossing frames 120 to 139.
void WriteStreakMovie(const std::string& path) {
  MovieWriter writer(path);
  ASSERT_TRUE(writer.ready());
  std::vector<uint8_t> frame(kFrameBytes);
  uint32_t seed = 12345;
  for (int n = 0; n < 240; ++n) {
    for (auto& pixel : frame) {
      seed = seed * 1664525u + 1013904223u;
      pixel = static_cast<uint8_t>(18 + (seed >> 30));
    }
    if (n >= 120 && n < 140) {
      const int x0 = 100 + 12 * (n - 120);
      const int y0 = 200 + 3 * (n - 120);
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

// Replays a file as fast as the station can; returns the archive folder.
void ReplayFast(const std::string& movie, const fs::path& base) {
  fs::create_directories(base);  // a configured archive folder must exist
  SystemClock clock;
  PlentyOfSpace space;
  SteadyPacer pacer;
  StationOptions options = QuickOptions();
  options.timeBase = TimeBase::kFrameTime;
  options.detectionPeriod = 2ms;
  StationHooks hooks;
  hooks.report = [](const std::string& text) { ADD_FAILURE() << text; };
  Station station(clock, space, options, hooks);
  station.settings.archiveFolder.set(base.string());
  FileSourceOptions file;
  file.path = movie;
  file.fast = true;
  file.start = MakeCalendarTime(2024, 3, 15, 21, 14, 50);
  auto source = std::make_unique<FileSource>(file, station.settings, clock, pacer, hooks.report,
                                             &station.detector.readProgress());
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
  EXPECT_EQ(station.detector.FramesRead(), 240u);
  EXPECT_EQ(station.EventsCut(), station.EventsRecorded());
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

// SIGTERM in the middle of a clip: the program closes it, so every archive movie is readable.
TEST(StationTest, SigtermLeavesEveryArchiveClipReadable) {
  test::TempDir home;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("HOME", home.str().c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_DOCUMENTS_DIR");
    unsetenv("XDG_CONFIG_HOME");
    freopen("/dev/null", "w", stdout);
    execl(OMBRIX_BINARY, OMBRIX_BINARY, "--headless", "--source", "sim", "--enable", "--duration",
          "60", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::this_thread::sleep_for(5s);
  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const auto clips = FilesMatching(home / "Documents" / "Ombrix" / "archive", "s", ".mp4");
  ASSERT_GE(clips.size(), 2u);
  for (const auto& clip : clips) {
    const int frames = CountFrames(clip);
    EXPECT_GE(frames, 1) << clip;
    EXPECT_LE(frames, 30) << clip;
    const std::string stamp = clip.stem().string().substr(1);
    EXPECT_TRUE(fs::exists(clip.parent_path() / ("t" + stamp + ".jpg"))) << stamp;
  }
}

}  // namespace
}  // namespace ombrix
