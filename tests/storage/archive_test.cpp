#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "detect/detector.h"
#include "detect/time_history.h"
#include "media/movie_reader.h"
#include "storage/calibration_settings.h"
#include "storage/event_extractor.h"
#include "support/file_size_limit.h"
#include "support/movies.h"
#include "support/temp_dir.h"

namespace ombrix::test {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

// The rig's recorder waits for its writer rather than leave frames out: a burst of frames
// processed at once would fill the queue.
ArchiveRecorderOptions Lossless() {
  ArchiveRecorderOptions options;
  options.waitWhenFull = true;
  return options;
}

// The real detector and recorder fed with a synthetic sky on 2026-12-06: noise 8..23 (never a
// change above the threshold) and, in frames [spotBegin, spotEnd), a bright spot of radius 3 moving
// 4 px right and 2 down per frame. Frame k is captured at start + 33 k ms. The detector skips the
// first 10 frames (triggerGap), so clip j begins with frame 10 + 30 j. The rig is also the clock.
struct Rig final : Clock {
  Rig(int hour, int minute, int second, int spotFrom = -1, int spotTo = -1,
      ArchiveRecorderOptions archive = Lossless())
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
    now = TimeOf(0);
  }
  UtcTime UtcNow() const override { return now; }
  CalendarFields LocalNow() const override { return BreakUtcTime(now); }

  // Stores count frames, with a detection step after every burst frames, and waits for the
  // archive's writer unless told not to.
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
  ReviewValues review;
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

// Seven clips from 12:00:55.330; the fifth begins at 12:00:59.290 and ends in the next minute.
// The detector runs up to 49 frames behind, so the ring slot of a clip's first frame is refilled
// before its last frame is logged: each log row must keep its own frame's capture time.
TEST(ArchiveRecorder, ClipsAndLogsAcrossAMinuteBoundary) {
  Rig rig(12, 0, 55, 125, 165);
  rig.Feed(10 + 30 * 7, 50);
  EXPECT_EQ(rig.detector.FramesLost(), 0u);
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

TEST(ArchiveRecorder, GateClosedAtClipStartTouchesNothingAndABegunClipIsFinished) {
  Rig rig(12, 0, 0);
  rig.Set([](Settings& s) { s.enabled = false; });
  rig.Feed(50);
  EXPECT_TRUE(Rig::Names(rig.base.str()).empty()) << "recording off: no folder is made";
  EXPECT_EQ(rig.recorder.clipFrame(), 0);
  EXPECT_EQ(rig.recorder.integrationFrame(), 0u);
  EXPECT_FALSE(rig.recorder.progress().Read().active);
  rig.Set([](Settings& s) { s.enabled = true; });
  rig.Feed(15);  // frames 50..64 begin a clip
  rig.Set([](Settings& s) { s.enabled = false; });
  rig.Feed(40);  // the clip runs to its 30th frame, then recording stops
  EXPECT_EQ(rig.recorder.clipFrame(), 0);
  EXPECT_EQ(rig.recorder.integrationFrame(), 30u) << "the run's count is kept for later";
  const Stamp stamp = rig.StampOf(50);
  EXPECT_EQ(Rig::Names(rig.MinuteFolder(stamp)),
            (std::set<std::string>{"s" + stamp + ".mp4", "t" + stamp + ".jpg"}));
  EXPECT_EQ(MovieFrames(rig.MinuteFolder(stamp) + "/s" + stamp + ".mp4"), 30);
  EXPECT_FALSE(rig.recorder.progress().Read().active);
  EXPECT_EQ(rig.recorder.progress().Read().lastClosedClip, rig.TimeOf(50));
}

// A writer stalled on a slow disk holds the first frame it took: the detector goes on at its own
// pace and loses nothing, the queue fills, and every frame after that is left out, counted and
// reported once. Released, the writer records exactly the frames that were queued.
TEST(ArchiveRecorder, StalledWriterLeavesOutAndCountsFramesWhileDetectionGoesOn) {
  std::mutex mutex;
  std::condition_variable released;
  bool stalled = true;
  ArchiveRecorderOptions live;
  live.beforeWrite = [&] {
    std::unique_lock lock(mutex);
    released.wait(lock, [&] { return !stalled; });
  };
  Rig rig(12, 0, 0, -1, -1, std::move(live));
  rig.Feed(10 + 100, 1, false);  // frames 10..109 are processed
  EXPECT_EQ(rig.detector.FramesRead(), 110u);
  EXPECT_EQ(rig.detector.FramesLost(), 0u);
  EXPECT_EQ(rig.recorder.FramesDropped(), 100u - kArchiveQueueSlots);
  EXPECT_EQ(rig.Said(), std::vector<std::string>{
                            "Recording falls behind: frames are left out of the archive clips."});
  {
    std::lock_guard lock(mutex);
    stalled = false;
  }
  released.notify_all();
  rig.recorder.Drain();
  EXPECT_EQ(rig.recorder.clipFrame(), kArchiveQueueSlots);
  rig.recorder.FinishClip();
  const Stamp stamp = rig.StampOf(10);
  EXPECT_EQ(MovieFrames(rig.MinuteFolder(stamp) + "/s" + stamp + ".mp4"), kArchiveQueueSlots);
  EXPECT_EQ(rig.Said().size(), 1u);
}

// An archive that cannot be written is said once for the whole run of failing clips (not once a
// clip or a frame), with the path and the system's reason, and its return to working order once
// with the count: a clip movie whose name is taken by a folder, and a plain file where the archive
// folder should be, after which a clip whose trailer does not fit (a file size limit) is one more
// failure, not a recovery.
TEST(ArchiveRecorder, FailingArchiveIsReportedOnceAndItsRecoveryToo) {
  uintmax_t clipSize = 0;  // of the clip of frames 70..99, recorded whole in the first round
  for (const bool fileAsFolder : {false, true}) {
    SCOPED_TRACE(fileAsFolder ? "file as archive folder" : "clip name taken");
    Rig rig(12, 0, 0);
    const std::string plainFile = rig.base.str() + "/plain";
    std::string failure;
    if (fileAsFolder) {
      WriteFileBytes(plainFile, "x");
      rig.Set([&plainFile](Settings& s) { s.archiveFolder = plainFile; });
      failure =
          "Recording failed: cannot make the folder " + plainFile + "/archive: Not a directory.";
    } else {
      // Clips begin with frames 10, 40 and 70; the first two cannot be written.
      for (const int k : {10, 40}) {
        fs::create_directories(rig.MinuteFolder(rig.StampOf(k)) + "/s" + rig.StampOf(k) + ".mp4");
      }
      failure = "Recording failed: cannot write the clip movies in " +
                rig.MinuteFolder(rig.StampOf(10)) + ": Is a directory.";
    }
    rig.Feed(10 + 30 * 2);
    EXPECT_EQ(rig.Said(), std::vector<std::string>{failure});
    const std::string clip70 = rig.MinuteFolder(rig.StampOf(70)) + "/s" + rig.StampOf(70) + ".mp4";
    if (fileAsFolder) {
      rig.Set([&rig](Settings& s) { s.archiveFolder = rig.base.str(); });
      WithFileSizeLimit(clipSize - 100, [&] {
        rig.Feed(30);
        return 0;
      });
      EXPECT_EQ(rig.Said(), std::vector<std::string>{failure});
    } else {
      rig.Feed(30);
      clipSize = fs::file_size(clip70);
      ASSERT_LT(fs::file_size(rig.MinuteFolder(rig.StampOf(70)) + "/t" + rig.StampOf(70) + ".jpg"),
                clipSize - 100);
    }
    rig.Feed(30);
    // Without its folder each frame tries to begin a clip: 59 repeats, and the unfinished clip.
    EXPECT_EQ(rig.Said(),
              (std::vector<std::string>{failure, fileAsFolder ? "Recording works again. (the "
                                                                "failure repeated 60 more times)"
                                                              : "Recording works again. (the "
                                                                "failure repeated 1 more time)"}));
    const Stamp recorded = rig.StampOf(100);
    EXPECT_EQ(MovieFrames(rig.MinuteFolder(recorded) + "/s" + recorded + ".mp4"), 30);
  }
}

// A frame whose time no Stamp can hold names no file: its clip is not begun, and that is said.
TEST(ArchiveRecorder, FramesPastTheLastStampTimeAreNotFiled) {
  Rig rig(12, 0, 0);
  rig.start = kLastStampTime - milliseconds(33 * 10 - 1);  // frame 10 would begin a clip
  rig.Feed(10 + 30);
  EXPECT_EQ(rig.Said(), std::vector<std::string>{"Recording failed: a frame's capture time lies "
                                                 "outside the years 1900 to 9999."});
  EXPECT_TRUE(Rig::Names(rig.base.str()).empty());
}

// On a full disk the clip log and the peak image are absent, never truncated, and said once each.
TEST(ArchiveRecorder, FullDiskLeavesNoTruncatedLogOrPeakImage) {
  std::fflush(nullptr);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = 0;
    {
      std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG
      const rlimit fsize{512, 512};
      setrlimit(RLIMIT_FSIZE, &fsize);
      Rig rig(12, 0, 0, 15, 40);
      rig.Feed(10 + 30);
      const std::vector<std::string> reports = rig.Said();
      const std::string folder = rig.MinuteFolder(rig.StampOf(10));
      for (const std::string& name : Rig::Names(folder)) {
        if (!name.starts_with('s')) {
          code = 2;  // a log, an image or a temporary is left
        }
      }
      const auto said = [&](const std::string& start) {
        return std::ranges::count_if(
            reports, [&](const std::string& text) { return text.starts_with(start); });
      };
      if (said("Recording failed: cannot write the clip log " + folder + "/c") != 1 ||
          said("Recording failed: cannot write the images in " + folder + ".") != 1) {
        code = 3;
      }
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: a truncated file or temporary is left, 3: not said once";
}

// A factor of 0 would make runs of no frames and divide by zero; it counts as 1 (1024 frames).
TEST(ArchiveRecorder, IntegratedImageAfterEvery1024FramesWithTheFactorClamped) {
  Rig rig(23, 59, 50);
  rig.Set([](Settings& s) { s.pngIntegrationFactor = 0; });
  rig.Feed(10 + 1023);
  const std::string image = rig.MinuteFolder(rig.StampOf(10)) + "/a" + rig.StampOf(10) + ".png";
  EXPECT_FALSE(fs::exists(image)) << "a run of 1024 frames is not complete after 1023";
  rig.Feed(2);
  ASSERT_TRUE(fs::exists(image));
  EXPECT_EQ(rig.recorder.integrationFrame(), 1u) << "the next run has begun";
  // The sum of a uniform noisy sky, scaled so that its largest pixel is 254 or 255.
  std::vector<uint8_t> pixels(kFrameBytes, 0);
  MovieReader reader(image);
  ASSERT_TRUE(reader.readFrameMax(pixels.data()));
  const auto [low, high] = std::minmax_element(pixels.begin(), pixels.end());
  EXPECT_GE(*high, 254);
  EXPECT_GT(*low, 150) << "1024 frames of noise average out near the mean";
}

// A detected event and an older one recorded after it are cut in list order, once the recorder
// has closed a clip beginning after the first one's window. The older one lies in a clip without
// a log (nothing moved): its frames are taken 33 ms apart, which keeps the rig's capture times.
// A later event past the last frame is cut once its window ended 10 s ago.
TEST(EventExtractor, CutsEventsInOrderOnceTheirClipsAreClosed) {
  Rig rig(12, 0, 55, 60, 100);
  rig.Set([](Settings& s) {  // a tilted camera: the history must use the tilt
    s.calApparentLatitude = 10;
    s.calTrueLatitude = 12;
  });
  auto steadyNow = std::chrono::steady_clock::time_point{};
  EventExtractor extractor(rig.settings, rig.events, rig.review, rig, rig.recorder.progress(),
                           rig.notices, [&steadyNow] { return steadyNow; });
  std::vector<UtcTime> cut;
  extractor.SetCutObserver([&](UtcTime key) { cut.push_back(key); });
  const EventTimes event = rig.FeedUntilEvent();
  rig.AddEvent(20, 40);
  int closing = 10;  // the first clip beginning after the window
  while (rig.TimeOf(closing) <= event.last + milliseconds(1500)) {
    closing += 30;
  }
  extractor.Pass();
  EXPECT_TRUE(extractor.HasWaitingEvent());
  rig.Feed(closing + 29 - rig.fed);
  extractor.Pass();
  EXPECT_TRUE(cut.empty());
  EXPECT_FALSE(fs::exists(rig.EventPath('j', event.first)));
  const int generation = rig.review.readerGeneration.load();
  rig.Feed(1);
  extractor.Pass();
  EXPECT_EQ(cut, (std::vector<UtcTime>{event.first, rig.TimeOf(20)}));
  EXPECT_EQ(rig.review.readerGeneration.load(), generation + 2) << "one image read each";
  EXPECT_FALSE(extractor.HasWaitingEvent());
  const std::vector<std::string> quiet = ReadCrLfLines(rig.EventPath('c', rig.TimeOf(20)));
  ASSERT_EQ(quiet.size(), 31u);  // frames 10..40
  for (size_t i = 0; i < quiet.size(); ++i) {
    EXPECT_EQ(quiet[i], rig.StampOf(10 + i) + ",     0,       0,   0.0,   0.0,   0.00,   0.00");
  }
  EXPECT_EQ(rig.review.archiveFrameCount.load(), 31);
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
  // No more frames come, while recording stays on. The wall clock stepping an hour either way
  // changes nothing; 11.5 s on the steady clock after the event was taken ends the wait.
  const int last = rig.fed + 30;
  rig.AddEvent(rig.fed, last);
  rig.now = rig.TimeOf(last + 3600 * 30);
  extractor.Pass();
  EXPECT_TRUE(extractor.HasWaitingEvent());
  rig.now = rig.TimeOf(0);
  steadyNow += std::chrono::milliseconds(11500);
  extractor.Pass();
  EXPECT_TRUE(extractor.HasWaitingEvent());
  steadyNow += std::chrono::milliseconds(1);
  extractor.Pass();
  EXPECT_FALSE(extractor.HasWaitingEvent());
  EXPECT_TRUE(fs::exists(rig.EventPath('m', rig.TimeOf(last - 30))));
  // An event on the list without its event file is said, not dropped without a word.
  rig.events.Append(rig.TimeOf(5));
  extractor.Pass();
  EXPECT_EQ(rig.Said().back(), "Event " + rig.StampOf(5) + " is not cut: its event file " +
                                   rig.EventsFolder() + "/e" + rig.StampOf(5) +
                                   ".txt is missing or does not hold two Stamps.");
}

// A disk that fills during a cut (a file size limit, in a child process): the event is reported
// as not cut, is not announced, and leaves no j, m or c file, whole or truncated, and no
// temporary. Rows: a limit that stops the peak image, and one that lets the image and the time
// history through but not the movie.
TEST(EventExtractor, FullDiskDuringACutLeavesNoTruncatedFile) {
  Rig rig(12, 0, 55, 60, 100);
  EventExtractor extractor(rig.settings, rig.events, rig.review, rig, rig.recorder.progress(),
                           rig.notices);
  const EventTimes event = rig.FeedUntilEvent();
  rig.Feed(120);
  rig.recorder.FinishClip();
  ASSERT_EQ(extractor.DrainAll(std::chrono::seconds(60)), 0u);
  uintmax_t size[3] = {};
  const char kinds[] = {'j', 'c', 'm'};
  for (int i = 0; i < 3; ++i) {
    size[i] = fs::file_size(rig.EventPath(kinds[i], event.first));
    fs::remove(rig.EventPath(kinds[i], event.first));
  }
  ASSERT_LT(std::max(size[0], size[1]), size[2]) << "the movie is the largest file";
  const rlim_t limits[] = {1000, static_cast<rlim_t>((std::max(size[0], size[1]) + size[2]) / 2)};
  for (const rlim_t limit : limits) {
    SCOPED_TRACE(limit);
    rig.events.Append(event.first);
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG
      const rlimit fsize{limit, limit};
      setrlimit(RLIMIT_FSIZE, &fsize);
      bool announced = false;
      extractor.SetCutObserver([&](UtcTime) { announced = true; });
      extractor.DrainAll(std::chrono::seconds(60));
      const std::vector<std::string> reports = rig.Said();
      const bool reported =
          reports.size() == 1 &&
          reports[0].starts_with("Event " + MakeStamp(event.first) + " could not be cut: its ");
      _exit(announced ? 2 : reported ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    rig.events.TakeHead();  // the child took it off its own copy of the list
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: announced as cut, 3: not reported once";
    for (const char kind : kinds) {
      EXPECT_FALSE(fs::exists(rig.EventPath(kind, event.first))) << kind;
    }
    EXPECT_TRUE(std::ranges::none_of(Rig::Names(rig.EventsFolder()), [](const std::string& name) {
      return name.starts_with('.');
    })) << "a temporary of the cut is left";
    EXPECT_TRUE(fs::exists(rig.EventsFolder() + "/e" + MakeStamp(event.first) + ".txt"));
  }
}

// After a restart: the events without a movie are queued oldest first, unless their window ends
// before the oldest archive minute; an event already cut and names that are not event files are
// left alone, and temporaries of a cut or an event file that was cut short are removed. The queued
// events are cut.
TEST(EventExtractor, RestartQueuesTheEventsLeftUncutWhoseWindowTheArchiveHolds) {
  Rig rig(12, 0, 55);
  EventExtractor extractor(rig.settings, rig.events, rig.review, rig, rig.recorder.progress(),
                           rig.notices);
  EXPECT_EQ(extractor.QueueUncutEvents(), 0u);
  rig.Feed(200);
  rig.recorder.FinishClip();
  rig.AddEvent(100, 120);  // cut before the "restart"
  ASSERT_EQ(extractor.DrainAll(std::chrono::seconds(60)), 0u);
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
  const std::string leftover = rig.EventsFolder() + "/.m" + rig.StampOf(150) + ".mp4";
  WriteFileBytes(leftover, "half a movie");
  WriteFileBytes(rig.EventsFolder() + "/e2026.txt", "");
  WriteFileBytes(rig.EventsFolder() + "/.e" + rig.StampOf(1) + ".txt", "");
  // An image writer's own temporary beside the cut's, and a long-exposure copy's.
  const std::vector<std::string> stillLeftovers = {
      rig.EventsFolder() + "/..j" + rig.StampOf(150) + ".jpg",
      rig.EventsFolder() + "/.a" + rig.StampOf(2) + ".png"};
  for (const std::string& path : stillLeftovers) {
    WriteFileBytes(path, "half an image");
  }

  std::vector<UtcTime> cut;
  extractor.SetCutObserver([&](UtcTime key) { cut.push_back(key); });
  EXPECT_EQ(extractor.QueueUncutEvents(), 3u);
  EXPECT_FALSE(fs::exists(leftover));
  EXPECT_FALSE(fs::exists(rig.EventsFolder() + "/.e" + rig.StampOf(1) + ".txt"));
  for (const std::string& path : stillLeftovers) {
    EXPECT_FALSE(fs::exists(path)) << path;
  }
  ASSERT_EQ(extractor.DrainAll(std::chrono::seconds(60)), 0u);
  EXPECT_EQ(cut, (std::vector<UtcTime>{rig.start - seconds(60), rig.TimeOf(40), rig.TimeOf(150)}));
  EXPECT_EQ(MovieFrames(rig.EventPath('m', rig.TimeOf(150))), 11 + 30);
  EXPECT_EQ(extractor.QueueUncutEvents(), 0u);
}

// Each row cuts a new event, then runs retention with the clock now_s from the real time the files
// were made. A folder is never touched. Files made after 'now' are not old; daysToKeep 0 deletes
// every file made before now; a negative value keeps everything; 2000000000 counts as 24855 days.
TEST(EventExtractor, RetentionDeletesFilesOlderThanDaysToKeep) {
  Rig rig(12, 0, 55);
  EventExtractor extractor(rig.settings, rig.events, rig.review, rig, rig.recorder.progress(),
                           rig.notices);
  const UtcTime now = std::chrono::floor<seconds>(SystemClock().UtcNow());
  fs::create_directories(rig.EventsFolder() + "/keep");
  const int64_t day_s = 86400, maxDays_s = 24855 * day_s;
  struct Row {
    int32_t daysToKeep;
    int64_t now_s;
    size_t left;
  } rows[] = {{0, -60, 5},
              {0, 5, 1},
              {1, day_s - 60, 5},
              {1, day_s + 60, 1},
              {-1, 1000 * day_s, 5},
              {2000000000, maxDays_s - 60, 9},
              {2000000000, maxDays_s + 60, 1}};
  for (const Row& row : rows) {
    rig.AddEvent(100 * (&row - rows), 100 * (&row - rows) + 1);
    rig.Set([&row](Settings& s) { s.daysToKeep = row.daysToKeep; });
    rig.now = now + seconds(row.now_s);
    extractor.Pass();
    EXPECT_EQ(Rig::Names(rig.EventsFolder()).size(), row.left) << "row " << &row - rows;
  }
}

}  // namespace
}  // namespace ombrix::test
