#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <latch>
#include <set>
#include <string>
#include <vector>

#include "detect/detector.h"
#include "detect/time_history.h"
#include "media/movie_reader.h"
#include "storage/calibration_settings.h"
#include "storage/event_extractor.h"
#include "support/movies.h"
#include "support/temp_dir.h"

namespace ombrix::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

// The real detector, recorder (lossless unless told) and extractor, the rig their clock:
// noise 8..23 and in frames [spotBegin, spotEnd) a spot of radius 3 moving 4 px right and 2 down a
// frame. Frame k is captured at start + 33 k ms; clip j begins with frame 10 + 30 j (triggerGap).
struct Rig final : Clock {
  Rig(int hour, int minute, int second, int spotFrom = -1, int spotTo = -1,
      ArchiveRecorderOptions archive = {.waitWhenFull = true, .beforeWrite = {}})
      : start(*MakeUtcTime({2026, 12, 6, hour, minute, second})),
        spotBegin(spotFrom),
        spotEnd(spotTo),
        recorder(detector, notices, std::move(archive)) {
    Set([this](Settings& s) {
      s.archiveFolder = base.str();
      s.enabled = true;
    });
    detector.BuildThresholdMap();
    detector.SetArchiveSink(recorder);
    extractor.SetCutObserver([this](UtcTime key) { cut.push_back(key); });
    now = TimeOf(0);
  }
  UtcTime UtcNow() const override { return now; }
  CalendarFields LocalNow() const override { return BreakUtcTime(now); }

  // Stores count frames, a detection step after every burst, and waits for the writer if drain.
  void Feed(int count, int burst = 1, bool drain = true) {
    for (int n = 0; n < count; ++n) {
      const int k = fed++;
      for (int i = 0; i < kFrameBytes; ++i) {
        noise = noise * 1664525u + 1013904223u;
        sample[2 * i] = static_cast<uint8_t>(8 + (noise >> 28));
        sample[2 * i + 1] = 128;
      }
      for (int d = 0; SpotIn(k) && d < 49; ++d) {  // the disc in the 7 x 7 square
        const int dx = d % 7 - 3, dy = d / 7 - 3;
        if (dx * dx + dy * dy <= 9) {
          sample[2 * ((SpotY(k) + dy) * kFrameWidth + SpotX(k) + dx)] = 220;
        }
      }
      ring.StoreFrame(sample.data(), TimeOf(k));
      now = TimeOf(k);
      if ((n + 1) % burst == 0 || n + 1 == count) {
        detector.DetectionStep();
      }
    }
    if (drain) {
      recorder.Drain();
    }
  }
  // Feeds until the detector has recorded an event; its times from the event file.
  EventTimes FeedUntilEvent() {
    while (events.Empty() && fed < 400) {
      Feed(1);
    }
    const UtcTime key = events.TakeHead().value();  // throws when no event was recorded
    events.Append(key);
    return ReadEventFile(EventsFolder() + "/e" + MakeStamp(key) + ".txt").value();
  }
  void AddEvent(int firstFrame, int lastFrame) {
    RecordEvent(base.str(), events, TimeOf(firstFrame), TimeOf(lastFrame), notices);
  }

  UtcTime TimeOf(int k) const { return start + k * milliseconds(33); }
  Stamp StampOf(int k) const { return MakeStamp(TimeOf(k)); }
  bool SpotIn(int k) const { return k >= spotBegin && k < spotEnd; }
  int SpotX(int k) const { return 100 + 4 * (k - spotBegin); }
  int SpotY(int k) const { return 200 + 2 * (k - spotBegin); }
  std::string MinuteFolder(const Stamp& s) const {
    return base.str() + "/archive/s" + s.substr(0, 4) + "/s" + s.substr(0, 8) + "/s" +
           s.substr(0, 13);
  }
  std::string ClipPath(int k) const {
    return MinuteFolder(StampOf(k)) + "/s" + StampOf(k) + ".mp4";
  }
  std::string EventsFolder() const { return base.str() + "/events"; }
  void Set(const SettingsEdit& edit) { settings.Update(edit); }
  std::vector<std::string> Said() const {
    std::vector<std::string> texts;
    for (const Notice& notice : notices.Recent()) {
      texts.push_back(notice.text);
    }
    return texts;
  }
  std::string EventPath(char kind, UtcTime key) const {
    const char* extension = kind == 'j' ? ".jpg" : kind == 'm' ? ".mp4" : ".csv";
    return EventsFolder() + "/" + kind + MakeStamp(key) + extension;
  }

  static std::set<std::string> Names(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      names.insert(entry.path().filename().string());
    }
    return names;
  }

  TempDir base;
  UtcTime start;
  int spotBegin, spotEnd;
  Notices notices;  // what the recorder and the extractor say
  SharedSettings settings;
  FrameRing ring;
  ThresholdMap thresholds;
  EventList events;
  UtcTime now{};
  Detector detector{settings, ring, thresholds, events, *this, notices};
  ArchiveRecorder recorder;
  std::chrono::steady_clock::time_point steadyNow{};  // the extractor's steady clock
  EventExtractor extractor{
      settings, events, *this, recorder.progress(), notices, [this] { return steadyNow; }};
  std::vector<UtcTime> cut;  // the events the extractor cut, in order
  int fed = 0;
  uint32_t noise = 12345;
  std::vector<uint8_t> sample = std::vector<uint8_t>(kSampleSize640);
};

// Lines of a text file, each of which must end in CR LF.
std::vector<std::string> ReadCrLfLines(const std::string& path) {
  const std::string bytes = ReadFileBytes(path);
  std::vector<std::string> lines;
  size_t begin = 0;
  for (size_t end; (end = bytes.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
    lines.push_back(bytes.substr(begin, end - begin));
  }
  EXPECT_EQ(begin, bytes.size()) << path << ": text after the last CR LF";
  return lines;
}

// Seven clips from 12:00:55.330, the fifth across the minute. The detector runs 49 frames behind,
// so a clip's first ring slot is refilled before its last row is logged: rows keep their own times.
TEST(ArchiveRecorder, ClipsAndLogsAcrossAMinuteBoundary) {
  Rig rig(12, 0, 55, 125, 165);
  rig.Feed(10 + 30 * 7, 50);
  std::set<std::string> expected[2];
  for (int first = 10; first < 10 + 30 * 7; first += 30) {
    const Stamp stamp = rig.StampOf(first);
    const std::string folder = rig.MinuteFolder(stamp);
    auto& names = expected[stamp.substr(0, 13) == "20261206_1201"];
    names.insert({"s" + stamp + ".mp4", "t" + stamp + ".jpg"});
    EXPECT_EQ(MovieFrames(folder + "/s" + stamp + ".mp4"), 30) << stamp;
    const bool moved = rig.SpotIn(first + 29) || rig.SpotIn(first);
    const std::string logPath = folder + "/c" + stamp + ".csv";
    ASSERT_EQ(fs::exists(logPath), moved) << logPath;
    if (!moved) {
      continue;
    }
    names.insert("c" + stamp + ".csv");
    const std::vector<std::string> lines = ReadCrLfLines(logPath);
    ASSERT_EQ(lines.size(), 30u);
    double lastX = 0;
    for (int i = 0, k = first; i < 30; ++i, ++k) {
      EXPECT_EQ(lines[i].size(), 49u) << lines[i];
      TimeHistoryRow row{};
      ASSERT_TRUE(ParseTimeHistoryLine(lines[i].c_str(), row)) << lines[i];
      EXPECT_EQ(row.time, rig.TimeOf(k)) << "row " << i << " of " << stamp;
      if (rig.SpotIn(k)) {
        EXPECT_GT(row.pixelCount, 20);
        EXPECT_GT(row.excessSum, 20 * 150);
        EXPECT_NEAR(row.centroidX, rig.SpotX(k), 0.5);
        EXPECT_NEAR(row.centroidY, rig.SpotY(k), 0.5);
        lastX = row.centroidX;
      } else {
        EXPECT_EQ(row.pixelCount, 0);
        EXPECT_EQ(row.excessSum, 0);
        EXPECT_TRUE(lastX == 0 || row.centroidX == lastX) << "a quiet frame keeps the centroid";
      }
    }
  }
  EXPECT_EQ(Rig::Names(rig.MinuteFolder("20261206_1200")), expected[0]);
  EXPECT_EQ(Rig::Names(rig.MinuteFolder("20261206_1201")), expected[1]);
  EXPECT_EQ(rig.recorder.progress().Read().lastClosedClip, rig.TimeOf(190));
}

// A stalled writer: frames past the full queue are left out, counted, said once; none lost.
TEST(ArchiveRecorder, StalledWriterLeavesOutAndCountsFramesWhileDetectionGoesOn) {
  std::latch released(1);
  Rig rig(12, 0, 0, -1, -1, {.waitWhenFull = false, .beforeWrite = [&] { released.wait(); }});
  rig.Feed(10 + 100, 1, false);  // frames 10..109 are processed
  EXPECT_EQ(rig.detector.FramesRead(), 110u);
  EXPECT_EQ(rig.detector.FramesLost(), 0u);
  EXPECT_EQ(rig.recorder.FramesDropped(), 100u - kArchiveQueueSlots);
  EXPECT_EQ(rig.Said(), std::vector<std::string>{
                            "Recording falls behind: frames are left out of the archive clips."});
  released.count_down();
  rig.recorder.FinishClip();
  EXPECT_EQ(MovieFrames(rig.ClipPath(10)), kArchiveQueueSlots);
  EXPECT_EQ(rig.Said().size(), 1u);
}

// A failing archive is said once for the run, with path and reason, and its recovery once with
// the count; a clip whose trailer does not fit (a file size limit) is one more failure.
TEST(ArchiveRecorder, FailingArchiveIsReportedOnceAndItsRecoveryToo) {
  Rig rig(12, 0, 0);
  rig.Feed(10);
  const uint32_t clipNoise = rig.noise;  // the sky of the first clip, to be shown again
  rig.Feed(30);
  const uintmax_t clipSize = fs::file_size(rig.ClipPath(10));
  const std::string plainFile = rig.base.str() + "/plain";
  WriteFileBytes(plainFile, "x");
  rig.Set([&plainFile](Settings& s) { s.archiveFolder = plainFile; });
  const std::string failure =
      "Recording failed: cannot make the folder " + plainFile + "/archive: Not a directory.";
  rig.Feed(30 * 2);
  EXPECT_EQ(rig.Said(), std::vector<std::string>{failure});
  rig.Set([&rig](Settings& s) { s.archiveFolder = rig.base.str(); });
  rig.noise = clipNoise;  // the same movie again: its frames fit, its trailer does not
  WithFileSizeLimit(clipSize - 100, [&] { rig.Feed(30); });
  EXPECT_EQ(rig.Said(), std::vector<std::string>{failure});
  rig.Feed(30);
  // Without its folder each frame tries to begin a clip: 59 repeats, and the unfinished clip.
  EXPECT_EQ(rig.Said(),
            (std::vector<std::string>{
                failure, "Recording works again. (the failure repeated 60 more times)"}));
  EXPECT_EQ(MovieFrames(rig.ClipPath(130)), 30);
}

// A frame whose time no Stamp can hold begins no clip, and that is said.
TEST(ArchiveRecorder, FramesPastTheLastStampTimeAreNotFiled) {
  Rig rig(12, 0, 0);
  rig.start = kLastStampTime - milliseconds(33 * 10 - 1);  // frame 10 would begin a clip
  rig.Feed(10 + 30);
  EXPECT_EQ(rig.Said(), std::vector<std::string>{"Recording failed: a frame's capture time lies "
                                                 "outside the years 1900 to 9999."});
  EXPECT_TRUE(Rig::Names(rig.base.str()).empty());
}

// On a full disk the clip log and peak image are absent, never truncated, and said once each.
TEST(ArchiveRecorder, FullDiskLeavesNoTruncatedLogOrPeakImage) {
  Rig rig(12, 0, 0, 15, 80);
  WithFileSizeLimit(512, [&] { rig.Feed(10 + 60); });
  const std::string folder = rig.MinuteFolder(rig.StampOf(10));
  for (const std::string& name : Rig::Names(folder)) {
    EXPECT_TRUE(name.starts_with('s')) << name << ": a log, an image or a temporary is left";
  }
  const auto said = [&](const std::string& start) {
    return std::ranges::count_if(rig.Said(),
                                 [&](const std::string& text) { return text.starts_with(start); });
  };
  EXPECT_EQ(said("Recording failed: cannot write the clip log " + folder + "/c"), 1);
  EXPECT_EQ(said("Recording failed: cannot write the images in " + folder + "."), 1);
}

// Repeated frame times (a replay run again) take the next free millisecond, never overwrite.
TEST(ArchiveRecorder, RepeatedFrameTimesNeverOverwriteAClip) {
  Rig rig(12, 0, 0, 15, 80);
  rig.Feed(10 + 60);
  const std::string folder = rig.MinuteFolder(rig.StampOf(10));
  const std::set<std::string> first = Rig::Names(folder);
  const std::string movie = ReadFileBytes(rig.ClipPath(10));
  rig.fed = 10;  // the same frames with the same times again
  rig.Feed(60);
  std::set<std::string> both = first;
  for (const int k : {10, 40}) {
    const Stamp again = MakeStamp(rig.TimeOf(k) + milliseconds(1));
    both.insert({"s" + again + ".mp4", "t" + again + ".jpg", "c" + again + ".csv"});
    EXPECT_EQ(MovieFrames(folder + "/s" + again + ".mp4"), 30);
  }
  EXPECT_EQ(Rig::Names(folder), both);
  EXPECT_EQ(ReadFileBytes(rig.ClipPath(10)), movie);
  EXPECT_TRUE(rig.Said().empty());
}

// Recording off makes no folder; a clip begun runs to its 30th frame when recording stops. A
// factor of 0 counts as 1: an integrated image of every 1024 recorded frames, the run paused with
// recording and going on when it resumes.
TEST(ArchiveRecorder, TheGateFinishesABegunClipAndAnIntegratedImageTakes1024RecordedFrames) {
  Rig rig(23, 59, 50);
  rig.Set([](Settings& s) {
    s.pngIntegrationFactor = 0;
    s.enabled = false;
  });
  rig.Feed(50);
  EXPECT_TRUE(Rig::Names(rig.base.str()).empty()) << "recording off: no folder is made";
  rig.Set([](Settings& s) { s.enabled = true; });
  rig.Feed(15);  // frames 50..64 begin a clip
  rig.Set([](Settings& s) { s.enabled = false; });
  rig.Feed(40);  // the clip runs to its 30th frame, then recording stops
  const Stamp stamp = rig.StampOf(50);
  EXPECT_EQ(Rig::Names(rig.MinuteFolder(stamp)),
            (std::set<std::string>{"s" + stamp + ".mp4", "t" + stamp + ".jpg"}));
  EXPECT_EQ(MovieFrames(rig.ClipPath(50)), 30);
  EXPECT_FALSE(rig.recorder.progress().Read().active);
  EXPECT_EQ(rig.recorder.progress().Read().lastClosedClip, rig.TimeOf(50));
  rig.Set([](Settings& s) { s.enabled = true; });
  rig.Feed(1024 - 30 - 1);
  const std::string image = rig.MinuteFolder(stamp) + "/a" + stamp + ".png";
  EXPECT_FALSE(fs::exists(image)) << "a run of 1024 frames is not complete after 1023";
  rig.Feed(1);
  ASSERT_TRUE(fs::exists(image));
  // The sum of a uniform noisy sky, scaled so that its largest pixel is 254 or 255.
  std::vector<uint8_t> pixels(kFrameBytes, 0);
  MovieReader reader(image);
  ASSERT_TRUE(reader.readFrameMax(pixels.data()));
  const auto [low, high] = std::minmax_element(pixels.begin(), pixels.end());
  EXPECT_GE(*high, 254);
  EXPECT_GT(*low, 150) << "1024 frames of noise average out near the mean";
}

// Events are cut in list order once a clip beginning after the window is closed; one in a clip
// without a log gets rows 33 ms apart; one past the last frame is cut after 11.5 steady seconds.
TEST(EventExtractor, CutsEventsInOrderOnceTheirClipsAreClosed) {
  Rig rig(12, 0, 55, 60, 100);
  rig.Set([](Settings& s) {  // a tilted camera: the history must use the tilt
    s.calApparentLatitude = 10;
    s.calTrueLatitude = 12;
  });
  const EventTimes event = rig.FeedUntilEvent();
  rig.AddEvent(20, 40);
  int closing = 10;  // the first clip beginning after the window
  while (rig.TimeOf(closing) <= event.last + milliseconds(1500)) {
    closing += 30;
  }
  rig.extractor.Pass();
  rig.Feed(closing + 29 - rig.fed);
  rig.extractor.Pass();
  EXPECT_TRUE(rig.cut.empty());
  EXPECT_FALSE(fs::exists(rig.EventPath('j', event.first)));
  rig.Feed(1);
  rig.extractor.Pass();
  EXPECT_EQ(rig.cut, (std::vector<UtcTime>{event.first, rig.TimeOf(20)}));
  const std::vector<std::string> quiet = ReadCrLfLines(rig.EventPath('c', rig.TimeOf(20)));
  ASSERT_EQ(quiet.size(), 31u);  // frames 10..40
  for (size_t i = 0; i < quiet.size(); ++i) {
    EXPECT_EQ(quiet[i], rig.StampOf(10 + i) + ",     0,       0,   0.0,   0.0,   0.00,   0.00");
  }
  int firstFrame = 10;  // the movie's frames run from the event's first - 1000 ms to its last
  while (rig.TimeOf(firstFrame) < event.first - milliseconds(1000)) {
    ++firstFrame;
  }
  const std::vector<std::string> lines = ReadCrLfLines(rig.EventPath('c', event.first));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().substr(0, 19), MakeStamp(event.last));
  EXPECT_EQ(MovieFrames(rig.EventPath('m', event.first)), static_cast<int>(lines.size()));
  int moving = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    ASSERT_EQ(lines[i].size(), 65u) << lines[i];  // 19 + 6 + 8 + 6 + 6 + 7 + 7 and six commas
    EXPECT_EQ(lines[i].substr(0, 19), rig.StampOf(firstFrame + i));
    TimeHistoryRow row{};
    ASSERT_TRUE(ParseTimeHistoryLine(lines[i].c_str(), row));
    char azEl[32] = ",   0.00,   0.00";
    if (row.pixelCount != 0) {
      ++moving;
      const AzEl expected =
          PixelToAzEl(CalibrationFromSettings(*rig.settings.Get()), row.centroidX, row.centroidY);
      std::snprintf(azEl, sizeof azEl, ",%7.2f,%7.2f", expected.azimuth, expected.elevation);
    }
    EXPECT_EQ(lines[i].substr(49), azEl);
  }
  EXPECT_GE(moving, 38) << "the spot frames carry positions";
  std::vector<uint8_t> image(kFrameBytes, 0);
  MovieReader reader(rig.EventPath('j', event.first));
  ASSERT_TRUE(reader.readFrame(image.data()));
  EXPECT_GT(image[rig.SpotY(80) * kFrameWidth + rig.SpotX(80)], 150) << "the spot's track";
  EXPECT_LT(image[50 * kFrameWidth + 600], 60) << "the dark sky";
  // No more frames; the wall clock stepping an hour either way changes nothing.
  const int last = rig.fed + 30;
  rig.AddEvent(rig.fed, last);
  rig.now = rig.TimeOf(last + 3600 * 30);
  rig.extractor.Pass();
  rig.now = rig.TimeOf(0);
  rig.steadyNow += std::chrono::milliseconds(11500);
  rig.extractor.Pass();
  EXPECT_EQ(rig.cut.size(), 2u);
  rig.steadyNow += std::chrono::milliseconds(1);
  rig.extractor.Pass();
  EXPECT_EQ(rig.cut.back(), rig.TimeOf(last - 30));
  // An event on the list without its event file is said, not dropped without a word.
  rig.events.Append(rig.TimeOf(5));
  rig.extractor.Pass();
  EXPECT_EQ(rig.Said().back(), "Event " + rig.StampOf(5) + " is not cut: its event file " +
                                   rig.EventsFolder() + "/e" + rig.StampOf(5) +
                                   ".txt is missing or does not hold two Stamps.");
}

// A cut failing on a full disk (at the image, or only the movie) leaves no file and is retried
// after a pause; one that keeps failing is given up; a window without clips is not retried.
TEST(EventExtractor, AFailedCutIsRetriedWhileTheArchiveHoldsItsClips) {
  Rig rig(12, 0, 55, 60, 100);
  const EventTimes event = rig.FeedUntilEvent();
  const std::string key = MakeStamp(event.first);
  rig.Feed(120);
  rig.recorder.FinishClip();
  ASSERT_EQ(rig.extractor.DrainAll(std::chrono::seconds(60)), 0u);
  uintmax_t size[3] = {};
  const char kinds[] = {'j', 'c', 'm'};
  const auto removeCut = [&] {
    for (int i = 0; i < 3; ++i) {
      size[i] = fs::file_size(rig.EventPath(kinds[i], event.first));
      fs::remove(rig.EventPath(kinds[i], event.first));
    }
  };
  removeCut();
  ASSERT_LT(std::max(size[0], size[1]), size[2]) << "the movie is the largest file";
  for (const rlim_t limit : {rlim_t{1000}, static_cast<rlim_t>((size[0] + size[2]) / 2)}) {
    SCOPED_TRACE(limit);
    rig.events.Append(event.first);
    WithFileSizeLimit(limit, [&] { rig.extractor.Pass(); });
    EXPECT_TRUE(rig.Said().back().starts_with("Event " + key + " could not be cut: its "));
    EXPECT_TRUE(
        rig.Said().back().ends_with(". It is tried again while the archive holds its clips."));
    EXPECT_EQ(Rig::Names(rig.EventsFolder()), std::set<std::string>{"e" + key + ".txt"});
    rig.steadyNow += kCutRetryPauses[0];
    rig.extractor.Pass();
    EXPECT_EQ(rig.cut.back(), event.first);
    removeCut();
  }
  const size_t announced = rig.cut.size();
  rig.events.Append(event.first);
  WithFileSizeLimit(1000, [&] {
    for (int pass = 0; pass < 8; ++pass, rig.steadyNow += std::chrono::minutes(5)) {
      rig.extractor.Pass();
    }
  });
  EXPECT_EQ(rig.cut.size(), announced);
  EXPECT_TRUE(rig.Said().back().ends_with("(given up after 6 tries)."));
  // Nothing to cut: a window before the archive begins.
  RecordEvent(rig.base.str(), rig.events, rig.start - seconds(40), rig.start - seconds(30),
              rig.notices);
  rig.extractor.Pass();
  EXPECT_EQ(rig.Said().back(), "Event " + MakeStamp(rig.start - seconds(40)) +
                                   " is not cut: the archive holds no clip of its window.");
  EXPECT_EQ(rig.extractor.DrainAll(std::chrono::seconds(60)), 0u);
}

// A restart queues uncut events whose window the archive holds, oldest first; temporaries go.
TEST(EventExtractor, RestartQueuesTheEventsLeftUncutWhoseWindowTheArchiveHolds) {
  Rig rig(12, 0, 55);
  EXPECT_EQ(rig.extractor.QueueUncutEvents(), 0u);
  rig.Feed(200);
  rig.recorder.FinishClip();
  rig.AddEvent(100, 120);  // cut before the "restart"
  ASSERT_EQ(rig.extractor.DrainAll(std::chrono::seconds(60)), 0u);
  rig.AddEvent(150, 160);
  rig.AddEvent(40, 50);
  // Its window ends at 11:59:59.500, before the oldest minute (12:00): nothing is left of it.
  RecordEvent(rig.base.str(), rig.events, rig.start - seconds(70), rig.start - seconds(57),
              rig.notices);
  // Its window ends at 12:00:00.500, in the oldest minute.
  RecordEvent(rig.base.str(), rig.events, rig.start - seconds(60), rig.start - seconds(56),
              rig.notices);
  while (rig.events.TakeHead()) {
  }
  WriteFileBytes(rig.EventsFolder() + "/e2026.txt", "");
  // Temporaries of a cut, an event file and a long-exposure copy, and of an earlier version.
  const std::vector<std::string> leftovers = {
      rig.EventsFolder() + "/.m" + rig.StampOf(150) + ".mp4.Ab12Cd",
      rig.EventsFolder() + "/.e" + rig.StampOf(1) + ".txt.xyzXYZ",
      rig.EventsFolder() + "/.a" + rig.StampOf(2) + ".png.000000",
      rig.EventsFolder() + "/..j" + rig.StampOf(150) + ".jpg"};
  for (const std::string& path : leftovers) {
    WriteFileBytes(path, "half a file");
  }

  EXPECT_EQ(rig.extractor.QueueUncutEvents(), 3u);
  for (const std::string& path : leftovers) {
    EXPECT_FALSE(fs::exists(path)) << path;
  }
  // The one in the oldest minute ends before the first clip: nothing to cut, so it stays uncut.
  ASSERT_EQ(rig.extractor.DrainAll(std::chrono::seconds(60)), 0u);
  EXPECT_EQ(rig.cut, (std::vector<UtcTime>{rig.TimeOf(100), rig.TimeOf(40), rig.TimeOf(150)}));
  EXPECT_EQ(MovieFrames(rig.EventPath('m', rig.TimeOf(150))), 11 + 30);
  EXPECT_EQ(rig.extractor.QueueUncutEvents(), 1u);
}

// Each row cuts an event, then runs retention at now_s from the files' real time. Only the
// station's files go; a negative daysToKeep keeps all; 2000000000 counts as 24855 days.
TEST(EventExtractor, RetentionDeletesFilesOlderThanDaysToKeep) {
  Rig rig(12, 0, 55);
  rig.Feed(100);
  rig.recorder.FinishClip();
  const UtcTime now = std::chrono::floor<seconds>(SystemClock().UtcNow());
  fs::create_directories(rig.EventsFolder() + "/keep");
  WriteFileBytes(rig.EventsFolder() + "/notes.txt", "the lens was cleaned");
  const int64_t day_s = 86400, maxDays_s = 24855 * day_s;
  struct Row {
    int32_t daysToKeep;
    int64_t now_s;
    size_t left;
  } rows[] = {{0, -60, 6},
              {0, 30, 2},
              {1, day_s - 60, 6},
              {1, day_s + 60, 2},
              {-1, 1000 * day_s, 6},
              {2000000000, maxDays_s - 60, 10},
              {2000000000, maxDays_s + 60, 2}};
  for (const Row& row : rows) {
    rig.AddEvent(20 + 10 * (&row - rows), 21 + 10 * (&row - rows));
    rig.Set([&row](Settings& s) { s.daysToKeep = row.daysToKeep; });
    rig.now = now + seconds(row.now_s);
    rig.extractor.Pass();
    EXPECT_EQ(Rig::Names(rig.EventsFolder()).size(), row.left) << "row " << &row - rows;
  }
  EXPECT_TRUE(fs::exists(rig.EventsFolder() + "/notes.txt"));
}

}  // namespace
}  // namespace ombrix::test
