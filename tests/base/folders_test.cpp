#include "base/folders.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>

#include <filesystem>
#include <optional>
#include <string>

#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using test::ScopedHome;
using test::WriteFileBytes;

// HOME and the XDG folders inside a fresh temporary tree; XDG_CONFIG_HOME is cleared too so that
// the user-dirs.dirs of the machine never leaks in.
class FoldersTest : public ::testing::Test {
 protected:
  FoldersTest() {
    if (const char* v = getenv("XDG_CONFIG_HOME")) {
      savedConfigHome_ = v;
    }
    unsetenv("XDG_CONFIG_HOME");
  }
  ~FoldersTest() override {
    if (savedConfigHome_) {
      setenv("XDG_CONFIG_HOME", savedConfigHome_->c_str(), 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
  }

  std::string home() const { return home_.home().string(); }
  // A configured archive folder that exists.
  std::string archiveBase() const {
    fs::create_directory(home_.home() / "base");
    return home() + "/base";
  }
  std::string defaultBase() const { return home() + "/Documents/Ombrix"; }

  // An empty file letter + stamp + extension in the stamp's minute folder under base.
  void MakeClip(const std::string& base, const Stamp& stamp, const char* letter = "s",
                const char* extension = ".mp4") {
    std::string folder;
    ASSERT_TRUE(GetArchiveMinuteFolder(base, folder, stamp, true));
    WriteFileBytes(folder + "/" + letter + stamp + extension, "");
  }
  void MakeMinuteFolder(const std::string& base, const Stamp& stamp) {
    std::string folder;
    ASSERT_TRUE(GetArchiveMinuteFolder(base, folder, stamp, true));
  }

  ScopedHome home_;
  std::optional<std::string> savedConfigHome_;
};

TEST_F(FoldersTest, DocumentsFolderFollowsTheEnvironmentThenUserDirsThenHome) {
  EXPECT_EQ(DocumentsFolder(), home() + "/Documents");

  fs::create_directories(home_.home() / ".config");
  WriteFileBytes(home_.home() / ".config/user-dirs.dirs",
                 "# written by xdg-user-dirs-update\n"
                 "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n"
                 "XDG_DOCUMENTS_DIR=\"$HOME/My Papers\"\n");
  EXPECT_EQ(DocumentsFolder(), home() + "/My Papers");

  // XDG_CONFIG_HOME moves the user-dirs file; an absolute entry is taken as it stands.
  fs::create_directories(home_.home() / "cfg");
  WriteFileBytes(home_.home() / "cfg/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"/srv/papers\"\r\n");
  setenv("XDG_CONFIG_HOME", (home() + "/cfg").c_str(), 1);
  EXPECT_EQ(DocumentsFolder(), "/srv/papers");

  // An entry that is neither absolute nor under $HOME is not a folder.
  WriteFileBytes(home_.home() / "cfg/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"papers\"\n");
  EXPECT_EQ(DocumentsFolder(), home() + "/Documents");

  setenv("XDG_DOCUMENTS_DIR", "", 1);
  EXPECT_EQ(DocumentsFolder(), home() + "/Documents");
  setenv("XDG_DOCUMENTS_DIR", "/data/docs", 1);
  EXPECT_EQ(DocumentsFolder(), "/data/docs");
}

TEST_F(FoldersTest, LocalDataFolderIsUnderXdgDataHome) {
  EXPECT_EQ(LocalDataFolder(), home() + "/.local/share/Ombrix");
  setenv("XDG_DATA_HOME", "", 1);
  EXPECT_EQ(LocalDataFolder(), home() + "/.local/share/Ombrix");
  setenv("XDG_DATA_HOME", "/var/lib/station", 1);
  EXPECT_EQ(LocalDataFolder(), "/var/lib/station/Ombrix");
}

TEST_F(FoldersTest, EmptySettingGivesTheDocumentsFolderCreatedWithItsParents) {
  ASSERT_FALSE(fs::exists(home_.home() / "Documents"));
  EXPECT_EQ(GetBaseFolder(""), defaultBase());
  EXPECT_TRUE(fs::is_directory(defaultBase()));
}

TEST_F(FoldersTest, ConfiguredFolderIsUsedWhenItExistsAndNeverCreated) {
  const std::string configured = home() + "/archive-disk";
  EXPECT_EQ(GetBaseFolder(configured), defaultBase());
  EXPECT_FALSE(fs::exists(configured));
  EXPECT_TRUE(fs::is_directory(defaultBase()));

  fs::create_directory(configured);
  EXPECT_EQ(GetBaseFolder(configured), configured);

  // A path through a plain file is as absent as a missing one.
  WriteFileBytes(home_.home() / "plain", "x");
  EXPECT_EQ(GetBaseFolder(home() + "/plain/archive"), defaultBase());
}

TEST_F(FoldersTest, ConfiguredFolderThatCannotBeExaminedIsKeptAsItStands) {
  // A symbolic-link loop fails with ELOOP, neither missing nor present: the setting is kept.
  const std::string loop = home() + "/loop";
  fs::create_symlink(loop, loop);
  EXPECT_EQ(GetBaseFolder(loop), loop);
  const std::string longName = home() + "/" + std::string(300, 'n');
  EXPECT_EQ(GetBaseFolder(longName), longName);
  EXPECT_FALSE(fs::exists(defaultBase()));
}

TEST_F(FoldersTest, EventsAndRefuseFoldersAreMadeUnderTheBase) {
  const std::string base = archiveBase();
  std::string events;
  ASSERT_TRUE(GetEventsFolder(base, events));
  EXPECT_EQ(events, base + "/events");
  EXPECT_TRUE(fs::is_directory(events));
  EXPECT_EQ(GetRefuseFolder(base), base + "/refuse");
  EXPECT_TRUE(fs::is_directory(base + "/refuse"));

  // With no setting they are made under the default base.
  ASSERT_TRUE(GetEventsFolder("", events));
  EXPECT_EQ(events, defaultBase() + "/events");
  EXPECT_TRUE(fs::is_directory(events));
}

TEST_F(FoldersTest, ArchiveMinuteFolderMakesEveryLevelOnlyWhenAskedTo) {
  const std::string base = archiveBase();
  const std::string minute = base + "/archive/s2024/s20240101/s20240101_2359";
  std::string path;
  EXPECT_FALSE(GetArchiveMinuteFolder(base, path, "20240101_235959_999", false));
  EXPECT_FALSE(fs::exists(base + "/archive"));

  ASSERT_TRUE(GetArchiveMinuteFolder(base, path, "20240101_235959_999", true));
  EXPECT_EQ(path, minute);
  EXPECT_TRUE(fs::is_directory(minute));

  path.clear();
  ASSERT_TRUE(GetArchiveMinuteFolder(base, path, "20240101_235900_000", false));
  EXPECT_EQ(path, minute);
  EXPECT_FALSE(GetArchiveMinuteFolder(base, path, "20240101_235800_000", false));
  EXPECT_FALSE(GetArchiveMinuteFolder(base, path, "2024", true));

  // A level blocked by a plain file cannot be made.
  WriteFileBytes(base + "/archive/s2025", "");
  EXPECT_FALSE(GetArchiveMinuteFolder(base, path, "20250101_000000_000", true));
}

TEST_F(FoldersTest, NextArchiveStampInAnEmptyOrMissingArchiveIsEmpty) {
  const std::string base = archiveBase();
  EXPECT_EQ(FindNextArchiveStamp(base, "20240101_120000_000", "s", ".mp4"), "");
  MakeMinuteFolder(base, "20240101_120000_000");
  MakeMinuteFolder(base, "20240101_120100_000");
  EXPECT_EQ(FindNextArchiveStamp(base, "20240101_120000_000", "s", ".mp4"), "");
}

TEST_F(FoldersTest, NextArchiveStampIsStrictlyLaterAndMatchesLetterAndExtension) {
  const std::string base = archiveBase();
  MakeClip(base, "20240101_120005_000");
  MakeClip(base, "20240101_120004_000");
  MakeClip(base, "20240101_120006_000");
  MakeClip(base, "20240101_120004_500", "t", ".jpg");
  MakeClip(base, "20240101_120004_700", "s", ".jpg");
  std::string folder;
  ASSERT_TRUE(GetArchiveMinuteFolder(base, folder, "20240101_120000_000", false));
  WriteFileBytes(folder + "/s20240101_1200zz.mp4", "");      // not a whole Stamp
  WriteFileBytes(folder + "/t20240101_120001_000.mp4", "");  // another letter

  EXPECT_EQ(FindNextArchiveStamp(base, "20240101_120000_000", "s", ".mp4"), "20240101_120004_000");
  EXPECT_EQ(FindNextArchiveStamp(base, "20240101_120004_000", "s", ".mp4"), "20240101_120005_000");
  EXPECT_EQ(FindNextArchiveStamp(base, "20240101_120004_001", "s", ".mp4"), "20240101_120005_000");
  EXPECT_EQ(FindNextArchiveStamp(base, "20240101_120000_000", "t", ".jpg"), "20240101_120004_500");
  EXPECT_EQ(FindNextArchiveStamp(base, "20240101_120006_000", "s", ".mp4"), "");
}

TEST_F(FoldersTest, NextArchiveStampWalksOnThroughEmptyMinutes) {
  const std::string base = archiveBase();
  MakeClip(base, "20240101_120059_000");
  for (int minute = 1; minute <= 30; ++minute) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "20240101_12%02d00_000", minute);
    MakeMinuteFolder(base, stamp);
  }
  MakeClip(base, "20240101_123103_000");
  EXPECT_EQ(FindNextArchiveStamp(base, "20240101_120059_000", "s", ".mp4"), "20240101_123103_000");
}

TEST_F(FoldersTest, NextArchiveStampFindsAClipAtSecondZeroOfALaterMinute) {
  const std::string base = archiveBase();
  MakeClip(base, "20240101_120030_000");
  MakeClip(base, "20240101_120100_000");
  EXPECT_EQ(FindNextArchiveStamp(base, "20240101_120030_000", "s", ".mp4"), "20240101_120100_000");

  // Also after an empty minute, and across midnight into a new year.
  MakeClip(base, "20231231_235800_500");
  MakeMinuteFolder(base, "20231231_235900_000");
  MakeClip(base, "20240101_000000_000");
  EXPECT_EQ(FindNextArchiveStamp(base, "20231231_235800_500", "s", ".mp4"), "20240101_000000_000");
}

TEST_F(FoldersTest, NextArchiveStampJumpsToTheNextDayAfterAGap) {
  const std::string base = archiveBase();
  // The given minute and the next are missing: the search goes on at 00:00 of the next day,
  // passing over the clip at 23:30 (the archive is sparse only where minutes were cleaned away).
  MakeClip(base, "20240228_233000_000");
  MakeClip(base, "20240229_000007_000");
  EXPECT_EQ(FindNextArchiveStamp(base, "20240228_231000_000", "s", ".mp4"), "20240229_000007_000");
  // A missing minute followed by one that exists is stepped over.
  EXPECT_EQ(FindNextArchiveStamp(base, "20240228_232905_000", "s", ".mp4"), "20240228_233000_000");
  // Nothing on the next day either: empty.
  EXPECT_EQ(FindNextArchiveStamp(base, "20240229_000007_000", "s", ".mp4"), "");
}

}  // namespace
}  // namespace ombrix
