#include "storage/disk_cleaner.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;

// Answers the free fractions it is given, one per call; the last one again once they run out.
class FakeFreeSpace final : public FreeSpace {
 public:
  std::optional<double> FreeFraction(const std::string& path) override {
    paths.push_back(path);
    const size_t call = calls++;
    if (answers.empty()) {
      return std::nullopt;
    }
    return answers[std::min(call, answers.size() - 1)];
  }

  std::vector<std::optional<double>> answers;
  std::vector<std::string> paths;
  size_t calls = 0;
};

class DiskCleanerTest : public ::testing::Test {
 protected:
  DiskCleanerTest() {
    settings.archiveFolder.set(base.str());
    settings.diskUsage = 50;
    settings.enabled = true;
    settings.archiveAlways = true;
  }

  fs::path Archive() const { return base / "archive"; }

  // archive/sYYYY/sYYYYMMDD/sYYYYMMDD_hhmm of a minute given as "YYYYMMDD_hhmm".
  fs::path MinuteFolder(const std::string& minute) const {
    return Archive() / ("s" + minute.substr(0, 4)) / ("s" + minute.substr(0, 8)) / ("s" + minute);
  }

  // Adds empty clip movies, each with its peak image, to a minute folder.
  fs::path AddClips(const std::string& minute, int clips) {
    const fs::path folder = MinuteFolder(minute);
    fs::create_directories(folder);
    for (int i = 0; i < clips; ++i) {
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "%s%02d_%03d", minute.c_str(), i % 60, i / 60 * 33 + 1);
      test::WriteFileBytes(folder / ("s" + std::string(stamp) + ".mp4"), "");
      test::WriteFileBytes(folder / ("t" + std::string(stamp) + ".jpg"), "");
    }
    return folder;
  }

  int CountClips() const {
    int clips = 0;
    for (const auto& entry : fs::recursive_directory_iterator(Archive())) {
      clips += entry.path().extension() == ".mp4";
    }
    return clips;
  }

  test::TempDir base;
  Settings settings;
  FakeFreeSpace freeSpace;
  DiskCleaner cleaner{settings, freeSpace};
};

TEST_F(DiskCleanerTest, MinimalArchiveIsCutBackToJustUnder500Clips) {
  settings.minimalArchive = true;
  freeSpace.answers = {0.9};
  AddClips("20240101_1200", 250);
  AddClips("20240101_1201", 249);

  cleaner.Pass();
  EXPECT_EQ(CountClips(), 499);
  EXPECT_EQ(freeSpace.calls, 0u);  // the free space plays no part below 500 clips

  AddClips("20240101_1202", 1);
  cleaner.Pass();
  EXPECT_FALSE(fs::exists(MinuteFolder("20240101_1200")));
  EXPECT_EQ(CountClips(), 250);
  EXPECT_TRUE(fs::exists(MinuteFolder("20240101_1201")));

  cleaner.Pass();
  EXPECT_EQ(CountClips(), 250);
}

TEST_F(DiskCleanerTest, OnlyClipMoviesInArchiveFoldersCount) {
  AddClips("20240101_1200", 499);
  // Look like clips but are not: a folder named like a movie, and movies in folders whose names
  // have the wrong length at each level.
  fs::create_directories(MinuteFolder("20240101_1200") / "s20240101_120001_000.mp4");
  for (const fs::path& misplaced : {Archive() / "s2024" / "s20240101" / "s20240101_120",
                                    Archive() / "s2024" / "s2024010" / "s2024010_1200",
                                    Archive() / "s202" / "s20240101" / "s20240101_1200",
                                    Archive() / "s2024" / "s20240101" / "s20240101-1200"}) {
    fs::create_directories(misplaced);
    test::WriteFileBytes(misplaced / "s20240101_120000_000.mp4", "");
  }
  EXPECT_FALSE(cleaner.ArchiveHasMinimumClips());

  AddClips("20240101_1201", 1);
  EXPECT_TRUE(cleaner.ArchiveHasMinimumClips());
}

TEST_F(DiskCleanerTest, DeletesOnlyWhileTheDiskIsFullerThanTheUsageLimit) {
  AddClips("20240101_1200", 250);
  AddClips("20240101_1201", 250);

  freeSpace.answers = {0.5000001};  // diskUsage 50: more than half free
  cleaner.Pass();
  EXPECT_EQ(CountClips(), 500);
  EXPECT_EQ(freeSpace.calls, 1u);

  freeSpace.answers = {0.5};  // exactly at the limit
  freeSpace.calls = 0;
  cleaner.Pass();
  EXPECT_EQ(CountClips(), 250);
  EXPECT_FALSE(fs::exists(MinuteFolder("20240101_1200")));
  ASSERT_FALSE(freeSpace.paths.empty());
  EXPECT_EQ(freeSpace.paths.back(), base.str());
}

TEST_F(DiskCleanerTest, UnreadableFreeSpaceDeletesNothing) {
  AddClips("20240101_1200", 500);
  freeSpace.answers = {std::nullopt};
  cleaner.Pass();
  EXPECT_EQ(CountClips(), 500);
  EXPECT_TRUE(settings.enabled);
  EXPECT_TRUE(settings.archiveAlways);
}

TEST_F(DiskCleanerTest, NearlyFullDiskAfterDeletionStopsDetectionAndArchive) {
  struct Case {
    std::optional<double> afterDeletion;
    bool stillOn;
  };
  for (const Case& c : {Case{0.05, true}, Case{std::nullopt, true}, Case{0.049, false}}) {
    settings.enabled = true;
    settings.archiveAlways = true;
    AddClips("20240101_1200", 250);
    AddClips("20240101_1201", 250);
    freeSpace.answers = {0.01, c.afterDeletion};
    freeSpace.calls = 0;
    cleaner.Pass();
    EXPECT_EQ(CountClips(), 250);
    EXPECT_EQ(settings.enabled, c.stillOn);
    EXPECT_EQ(settings.archiveAlways, c.stillOn);
    fs::remove_all(Archive());
  }
}

TEST_F(DiskCleanerTest, OldestFolderIsChosenByNameAtEveryLevel) {
  freeSpace.answers = {0.0};
  // Made newest first; a folder not beginning with "s" and a plain file are ignored.
  AddClips("20250101_0000", 300);
  AddClips("20240102_0000", 100);
  AddClips("20240101_1000", 50);
  AddClips("20240101_0900", 50);
  fs::create_directories(Archive() / "a1999");
  test::WriteFileBytes(Archive() / "s1998", "");
  test::WriteFileBytes(Archive() / "s2024" / "s20240100", "");

  cleaner.Pass();
  EXPECT_FALSE(fs::exists(MinuteFolder("20240101_0900")));
  EXPECT_TRUE(fs::exists(MinuteFolder("20240101_1000")));
  EXPECT_TRUE(fs::exists(Archive() / "a1999"));
  EXPECT_EQ(CountClips(), 450);
}

TEST_F(DiskCleanerTest, EmptiedDayAndYearFoldersGoWithoutTakingClips) {
  freeSpace.answers = {0.0};
  AddClips("20240102_0000", 500);
  fs::create_directories(Archive() / "s2023");                // year without days
  fs::create_directories(Archive() / "s2024" / "s20240101");  // day without minutes

  cleaner.Pass();
  EXPECT_FALSE(fs::exists(Archive() / "s2023"));
  EXPECT_EQ(CountClips(), 500);
  cleaner.Pass();
  EXPECT_FALSE(fs::exists(Archive() / "s2024" / "s20240101"));
  EXPECT_EQ(CountClips(), 500);
  cleaner.Pass();
  EXPECT_EQ(CountClips(), 0);
}

TEST_F(DiskCleanerTest, LastMinuteOfADayAndYearTakesThemAlong) {
  freeSpace.answers = {0.0};
  AddClips("20231231_2359", 10);
  AddClips("20240101_0000", 500);
  cleaner.Pass();
  EXPECT_FALSE(fs::exists(Archive() / "s2023"));
  EXPECT_EQ(CountClips(), 500);
  EXPECT_FALSE(fs::exists(base / "refuse" / "s2023"));
}

TEST_F(DiskCleanerTest, MinuteThatCannotBeRemovedGoesToTheRefuseFolder) {
  freeSpace.answers = {0.0};
  const fs::path stuck = AddClips("20240101_1200", 250);
  AddClips("20240101_1201", 250);
  // Entries that are folders are not deleted, so the minute folder cannot be removed.
  fs::create_directories(stuck / "keep");

  cleaner.Pass();
  EXPECT_FALSE(fs::exists(stuck));
  const fs::path refused = base / "refuse" / "s20240101_1200";
  EXPECT_TRUE(fs::is_directory(refused / "keep"));
  EXPECT_TRUE(fs::is_empty(refused / "keep"));
  EXPECT_EQ(std::distance(fs::directory_iterator(refused), fs::directory_iterator()), 1);
  EXPECT_EQ(CountClips(), 250);

  // The next pass moves on to the following minute.
  AddClips("20240101_1202", 250);
  cleaner.Pass();
  EXPECT_FALSE(fs::exists(MinuteFolder("20240101_1201")));
}

TEST_F(DiskCleanerTest, FolderStaysWhenTheRefuseFolderHasItsNameAlready) {
  freeSpace.answers = {0.0};
  const fs::path stuck = AddClips("20240101_1200", 250);
  AddClips("20240101_1201", 250);
  fs::create_directories(stuck / "keep");
  const fs::path taken = base / "refuse" / "s20240101_1200";
  fs::create_directories(taken);

  cleaner.Pass();
  EXPECT_TRUE(fs::is_directory(stuck / "keep"));
  EXPECT_TRUE(fs::is_empty(taken));
  EXPECT_EQ(CountClips(), 250);

  // Still the oldest: the next pass works on it again and leaves the following minute alone.
  AddClips("20240101_1202", 250);
  cleaner.Pass();
  EXPECT_TRUE(fs::is_directory(stuck / "keep"));
  EXPECT_EQ(CountClips(), 500);
}

TEST_F(DiskCleanerTest, NoArchiveFolderIsNoWork) {
  freeSpace.answers = {0.0};
  cleaner.Pass();
  EXPECT_FALSE(fs::exists(Archive()));
  EXPECT_FALSE(fs::exists(base / "refuse"));
  EXPECT_TRUE(settings.enabled);
}

TEST(StatvfsFreeSpaceTest, ReadsTheVolumeOrReportsFailure) {
  test::TempDir dir;
  StatvfsFreeSpace freeSpace;
  const auto fraction = freeSpace.FreeFraction(dir.str());
  ASSERT_TRUE(fraction.has_value());
  EXPECT_GT(*fraction, 0);
  EXPECT_LE(*fraction, 1);
  EXPECT_FALSE(freeSpace.FreeFraction((dir / "missing").string()).has_value());
}

}  // namespace
}  // namespace ombrix
