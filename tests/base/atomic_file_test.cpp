#include "base/atomic_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

long EntriesIn(const fs::path& folder) {
  return std::distance(fs::directory_iterator(folder), {});
}

// A link at the real name is replaced, never written through, and links planted at the names
// earlier temporaries had (".name", ".name.partial-PID") are never opened.
TEST(AtomicFile, TheOldFileStaysUntilCommitNoLinkIsFollowedAndFailuresLeaveNothing) {
  test::TempDir dir;
  std::string path = (dir / "e.txt").string();
  WriteFileBytes(dir / "victim", "root's file");
  for (const char* planted : {"e.txt", ".e.txt", ".e.partial-1.txt"}) {
    fs::create_symlink(dir / "victim", dir / planted);
  }
  AtomicFile first(path), second(path);
  ASSERT_TRUE(first.opened());
  EXPECT_NE(first.temporary(), second.temporary());
  EXPECT_EQ(NameBehindTemporary(fs::path(first.temporary()).filename().string()), "e.txt");
  ASSERT_TRUE(first.Write("new\r\n"));
  ASSERT_GE(std::fputs("more\r\n", first.file()), 0);
  EXPECT_TRUE(fs::is_symlink(path));
  ASSERT_TRUE(first.Commit(Durability::kSynced));
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_EQ(ReadFileBytes(path), "new\r\nmore\r\n");
  EXPECT_EQ(ReadFileBytes(dir / "victim"), "root's file");
  second.Discard();
  EXPECT_EQ(EntriesIn(dir.path()), 4);  // no temporary left beside them
  EXPECT_EQ(NameBehindTemporary(".m20240101_000000_000.mp4"), "m20240101_000000_000.mp4");
  EXPECT_FALSE(NameBehindTemporary("e.txt") || NameBehindTemporary("."));
  // Abandoned, failed or uncommitted writes leave no file and keep the old content.
  path = (dir / "c.csv").string();
  WriteFileBytes(path, "old");
  { AtomicFile(path).Write("abandoned"); }
  int error = 0;
  EXPECT_FALSE(test::WithFileSizeLimit(4096, [&] {
    return WriteFileAtomically(path, std::string(10000, 'x'), Durability::kCached, &error);
  }));
  EXPECT_EQ(error, EFBIG);
  fs::create_directories(dir / "b" / "inside");  // a full folder cannot be renamed over
  AtomicFile blocked((dir / "b").string());
  EXPECT_FALSE(blocked.Write("x") && blocked.Commit(Durability::kCached));
  EXPECT_NE(blocked.error(), 0);
  EXPECT_EQ(ReadFileBytes(path), "old");
  EXPECT_EQ(EntriesIn(dir.path()), 4 + 2);

  AtomicFile nowhere((dir / "missing" / "c.txt").string());
  EXPECT_FALSE(nowhere.opened());
  EXPECT_EQ(nowhere.error(), ENOENT);
  EXPECT_FALSE(nowhere.Write("x") || nowhere.Commit(Durability::kCached));
}

}  // namespace
}  // namespace ombrix
