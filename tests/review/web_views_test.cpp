#include <gtest/gtest.h>

#include "base/file.h"
#include "detect/time_history.h"
#include "review/browser_movie.h"
#include "review/event_index.h"
#include "review/web_views.h"
#include "support/movies.h"
#include "support/review_archive.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using test::At;

// Only the station's Stamps name event files; nights only real dates.
TEST(WebKeys, OnlyStampsAndRealNightDatesPass) {
  for (const char* key : {"", "20240315_211454_03", "20240315_211454_0370", "20240230_211454_037",
                          "20240315-211454_037", "../0315_211454_037", "20240315_211454/037",
                          "20240315_241454_037", "+0240315_211454_037"}) {
    EXPECT_FALSE(IsEventKey(key)) << key;
  }
  for (const char* date : {"2023-02-29", "2024-+3-15", "2024-3-15", "2024-03-15/", "../03-15"}) {
    EXPECT_FALSE(IsNightDate(date)) << date;
  }
  EXPECT_TRUE(IsEventKey("99991231_235959_999") && IsNightDate("2024-02-29"));
}

// Detections from (10, 20) through the brightest (30, 40) to (50, 60), after a quiet frame.
void WriteHistory(const std::string& path, const Stamp& first) {
  FilePtr file(std::fopen(path.c_str(), "wb"));
  for (int i = 0; i < 4; ++i) {
    const TimeHistoryRow row{At(first) + std::chrono::milliseconds(33 * i), i == 0 ? 0 : 40,
                             i == 2 ? 900 : 100, 100.0 + i, 100.0};
    WriteEventTimeHistoryLine(file.get(), row, i == 0 ? 0 : 20.0 * i - 10, 20.0 * i);
  }
}

TEST(EventIndex, ListsNewestFirstAndFollowsTheFolder) {
  test::ReviewArchive archive;
  for (const char* key : {"20240315_210000_000", "20240315_220000_000", "20240315_230000_000"}) {
    archive.AddEvent(key, key);
  }
  const Stamp cut = "20240315_215959_500";
  archive.AddEvent(cut, "20240315_220001_000");
  EventIndex index(archive.EventsFolder());
  size_t total = 0;
  auto page = index.Page(1, 2, &total);
  ASSERT_EQ(page.size(), 2u);
  EXPECT_EQ(std::tuple(total, page[0].key, page[1].key, page[1].seconds, page[1].verdict),
            std::tuple(4u, "20240315_220000_000", cut, 1.5, ""));
  EXPECT_EQ(index.CountSince(At(cut)), 3u);
  // The cut adds a time history and a movie, which the index reads at the next call.
  WriteHistory(archive.EventFile('c', cut), cut);
  test::WriteFileBytes(archive.EventFile('m', cut), "m");
  const std::optional<EventEntry> entry = index.Find(cut);
  ASSERT_TRUE(entry && entry->startAz && entry->peakAz);
  EXPECT_TRUE(entry->timeHistory && entry->movie && !entry->peakImage && entry->verdict != "");
  EXPECT_EQ(std::tuple(*entry->startAz, *entry->startEl, *entry->peakAz, *entry->endEl),
            std::tuple(10.0, 20.0, 30.0, 60.0));
  // Deleted events, and companions without an event file, drop out.
  std::string why;
  EXPECT_TRUE(DeleteEvent(archive.EventsFolder(), cut, why)) << why;
  EXPECT_FALSE(fs::exists(archive.EventFile('c', cut)) ||
               DeleteEvent(archive.EventsFolder(), cut, why));
  fs::remove(archive.EventFile('e', "20240315_230000_000"));
  test::WriteFileBytes(archive.EventFile('j', "20240315_230000_000"), "j");
  EXPECT_FALSE(index.Find("20240315_230000_000"));
  EXPECT_EQ(index.Page(0, 50, &total).front().key, "20240315_220000_000");
  EXPECT_EQ(total, 2u);
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
  EXPECT_EQ(test::MovieFrames(movie->path), test::MovieFrames(event));
  const std::string bytes = test::ReadFileBytes(movie->path);
  EXPECT_TRUE(movie->mimeType != "video/mp4" || bytes.find("moov") < bytes.find("mdat"));
  struct stat first {
  }, second{};
  stat(movie->path.c_str(), &first);
  ASSERT_TRUE(cache.Get(event, "20240315_211454_037", why));
  stat(movie->path.c_str(), &second);
  EXPECT_EQ(first.st_ino, second.st_ino);
  EXPECT_EQ(test::ReadFileBytes(event), before);
  // A copy whose event is gone goes at the next transcode.
  test::WriteFileBytes(dir / "cache" / "20240315_211450_000.mp4", "old");
  fs::copy_file(event, dir / "m20240315_211455_000.mp4");
  ASSERT_TRUE(cache.Get((dir / "m20240315_211455_000.mp4").string(), "20240315_211455_000", why));
  EXPECT_FALSE(fs::exists(dir / "cache" / "20240315_211450_000.mp4"));
  std::stop_source stopping;  // a stop gives a transcode up
  stopping.request_stop();
  fs::copy_file(event, dir / "m20240315_211456_000.mp4");
  EXPECT_FALSE(cache.Get((dir / "m20240315_211456_000.mp4").string(), "20240315_211456_000", why,
                         stopping.get_token()));
  EXPECT_FALSE(cache.Get(event, "../m20240315_211454_037", why));
  EXPECT_FALSE(cache.Get((dir / "none.mp4").string(), "20240315_211454_038", why));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "cache"), {}), 2);
  EXPECT_EQ(ChooseBrowserVideoType(false).extension, std::string(".webm"));
}

TEST(WebViews, ChartsOfAHistoryAndTheLiveJpeg) {
  test::ReviewArchive archive;
  const std::string history = (archive.base / "c20240315_211454_037.csv").string();
  WriteHistory(history, "20240315_211454_037");
  const auto drawn = [](auto svg) { return svg && svg->find("<polyline") != std::string::npos; };
  EXPECT_TRUE(drawn(EventLightCurveSvg(history)) && drawn(EventTrackSvg(history)));
  EXPECT_FALSE(EventTrackSvg((archive.base / "none.csv").string()));
  const std::vector<uint8_t> grey(kFrameBytes, 90);
  const std::vector<uint8_t> jpeg = GreyJpeg(grey.data(), kFrameWidth, kFrameHeight);
  test::WriteFileBytes(archive.base / "live.jpg", std::string(jpeg.begin(), jpeg.end()));
  std::vector<uint8_t> decoded(kFrameBytes);
  ASSERT_TRUE(MovieReader((archive.base / "live.jpg").string()).readFrame(decoded.data()));
  EXPECT_NEAR(decoded[1234], 90, 2);
}

}  // namespace
}  // namespace ombrix
