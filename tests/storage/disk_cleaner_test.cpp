#include "storage/disk_cleaner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;

// The fixture is the free space: one answer per call, the last one repeated.
class DiskCleanerTest : public ::testing::Test, public FreeSpace {
 protected:
  DiskCleanerTest() {
    settings.Update([this](Settings& s) { s.archiveFolder = base.str(); });
  }

  std::optional<double> FreeFraction(const std::string& path) override {
    lastPath = path;
    return answers[std::min(calls++, answers.size() - 1)];
  }

  fs::path Archive() const { return base / "archive"; }
  // archive/sYYYY/sYYYYMMDD/sYYYYMMDD_hhmm of a minute "YYYYMMDD_hhmm".
  fs::path Minute(const std::string& m) const {
    return Archive() / ("s" + m.substr(0, 4)) / ("s" + m.substr(0, 8)) / ("s" + m);
  }

  // Adds empty clip movies to a minute folder.
  fs::path AddClips(const std::string& minute, int clips) {
    const fs::path folder = Minute(minute);
    fs::create_directories(folder);
    for (int i = 0; i < clips; ++i) {
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "s%s%02d_%03d", minute.c_str(), i % 60, i / 60 * 33 + 1);
      test::WriteFileBytes(folder / (stamp + std::string(".mp4")), "");
    }
    return folder;
  }

  long CountClips() const {
    return std::count_if(fs::recursive_directory_iterator(Archive()), {},
                         [](const auto& entry) { return entry.path().extension() == ".mp4"; });
  }

  test::TempDir base;
  SharedSettings settings;
  std::vector<std::optional<double>> answers{0.0};
  size_t calls = 0;
  std::string lastPath;
  Notices notices;
  DiskCleaner cleaner{settings, *this, notices};
};

TEST_F(DiskCleanerTest, MinimalArchiveIsCutBackToJustUnder500Clips) {
  settings.Update([](Settings& s) { s.minimalArchive = true; });
  answers = {0.9};
  AddClips("20240101_1200", 250);
  AddClips("20240101_1201", 249);
  cleaner.Pass();
  EXPECT_EQ(CountClips(), 499);
  EXPECT_EQ(calls, 0u) << "below 500 clips the free space plays no part";

  AddClips("20240101_1202", 1);
  cleaner.Pass();
  EXPECT_FALSE(fs::exists(Minute("20240101_1200")));
  EXPECT_TRUE(fs::exists(Minute("20240101_1201")));
  EXPECT_EQ(CountClips(), 250);
  cleaner.Pass();
  EXPECT_EQ(CountClips(), 250);
}

// At most 50 % free: a minute goes; under 5 % after it: all off, and said; unreadable: nothing.
TEST_F(DiskCleanerTest, DeletesWhileFullerThanTheLimitAndStopsWhenNearlyFull) {
  struct Case {
    std::optional<double> before, afterDeletion;
    int clipsLeft;
    bool stillOn;
  } cases[] = {{0.5000001, 0.0, 500, true},
               {0.5, 0.05, 250, true},
               {0.01, 0.049, 250, false},
               {0.01, std::nullopt, 250, true},
               {std::nullopt, 0.0, 500, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    settings.Update([](Settings& s) {
      s.enabled = true;
      s.archiveAlways = true;
    });
    AddClips("20240101_1200", 250);
    AddClips("20240101_1201", 250);
    answers = {c.before, c.afterDeletion};
    calls = 0;
    const size_t said = notices.Recent().size();
    cleaner.Pass();
    EXPECT_EQ(CountClips(), c.clipsLeft);
    EXPECT_EQ(settings.Get()->enabled, c.stillOn);
    EXPECT_EQ(settings.Get()->archiveAlways, c.stillOn);
    EXPECT_EQ(notices.Recent().size(), said + (c.stillOn ? 0 : 1));
    EXPECT_EQ(lastPath, base.str());
    fs::remove_all(Archive());
  }
}

// Below the emergency limit all is switched off and said; at 10 % free what was on is back, said.
TEST_F(DiskCleanerTest, NearlyFullDiskSwitchesOffAndFreedSpaceSwitchesBackOn) {
  settings.Update([](Settings& s) { s.enabled = true; });
  AddClips("20240101_1200", 250);
  AddClips("20240101_1201", 250);
  answers = {0.01, 0.02};
  cleaner.Pass();
  EXPECT_TRUE(cleaner.Suspended());
  for (const double freed : {0.099, 0.6}) {
    answers = {freed};
    calls = 0;
    cleaner.Pass();
    EXPECT_EQ(cleaner.Suspended(), freed < 0.1);
    EXPECT_EQ(settings.Get()->enabled, freed >= 0.1);
    EXPECT_FALSE(settings.Get()->archiveAlways);  // it was off before
  }
  const std::vector<Notice> said = notices.Recent();
  ASSERT_EQ(said.size(), 2u);
  EXPECT_EQ(said[0].severity, Severity::kError);
  EXPECT_EQ(said[1].text, "The disk of " + base.str() +
                              " has 60.0% free again: detection and archiving are switched on.");
}

// One folder a pass, oldest by name; empty years and days go too.
TEST_F(DiskCleanerTest, OldestFolderByNameAndEmptyFoldersFirst) {
  AddClips("20250101_0000", 400);  // made newest first
  AddClips("20240102_1000", 50);
  AddClips("20240102_0900", 50);
  fs::create_directories(Archive() / "s2023");                // year without days
  fs::create_directories(Archive() / "s2024" / "s20240101");  // day without minutes
  fs::create_directories(Archive() / "a1999");                // not an archive folder
  test::WriteFileBytes(Archive() / "s1998", "");
  cleaner.Pass();
  EXPECT_FALSE(fs::exists(Archive() / "s2023"));
  EXPECT_EQ(CountClips(), 500);
  cleaner.Pass();
  EXPECT_FALSE(fs::exists(Archive() / "s2024" / "s20240101"));
  EXPECT_EQ(CountClips(), 500);
  cleaner.Pass();
  EXPECT_FALSE(fs::exists(Minute("20240102_0900")));
  EXPECT_EQ(CountClips(), 450);
  AddClips("20250101_0001", 50);
  cleaner.Pass();
  EXPECT_FALSE(fs::exists(Archive() / "s2024"));
  EXPECT_TRUE(fs::exists(Archive() / "a1999"));
  EXPECT_FALSE(fs::exists(base / "refuse"));
  EXPECT_EQ(CountClips(), 450);
}

// An unremovable minute moves to the refuse folder once its name is free there.
TEST_F(DiskCleanerTest, MinuteThatCannotBeRemovedGoesToTheRefuseFolder) {
  const fs::path stuck = AddClips("20240101_1200", 250);
  AddClips("20240101_1201", 250);
  fs::create_directories(stuck / "keep");
  const fs::path refused = base / "refuse" / "s20240101_1200";
  fs::create_directories(refused);
  cleaner.Pass();
  EXPECT_TRUE(fs::is_directory(stuck / "keep"));
  EXPECT_TRUE(fs::is_empty(refused));
  EXPECT_EQ(CountClips(), 250);
  AddClips("20240101_1202", 250);
  cleaner.Pass();  // still the oldest: the following minute is left alone
  EXPECT_EQ(CountClips(), 500);
  fs::remove(refused);  // the name is free now
  cleaner.Pass();
  EXPECT_FALSE(fs::exists(stuck));
  EXPECT_TRUE(fs::is_empty(refused / "keep"));
  EXPECT_EQ(std::distance(fs::directory_iterator(refused), fs::directory_iterator()), 1);
  EXPECT_EQ(CountClips(), 500);
  cleaner.Pass();
  EXPECT_FALSE(fs::exists(Minute("20240101_1201")));
}

// After the clock stepped back, the minute of the clip being recorded is passed over until closed.
TEST_F(DiskCleanerTest, MinuteOfTheClipBeingRecordedIsNeverDeleted) {
  ArchiveProgress progress;
  DiskCleaner guarded(settings, *this, notices, &progress);
  AddClips("20230101_1200", 10);
  AddClips("20240101_1200", 250);
  AddClips("20240101_1201", 250);
  const UtcTime clip = *ParseStamp("20230101_120005_000");
  progress.ClipStarted(clip);
  guarded.Pass();
  EXPECT_TRUE(fs::exists(Minute("20230101_1200")));
  EXPECT_FALSE(fs::exists(Minute("20240101_1200")));
  EXPECT_EQ(CountClips(), 260);
  AddClips("20230101_1159", 240);  // an older minute beside it still goes first
  guarded.Pass();
  EXPECT_FALSE(fs::exists(Minute("20230101_1159")));
  EXPECT_TRUE(fs::exists(Minute("20230101_1200")));
  AddClips("20240101_1202", 250);
  progress.ClipClosed(clip);
  guarded.Pass();
  EXPECT_FALSE(fs::exists(Archive() / "s2023"));
  EXPECT_EQ(CountClips(), 500);
}

TEST(StatvfsFreeSpaceTest, ReadsTheVolumeOrReportsFailure) {
  test::TempDir dir;
  const std::optional<double> fraction = StatvfsFreeSpace().FreeFraction(dir.str());
  EXPECT_TRUE(fraction > 0.0 && fraction <= 1.0);
  EXPECT_FALSE(StatvfsFreeSpace().FreeFraction((dir / "missing").string()));
}

}  // namespace
}  // namespace ombrix
