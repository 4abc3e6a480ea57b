#include "base/folders.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

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

TEST_F(FoldersTest, BaseFolderDefaultsToDocumentsAndOnlyTheArchiveLevelsAreMade) {
  const std::string fallback = home_.home().string() + "/Documents/Ombrix";
  EXPECT_EQ(GetBaseFolder(""), fallback);
  EXPECT_TRUE(fs::is_directory(fallback));
  EXPECT_EQ(GetBaseFolder(base_ + "/disk"), fallback);
  EXPECT_FALSE(fs::exists(base_ + "/disk"));
  EXPECT_EQ(GetBaseFolder(base_), base_);
  fs::create_symlink(base_ + "/loop", base_ + "/loop");  // cannot be examined: kept as it is
  EXPECT_EQ(GetBaseFolder(base_ + "/loop"), base_ + "/loop");
  // The archive's minute folder: every level made, but only when asked to.
  std::string path;
  EXPECT_FALSE(GetArchiveMinuteFolder(base_, path, "20240101_235959_999", false));
  EXPECT_FALSE(fs::exists(base_ + "/archive"));
  ASSERT_TRUE(GetArchiveMinuteFolder(base_, path, "20240101_235959_999", true));
  EXPECT_EQ(path, base_ + "/archive/s2024/s20240101/s20240101_2359");
  EXPECT_TRUE(fs::is_directory(path));
  WriteFileBytes(base_ + "/archive/s2025", "");  // a level blocked by a plain file
  EXPECT_FALSE(GetArchiveMinuteFolder(base_, path, "20250101_000000_000", true));
}

// Each next clip of a stretch is found, strictly later, across gaps: empty minute folders, minutes
// and days that are missing (a stop, the cleaner's work), a start long before the first clip, the
// end of a year. Names of another letter or extension, or not of a Stamp, are passed over.
TEST_F(FoldersTest, NextArchiveStampFindsEveryClipAcrossGaps) {
  EXPECT_EQ(Next("20231230_120000_000"), "");
  Make("20231231_233000_500");
  Make("20231231_233100_000", false);  // an empty minute folder
  Make("20240101_000000_000");         // second 0 of a later minute, in a new year
  Make("20240228_233000_000");
  Make("20240229_000007_000");
  Make("20240229_000003_000");  // made after a later one
  Make("20240229_101500_250");
  const std::string folder = base_ + "/archive/s2024/s20240101/s20240101_0000/";
  for (const char* name : {"s20240101_000004_500.jpg", "t20240101_000001_000.mp4",
                           "s20240101_0000zz.mp4", "s20240101_00000a_000.mp4"}) {
    WriteFileBytes(folder + name, "");
  }
  EXPECT_EQ(OldestArchiveMinute(base_), ParseStamp("20231231_233000_000"));
  std::vector<Stamp> found;
  for (Stamp at = "20231230_120000_000"; !(at = Next(at)).empty();) {
    found.push_back(at);
  }
  EXPECT_EQ(found, (std::vector<Stamp>{"20231231_233000_500", "20240101_000000_000",
                                       "20240228_233000_000", "20240229_000003_000",
                                       "20240229_000007_000", "20240229_101500_250"}));
  EXPECT_EQ(Next("20231231_233000_500", "t", ".mp4"), "20240101_000001_000");
  // A search that ends with its stretch does not walk the rest of the archive.
  EXPECT_FALSE(FindNextArchiveTime(base_, *ParseStamp("20240228_233000_000"), "s", ".mp4",
                                   *ParseStamp("20240228_235959_999")));
}

}  // namespace
}  // namespace ombrix
