#include "storage/event_extractor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "calib/calibration.h"
#include "detect/time_history.h"
#include "media/movie_reader.h"
#include "storage/archive_rig.h"
#include "storage/calibration_settings.h"

namespace ombrix::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

CalendarTime At(int hour, int minute, int second) {
  return *MakeCalendarTime(2026, 12, 6, hour, minute, second);
}

bool Exists(const std::string& path) {
  return fs::exists(path);
}

struct EventPaths {
  std::string image, movie, history;
};

EventPaths PathsOf(const ArchiveRig& rig, const Stamp& key) {
  const std::string events = rig.EventsFolder();
  return {events + "/j" + key + ".jpg", events + "/m" + key + ".mp4", events + "/c" + key + ".csv"};
}

// Feeds until the detector has recorded an event; its key and times from the event file.
EventTimes FeedUntilEvent(ArchiveRig& rig) {
  while (rig.events.Empty() && rig.framesFed() < 400) {
    rig.Feed(1);
  }
  for (const std::string& name : ListNames(rig.EventsFolder())) {
    if (name.front() == 'e') {
      const auto times = ReadEventFile(rig.EventsFolder() + "/" + name);
      if (times) {
        return *times;
      }
    }
  }
  ADD_FAILURE() << "no event was recorded";
  return {};
}

// The first frame after which the recorder has closed a clip beginning after stamp.
int FrameClosingClipAfter(const ArchiveRig& rig, const Stamp& stamp) {
  int first = ArchiveRig::kFirstRecorded;
  while (rig.StampOf(first) <= stamp) {
    first += 30;
  }
  return first + 29;
}

// The recorded frames whose capture times lie in the movie's window [first - 1000 ms, last].
std::vector<int> FramesInWindow(const ArchiveRig& rig, const Stamp& first, const Stamp& last) {
  std::vector<int> frames;
  const Stamp from = ShiftStamp(first, -1000);
  for (int k = ArchiveRig::kFirstRecorded; k < rig.framesFed(); ++k) {
    if (rig.StampOf(k) >= from && rig.StampOf(k) <= last) {
      frames.push_back(k);
    }
  }
  return frames;
}

SystemTime RealNow() {
  return SystemClock().UtcNow();
}

TEST(EventExtractor, CutsAnEventOnceTheClipsOfItsWindowAreClosed) {
  ArchiveRig rig(At(12, 0, 55));
  rig.spotBegin = 60;
  rig.spotEnd = 100;
  rig.settings.calApparentLatitude = 10;  // a tilted camera: the history must use the tilt
  rig.settings.calTrueLatitude = 12;
  ReviewValues review;
  EventExtractor extractor(rig.settings, rig.events, review, rig.clock, rig.recorder->progress());

  const EventTimes event = FeedUntilEvent(rig);
  const EventPaths paths = PathsOf(rig, event.first);
  const int closingFrame = FrameClosingClipAfter(rig, ShiftStamp(event.last, 1500));
  extractor.Pass();
  EXPECT_TRUE(extractor.HasWaitingEvent());
  EXPECT_FALSE(Exists(paths.movie)) << "the clip holding the event's end is still open";
  rig.Feed(closingFrame - rig.framesFed());  // every frame but the one that closes that clip
  extractor.Pass();
  EXPECT_FALSE(Exists(paths.image));
  rig.Feed(1);
  extractor.Pass();
  EXPECT_FALSE(extractor.HasWaitingEvent());
  ASSERT_TRUE(Exists(paths.image));
  ASSERT_TRUE(Exists(paths.movie));
  ASSERT_TRUE(Exists(paths.history));

  const std::vector<int> frames = FramesInWindow(rig, event.first, event.last);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back(), frames.front() + static_cast<int>(frames.size()) - 1);
  EXPECT_EQ(CountMovieFrames(paths.movie), static_cast<int>(frames.size()));

  const Calibration calibration = CalibrationFromSettings(rig.settings);
  const std::vector<std::string> lines = ReadCrLfLines(paths.history);
  ASSERT_EQ(lines.size(), frames.size());
  int moving = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    ASSERT_EQ(line.size(), 65u) << line;  // 19 + 6 + 8 + 6 + 6 + 7 + 7 and six commas
    EXPECT_EQ(line.substr(0, 19), rig.StampOf(frames[i]));
    TimeHistoryRow row{};
    ASSERT_TRUE(ParseTimeHistoryLine(line.c_str(), row));
    char azimuth[16], elevation[16];
    if (row.pixelCount == 0) {
      EXPECT_EQ(line.substr(49), ",   0.00,   0.00");
      continue;
    }
    ++moving;
    const AzEl expected = PixelToAzEl(calibration, row.centroidX, row.centroidY);
    std::snprintf(azimuth, sizeof azimuth, "%7.2f", expected.azimuth);
    std::snprintf(elevation, sizeof elevation, "%7.2f", expected.elevation);
    EXPECT_EQ(line.substr(49), std::string(",") + azimuth + "," + elevation);
  }
  EXPECT_GE(moving, 38) << "the spot frames carry positions";

  std::vector<uint8_t> image(kFrameBytes, 0);
  MovieReader reader(paths.image);
  ASSERT_TRUE(reader.readFrame(image.data()));
  EXPECT_GT(image[rig.SpotY(80) * kFrameWidth + rig.SpotX(80)], 150) << "the spot's track";
  EXPECT_LT(image[50 * kFrameWidth + 600], 60) << "the dark sky";
}

TEST(EventExtractor, StopsWaitingTenSecondsAfterTheWindowOrWhenRecordingStops) {
  {
    ArchiveRig rig(At(12, 0, 55));
    rig.spotBegin = 60;
    rig.spotEnd = 100;
    ReviewValues review;
    EventExtractor extractor(rig.settings, rig.events, review, rig.clock, rig.recorder->progress());
    const EventTimes event = FeedUntilEvent(rig);
    const EventPaths paths = PathsOf(rig, event.first);
    // The camera goes quiet: no more frames, the recorder keeps its clip open.
    const auto setClock = [&](int64_t afterLast_ms) {
      const auto time = ParseStamp(ShiftStamp(event.last, afterLast_ms));
      rig.clock.Set(time->time, time->milliseconds);
    };
    setClock(11400);  // window end + 9.9 s
    extractor.Pass();
    EXPECT_FALSE(Exists(paths.movie));
    setClock(11600);  // window end + 10.1 s
    extractor.Pass();
    EXPECT_TRUE(Exists(paths.image));
    EXPECT_TRUE(Exists(paths.movie));
    EXPECT_TRUE(Exists(paths.history));
    EXPECT_FALSE(extractor.HasWaitingEvent());
  }
  {
    ArchiveRig rig(At(12, 0, 55));
    rig.spotBegin = 60;
    rig.spotEnd = 100;
    ReviewValues review;
    EventExtractor extractor(rig.settings, rig.events, review, rig.clock, rig.recorder->progress());
    const EventTimes event = FeedUntilEvent(rig);
    rig.settings.enabled = false;  // the disk filled up: recording ends with the current clip
    while (rig.recorder->progress().Read().active) {
      rig.Feed(1);
    }
    extractor.Pass();
    EXPECT_TRUE(Exists(PathsOf(rig, event.first).movie));
  }
}

TEST(EventExtractor, EventsAreCutInListOrder) {
  ArchiveRig rig(At(12, 0, 55));
  rig.spotBegin = 60;
  rig.spotEnd = 100;
  ReviewValues review;
  EventExtractor extractor(rig.settings, rig.events, review, rig.clock, rig.recorder->progress());
  std::vector<Stamp> cut;
  extractor.SetCutObserver([&](const Stamp& key) { cut.push_back(key); });
  const EventTimes detected = FeedUntilEvent(rig);
  // A second event after it whose window has long been archived.
  RecordEvent(rig.settings.archiveFolder.get(), rig.events, rig.TimeOf(20), rig.TimeOf(40));
  const Stamp manual = rig.StampOf(20);
  extractor.Pass();
  EXPECT_FALSE(Exists(PathsOf(rig, manual).movie)) << "it waits behind the first event";
  EXPECT_FALSE(Exists(PathsOf(rig, detected.first).movie));

  rig.Feed(FrameClosingClipAfter(rig, ShiftStamp(detected.last, 1500)) + 1 - rig.framesFed());
  const int generationBefore = review.readerGeneration.load();
  extractor.Pass();
  EXPECT_TRUE(Exists(PathsOf(rig, detected.first).movie));
  EXPECT_TRUE(Exists(PathsOf(rig, manual).movie));
  EXPECT_EQ(cut, (std::vector<Stamp>{detected.first, manual}));
  EXPECT_EQ(review.readerGeneration.load(), generationBefore + 2) << "one image read each";
  EXPECT_TRUE(rig.events.Empty());
}

// Without a clip log a clip's frames are taken 33 ms apart with nothing detected; the rig's
// frames are exactly 33 ms apart, so they keep their capture times.
TEST(EventExtractor, ClipsWithoutLogsGiveFrames33MillisecondsApart) {
  ArchiveRig rig(At(12, 0, 55));
  rig.Feed(ArchiveRig::kFirstRecorded + 30 * 5);
  rig.recorder->FinishClip();
  ReviewValues review;
  EventExtractor extractor(rig.settings, rig.events, review, rig.clock, rig.recorder->progress());
  SystemTime first = rig.TimeOf(70);
  first.milliseconds += 5;
  SystemTime last = rig.TimeOf(100);
  last.milliseconds += 5;
  RecordEvent(rig.settings.archiveFolder.get(), rig.events, first, last);
  extractor.Pass();
  const EventPaths paths = PathsOf(rig, MakeStamp(first));

  const std::vector<int> frames = FramesInWindow(rig, MakeStamp(first), MakeStamp(last));
  ASSERT_EQ(frames.front(), 40);
  ASSERT_EQ(frames.back(), 100);
  EXPECT_EQ(CountMovieFrames(paths.movie), static_cast<int>(frames.size()));
  const std::vector<std::string> lines = ReadCrLfLines(paths.history);
  ASSERT_EQ(lines.size(), frames.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i], rig.StampOf(frames[i]) + ",     0,       0,   0.0,   0.0,   0.00,   0.00");
  }
  EXPECT_EQ(review.archiveFrameCount.load(), static_cast<int>(frames.size()));
}

TEST(EventExtractor, AWindowWithoutClipsGivesABlackImageAndEmptyFiles) {
  ArchiveRig rig(At(12, 0, 55));
  ReviewValues review;
  EventExtractor extractor(rig.settings, rig.events, review, rig.clock, rig.recorder->progress());
  RecordEvent(rig.settings.archiveFolder.get(), rig.events, rig.TimeOf(0), rig.TimeOf(60));
  extractor.Pass();
  const EventPaths paths = PathsOf(rig, rig.StampOf(0));
  std::vector<uint8_t> image(kFrameBytes, 99);
  MovieReader reader(paths.image);
  ASSERT_TRUE(reader.readFrame(image.data()));
  EXPECT_LE(*std::max_element(image.begin(), image.end()), 2);
  EXPECT_EQ(CountMovieFrames(paths.movie), 0);
  EXPECT_TRUE(Exists(paths.history));
  EXPECT_EQ(fs::file_size(paths.history), 0u);
}

TEST(EventExtractor, AnUnreadableEventIsDroppedAndTheNextWaitsForTheNextPass) {
  ArchiveRig rig(At(12, 0, 55));
  rig.Feed(ArchiveRig::kFirstRecorded + 30 * 3);
  rig.recorder->FinishClip();
  ReviewValues review;
  EventExtractor extractor(rig.settings, rig.events, review, rig.clock, rig.recorder->progress());
  const std::string folder = rig.settings.archiveFolder.get();
  RecordEvent(folder, rig.events, rig.TimeOf(30), rig.TimeOf(40));
  RecordEvent(folder, rig.events, rig.TimeOf(50), rig.TimeOf(60));
  fs::remove(rig.EventsFolder() + "/e" + rig.StampOf(30) + ".txt");
  extractor.Pass();
  EXPECT_FALSE(Exists(PathsOf(rig, rig.StampOf(30)).movie));
  EXPECT_FALSE(Exists(PathsOf(rig, rig.StampOf(50)).movie));
  EXPECT_EQ(rig.events.Size(), 1u);
  extractor.Pass();
  EXPECT_TRUE(Exists(PathsOf(rig, rig.StampOf(50)).movie));
}

TEST(EventExtractor, DrainAllCutsEveryEventWithoutWaiting) {
  ArchiveRig rig(At(12, 0, 55));
  rig.spotBegin = 60;
  rig.spotEnd = 100;
  ReviewValues review;
  EventExtractor extractor(rig.settings, rig.events, review, rig.clock, rig.recorder->progress());
  const EventTimes detected = FeedUntilEvent(rig);
  RecordEvent(rig.settings.archiveFolder.get(), rig.events, rig.TimeOf(20), rig.TimeOf(40));
  extractor.Pass();
  ASSERT_TRUE(extractor.HasWaitingEvent());
  rig.recorder->FinishClip();
  EXPECT_EQ(extractor.DrainAll(seconds(30)), 0u);
  EXPECT_FALSE(extractor.HasWaitingEvent());
  const EventPaths paths = PathsOf(rig, detected.first);
  EXPECT_TRUE(Exists(paths.movie));
  EXPECT_TRUE(Exists(PathsOf(rig, rig.StampOf(20)).movie));
  // The part clip closed at shutdown holds the event's last frame.
  const std::vector<std::string> lines = ReadCrLfLines(paths.history);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().substr(0, 19), detected.last);
  EXPECT_EQ(CountMovieFrames(paths.movie), static_cast<int>(lines.size()));
}

// Retention by the age of each file in the events folder against the (injected) clock.
TEST(EventExtractor, RetentionDeletesFilesOlderThanDaysToKeep) {
  ArchiveRig rig(At(12, 0, 55));
  ReviewValues review;
  EventExtractor extractor(rig.settings, rig.events, review, rig.clock, rig.recorder->progress());
  const std::string events = rig.EventsFolder();
  const CalendarTime now = ToCalendarTime(RealNow());
  const auto remaining = [&] { return ListNames(events).size(); };
  const auto addEvent = [&](int frame) {
    RecordEvent(rig.settings.archiveFolder.get(), rig.events, rig.TimeOf(frame),
                rig.TimeOf(frame + 1));
  };

  rig.settings.daysToKeep = 0;
  addEvent(0);
  rig.clock.Set(now - 60);
  extractor.Pass();
  EXPECT_EQ(remaining(), 4u) << "files made after 'now' are not old";
  fs::create_directory(events + "/keep");  // folders are never touched

  rig.clock.Set(now + 5);
  extractor.Pass();
  EXPECT_EQ(remaining(), 5u) << "no event handled in this pass: no retention";
  addEvent(100);
  extractor.Pass();
  EXPECT_EQ(ListNames(events), std::vector<std::string>{"keep"}) << "daysToKeep 0: all older";

  addEvent(200);
  extractor.Pass();  // with the clock 5 s on, these are older than 0 days too
  addEvent(300);
  rig.settings.daysToKeep = 1;
  rig.clock.Set(now + 86400 - 60);
  extractor.Pass();
  EXPECT_EQ(remaining(), 5u);
  rig.clock.Set(now + 86400 + 60);
  extractor.DeleteOldEvents(events);
  EXPECT_EQ(remaining(), 1u);

  addEvent(400);
  rig.settings.daysToKeep = -1;  // refused: a negative retention keeps everything
  rig.clock.Set(now + 1000 * 86400LL);
  extractor.Pass();
  EXPECT_EQ(remaining(), 5u);
  rig.settings.daysToKeep = 2000000000;  // counts as 24855 days
  rig.clock.Set(now + 24855 * 86400LL - 60);
  extractor.DeleteOldEvents(events);
  EXPECT_EQ(remaining(), 5u);
  rig.clock.Set(now + 24855 * 86400LL + 60);
  extractor.DeleteOldEvents(events);
  EXPECT_EQ(remaining(), 1u);
}

}  // namespace
}  // namespace ombrix::test
