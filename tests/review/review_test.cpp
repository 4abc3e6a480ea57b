#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "review/event_listing.h"
#include "review/replay.h"
#include "review/reviewer.h"
#include "review_archive.h"

namespace ombrix::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kA = "20240315_211450_000";
constexpr const char* kB = "20240315_211452_000";
constexpr const char* kC = "20240315_211454_000";

TEST(EventKey, IsTheStampBeforeTheExtensionAndNeverReadsOutsideAShortPath) {
  EXPECT_EQ(EventKey("/data/events/e20240315_211454_037.txt"), "20240315_211454_037");
  EXPECT_EQ(EventKey("e20240315_211454_037.txt"), "20240315_211454_037");
  EXPECT_EQ(EventKey("/x/j20240315_211454_037.jpg"), "20240315_211454_037");
  EXPECT_EQ(EventKey("20240315_211454_037.txt"), "20240315_211454_037");  // 23: just enough
  EXPECT_EQ(EventKey("0240315_211454_037.txt"), "");
  EXPECT_EQ(EventKey("short"), "");
  EXPECT_EQ(EventKey(""), "");
}

TEST(EventListing, ListsOnlyEventFilesInByteOrder) {
  ReviewArchive archive;
  archive.AddEvent(kC, kC);
  archive.AddEvent(kA, kA);
  archive.AddEvent(kB, kB);
  WriteFileBytes(archive.EventsFolder() + "/a20240315_211451_000.png", "x");
  WriteFileBytes(archive.EventsFolder() + "/E20240315_211449_000.txt", "x");
  WriteFileBytes(archive.EventsFolder() + "/e20240315_211455_000.csv", "x");
  const auto listing = ListEvents(archive.base.str());
  ASSERT_EQ(listing.size(), 3u);
  EXPECT_EQ(listing[0], archive.EventFile('e', kA));
  EXPECT_EQ(listing[2], archive.EventFile('e', kC));
}

TEST(PickerInterval, MakesWholeSecondsFromTimeAndLeadingDigits) {
  const UtcTime picker = At("20241231_235950_750");
  auto interval = ReadPickerInterval(picker, "15");
  EXPECT_EQ(interval.start, At("20241231_235950_000"));
  EXPECT_EQ(interval.end, At("20250101_000005_000"));
  interval = ReadPickerInterval(picker, "x");
  EXPECT_EQ(interval.end, interval.start);
  EXPECT_EQ(ReadPickerInterval(kFirstStampTime - 1ms, "10").start, At("19700101_000000_000"));
}

// A reviewer on a fresh archive, its window recording what it is shown.
class ReviewTest : public ::testing::Test {
 protected:
  ReviewArchive archive;
  RecordingWindow window{archive.review};
  Reviewer reviewer{archive.settings, archive.review, window, &archive.eventList};
};

// Navigation on real event folders: what each command makes current and what it shows.
TEST_F(ReviewTest, Navigation_FollowsTheListingAndItsEnds) {
  const auto step = [&](void (Reviewer::*command)(), const std::string& expectCurrent,
                        const std::string& expectInfo, bool expectShown) {
    window.Clear();
    (reviewer.*command)();
    EXPECT_EQ(reviewer.currentEvent(), expectCurrent);
    const auto infos = window.infos();
    EXPECT_EQ(infos.empty() ? "" : infos.back(), expectInfo);
    EXPECT_EQ(window.hides(), expectShown ? 1 : 0);
  };
  const std::string a = archive.AddEvent(kA, kA);
  const std::string b = archive.AddEvent(kB, kB);
  const std::string c = archive.AddEvent(kC, kC);
  step(&Reviewer::Next, a, "", true);  // nothing current: the first
  step(&Reviewer::Previous, a, kNoMoreEvents, false);
  step(&Reviewer::Last, c, "", true);
  step(&Reviewer::Next, c, kNoMoreEvents, false);
  reviewer.OpenEvent("");  // a cancelled dialog
  EXPECT_EQ(reviewer.currentEvent(), c);

  // The current event removed by retention: its neighbours are still found by its path.
  fs::remove(b);
  step(&Reviewer::Previous, a, "", true);
  reviewer.OpenEvent(b);
  step(&Reviewer::Next, c, "", true);
  reviewer.OpenEvent(b);
  step(&Reviewer::Previous, a, "", true);

  // Everything removed while an event is current: First shows it again, Last refuses.
  fs::remove(a);
  fs::remove(c);
  step(&Reviewer::First, a, "", true);
  step(&Reviewer::Last, a, kNoEvents, false);

  // Play sets the interval; a navigation command clears it.
  archive.AddEvent(kB, kB);
  reviewer.Play({At(kA), At(kC)});
  EXPECT_EQ(reviewer.intervalStart(), At(kA));
  reviewer.Next();
  EXPECT_FALSE(reviewer.intervalStart());
  EXPECT_EQ(reviewer.currentEvent(), b);
}

TEST_F(ReviewTest, Delete_RemovesTheFourFilesOfTheEventAndMovesOn) {
  for (const char* key : {kA, kB, kC}) {
    archive.AddEvent(key, key);
    for (char letter : {'c', 'j', 'm'}) {
      WriteFileBytes(archive.EventFile(letter, key), "x");
    }
  }
  const std::string integrated = archive.EventsFolder() + "/a" + std::string(kA) + ".png";
  WriteFileBytes(integrated, "x");

  reviewer.First();
  window.Clear();
  reviewer.Delete();  // a next event exists: it is shown
  EXPECT_EQ(reviewer.currentEvent(), archive.EventFile('e', kB));
  EXPECT_EQ(window.hides(), 1);
  for (char letter : {'e', 'c', 'j', 'm'}) {
    EXPECT_FALSE(fs::exists(archive.EventFile(letter, kA))) << letter;
    EXPECT_TRUE(fs::exists(archive.EventFile(letter, kB))) << letter;
  }
  EXPECT_TRUE(fs::exists(integrated));

  // The last event gone: the one before it is made current unshown.
  reviewer.Last();
  window.Clear();
  reviewer.Delete();
  EXPECT_EQ(reviewer.currentEvent(), archive.EventFile('e', kB));
  EXPECT_EQ(window.infos(), std::vector<std::string>{kNoMoreEvents});
  EXPECT_EQ(window.hides(), 0);
  // Here none is left.
  fs::remove(archive.EventFile('m', kB));  // a missing file is skipped silently
  window.Clear();
  reviewer.Delete();
  EXPECT_EQ(reviewer.currentEvent(), "");
  EXPECT_EQ(window.infos(), std::vector<std::string>{kNoEvents});
  EXPECT_TRUE(window.failures().empty());
  EXPECT_EQ(ListEvents(archive.base.str()).size(), 0u);
}

TEST_F(ReviewTest, Delete_AFailedRemovalIsReportedWithFileAndReason) {
  archive.AddEvent(kA, kA);
  archive.AddEvent(kB, kB);
  WriteFileBytes(archive.EventFile('c', kA), "x");
  // A folder with something in it where the movie would be cannot be removed as a file.
  fs::create_directories(archive.EventFile('m', kA) + "/inside");
  reviewer.First();
  reviewer.Delete();
  EXPECT_FALSE(fs::exists(archive.EventFile('e', kA)));
  EXPECT_FALSE(fs::exists(archive.EventFile('c', kA)));
  ASSERT_EQ(window.failures().size(), 1u);
  EXPECT_NE(window.failures()[0].find("m" + std::string(kA) + ".mp4"), std::string::npos);
  EXPECT_EQ(reviewer.currentEvent(), archive.EventFile('e', kB));

  // The event file itself cannot be removed: nothing changes.
  window.Clear();
  fs::remove(archive.EventFile('e', kB));
  fs::create_directories(archive.EventFile('e', kB) + "/inside");
  reviewer.Delete();
  EXPECT_EQ(window.failures().size(), 1u);
  EXPECT_EQ(reviewer.currentEvent(), archive.EventFile('e', kB));
}

TEST_F(ReviewTest, Replay_OfACutEventPostsEveryMovieFrameWithTheHistorysStampsAndCounts) {
  archive.AddClip("20240315_211450_000");
  archive.AddClip("20240315_211451_000");
  archive.AddClip("20240315_211452_000");
  const Stamp first = "20240315_211451_330", last = "20240315_211451_660";
  archive.AddEvent(first, last);
  archive.CutEvent(first, last);
  archive.settings.Update([](Settings& s) { s.showTrackingBox = false; });

  reviewer.First();
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  reviewer.StopWorkers();
  // The movie holds the frames from first - 1000 ms to last: clip 50 from 0.330, clip 51 to 0.660.
  const auto frames = window.frames();
  const size_t movieFrames = static_cast<size_t>(MovieFrames(archive.EventFile('m', first)));
  ASSERT_EQ(frames.size(), movieFrames);
  ASSERT_EQ(frames.size(), 41u);  // frames 10..29 of the first clip, 0..20 of the second
  for (size_t n = 0; n < frames.size(); ++n) {
    const int i = n < 20 ? static_cast<int>(n) + 10 : static_cast<int>(n) - 20;
    const Stamp clip = n < 20 ? "20240315_211450_000" : "20240315_211451_000";
    EXPECT_EQ(frames[n].currentArchiveFile, MakeStamp(At(clip) + i * 33ms)) << n;
    EXPECT_EQ(frames[n].displayCount, i) << n;
    EXPECT_EQ(frames[n].archiveFrameCount, 0);
    EXPECT_NEAR(frames[n].topLeft, 40 + 6 * i, 4) << n;
  }
  EXPECT_FALSE(reviewer.PauseEnabled());

  // The same event file opened from another folder replays the movie of its key.
  TempDir elsewhere;
  fs::copy_file(archive.EventFile('e', first), elsewhere / ("e" + first + ".txt"));
  window.Clear();
  reviewer.OpenEvent((elsewhere / ("e" + first + ".txt")).string());
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  EXPECT_EQ(window.frames().size(), movieFrames);
  EXPECT_EQ(window.frames().back().currentArchiveFile, last);
}

TEST_F(ReviewTest, Replay_OfAnUncutEventOrAnIntervalPlaysTheArchiveWidenedByOneAndAHalfSeconds) {
  for (const char* clip : {"20240315_211448_000", "20240315_211449_000", "20240315_211450_000",
                           "20240315_211451_000", "20240315_211452_000", "20240315_211453_000"}) {
    archive.AddClip(clip, clip[14] != '0');  // the 21:14:50 clip has no log
  }
  // Window 49.000 .. 52.500: the clips after 49.000, up to 52.500.
  archive.AddEvent("20240315_211450_500", "20240315_211451_000");
  reviewer.Last();
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  const auto frames = window.frames();
  ASSERT_EQ(frames.size(), 90u);
  for (size_t n = 0; n < frames.size(); ++n) {
    const char* clips[] = {"20240315_211450_000", "20240315_211451_000", "20240315_211452_000"};
    EXPECT_EQ(frames[n].currentArchiveFile, clips[n / 30]) << n;
    EXPECT_EQ(frames[n].archiveFrameCount, static_cast<int>(n % 30)) << n;
    EXPECT_NEAR(frames[n].topLeft, 40 + 6 * static_cast<int>(n % 30), 4) << n;
  }
  // A clip without a log leaves the count as it was (nothing before it here).
  EXPECT_EQ(frames[29].displayCount, 0);
  EXPECT_EQ(frames[45].displayCount, 15);

  // Play of a zero duration: the clips after 48.500 up to 51.500; Replay plays it again.
  window.Clear();
  reviewer.Play(ReadPickerInterval(At("20240315_211450_000"), "0"));
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  ASSERT_EQ(window.frames().size(), 90u);
  EXPECT_EQ(window.frames().front().currentArchiveFile, "20240315_211449_000");
  EXPECT_EQ(window.frames().back().currentArchiveFile, "20240315_211451_000");
  reviewer.Replay();
  ASSERT_TRUE(window.WaitForReplayEnds(2));
  EXPECT_EQ(window.frames().size(), 180u);
  EXPECT_EQ(window.frames().back().currentArchiveFile, "20240315_211451_000");  // not the event
}

TEST_F(ReviewTest, Replay_ANewerReaderStopsARunningAndAPausedOne) {
  archive.AddClip("20240315_211450_000");
  archive.AddEvent("20240315_211450_500", "20240315_211450_600");
  archive.settings.Update([](Settings& s) { s.slowdownFactor = 5; });  // 150 ms a frame: 4.5 s

  reviewer.First();
  ASSERT_TRUE(window.WaitForFrames(1));
  EXPECT_TRUE(reviewer.PauseEnabled());
  reviewer.TogglePause();
  ASSERT_TRUE(reviewer.paused());
  const size_t shownWhenPaused = window.frames().size();
  std::this_thread::sleep_for(600ms);
  EXPECT_LE(window.frames().size(), shownWhenPaused + 1);  // at most the frame under way
  EXPECT_EQ(window.replayEnds(), 0);

  // Replay resumes the paused worker so that it stops; the new one plays from its first frame.
  const auto started = std::chrono::steady_clock::now();
  reviewer.Replay();
  EXPECT_FALSE(reviewer.paused());
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
  const size_t before = window.frames().size();
  ASSERT_TRUE(window.WaitForFrames(before + 2));
  EXPECT_TRUE(reviewer.PauseEnabled());

  // A composite started while the replay is paused does not resume it, yet it ends.
  reviewer.TogglePause();
  ASSERT_TRUE(reviewer.paused());
  reviewer.Composite();
  ASSERT_TRUE(window.WaitForReplayEnds(2));
  EXPECT_FALSE(reviewer.PauseEnabled());
  reviewer.StopWorkers();
  EXPECT_EQ(reviewer.WorkerThreads(), 0u);
  // A worker stopped at once shows nothing, even when its thread had not begun to run.
  const size_t shownBeforeStop = window.frames().size();
  for (int n = 0; n < 5; ++n) {
    reviewer.Replay();
    reviewer.StopWorkers();
    reviewer.Composite();
    reviewer.StopWorkers();
  }
  EXPECT_EQ(window.frames().size(), shownBeforeStop);
  // Every frame of the second replay came after the first replay's last one.
  const auto frames = window.frames();
  int restarts = 0;
  for (size_t n = 1; n < frames.size(); ++n) {
    restarts +=
        frames[n].archiveFrameCount == 0 && frames[n].currentArchiveFile == "20240315_211450_000";
  }
  EXPECT_EQ(restarts, 1);
}

TEST(TrackingBox, CornersForAClampedAndAnUnclampedCentroid) {
  struct Case {
    double x, y;
    int left, top;
  };
  for (const Case& c : {Case{320.7, 240.2, 270, 190}, Case{10, 470, 0, 379},
                        Case{639.9, -3.5, 539, 0}, Case{-60.5, 49.9, 0, 0}}) {
    std::vector<uint8_t> frame(kFrameBytes, 0);
    DrawTrackingCorners(frame.data(), c.x, c.y);
    std::vector<std::pair<int, int>> expected;
    for (int cx : {0, 100}) {
      for (int cy : {0, 100}) {
        const int sx = cx == 0 ? 1 : -1, sy = cy == 0 ? 1 : -1;
        for (int i = 0; i <= 2; ++i) {
          expected.push_back({c.left + cx + sx * i, c.top + cy});
          expected.push_back({c.left + cx, c.top + cy + sy * i});
        }
      }
    }
    int set = 0;
    for (int p = 0; p < kFrameBytes; ++p) {
      set += frame[p] == 255;
    }
    EXPECT_EQ(set, 20) << c.x << "," << c.y;
    for (const auto& [x, y] : expected) {
      EXPECT_EQ(frame[y * kFrameWidth + x], 255) << c.x << "," << c.y << " at " << x << "," << y;
    }
  }
}

TEST_F(ReviewTest, Composite_ShowsThePeakImageOfACutEventElseTheArchiveMaximum) {
  archive.AddClip("20240315_211450_000");
  archive.AddEvent("20240315_211450_500", "20240315_211450_600");
  reviewer.First();
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  std::this_thread::sleep_for(50ms);
  reviewer.TogglePause();  // acts only on a worker that still runs
  EXPECT_FALSE(reviewer.paused());
  window.Clear();
  reviewer.Composite();  // not cut: the fold of the clip peak images, no replay-ended
  ASSERT_TRUE(window.WaitForFrames(1));
  reviewer.StopWorkers();
  EXPECT_EQ(window.frames()[0].currentArchiveFile, "20240315_211449_000");
  EXPECT_NEAR(window.frames()[0].topLeft, 40 + 6 * 29, 3);
  EXPECT_EQ(window.replayEnds(), 0);

  // With preferComposites the navigation shows the composite; Replay still replays.
  archive.settings.Update([](Settings& s) { s.preferComposites = true; });
  window.Clear();
  reviewer.First();
  ASSERT_TRUE(window.WaitForFrames(1));
  reviewer.StopWorkers();
  EXPECT_EQ(window.frames()[0].currentArchiveFile, "20240315_211449_000");
  EXPECT_FALSE(reviewer.PauseEnabled());
  reviewer.Replay();
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  EXPECT_EQ(window.frames().size(), 31u);

  archive.CutEvent("20240315_211450_500", "20240315_211450_600");
  window.Clear();
  reviewer.Composite();
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  ASSERT_EQ(window.frames().size(), 1u);
  EXPECT_EQ(window.frames()[0].currentArchiveFile, "20240315_211450_500");
}

TEST_F(ReviewTest, Average_TakesTheFirstIntegratedImageEvenPastTheEndAndStepsThroughInTheMovie) {
  archive.AddIntegratedImage("20240315_211500_000", 90);
  archive.AddIntegratedImage("20240315_211530_000", 150);
  archive.AddIntegratedImage("20240315_211600_000", 60);

  const struct {
    void (Reviewer::*show)(const PickerInterval&);
    Stamp end;
    std::vector<uint8_t> shown;  // the top-left pixel of each frame
  } rows[] = {{&Reviewer::ShowAverageComposite, "20240315_211410_000", {90}},
              {&Reviewer::ShowAverageComposite, "20240315_211540_000", {150}},
              {&Reviewer::ShowAverageMovie, "20240315_211600_000", {90, 150, 60}}};
  for (const auto& row : rows) {
    window.Clear();
    (reviewer.*row.show)({At("20240315_211400_000"), At(row.end)});
    ASSERT_TRUE(window.WaitForFrames(row.shown.size()));
    reviewer.StopWorkers();
    std::vector<uint8_t> shown;
    for (const auto& frame : window.frames()) {
      shown.push_back(frame.topLeft);
    }
    EXPECT_EQ(shown, row.shown) << row.end;
    EXPECT_EQ(window.replayEnds(), 0);
  }
}

TEST_F(ReviewTest, Save_WritesTheEventFileAndTheArchiveThreadCutsTheStretch) {
  for (const char* clip : {"20240315_211450_000", "20240315_211451_000", "20240315_211452_000"}) {
    archive.AddClip(clip);
  }
  const PickerInterval interval = ReadPickerInterval(At("20240315_211451_000"), "1");
  const Stamp key = MakeStamp(interval.start);
  ASSERT_TRUE(reviewer.Save(interval));
  ASSERT_TRUE(reviewer.Save(interval));  // replaced, and queued twice
  EXPECT_EQ(ReadFileBytes(archive.EventFile('e', key)),
            "20240315_211451_000\r\n20240315_211452_000\r\n");
  EXPECT_EQ(archive.eventList.Size(), 2u);
  EXPECT_EQ(ListEvents(archive.base.str()).back(), archive.EventFile('e', key));

  EventExtractor extractor(archive.settings, archive.eventList, archive.review, archive.clock,
                           archive.progress, archive.notices);
  EXPECT_EQ(extractor.DrainAll(60s), 0u);
  EXPECT_EQ(MovieFrames(archive.EventFile('m', key)),
            61);  // from 50.000 (first - 1 s) to 52.000
  EXPECT_TRUE(fs::exists(archive.EventFile('j', key)));
  EXPECT_TRUE(fs::exists(archive.EventFile('c', key)));
}

// A stretch that ends past the year 9999 (no Stamp can name it), and no events folder.
TEST_F(ReviewTest, Save_AnEventFileThatCannotBeWrittenIsReportedAndNotQueued) {
  EXPECT_FALSE(reviewer.Save(ReadPickerInterval(At("99991231_235959_000"), "2")));
  EXPECT_TRUE(fs::is_empty(archive.EventsFolder()));
  fs::remove(archive.EventsFolder());
  WriteFileBytes(archive.base / "events", "a file where the events folder belongs");
  EXPECT_FALSE(reviewer.Save({At(kA), At(kB)}));
  EXPECT_EQ(archive.eventList.Size(), 0u);
  ASSERT_EQ(window.failures().size(), 2u);
  EXPECT_EQ(window.failures()[0], "Save: " + archive.EventsFolder() +
                                      ": the stretch does not lie within the years 1900 to 9999");
  EXPECT_EQ(window.failures()[1].rfind("Save: ", 0), 0u);
}

}  // namespace
}  // namespace ombrix::test
