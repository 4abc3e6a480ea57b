#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "base/clock.h"
#include "detect/event_file.h"
#include "review/replay.h"
#include "review/review_session.h"
#include "storage/event_extractor.h"
#include "support/review_archive.h"

namespace ombrix::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kA = "20240315_211450_000";
constexpr const char* kB = "20240315_211452_000";
constexpr const char* kC = "20240315_211454_000";

TEST(EventFiles, KeysListingSummaryPickerIntervalAndTimeReadout) {
  EXPECT_EQ(EventKey("/data/events/e20240315_211454_037.txt"), "20240315_211454_037");
  EXPECT_EQ(EventKey("20240315_211454_037.txt"), "20240315_211454_037");  // 23: just enough
  EXPECT_EQ(EventKey("0240315_211454_037.txt"), "");
  ReviewArchive archive;
  archive.AddEvent(kC, kC);
  archive.AddEvent(kA, kA);
  WriteFileBytes(archive.EventFile('j', kA), "x");
  std::string lamp;  // a second of one steady light, judged when listed
  for (int n = 0; n < 30; ++n) {
    lamp += MakeStamp(At(kA) + n * 33ms) + ",40,900,100.5,200.5,10.0,45.0\r\n";
  }
  WriteFileBytes(archive.EventFile('c', kA), lamp);
  for (const char* stray : {"e.txt", "E20240315_211449_000.txt", "e20240315_211455_000.csv",
                            "enotes_for_tonight_xx.txt"}) {
    WriteFileBytes(archive.EventsFolder() + "/" + stray, "x");
  }
  const auto listing = ListEvents(archive.base.str());  // e*.txt in byte order
  EXPECT_EQ(listing,
            (std::vector<std::string>{archive.EventsFolder() + "/e.txt", archive.EventFile('e', kA),
                                      archive.EventFile('e', kC),
                                      archive.EventsFolder() + "/enotes_for_tonight_xx.txt"}));
  // The summary of `ombrix events` takes only "e" + Stamp + ".txt".
  const auto events = SummariseEvents(archive.base.str());
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].key + events[1].key, std::string(kA) + kC);
  EXPECT_EQ(events[0].last, At(kA));
  EXPECT_TRUE(events[0].image && !events[0].movie && events[0].history);
  EXPECT_EQ(std::string(events[0].verdict) + "|" + events[1].verdict, "stationary|-");
  const auto interval = ReadPickerInterval(At("20241231_235950_750"), "15");
  EXPECT_EQ(interval.start, At("20241231_235950_000"));
  EXPECT_EQ(interval.end, At("20250101_000005_000"));
  EXPECT_EQ(ReadPickerInterval(interval.start, "x").end, interval.start);
  EXPECT_EQ(ReadPickerInterval(kFirstStampTime - 1ms, "10").start, At("19700101_000000_000"));
  EXPECT_EQ(ShownTimeText(At("20161231_235959_999") + 33ms), "UTC 01/01/2017 00:00:00.032");
}

struct Queue final : EventQueue {
  void Append(UtcTime key) override { keys.push_back(key); }
  std::vector<UtcTime> keys;
};

// A session on a fresh archive, its window recording what it is shown.
class ReviewTest : public ::testing::Test {
 protected:
  void SetUp() override { window.Watch(session); }
  // What the frames shown (since Clear) are: every frame of these clips, 33 ms apart.
  void ExpectClips(const std::vector<Stamp>& clips) {
    const auto frames = window.frames();
    ASSERT_EQ(frames.size(), 30 * clips.size());
    for (size_t n = 0; n < frames.size(); ++n) {
      EXPECT_EQ(frames[n].time, MakeStamp(At(clips[n / 30]) + static_cast<int>(n % 30) * 33ms));
      EXPECT_NEAR(frames[n].topLeft, 40 + 6 * static_cast<int>(n % 30), 4) << n;
    }
  }

  ReviewArchive archive;
  RecordingWindow window;
  Queue queue;
  ReviewSession session{archive.settings, window, &queue};
};

TEST_F(ReviewTest, NavigationFollowsTheListingAndItsEnds) {
  const auto step = [&](void (ReviewSession::*command)(), const std::string& current,
                        const std::string& info, int shown) {
    window.Clear();
    (session.*command)();
    EXPECT_EQ(session.currentEvent(), current);
    const auto record = window.record();
    EXPECT_EQ(record.infos.empty() ? "" : record.infos.back(), info);
    EXPECT_EQ(record.hides, shown);
  };
  const std::string a = archive.AddEvent(kA, kA), b = archive.AddEvent(kB, kB);
  const std::string c = archive.AddEvent(kC, kC);
  step(&ReviewSession::Next, a, "", 1);  // nothing current: the first
  step(&ReviewSession::Previous, a, kNoMoreEvents, 0);
  step(&ReviewSession::Last, c, "", 1);
  step(&ReviewSession::Next, c, kNoMoreEvents, 0);
  session.OpenEvent("");  // a cancelled dialog
  EXPECT_EQ(session.currentEvent(), c);
  // The current event removed by retention: its neighbours are still found by its path.
  fs::remove(b);
  session.OpenEvent(b);
  step(&ReviewSession::Next, c, "", 1);
  session.OpenEvent(b);
  step(&ReviewSession::Previous, a, "", 1);
  // Everything removed while an event is current: First shows it again, Last refuses.
  fs::remove(a);
  fs::remove(c);
  step(&ReviewSession::First, a, "", 1);
  step(&ReviewSession::Last, a, kNoEvents, 0);
}

TEST_F(ReviewTest, DeleteRemovesTheFourFilesOfTheEventAndMovesOn) {
  for (const char* key : {kA, kB, kC}) {
    archive.AddEvent(key, key);
    for (char letter : {'c', 'j', 'm'}) {
      WriteFileBytes(archive.EventFile(letter, key), "x");
    }
  }
  const std::string integrated = archive.EventsFolder() + "/a" + std::string(kA) + ".png";
  WriteFileBytes(integrated, "x");
  session.First();
  window.Clear();
  session.Delete();  // a next event exists: it is shown
  EXPECT_EQ(session.currentEvent(), archive.EventFile('e', kB));
  EXPECT_EQ(window.record().hides, 1);
  for (char letter : {'e', 'c', 'j', 'm'}) {
    EXPECT_FALSE(fs::exists(archive.EventFile(letter, kA))) << letter;
    EXPECT_TRUE(fs::exists(archive.EventFile(letter, kB))) << letter;
  }
  EXPECT_TRUE(fs::exists(integrated));
  // The last event gone: the one before it is made current and shown, so that the next Delete
  // removes what is on screen. A stretch of the archive on screen is not deleted.
  session.Last();
  window.Clear();
  session.Delete();
  EXPECT_EQ(session.currentEvent(), archive.EventFile('e', kB));
  EXPECT_EQ(window.record().infos, std::vector<std::string>{kNoMoreEvents});
  EXPECT_EQ(window.record().hides, 1);
  session.Play({At(kA), At(kA)});
  session.Delete();
  EXPECT_EQ(window.record().infos.back(), kDeleteNotShown);
  session.Last();
  // A movie that cannot be removed (a folder with something in it) is reported with its path;
  // the others go. Then none is left.
  fs::remove(archive.EventFile('m', kB));
  fs::create_directories(archive.EventFile('m', kB) + "/inside");
  window.Clear();
  session.Delete();
  auto record = window.record();
  EXPECT_EQ(session.currentEvent(), "");
  EXPECT_EQ(record.infos, std::vector<std::string>{kNoEvents});
  ASSERT_EQ(record.failures.size(), 1u);
  EXPECT_NE(record.failures[0].find("m" + std::string(kB) + ".mp4"), std::string::npos);
  EXPECT_FALSE(fs::exists(archive.EventFile('c', kB)));
  // An event file that cannot be removed changes nothing.
  fs::create_directories(archive.EventFile('e', kC) + "/inside");
  session.OpenEvent(archive.EventFile('e', kC));
  session.Delete();
  EXPECT_EQ(window.record().failures.size(), 2u);
  EXPECT_EQ(session.currentEvent(), archive.EventFile('e', kC));
}

TEST_F(ReviewTest, ReplayOfACutEventShowsEveryMovieFrameWithTheHistorysTimesAndCounts) {
  for (const char* clip : {"20240315_211450_000", "20240315_211451_000", "20240315_211452_000"}) {
    archive.AddClip(clip);
  }
  const Stamp first = "20240315_211451_330", last = "20240315_211451_660";
  archive.AddEvent(first, last);
  archive.CutEvent(first, last);
  archive.settings.Update([](Settings& s) { s.showTrackingBox = false; });
  session.First();
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  // The movie holds the frames from first - 1000 ms to last: clip 50 from 0.330, clip 51 to 0.660.
  const auto frames = window.frames();
  ASSERT_EQ(frames.size(), 41u);  // frames 10..29 of the first clip, 0..20 of the second
  for (size_t n = 0; n < frames.size(); ++n) {
    const int i = n < 20 ? static_cast<int>(n) + 10 : static_cast<int>(n) - 20;
    const Stamp clip = n < 20 ? "20240315_211450_000" : "20240315_211451_000";
    EXPECT_EQ(frames[n].time, MakeStamp(At(clip) + i * 33ms)) << n;
    EXPECT_EQ(frames[n].displayCount, i) << n;
    EXPECT_NEAR(frames[n].topLeft, 40 + 6 * i, 4) << n;
  }
  EXPECT_FALSE(session.PauseEnabled());
  // The same event file opened from another folder replays the movie of its key.
  TempDir elsewhere;
  fs::copy_file(archive.EventFile('e', first), elsewhere / ("e" + first + ".txt"));
  window.Clear();
  session.OpenEvent((elsewhere / ("e" + first + ".txt")).string());
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  EXPECT_EQ(window.frames().size(), 41u);
  EXPECT_EQ(window.frames().back().time, last);
}

TEST_F(ReviewTest, ReplayOfAnUncutEventOrAnIntervalPlaysTheArchiveWidenedByOneAndAHalfSeconds) {
  for (int s = 48; s < 54; ++s) {  // the 21:14:50 clip has no log
    archive.AddClip("20240315_2114" + std::to_string(s) + "_000", s != 50);
  }
  // Window 49.000 .. 52.500: the clips after 49.000, up to 52.500.
  archive.AddEvent("20240315_211450_500", "20240315_211451_000");
  session.Last();
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  ExpectClips({"20240315_211450_000", "20240315_211451_000", "20240315_211452_000"});
  // A clip without a log leaves the count as it was (nothing before it here).
  EXPECT_EQ(window.frames()[29].displayCount, 0);
  EXPECT_EQ(window.frames()[45].displayCount, 15);
  // Play of a zero duration: the clips after 48.500 up to 51.500; Replay plays it again, and
  // after Last (which clears the interval) Replay plays the event.
  window.Clear();
  session.Play(ReadPickerInterval(At("20240315_211450_000"), "0"));
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  session.Replay();
  ASSERT_TRUE(window.WaitForReplayEnds(2));
  ExpectClips({"20240315_211449_000", "20240315_211450_000", "20240315_211451_000",
               "20240315_211449_000", "20240315_211450_000", "20240315_211451_000"});
  session.Last();
  session.StopWorkers();
  window.Clear();
  session.Replay();
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  ExpectClips({"20240315_211450_000", "20240315_211451_000", "20240315_211452_000"});
}

TEST_F(ReviewTest, ANewerReaderStopsARunningAndAPausedOneAndNothingItDoesIsShownAfter) {
  archive.AddClip("20240315_211450_000");
  archive.AddEvent("20240315_211450_500", "20240315_211450_600");
  archive.settings.Update([](Settings& s) { s.slowdownFactor = 5; });  // 150 ms a frame: 4.5 s
  session.First();
  ASSERT_TRUE(window.WaitForFrames(1));
  EXPECT_TRUE(session.PauseEnabled());
  session.TogglePause();
  ASSERT_TRUE(session.paused());
  const size_t shownWhenPaused = window.frames().size();
  std::this_thread::sleep_for(600ms);
  EXPECT_LE(window.frames().size(), shownWhenPaused + 1);  // at most the frame under way
  // Replay stops the paused worker at once; the new one plays from its first frame.
  const size_t before = window.frames().size();
  const auto started = std::chrono::steady_clock::now();
  session.Replay();
  EXPECT_FALSE(session.paused());
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  ASSERT_TRUE(window.WaitForFrames(before + 3));
  const auto frames = window.frames();
  EXPECT_TRUE(std::any_of(frames.begin() + static_cast<std::ptrdiff_t>(before), frames.end(),
                          [](const auto& frame) { return frame.time == "20240315_211450_000"; }));
  // A composite started while the replay is paused stops it all the same; so does the live video.
  session.TogglePause();
  session.Composite();
  ASSERT_TRUE(window.WaitForReplayEnds(2));
  EXPECT_FALSE(session.PauseEnabled());
  session.Replay();
  ASSERT_TRUE(window.WaitForFrames(window.frames().size() + 1));
  session.LiveVideoShown();
  ASSERT_TRUE(window.WaitForReplayEnds(3));
  // A worker stopped at once shows nothing, even when its thread had not begun to run.
  const size_t shownBeforeStop = window.frames().size();
  for (int n = 0; n < 5; ++n) {
    session.Replay();
    session.StopWorkers();
    session.Composite();
    session.StopWorkers();
  }
  EXPECT_EQ(window.frames().size(), shownBeforeStop);
}

TEST_F(ReviewTest, CompositeShowsThePeakImageOfACutEventElseTheArchiveMaximumAndAverages) {
  archive.AddClip("20240315_211450_000");
  archive.AddEvent("20240315_211450_500", "20240315_211450_600");
  session.First();
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  std::this_thread::sleep_for(50ms);
  session.TogglePause();  // acts only on a worker that still runs
  EXPECT_FALSE(session.paused());
  for (const bool prefer : {false, true}) {
    // Not cut: the fold of the clip peak images, no replay-ended; with preferComposites the
    // navigation shows it too.
    archive.settings.Update([prefer](Settings& s) { s.preferComposites = prefer; });
    window.Clear();
    prefer ? session.First() : session.Composite();
    ASSERT_TRUE(window.WaitForFrames(1));
    session.StopWorkers();
    EXPECT_EQ(window.frames()[0].time, "20240315_211449_000");
    EXPECT_NEAR(window.frames()[0].topLeft, 40 + 6 * 29, 3);
    EXPECT_EQ(window.record().replayEnds, 0);
  }
  session.Replay();  // Replay still replays
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  EXPECT_EQ(window.frames().size(), 31u);
  archive.CutEvent("20240315_211450_500", "20240315_211450_600");
  window.Clear();
  session.Composite();
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  ASSERT_EQ(window.frames().size(), 1u);
  EXPECT_EQ(window.frames()[0].time, "20240315_211450_500");
  // Average takes the first integrated image even past the end, and steps through in the movie.
  archive.AddIntegratedImage("20240315_211500_000", 90);
  archive.AddIntegratedImage("20240315_211530_000", 150);
  archive.AddIntegratedImage("20240315_211600_000", 60);
  const struct {
    void (ReviewSession::*show)(const PickerInterval&);
    Stamp end;
    std::vector<uint8_t> shown;  // the top-left pixel of each frame
  } rows[] = {{&ReviewSession::ShowAverageComposite, "20240315_211410_000", {90}},
              {&ReviewSession::ShowAverageComposite, "20240315_211540_000", {150}},
              {&ReviewSession::ShowAverageMovie, "20240315_211600_000", {90, 150, 60}}};
  for (const auto& row : rows) {
    window.Clear();
    (session.*row.show)({At("20240315_211400_000"), At(row.end)});
    ASSERT_TRUE(window.WaitForFrames(row.shown.size()));
    session.StopWorkers();
    std::vector<uint8_t> shown;
    for (const auto& frame : window.frames()) {
      shown.push_back(frame.topLeft);
    }
    EXPECT_EQ(shown, row.shown) << row.end;
    EXPECT_EQ(window.record().replayEnds, 0);
  }
}

// Save writes the event file and queues its start; an event of the same key is never replaced,
// and a stretch the archive holds nothing of writes nothing. A stretch no Stamp can name and a
// missing events folder are reported and queue nothing.
TEST_F(ReviewTest, SaveWritesTheEventFileAndQueuesIt) {
  archive.AddClip("20240315_211450_500");
  const PickerInterval interval = ReadPickerInterval(At("20240315_211451_000"), "1");
  ASSERT_TRUE(session.Save(interval));
  EXPECT_FALSE(session.Save(interval));
  EXPECT_FALSE(session.Save(ReadPickerInterval(At("20240315_211453_000"), "100")));
  EXPECT_EQ(ReadFileBytes(archive.EventFile('e', "20240315_211451_000")),
            "20240315_211451_000\r\n20240315_211452_000\r\n");
  EXPECT_FALSE(fs::exists(archive.EventFile('e', "20240315_211453_000")));
  EXPECT_EQ(queue.keys, (std::vector<UtcTime>{interval.start}));
  EXPECT_FALSE(session.Save(ReadPickerInterval(At("99991231_235959_000"), "2")));
  fs::remove_all(archive.EventsFolder());
  WriteFileBytes(archive.base / "events", "a file where the events folder belongs");
  EXPECT_FALSE(session.Save(interval));
  EXPECT_EQ(queue.keys.size(), 1u);
  const auto failures = window.record().failures;
  ASSERT_EQ(failures.size(), 3u);
  EXPECT_EQ(failures[1], "Save: " + archive.EventsFolder() +
                             ": the stretch does not lie within the years 1900 to 9999");
}

TEST(TrackingBox, CornersForAClampedAndAnUnclampedCentroid) {
  for (const auto& [x, y, left, top] : {std::tuple{320.7, 240.2, 270, 190},
                                        {10.0, 470.0, 0, 379},
                                        {639.9, -3.5, 539, 0},
                                        {-60.5, 49.9, 0, 0}}) {
    std::vector<uint8_t> frame(kFrameBytes, 0);
    DrawTrackingCorners(frame.data(), x, y);
    EXPECT_EQ(std::count(frame.begin(), frame.end(), 255), 20) << x << "," << y;
    for (int cx : {0, 100}) {
      for (int cy : {0, 100}) {
        for (int i = 0; i <= 2; ++i) {
          EXPECT_EQ(frame[(top + cy) * kFrameWidth + left + cx + (cx == 0 ? i : -i)], 255) << x;
          EXPECT_EQ(frame[(top + cy + (cy == 0 ? i : -i)) * kFrameWidth + left + cx], 255) << x;
        }
      }
    }
  }
}

// Cuts and review share nothing: a peak image cut while the operator presses Replay and Next is
// the same bytes as one cut undisturbed; a replay running while events are cut shows its own times.
TEST_F(ReviewTest, CutsAndReviewNeverDisturbEachOther) {
  for (int s = 48; s < 54; ++s) {
    archive.AddClip("20240315_2114" + std::to_string(s) + "_000");
  }
  archive.AddEvent(kA, kB);
  archive.AddEvent(kC, kC);
  EventList list;
  SystemClock clock;
  ArchiveProgress idle;
  Notices notices;
  EventExtractor extractor(archive.settings, list, clock, idle, notices);
  const auto cut = [&](const std::string& path) {
    AtomicFile image(path);
    EXPECT_TRUE(extractor.ExtractEventImage(*archive.settings.Get(), At(kA) - kImageWindowBefore,
                                            At(kB) + kImageWindowAfter, image));
    EXPECT_TRUE(image.Commit(Durability::kCached));
    return ReadFileBytes(path);
  };
  const std::string undisturbed = cut((archive.base / "undisturbed.jpg").string());
  archive.settings.Update([](Settings& s) { s.slowdownFactor = 1; });  // 30 ms a frame
  const PickerInterval stretch = ReadPickerInterval(At("20240315_211449_000"), "3");
  session.Play(stretch);  // the clips from 48 to 53
  std::atomic<bool> done{false};
  std::thread pressing([&] {
    for (int n = 0; !done.load(); ++n) {
      (n % 2 == 0) ? session.Replay() : session.Next();
      std::this_thread::sleep_for(2ms);
    }
  });
  for (int n = 0; n < 10; ++n) {
    EXPECT_EQ(cut((archive.base / "disturbed.jpg").string()), undisturbed) << n;
  }
  done = true;
  pressing.join();
  session.StopWorkers();
  window.Clear();
  session.Play(stretch);
  for (int n = 0; n < 3; ++n) {
    list.Append(At(n % 2 == 0 ? kA : kC));
    EXPECT_EQ(extractor.DrainAll(60s), 0u);
  }
  ASSERT_TRUE(window.WaitForReplayEnds(1));
  ExpectClips({"20240315_211448_000", "20240315_211449_000", "20240315_211450_000",
               "20240315_211451_000", "20240315_211452_000", "20240315_211453_000"});
}

}  // namespace
}  // namespace ombrix::test
