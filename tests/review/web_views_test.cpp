#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "base/file.h"
#include "detect/time_history.h"
#include "media/movie_writer.h"
#include "review/browser_movie.h"
#include "review/event_index.h"
#include "review/web_views.h"
#include "support/movies.h"
#include "support/review_archive.h"

namespace ombrix {
namespace {

using test::At;

// Only the station's Stamps name files; nights only by real dates.
TEST(WebKeys, OnlyStampsAndRealNightDatesPass) {
  for (const char* key : {"20240315_211454_037", "19000101_000000_000", "99991231_235959_999"}) {
    EXPECT_TRUE(IsEventKey(key)) << key;
  }
  for (const char* key : {"", "20240315_211454_03", "20240315_211454_0370", "20240230_211454_037",
                          "20240315-211454_037", "2024031 _211454_037", "../0315_211454_037",
                          "20240315_211454/037", "20240315_241454_037", "+0240315_211454_037"}) {
    EXPECT_FALSE(IsEventKey(key)) << key;
  }
  EXPECT_TRUE(IsNightDate("2024-02-29"));
  for (const char* date : {"2023-02-29", "2024-+3-15", "2024-3-15", "2024-03-15/", "../03-15"}) {
    EXPECT_FALSE(IsNightDate(date)) << date;
  }
}

// A time history whose detections run from (10, 20) through the brightest (30, 40) to (50, 60).
void WriteHistory(const std::string& path, const Stamp& first) {
  FilePtr file(std::fopen(path.c_str(), "wb"));
  const int excess[] = {0, 100, 900, 300};
  for (int i = 0; i < 4; ++i) {
    const TimeHistoryRow row{At(first) + std::chrono::milliseconds(33 * i), i == 0 ? 0 : 40,
                             excess[i], 100.0 + i, 100.0};
    WriteEventTimeHistoryLine(file.get(), row, i == 0 ? 0 : 20.0 * i - 10, 20.0 * i);
  }
}

TEST(EventIndex, ListsNewestFirstAndFollowsTheFolder) {
  test::ReviewArchive archive;
  for (const char* key : {"20240315_210000_000", "20240315_220000_000", "20240315_230000_000"}) {
    archive.AddEvent(key, key);
  }
  archive.AddEvent("20240315_215959_500", "20240315_220001_000");
  EventIndex index(archive.EventsFolder());
  size_t total = 0;
  auto page = index.Page(1, 2, &total);
  ASSERT_EQ(page.size(), 2u);
  EXPECT_EQ(total, 4u);
  EXPECT_EQ(page[0].key, "20240315_220000_000");
  EXPECT_EQ(page[1].key, "20240315_215959_500");
  EXPECT_DOUBLE_EQ(page[1].seconds, 1.5);
  EXPECT_TRUE(page[1].verdict.empty());
  EXPECT_FALSE(page[1].startAz);
  EXPECT_EQ(index.CountSince(At("20240315_215959_500")), 3u);
  // The cut adds a time history and a movie; the index reads the new history once.
  WriteHistory(archive.EventFile('c', "20240315_215959_500"), "20240315_215959_500");
  test::WriteFileBytes(archive.EventFile('m', "20240315_215959_500"), "m");
  const std::optional<EventEntry> cut = index.Find("20240315_215959_500");
  ASSERT_TRUE(cut && cut->startAz && cut->peakAz);
  EXPECT_TRUE(cut->timeHistory && cut->movie && !cut->peakImage);
  EXPECT_FALSE(cut->verdict.empty());
  EXPECT_EQ(std::tuple(*cut->startAz, *cut->startEl, *cut->peakAz, *cut->endAz, *cut->endEl),
            std::tuple(10.0, 20.0, 30.0, 50.0, 60.0));
  // Deleted events and companions without an event file drop out.
  std::string why;
  EXPECT_TRUE(DeleteEvent(archive.EventsFolder(), "20240315_215959_500", why)) << why;
  EXPECT_FALSE(std::filesystem::exists(archive.EventFile('c', "20240315_215959_500")));
  EXPECT_FALSE(DeleteEvent(archive.EventsFolder(), "20240315_215959_500", why));
  EXPECT_FALSE(DeleteEvent(archive.EventsFolder(), "../events", why));
  std::filesystem::remove(archive.EventFile('e', "20240315_230000_000"));
  test::WriteFileBytes(archive.EventFile('j', "20240315_230000_000"), "j");
  EXPECT_FALSE(index.Find("20240315_230000_000"));
  page = index.Page(0, 50, &total);
  ASSERT_EQ(total, 2u);
  EXPECT_EQ(page[0].key, "20240315_220000_000");
  EXPECT_TRUE(index.Page(2, 50, nullptr).empty());
}

// The browser's copy plays every frame, is made once, and leaves the event's movie as it was.
TEST(BrowserMovieCache, TranscodesOnceIntoTheCacheAndLeavesTheEventAlone) {
  test::TempDir dir;
  const std::string event = (dir / "m20240315_211454_037.mp4").string();
  test::WriteStreakMovie(event);
  const std::string before = test::ReadFileBytes(event);
  BrowserMovieCache cache((dir / "cache").string());
  std::string why;
  const auto movie = cache.Get(event, "20240315_211454_037", why);
  ASSERT_TRUE(movie) << why;
  EXPECT_EQ(movie->mimeType, BrowserVideoTypeHere().mimeType);
  EXPECT_EQ(test::MovieFrames(movie->path), test::MovieFrames(event));
  const std::string bytes = test::ReadFileBytes(movie->path);
  if (movie->mimeType == std::string("video/mp4")) {
    EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));  // playable before the whole file is in
  }
  struct stat first {
  }, second{};
  stat(movie->path.c_str(), &first);
  ASSERT_TRUE(cache.Get(event, "20240315_211454_037", why));
  stat(movie->path.c_str(), &second);
  EXPECT_EQ(first.st_ino, second.st_ino);
  EXPECT_EQ(test::ReadFileBytes(event), before);
  EXPECT_FALSE(cache.Get(event, "../m20240315_211454_037", why));
  EXPECT_FALSE(cache.Get((dir / "none.mp4").string(), "20240315_211454_038", why));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "cache"), {}), 1);
  EXPECT_EQ(ChooseBrowserVideoType(false).extension, std::string(".webm"));
}

TEST(WebViews, ChartsOfAHistoryAndTheNightsNewestFirst) {
  test::ReviewArchive archive;
  const std::string history = (archive.base / "c20240315_211454_037.csv").string();
  WriteHistory(history, "20240315_211454_037");
  const auto curve = EventLightCurveSvg(history);
  const auto track = EventTrackSvg(history);
  ASSERT_TRUE(curve && track);
  EXPECT_NE(curve->find("<polyline"), std::string::npos);
  EXPECT_NE(track->find("<polyline"), std::string::npos);
  EXPECT_FALSE(EventLightCurveSvg((archive.base / "none.csv").string()));
  for (const char* name : {"2024-03-14", "2024-03-16", "2024-03-15", "2024-13-01", "notes"}) {
    std::filesystem::create_directories(NightsFolder(archive.base.str()) + "/" + name);
  }
  EXPECT_EQ(ListNights(archive.base.str()),
            (std::vector<std::string>{"2024-03-16", "2024-03-15", "2024-03-14"}));
  std::vector<uint8_t> grey(kFrameBytes, 90);
  EXPECT_TRUE(GreyJpeg(grey.data(), 320, 240).empty());
  const std::vector<uint8_t> jpeg = GreyJpeg(grey.data(), kFrameWidth, kFrameHeight);
  test::WriteFileBytes(archive.base / "live.jpg", std::string(jpeg.begin(), jpeg.end()));
  MovieReader reader((archive.base / "live.jpg").string());
  std::vector<uint8_t> decoded(kFrameBytes);
  ASSERT_TRUE(reader.readFrame(decoded.data()));
  EXPECT_NEAR(decoded[1234], 90, 2);
}

}  // namespace
}  // namespace ombrix
