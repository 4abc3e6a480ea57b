#include "station/station.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include "capture/capture_source.h"
#include "detect/event_file.h"
#include "media/movie_reader.h"
#include "media/stills.h"
#include "station/base_lock.h"
#include "station/mark.h"
#include "station/night_writer.h"
#include "storage/disk_cleaner.h"
#include "support/movies.h"
#include "support/program.h"
#include "support/review_archive.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::MovieFrames;
using test::Program;
using Interval = std::pair<std::string, std::string>;

class PlentyOfSpace final : public FreeSpace {
 public:
  std::optional<double> FreeFraction(const std::string&) override { return 0.9; }
} space;

// Notice texts said on any thread, of one topic or of all.
struct Said {
  Notices::Sink Sink(std::string_view only = "") {
    return [this, topic = std::string(only)](const Notice& notice) {
      std::lock_guard lock(mutex);
      if (topic.empty() || notice.topic == topic) {
        texts.push_back(notice.text);
      }
    };
  }
  std::vector<std::string> operator()() {
    std::lock_guard lock(mutex);
    return texts;
  }
  std::mutex mutex;
  std::vector<std::string> texts;
};

std::vector<fs::path> FilesMatching(const fs::path& folder, const std::string& prefix,
                                    const std::string& extension) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.path().filename().string().starts_with(prefix) &&
        entry.path().extension() == extension) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// The first and last Stamps of each event file of an events folder.
std::vector<Interval> ReadEvents(const fs::path& folder) {
  std::vector<Interval> events;
  for (const auto& file : FilesMatching(folder, "e", ".txt")) {
    const EventTimes times = ReadEventFile(file.string()).value();
    events.emplace_back(MakeStamp(times.first), MakeStamp(times.last));
  }
  return events;
}

// A cut event's three files are readable, a history line a movie frame if every clip was closed.
int ExpectCut(const fs::path& events, const std::string& key, bool everyClipClosed = true) {
  std::vector<uint8_t> image(kFrameBytes);
  EXPECT_TRUE(MovieReader((events / ("j" + key + ".jpg")).string()).readFrame(image.data())) << key;
  const int frames = MovieFrames(events / ("m" + key + ".mp4"));
  const auto lines = std::ranges::count(test::ReadFileBytes(events / ("c" + key + ".csv")), '\n');
  EXPECT_GT(lines, 0);
  EXPECT_TRUE(!everyClipClosed || frames == lines) << frames << " " << lines;
  return frames;
}

// A station armed at start, without configuration and video (unless given), on the folder base.
std::unique_ptr<Station> Make(const fs::path& base, StationSetup setup = {}) {
  setup.readConfiguration = false;
  setup.enableAtStart = true;
  setup.freeSpace = &space;
  if (setup.source.kind == SourceKind::kDevice && !setup.makeSource) {
    setup.source.kind = SourceKind::kNone;
  }
  auto station = std::make_unique<Station>(std::move(setup));
  station->Apply([&base](Settings& s) { s.archiveFolder = base.string(); });
  return station;
}

// Replays 240 frames (fast unless told) from 21:14:50: none lost, every event cut, only info said.
void Replay(const std::string& movie, const fs::path& base, SettingsEdit adjust = {},
            bool fast = true, Notices::Sink notice = {}) {
  StationSetup setup;
  setup.source = {SourceKind::kFile, 1, 1, "", movie, fast, test::At("20240315_211450_000"), ""};
  setup.notice = [notice, fast](const Notice& n) {
    if (notice) {
      notice(n);
    }
    // Without CAP_SYS_NICE, or under a sanitizer, a paced replay may leave archive frames out.
    EXPECT_TRUE(n.severity == Severity::kInfo || n.topic == "priority" ||
                (!fast && n.topic == "archive-queue"))
        << n.text;
  };
  fs::create_directories(base);
  auto station = Make(base, setup);
  if (adjust) {
    station->Apply(adjust);
  }
  EXPECT_EQ(station->Start(), StartResult::kRunning);
  EXPECT_TRUE(test::WaitUntil([&] { return station->Status().replayDone; }, 300));
  station->Stop();
  const StationStatus status = station->Status();
  EXPECT_EQ(status.framesLost, 0u);
  EXPECT_EQ(status.framesRead, 240u);
  EXPECT_EQ(status.eventsCut, status.eventsRecorded);
}

// Frame 120 is the first to differ from the frame ten before it; the second busy frame, 121,
// begins the event: 121 * 100/2997 s after the start. A second replay gives the same bytes.
TEST(StationTest, FastReplayFindsTheStreakOnItsFrameAndRepeatsByteForByte) {
  test::ScopedHome home;
  test::TempDir dir;
  test::WriteStreakMovie((dir / "streak.mp4").string());
  for (const char* run : {"first", "second"}) {
    Replay((dir / "streak.mp4").string(), dir / run);
  }
  const auto events = ReadEvents(dir / "first" / "events");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].first, "20240315_211454_037");
  ExpectCut(dir / "first" / "events", events[0].first);
  auto files = FilesMatching(dir / "first", "c", ".csv");
  ASSERT_GE(files.size(), 2u);  // clip logs and the event's time history
  for (const fs::path& file : files) {
    const fs::path other = dir / "second" / fs::relative(file, dir / "first");
    EXPECT_EQ(test::ReadFileBytes(file), test::ReadFileBytes(other)) << other;
  }
}

// A replay ending while an event is busy (a twinkling star) ends it on the last frame, cut.
TEST(StationTest, FastReplayEndingInTheMiddleOfAnEventRecordsAndCutsIt) {
  test::ScopedHome home;
  test::TempDir dir;
  test::WriteSky((dir / "flash.mp4").string(), 240, 777, [&](int n, auto& frame) {
    for (int star = 0; star < 2; ++star) {
      test::FillBox(frame, 48 + 64 * star, 48, 8, 8, (n / 10 + star) % 2 == 0 ? 200 : 40);
    }
    if (n >= 60 && n < 64) {
      test::FillBox(frame, 300, 200, 200, 200, 255);
    }
  });
  Replay((dir / "flash.mp4").string(), dir.path(), [](Settings& s) { s.triggerSumBegin = 1000; });
  // Frame 61 begins the event, frame 239 (the last) ends it: 100/2997 s per frame from 21:14:50.
  EXPECT_EQ(ReadEvents(dir / "events"),
            (std::vector<Interval>{{"20240315_211452_035", "20240315_211457_974"}}));
  // The movie runs from one second before the first frame (1035 ms: frame 32) to the last.
  EXPECT_EQ(ExpectCut(dir / "events", "20240315_211452_035"), 240 - 32);
}

// Live while frames arrive, whatever times they carry, and not long after the last.
TEST(StationTest, LiveWhileFramesArriveAndNotAfterTheReplayEnds) {
  test::ScopedHome home;
  test::TempDir dir;
  test::WriteStreakMovie((dir / "streak.mp4").string());
  StationSetup setup;
  setup.source = {SourceKind::kFile,
                  1,
                  1,
                  "",
                  (dir / "streak.mp4").string(),
                  true,
                  test::At("20010315_211450_000"),
                  ""};
  auto station = Make(dir.path(), setup);
  EXPECT_FALSE(station->Status().live);
  ASSERT_EQ(station->Start(), StartResult::kRunning);
  EXPECT_TRUE(test::WaitUntil([&] { return station->Status().live; }, 10));
  ASSERT_TRUE(test::WaitUntil([&] { return station->Status().replayDone; }, 300));
  EXPECT_TRUE(test::WaitUntil([&] { return !station->Status().live; }, 10));
  station->Stop();
}

// Retention ages by the wall clock: daysToKeep 0 deletes an event file made before the run, once.
TEST(StationTest, RetentionDuringAReplayAgesFilesByTheWallClock) {
  test::ScopedHome home;
  test::TempDir dir;
  test::WriteStreakMovie((dir / "streak.mp4").string(), {30});  // cut while the replay runs on
  const Stamp old = "20010315_211000_000";
  fs::create_directories(dir / "events");
  test::WriteFileBytes(dir / "events" / ("e" + old + ".txt"), old + "\r\n" + old + "\r\n");
  std::this_thread::sleep_for(1100ms);
  Said said;
  Replay((dir / "streak.mp4").string(), dir.path(), [](Settings& s) { s.daysToKeep = 0; }, false,
         said.Sink());
  EXPECT_FALSE(fs::exists(dir / "events" / ("e" + old + ".txt")));
  EXPECT_EQ(std::ranges::count(said(), "Event deleted (older than daysToKeep): " + old), 1);
}

// An unusable archive folder (unmounted, a plain file) is said once per change, and its return.
TEST(StationTest, ArchiveFolderFallbackIsReportedOncePerChange) {
  test::ScopedHome home;
  test::TempDir dir;
  Said seen;
  StationSetup setup;
  setup.notice = seen.Sink(kArchiveFolderTopic);
  const std::string disk = (dir / "disk").string();
  auto station = Make(disk, setup);
  station->Start();
  const std::string unusable = "The archive folder " + disk + " cannot be used (";
  ASSERT_TRUE(test::WaitUntil([&] { return !seen().empty(); }));
  std::this_thread::sleep_for(2500ms);  // more health passes: nothing new to say
  test::WriteFileBytes(disk, "x");
  std::this_thread::sleep_for(2500ms);
  // Mounted: the folder takes the file's place in one step, so no check sees it missing between.
  fs::create_directories(disk + ".mounted");
  ASSERT_EQ(
      renameat2(AT_FDCWD, (disk + ".mounted").c_str(), AT_FDCWD, disk.c_str(), RENAME_EXCHANGE), 0);
  fs::remove(disk + ".mounted");
  std::this_thread::sleep_for(2500ms);
  EXPECT_EQ(seen(), (std::vector<std::string>{
                        unusable + "No such file or directory): recordings go to " +
                            (home.home() / "Documents" / "Ombrix").string() + " instead.",
                        unusable + "Not a directory): nothing can be recorded until it is a "
                                   "folder again.",
                        "The archive folder " + disk + " is in use again."}));
}

// Once a night has ended by the clock, the summaries of it and of older nights the archive holds
// without one are written, newest first, and those older than daysToKeep deleted; once a night.
TEST(NightWriterTest, WritesTheSummariesOfEndedNightsAndDeletesOldOnes) {
  setenv("TZ", "UTC0", 1);
  tzset();
  struct : Clock {
    UtcTime UtcNow() const override { return test::At("20240316_130000_000"); }
    CalendarFields LocalNow() const override { return BreakUtcTime(UtcNow()); }
  } clock;
  test::ReviewArchive archive;
  archive.AddIntegratedImage("20240315_215820_000", 10);
  archive.AddIntegratedImage("20240313_235820_000", 10);  // none of the night of the 14th
  archive.AddIntegratedImage("20240310_215820_000", 10);  // the oldest night: maybe not whole
  fs::create_directories(archive.base / "nights" / "2024-03-09");
  fs::create_directories(archive.base / "nights" / "2024-03-12");
  Settings settings;
  settings.archiveFolder = archive.base.path().string();
  settings.daysToKeep = 6;  // the nights of the 10th to the 15th
  SharedSettings shared(settings);
  Said said;
  Notices notices;
  notices.SetSink(said.Sink());
  std::vector<std::string> written;
  NightWriter writer(shared, clock, notices,
                     [&](const std::string& date, const std::string&) { written.push_back(date); });
  writer.Pass({});
  writer.Pass({});
  EXPECT_EQ(said(), (std::vector<std::string>{"Night summary deleted (older than daysToKeep): "
                                              "2024-03-09",
                                              "Night summary written: 2024-03-15",
                                              "Night summary written: 2024-03-13"}));
  EXPECT_EQ(written, (std::vector<std::string>{"2024-03-15", "2024-03-13"}));
  std::vector<std::string> nights;
  for (const auto& entry : fs::directory_iterator(archive.base / "nights")) {
    nights.push_back(entry.path().filename().string());
  }
  std::ranges::sort(nights);
  EXPECT_EQ(nights, (std::vector<std::string>{"2024-03-12", "2024-03-13", "2024-03-15"}));
  EXPECT_TRUE(fs::exists(archive.base / "nights" / "2024-03-13" / "summary.json"));
}

// Change Video Source returns at once; the station's thread cycles the devices 0, 1, 2, 0.
TEST(StationTest, ChangeVideoSourceCyclesTheDevicesOnTheStationsThread) {
  struct SlowSource final : CaptureSource {
    explicit SlowSource(std::chrono::milliseconds opening) : opening(opening) {}
    bool Start(FrameRing&) override {
      std::this_thread::sleep_for(opening);
      return true;
    }
    void Stop() override {}
    std::chrono::milliseconds opening;
  };
  std::mutex mutex;
  std::vector<uint32_t> indexes;
  const auto made = [&] {
    std::lock_guard lock(mutex);
    return indexes;
  };
  StationSetup setup;
  setup.makeSource = [&](SourceContext& context) {
    std::lock_guard lock(mutex);
    indexes.push_back(context.settings.Get()->captureDeviceIndex);
    return std::make_unique<SlowSource>(indexes.size() > 1 ? 1500ms : 0ms);
  };
  setup.countDevices = [] { return 3; };
  test::TempDir dir;
  auto station = Make(dir.path(), setup);
  station->ChangeVideoSource();  // before Start: nothing
  station->Start();
  for (size_t press = 1; press <= 3; ++press) {
    const auto before = std::chrono::steady_clock::now();
    station->ChangeVideoSource();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 100ms);
    ASSERT_TRUE(test::WaitUntil([&] { return made().size() == press + 1; }));
    std::this_thread::sleep_for(1600ms);  // the device has opened
  }
  EXPECT_EQ(made(), (std::vector<uint32_t>{0, 1, 2, 0}));
}

// One station per base folder: a second refuses to start or to move into a held folder. Only a
// new threshold or Read Mask File (kThresholdTable) rebuilds the table from the mask.
TEST(StationTest, ASecondStationIsRefusedAndTheThresholdTableIsRebuiltOnlyWhenAsked) {
  test::ScopedHome home;
  test::TempDir one, two;
  std::vector<Notice> said;
  StationSetup setup;
  setup.notice = [&said](const Notice& notice) { said.push_back(notice); };
  auto first = Make(one.path()), second = Make(one.path(), setup), third = Make(two.path());
  std::vector<uint8_t> table(kFrameBytes);
  EXPECT_FALSE(first->CopyThresholdTable(table.data()));
  ASSERT_EQ(first->Start(), StartResult::kRunning);
  EXPECT_TRUE(BaseFolderLock::Held(one.str()));
  EXPECT_EQ(second->Start(), StartResult::kFolderInUse);
  ASSERT_EQ(said.size(), 1u);
  EXPECT_EQ(said[0].severity, Severity::kFatal);
  EXPECT_EQ(said[0].text, "The base folder " + one.str() +
                              " is in use by another station (process " + std::to_string(getpid()) +
                              "): two stations cannot record into one folder.");
  ASSERT_EQ(third->Start(), StartResult::kRunning);
  first->Apply([&](Settings& s) { s.archiveFolder = two.str(); });
  EXPECT_EQ(first->settings()->archiveFolder, one.str());
  const std::string mask = (one / "mask.png").string();
  const auto drawMask = [&mask](int x) {
    std::vector<uint8_t> picture(kFrameBytes, 0);
    picture[100 * kFrameWidth + x] = 1;
    std::array<uint32_t, 256> colours{0, 0xFF0000};
    ASSERT_TRUE(WriteColourStill(mask, picture.data(), colours));
  };
  const auto at = [&](int x) {
    EXPECT_TRUE(first->CopyThresholdTable(table.data()));
    return table[100 * kFrameWidth + x];
  };
  drawMask(200);
  first->Apply([&](Settings& s) { s.maskFile = mask; });
  EXPECT_EQ(at(200) + at(300), 255 + 30);
  drawMask(300);
  first->Apply([](Settings& s) { s.threshold = 30; });
  EXPECT_EQ(at(300), 30);
  first->Apply([](Settings& s) { s.threshold = 45; });
  EXPECT_EQ(at(300) + at(200), 255 + 45);
  drawMask(400);
  first->Apply([](Settings&) {}, Station::Redo::kThresholdTable);
  EXPECT_EQ(at(400), 255);
}

// `mark` beside a running station waits for the clip being recorded, then cuts the stretch whole;
// a stretch far past the newest clip, and one with no clip, are refused and write nothing.
TEST(Mark, WaitsForTheOpenClipAndRefusesWhatCannotBeCut) {
  test::ReviewArchive archive;
  for (const char* clip : {"20240315_211450_000", "20240315_211451_000", "20240315_211452_000"}) {
    archive.AddClip(clip);
  }
  const fs::path minute = archive.base / "archive/s2024/s20240315/s20240315_2114";
  fs::remove(minute / "t20240315_211452_000.jpg");
  BaseFolderLock station;  // the clip at 52.000 is being recorded
  std::string holder;
  ASSERT_TRUE(station.Take(archive.base.str(), holder));
  Notices notices;
  bool waited = false;
  const auto mark = [&](const Stamp& from, int seconds) {
    return MarkStretch(archive.settings, test::At(from),
                       test::At(from) + std::chrono::seconds(seconds), notices,
                       [&waited] { waited = true; });
  };
  EXPECT_EQ(mark("20240315_211700_000", 5).result, MarkResult::kTooEarly);
  EXPECT_FALSE(waited);
  std::thread recorder([&archive, &minute] {
    std::this_thread::sleep_for(1s);
    fs::remove(minute / "s20240315_211452_000.mp4");  // recorded again, whole
    for (const char* clip : {"20240315_211452_000", "20240315_211453_000", "20240315_211454_000"}) {
      archive.AddClip(clip);
    }
  });
  const auto began = std::chrono::steady_clock::now();
  const MarkOutcome outcome = mark("20240315_211451_000", 1);
  recorder.join();
  EXPECT_EQ(outcome.result, MarkResult::kCut) << outcome.text;
  EXPECT_TRUE(waited);
  EXPECT_GE(std::chrono::steady_clock::now() - began, 1s);
  // From 50.000 (one second before) to 52.000: two clips and the first frame of the third.
  EXPECT_EQ(MovieFrames(archive.EventFile('m', "20240315_211451_000")), 61);
  station.Release();
  EXPECT_EQ(mark("20200101_000000_000", 5).result, MarkResult::kEmpty);
  EXPECT_EQ(std::distance(fs::directory_iterator(archive.EventsFolder()), fs::directory_iterator()),
            4)
      << "only the e, j, m and c files of the stretch cut";
}

// Every archive clip a stopped program left is readable, 1 to 30 frames, with its peak image.
void ExpectReadableClips(const fs::path& home, size_t atLeast) {
  const auto clips = FilesMatching(home / "Documents" / "Ombrix" / "archive", "s", ".mp4");
  ASSERT_GE(clips.size(), atLeast);
  for (const auto& clip : clips) {
    const int frames = MovieFrames(clip);
    EXPECT_TRUE(frames >= 1 && frames <= 30) << clip << ": " << frames;
    EXPECT_TRUE(fs::exists(clip.parent_path() / ("t" + clip.stem().string().substr(1) + ".jpg")));
  }
}

// An event recorded but not cut when the program is killed is cut by the next run.
TEST(ProgramTest, EventLeftUncutBySigkillIsCutAfterTheRestart) {
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
  ASSERT_FALSE(fs::exists(events / ("m" + key + ".mp4")));
  Program program(home.path(), {"--source", "sim:6", "--duration", "3"});
  EXPECT_EQ(program.WaitForLine("<6>Event cut: "), "<6>Event cut: " + key);
  EXPECT_EQ(program.Wait(60s), 0);
  ExpectCut(events, key, false);  // the clip killed mid-write has no log
}

// SIGTERM and SIGHUP mid-clip close it and end with code 0; a reader that goes away (SIGPIPE)
// changes nothing. A second program on the first one's folder is refused with code 1.
TEST(ProgramTest, SignalsAClosedOutputAndASecondStation) {
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
  Program second(homes[0].path(), {"--source", "sim", "--duration", "3"});
  const std::string refusal = second.ReadAll(30s);
  EXPECT_EQ(second.Wait(30s), 1);
  EXPECT_NE(refusal.find("is in use by another station"), std::string::npos) << refusal;
  std::this_thread::sleep_until(began + 5s);
  programs[0]->Signal(SIGTERM);
  programs[1]->Signal(SIGHUP);
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(signals[i]);
    EXPECT_EQ(programs[i]->Wait(60s), 0);
    ExpectReadableClips(homes[i].path(), 2);
  }
}

// Runs that end by themselves: an unreadable replay file gives code 1, fast or not, and so does
// one no longer than the trigger gap (a still); a truncated one is replayed up to the cut; a run
// that never had a capture device ends with code 1.
TEST(ProgramTest, RunsEndByThemselvesWithTheirCodeAndSaySo) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "empty.mp4", "");
  test::WriteFileBytes(dir / "text.mp4", std::string(100000, 'x'));
  fs::create_directories(dir / "folder.mp4");
  const fs::path cut = dir / "streak.mpg";
  test::WriteStreakMovie(cut.string());
  test::WriteFileBytes(cut, test::ReadFileBytes(cut).substr(0, fs::file_size(cut) / 2));
  std::vector<std::tuple<std::vector<std::string>, int, std::vector<std::string>>> rows = {
      {{"--source", "file:" + cut.string(), "--fast", "--enable", "--start",
        "2024-03-15T21:14:50Z"},
       0,
       {"Stopped:"}}};
  for (const auto& [name, reason] : {std::pair{"missing.mp4", "No such file or directory"},
                                     {"empty.mp4", "Could not"},
                                     {"text.mp4", "Could not"},
                                     {"folder.mp4", "Could not"}}) {
    for (const char* pace : {"--fast", "--enable"}) {
      rows.push_back(
          {{"--source", "file:" + (dir / name).string(), pace}, 1, {reason, "cannot be replayed"}});
    }
  }
  const fs::path still = dir / "still.mp4";
  test::WriteSky(still.string(), 1, 1, [](int, auto&) {});
  rows.push_back({{"--source", "file:" + still.string(), "--fast"},
                  1,
                  {"The video file is no longer than the trigger gap (1 of 10 frames)"}});
  bool device = false;
  for (int n = 0; n < 64; ++n) {
    device = device || fs::exists("/dev/video" + std::to_string(n));
  }
  if (!device) {  // else this machine has a video device
    rows.push_back({{"--duration", "2"},
                    1,
                    {"No capture device can be used; trying again in 30 s.",
                     "No video was received during the whole run."}});
  }
  for (const auto& [args, code, says] : rows) {
    SCOPED_TRACE(args[1] + " " + args.back());
    test::TempDir home;
    Program program(home.path(), args);
    const std::string output = program.ReadAll();
    EXPECT_EQ(program.Wait(60s), code) << output;
    for (const std::string& text : says) {
      EXPECT_NE(output.find(text), std::string::npos) << output;
    }
    if (code == 0) {
      ExpectReadableClips(home.path(), 2);
    }
  }
}

}  // namespace
}  // namespace ombrix
