#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "detect/time_history.h"
#include "media/movie_reader.h"
#include "storage/archive_recorder.h"
#include "storage/archive_rig.h"

// Counts the C++ allocations of the whole test program, so that a test can check that a stretch
// of code allocates nothing.
namespace {
std::atomic<uint64_t> allocations{0};
}  // namespace

void* operator new(size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) {
    return p;
  }
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}

namespace ombrix::test {
namespace {

namespace fs = std::filesystem;

CalendarTime At(int hour, int minute, int second) {
  return *MakeCalendarTime(2026, 12, 6, hour, minute, second);
}

bool Exists(const std::string& path) {
  return fs::exists(path);
}

// Seven clips from 12:00:55.330, the fifth of which begins at 12:00:59.290 and ends in the next
// minute. The detector runs up to 49 frames behind the capture, so the ring slot of the first
// frame of the clip from frame 130 is refilled (by frame 194) before that clip's last frame is
// logged: each log row must keep its own frame's capture time.
TEST(ArchiveRecorder, ClipsAndLogsAcrossAMinuteBoundary) {
  ArchiveRig rig(At(12, 0, 55));
  rig.spotBegin = 125;
  rig.spotEnd = 165;
  const int clips = 7;
  rig.Feed(ArchiveRig::kFirstRecorded + 30 * clips, 50);
  EXPECT_EQ(rig.detector->FramesLost(), 0u);

  std::set<std::string> expected1200;
  std::set<std::string> expected1201;
  for (int j = 0; j < clips; ++j) {
    const int first = ArchiveRig::kFirstRecorded + 30 * j;
    const Stamp stamp = rig.StampOf(first);
    const std::string folder = rig.MinuteFolder(stamp);
    auto& expected = stamp.substr(0, 13) == "20261206_1200" ? expected1200 : expected1201;
    expected.insert("s" + stamp + ".mp4");
    expected.insert("t" + stamp + ".jpg");
    EXPECT_EQ(CountMovieFrames(folder + "/s" + stamp + ".mp4"), 30) << stamp;

    bool moved = false;
    for (int k = first; k < first + 30; ++k) {
      moved = moved || rig.SpotIn(k);
    }
    const std::string logPath = folder + "/c" + stamp + ".csv";
    ASSERT_EQ(Exists(logPath), moved) << logPath;
    if (!moved) {
      continue;
    }
    expected.insert("c" + stamp + ".csv");
    const std::vector<std::string> lines = ReadCrLfLines(logPath);
    ASSERT_EQ(lines.size(), 30u);
    double lastX = 0;
    for (int i = 0; i < 30; ++i) {
      const int k = first + i;
      EXPECT_EQ(lines[i].size(), 49u) << lines[i];
      TimeHistoryRow row{};
      ASSERT_TRUE(ParseTimeHistoryLine(lines[i].c_str(), row)) << lines[i];
      EXPECT_EQ(std::string(row.stamp), rig.StampOf(k)) << "row " << i << " of " << stamp;
      if (rig.SpotIn(k)) {
        EXPECT_GT(row.pixelCount, 20);
        EXPECT_GT(row.excessSum, 20 * 150);
        EXPECT_NEAR(row.centroidX, rig.SpotX(k), 0.5);
        EXPECT_NEAR(row.centroidY, rig.SpotY(k), 0.5);
        lastX = row.centroidX;
      } else {
        EXPECT_EQ(row.pixelCount, 0);
        EXPECT_EQ(row.excessSum, 0);
        if (lastX != 0) {
          EXPECT_EQ(row.centroidX, lastX) << "a quiet frame repeats the last centroid";
        }
      }
    }
  }
  const std::string folder1200 = rig.MinuteFolder("20261206_120000_000");
  const std::string folder1201 = rig.MinuteFolder("20261206_120100_000");
  const std::vector<std::string> names1200 = ListNames(folder1200);
  const std::vector<std::string> names1201 = ListNames(folder1201);
  EXPECT_EQ(std::set<std::string>(names1200.begin(), names1200.end()), expected1200);
  EXPECT_EQ(std::set<std::string>(names1201.begin(), names1201.end()), expected1201);
  // The clip from 12:00:59.290 ends at 12:01:00.247 and stays whole in the 12:00 folder.
  const Stamp spanning = rig.StampOf(130);
  EXPECT_EQ(spanning, "20261206_120059_290");
  EXPECT_EQ(expected1200.count("s" + spanning + ".mp4"), 1u);
  EXPECT_EQ(ReadCrLfLines(folder1200 + "/c" + spanning + ".csv").back().substr(0, 19),
            rig.StampOf(159));

  const ArchiveProgress::Snapshot progress = rig.recorder->progress().Read();
  EXPECT_TRUE(progress.active);
  EXPECT_EQ(progress.lastClosedClip, rig.StampOf(ArchiveRig::kFirstRecorded + 30 * (clips - 1)));
}

TEST(ArchiveRecorder, GateClosedTouchesNothingAndABegunClipIsFinished) {
  ArchiveRig rig(At(12, 0, 0));
  rig.settings.enabled = false;
  rig.Feed(50);
  EXPECT_TRUE(ListNames(rig.base.str()).empty()) << "recording off: no folder is made";
  EXPECT_EQ(rig.recorder->clipFrame(), 0);
  EXPECT_EQ(rig.recorder->integrationFrame(), 0u);
  EXPECT_FALSE(rig.recorder->progress().Read().active);

  rig.settings.enabled = true;
  rig.Feed(15);  // frames 50..64 begin a clip
  EXPECT_EQ(rig.recorder->clipFrame(), 15);
  rig.settings.enabled = false;
  rig.Feed(40);  // the clip runs to its 30th frame, then recording stops
  EXPECT_EQ(rig.recorder->clipFrame(), 0);
  EXPECT_EQ(rig.recorder->integrationFrame(), 30u) << "the run's count is kept for later";
  const Stamp stamp = rig.StampOf(50);
  const std::string folder = rig.MinuteFolder(stamp);
  EXPECT_EQ(ListNames(folder),
            (std::vector<std::string>{"s" + stamp + ".mp4", "t" + stamp + ".jpg"}));
  EXPECT_EQ(CountMovieFrames(folder + "/s" + stamp + ".mp4"), 30);
  ArchiveProgress::Snapshot progress = rig.recorder->progress().Read();
  EXPECT_FALSE(progress.active);
  EXPECT_EQ(progress.lastClosedClip, stamp);

  rig.settings.archiveAlways = true;  // archiving alone opens the gate again
  rig.Feed(1);
  EXPECT_EQ(rig.recorder->clipFrame(), 1);
  EXPECT_EQ(rig.recorder->integrationFrame(), 31u);
  EXPECT_TRUE(Exists(folder + "/s" + rig.StampOf(105) + ".mp4"));
  EXPECT_TRUE(rig.recorder->progress().Read().active);
}

// A factor of 0 would make runs of no frames and divide by zero; it counts as 1 (1024 frames).
TEST(ArchiveRecorder, IntegratedImageAfterEvery1024FramesWithTheFactorClamped) {
  ArchiveRig rig(At(23, 59, 50));
  rig.settings.pngIntegrationFactor = 0;
  rig.Feed(ArchiveRig::kFirstRecorded + 1023);
  const Stamp runStamp = rig.StampOf(ArchiveRig::kFirstRecorded);
  const std::string image = rig.MinuteFolder(runStamp) + "/a" + runStamp + ".png";
  EXPECT_FALSE(Exists(image)) << "a run of 1024 frames is not complete after 1023";
  rig.Feed(2);
  ASSERT_TRUE(Exists(image));
  EXPECT_EQ(rig.recorder->integrationFrame(), 1u) << "the next run has begun";
  // Only every 105th run is copied into the events folder.
  for (const std::string& name : ListNames(rig.EventsFolder())) {
    EXPECT_NE(name.front(), 'a') << name;
  }

  // The sum of a uniform noisy sky, scaled so that its largest pixel is 254 or 255.
  std::vector<uint8_t> pixels(kFrameBytes, 0);
  MovieReader reader(image);
  ASSERT_TRUE(reader.readFrameMax(pixels.data()));
  const auto [low, high] = std::minmax_element(pixels.begin(), pixels.end());
  EXPECT_GE(*high, 254);
  EXPECT_GT(*low, 150) << "1024 frames of noise average out near the mean";
}

// Between the first and the last frame of a clip, detection and recording allocate nothing.
TEST(ArchiveRecorder, FramesInsideAClipAllocateNothing) {
  ArchiveRig rig(At(6, 30, 0));
  rig.spotBegin = 80;
  rig.spotEnd = 95;
  rig.Feed(ArchiveRig::kFirstRecorded + 60 + 1);  // every ring slot made; a clip begins with 70
  rig.Feed(5);                                    // the encoder settles
  const uint64_t before = allocations.load();
  rig.Feed(20);  // frames 76..95, with and without motion
  EXPECT_EQ(allocations.load(), before);
  EXPECT_EQ(rig.recorder->clipFrame(), 26);
}

TEST(ArchiveRecorder, FinishClipClosesThePartClipWithItsLog) {
  ArchiveRig rig(At(6, 30, 0));
  rig.spotBegin = 45;
  rig.spotEnd = 50;
  rig.Feed(ArchiveRig::kFirstRecorded + 30 + 15);  // clip 1 holds frames 40..54
  const Stamp stamp = rig.StampOf(40);
  const std::string folder = rig.MinuteFolder(stamp);
  EXPECT_FALSE(Exists(folder + "/t" + stamp + ".jpg"));
  EXPECT_TRUE(rig.recorder->progress().Read().active);

  rig.recorder->FinishClip();
  EXPECT_EQ(CountMovieFrames(folder + "/s" + stamp + ".mp4"), 15);
  EXPECT_TRUE(Exists(folder + "/t" + stamp + ".jpg"));
  const std::vector<std::string> lines = ReadCrLfLines(folder + "/c" + stamp + ".csv");
  ASSERT_EQ(lines.size(), 15u);
  EXPECT_EQ(lines.back().substr(0, 19), rig.StampOf(54));
  const ArchiveProgress::Snapshot progress = rig.recorder->progress().Read();
  EXPECT_FALSE(progress.active);
  EXPECT_EQ(progress.lastClosedClip, stamp);
  EXPECT_EQ(rig.recorder->clipFrame(), 0);
}

}  // namespace
}  // namespace ombrix::test
