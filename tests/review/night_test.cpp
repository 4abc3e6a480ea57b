#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "base/file.h"
#include "detect/time_history.h"
#include "media/image_decode.h"
#include "review/night.h"
#include "review/night_output.h"
#include "review/night_summary.h"
#include "support/movies.h"
#include "support/review_archive.h"

namespace ombrix {
namespace {

using test::At;

// Five minutes across a full hour: clips in 21:58, 21:59 and 22:01 (22:00 and 22:02 are gaps),
// integrated images of 10, 40 and 20 inside and one on either side, an event with a time
// history of two directions and one without.
struct NightArchive : test::ReviewArchive {
  NightArchive() {
    setenv("TZ", "UTC0", 1);
    tzset();
    for (const char* clip : {"20240315_215810_000", "20240315_215910_000", "20240315_220110_000"}) {
      AddClip(clip, false);
    }
    const std::pair<const char*, uint32_t> images[] = {{"20240315_215750_000", 99},
                                                       {"20240315_215820_000", 10},
                                                       {"20240315_215930_000", 40},
                                                       {"20240315_220120_000", 20},
                                                       {"20240315_220310_000", 99}};
    for (const auto& [stamp, value] : images) {
      AddIntegratedImage(stamp, value);
    }
    AddEvent("20240315_215000_000", "20240315_215001_000");
    AddEvent("20240315_215940_000", "20240315_215941_000");
    AddEvent("20240315_220130_000", "20240315_220131_000");
    FilePtr history(std::fopen(EventFile('c', "20240315_215940_000").c_str(), "wb"));
    const double directions[][2] = {{90, 0}, {0, 0}, {0, 90}};
    for (int i = 0; i < 3; ++i) {
      const TimeHistoryRow row{At("20240315_215940_000") + std::chrono::milliseconds(33 * i),
                               i == 1 ? 0 : 50, 900, 100, 100};
      WriteEventTimeHistoryLine(history.get(), row, directions[i][0], directions[i][1]);
    }
  }
  PickerInterval stretch{At("20240315_215800_000"), At("20240315_220300_000")};
};

TEST(Night, OfALocalDateRunsNoonToNoonAndRefusesDatesThatAreNone) {
  setenv("TZ", "UTC0", 1);
  tzset();
  const std::optional<PickerInterval> night = NightOfDateText("2024-02-29");
  ASSERT_TRUE(night);
  EXPECT_EQ(night->start, At("20240229_120000_000"));
  EXPECT_EQ(night->end, At("20240301_120000_000"));
  EXPECT_EQ(NightAt(At("20240301_113000_000")).start, night->start);
  EXPECT_EQ(NightAt(At("20240301_120000_000")).start, night->end);
  for (const char* wrong : {"2023-02-29", "2024-13-01", "2024-3-15", "20240315", "2024-03-15x"}) {
    EXPECT_FALSE(NightOfDateText(wrong)) << wrong;
  }
  // Past midnight after the clocks went forward (29 March 2026), 24 hours back is two days back.
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  EXPECT_EQ(NightDate(NightAt(At("20260329_223000_000"))), "2026-03-29");  // 00:30 local
  setenv("TZ", "UTC0", 1);
  tzset();
}

TEST(Night, GathersImagesMinutesGapsAndEventsOfTheStretchOnly) {
  NightArchive archive;
  const Night night = GatherNight(archive.base.str(), archive.stretch);
  ASSERT_EQ(night.images.size(), 3u);
  EXPECT_EQ(night.images[0].time, At("20240315_215820_000"));
  EXPECT_EQ(night.images[2].time, At("20240315_220120_000"));
  EXPECT_EQ(night.archiveMinutes, 3);
  ASSERT_EQ(night.gaps.size(), 2u);
  EXPECT_EQ(night.gaps[0].start, At("20240315_220000_000"));
  EXPECT_EQ(night.gaps[0].end, At("20240315_220100_000"));
  EXPECT_EQ(night.gaps[1].start, At("20240315_220200_000"));
  EXPECT_EQ(night.gaps[1].end, archive.stretch.end);
  ASSERT_EQ(night.events.size(), 2u);
  EXPECT_EQ(night.events[0].key, "20240315_215940_000");
  EXPECT_EQ(night.events[0].track.size(), 2u);  // the frame without excess has no direction
  EXPECT_NE(night.events[0].verdict, "-");
  EXPECT_EQ(night.events[1].verdict, "-");
}

TEST(Night, PicturesHaveAColumnPerImageTicksAtHoursAndTheMaximum) {
  NightArchive archive;
  const Night night = GatherNight(archive.base.str(), archive.stretch);
  const std::string out = archive.base.str();
  const NightPictures pictures = WriteNightPictures(night, std::nullopt, out);
  EXPECT_EQ(pictures.images, 3);
  EXPECT_EQ(pictures.failed, "");
  const std::optional<StoredByteImage> keogram = DecodeImageFirstBytes(out + "/keogram.png");
  ASSERT_TRUE(keogram);
  ASSERT_EQ(keogram->width, 3);
  ASSERT_EQ(keogram->height, kKeogramSkyRows + kKeogramTickRows);
  const auto at = [&](int x, int y) { return keogram->bytes[y * 3 + x]; };
  EXPECT_EQ(at(0, 100), 10);
  EXPECT_EQ(at(1, 100), 40);
  EXPECT_EQ(at(2, 100), 20);
  EXPECT_EQ(at(1, kKeogramSkyRows + 5), 0);
  EXPECT_EQ(at(2, kKeogramSkyRows + 5), 255);  // 22:01 begins a new hour
  const std::optional<StoredByteImage> trails = DecodeImageFirstBytes(out + "/startrails.png");
  ASSERT_TRUE(trails);
  EXPECT_EQ(trails->bytes[1000], 40);
  EXPECT_EQ(test::MovieFrames(out + "/timelapse.mp4"), 3);
  EXPECT_NE(test::ReadFileBytes(out + "/timelapse.mp4").find("avc1"), std::string::npos);

  // With a calibration the middle rows look at the zenith, the centre of projection.
  Calibration calibration;
  calibration.copX = 300;
  calibration.copY = 200;
  for (const int row : {kKeogramSkyRows / 2 - 1, kKeogramSkyRows / 2}) {
    const int offset = KeogramOffsets(calibration)[row];
    EXPECT_NEAR(offset % 640, 300, 2);
    EXPECT_NEAR(offset / 640, 200, 2);
  }
}

TEST(Night, SummaryCountsGapsAndDrawsTracksEastLeft) {
  NightArchive archive;
  const Night night = GatherNight(archive.base.str(), archive.stretch);
  const std::string json = NightSummaryJson(night, 3, 0.25);
  EXPECT_NE(json.find("\"events\": 2,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"-\": 1}"), std::string::npos) << json;
  EXPECT_NE(json.find("\"archiveMinutes\": 3,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"framesLost\": 0,"), std::string::npos) << json;
  EXPECT_NE(json.find("{\"from\": \"2024-03-15T22:00:00Z\", \"to\": \"2024-03-15T22:01:00Z\", "
                      "\"minutes\": 1}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"freeDiskFraction\": 0.2500"), std::string::npos) << json;
  // Both events in the first hour, of two verdicts: a bar of two parts.
  const std::string bars = EventsPerHourSvg(night);
  int parts = 0;
  for (size_t at = bars.find("<rect x=\"32\""); at != std::string::npos;
       at = bars.find("<rect x=\"32\"", at + 1)) {
    ++parts;
  }
  EXPECT_EQ(parts, 2) << bars;
  // East on the horizon is at the left edge, the zenith in the middle.
  EXPECT_NE(SkyMapSvg(night).find("points=\"20.0,210.0 210.0,210.0\""), std::string::npos);
}

// Clips 30 frames apart lose nothing, with jitter; a later one lost the frames in between,
// unless it came so much later that the station was stopped.
TEST(Night, FramesLostAreTheFramesMissingBetweenClipsOfARun) {
  const UtcTime t = At("20240315_215800_000");
  using std::chrono::milliseconds;
  EXPECT_EQ(
      CountFramesLost({t, t + milliseconds(1001), t + milliseconds(2041), t + milliseconds(3142),
                       t + milliseconds(8142), t + milliseconds(28142)}),
      3 + 120);
}

// The station's summary of a night is written whole into the nights folder, once, and not for a
// night without archive; what an unfinished one left is removed.
TEST(Night, FolderIsWrittenWholeOnceAndNotForANightWithoutArchive) {
  NightArchive archive;
  const std::filesystem::path nights = archive.base / "nights";
  std::filesystem::create_directories(nights / ".2024-03-15.Ab12Cd");
  RemoveUnfinishedNights(archive.base.str());
  std::string why;
  const Settings settings = *archive.settings.Get();
  EXPECT_EQ(WriteNightFolder(settings, archive.stretch, {}, why), NightFolderResult::kWritten);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(nights), {}), 1);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(nights / "2024-03-15"), {}), 6);
  EXPECT_EQ(WriteNightFolder(settings, archive.stretch, {}, why), NightFolderResult::kExists);
  EXPECT_EQ(WriteNightFolder(settings, *NightOfDateText("2024-03-20"), {}, why),
            NightFolderResult::kNoArchive);
  EXPECT_FALSE(std::filesystem::exists(nights / "2024-03-20"));
}

}  // namespace
}  // namespace ombrix
