#include "base/folders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using test::WriteFileBytes;

class FoldersTest : public ::testing::Test {
 protected:
  FoldersTest() { fs::create_directory(base_); }
  void Make(const Stamp& stamp, bool clip = true) {
    std::string folder;
    ASSERT_TRUE(GetArchiveMinuteFolder(base_, folder, stamp, true));
    if (clip) {
      WriteFileBytes(folder + "/s" + stamp + ".mp4", "");
    }
  }
  Stamp Next(const Stamp& stamp, const char* letter = "s", const char* extension = ".mp4") {
    const auto next = FindNextArchiveTime(base_, ParseStamp(stamp).value(), letter, extension);
    return next ? MakeStamp(*next) : "";
  }

  test::ScopedHome home_;
  const std::string base_ = home_.home().string() + "/base";
};

TEST_F(FoldersTest, BaseFolderDefaultsToDocumentsAndNeverCreatesAConfiguredOne) {
  const std::string fallback = home_.home().string() + "/Documents/Ombrix";
  EXPECT_EQ(GetBaseFolder(""), fallback);
  EXPECT_TRUE(fs::is_directory(fallback));
  EXPECT_EQ(GetBaseFolder(base_ + "/disk"), fallback);
  EXPECT_FALSE(fs::exists(base_ + "/disk"));
  EXPECT_EQ(GetBaseFolder(base_), base_);
  fs::create_symlink(base_ + "/loop", base_ + "/loop");  // cannot be examined: kept as it is
  EXPECT_EQ(GetBaseFolder(base_ + "/loop"), base_ + "/loop");
}

TEST_F(FoldersTest, ArchiveMinuteFolderMakesEveryLevelOnlyWhenAskedTo) {
  std::string path;
  EXPECT_FALSE(GetArchiveMinuteFolder(base_, path, "20240101_235959_999", false));
  EXPECT_FALSE(fs::exists(base_ + "/archive"));
  ASSERT_TRUE(GetArchiveMinuteFolder(base_, path, "20240101_235959_999", true));
  EXPECT_EQ(path, base_ + "/archive/s2024/s20240101/s20240101_2359");
  EXPECT_TRUE(fs::is_directory(path));
  WriteFileBytes(base_ + "/archive/s2025", "");  // a level blocked by a plain file
  EXPECT_FALSE(GetArchiveMinuteFolder(base_, path, "20250101_000000_000", true));
}

TEST_F(FoldersTest, NextArchiveStampIsStrictlyLaterAndMatchesLetterAndExtension) {
  EXPECT_EQ(Next("20240101_120000_000"), "");
  for (const char* stamp : {"20240101_120005_000", "20240101_120004_000", "20240101_120006_000"}) {
    Make(stamp);
  }
  const std::string folder = base_ + "/archive/s2024/s20240101/s20240101_1200/";
  WriteFileBytes(folder + "s20240101_120004_500.jpg", "");
  WriteFileBytes(folder + "t20240101_120001_000.mp4", "");
  WriteFileBytes(folder + "s20240101_1200zz.mp4", "");
  WriteFileBytes(folder + "s20240101_12000a_000.mp4", "");  // a name, but not of a Stamp
  EXPECT_EQ(Next("20240101_120000_000"), "20240101_120004_000");
  EXPECT_EQ(Next("20240101_120004_000"), "20240101_120005_000");
  EXPECT_EQ(Next("20240101_120000_000", "t", ".mp4"), "20240101_120001_000");
  EXPECT_EQ(Next("20240101_120006_000"), "");
}

TEST_F(FoldersTest, NextArchiveStampWalksEmptyAndMissingMinutesIntoTheNextDay) {
  Make("20231231_233000_500");
  for (int minute = 31; minute < 60; ++minute) {
    Make("20231231_23" + std::to_string(minute) + "00_000", false);
  }
  Make("20240101_000000_000");  // second 0 of the next minute, in a new year
  EXPECT_EQ(Next("20231231_233000_500"), "20240101_000000_000");
  // Given minute and the next missing: on at 00:00 of the next day, past the clip at 23:30.
  Make("20240228_233000_000");
  Make("20240229_000007_000");
  EXPECT_EQ(Next("20240228_231000_000"), "20240229_000007_000");
  EXPECT_EQ(Next("20240228_232905_000"), "20240228_233000_000");
  EXPECT_EQ(Next("20240229_000007_000"), "");
}

}  // namespace
}  // namespace ombrix
