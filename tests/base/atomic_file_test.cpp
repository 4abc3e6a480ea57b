#include "base/atomic_file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "support/file_size_limit.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using test::ReadFileBytes;
using test::WriteFileBytes;

long EntriesIn(const fs::path& folder) {
  return std::distance(fs::directory_iterator(folder), {});
}

TEST(AtomicFile, TheOldFileStaysUntilCommitThenTheNewOneIsWhole) {
  for (const TemporaryName naming : {TemporaryName::kUnique, TemporaryName::kFixed}) {
    test::TempDir dir;
    const std::string path = (dir / "e.txt").string();
    WriteFileBytes(path, "old\r\n");
    AtomicFile file(path, naming);
    ASSERT_TRUE(file.opened());
    EXPECT_EQ(fs::path(file.temporary()).parent_path(), dir.path());
    EXPECT_TRUE(fs::path(file.temporary()).filename().string().starts_with(".e.txt"));
    ASSERT_TRUE(file.Write("new\r\n"));
    ASSERT_GE(std::fputs("more\r\n", file.file()), 0);
    EXPECT_EQ(ReadFileBytes(path), "old\r\n");
    ASSERT_TRUE(file.Commit(Durability::kSynced));
    EXPECT_EQ(ReadFileBytes(path), "new\r\nmore\r\n");
    EXPECT_EQ(EntriesIn(dir.path()), 1);  // no temporary left beside it
  }
}

// Abandoned, failed or uncommitted writes leave no file and keep the old content.
TEST(AtomicFile, FailuresAndAbandonedFilesLeaveNothing) {
  test::TempDir dir;
  const std::string path = (dir / "c.csv").string();
  WriteFileBytes(path, "old");
  { AtomicFile(path, TemporaryName::kUnique).Write("abandoned"); }
  int error = 0;
  EXPECT_FALSE(test::WithFileSizeLimit(4096, [&] {
    return WriteFileAtomically(path, std::string(10000, 'x'), TemporaryName::kUnique,
                               Durability::kCached, &error);
  }));
  EXPECT_EQ(error, EFBIG);
  { WriteFileBytes(AtomicFile(path, (dir / ".m.mp4").string()).temporary(), "cancelled"); }
  fs::create_directories(dir / "b" / "inside");  // a full folder cannot be renamed over
  AtomicFile blocked((dir / "b").string(), TemporaryName::kFixed);
  EXPECT_FALSE(blocked.Write("x") && blocked.Commit(Durability::kCached));
  EXPECT_NE(blocked.error(), 0);
  EXPECT_EQ(ReadFileBytes(path), "old");
  EXPECT_EQ(EntriesIn(dir.path()), 2);

  AtomicFile nowhere((dir / "missing" / "c.txt").string(), TemporaryName::kUnique);
  EXPECT_FALSE(nowhere.opened());
  EXPECT_EQ(nowhere.error(), ENOENT);
  EXPECT_FALSE(nowhere.Write("x") || nowhere.Commit(Durability::kCached));
}

TEST(AtomicFile, AWritersOwnTemporaryIsRenamedOnCommit) {
  test::TempDir dir;
  AtomicFile movie((dir / "m.mp4").string(), (dir / ".m.mp4").string());
  WriteFileBytes(movie.temporary(), "frames");
  ASSERT_TRUE(movie.Commit(Durability::kSynced));
  EXPECT_EQ(ReadFileBytes(dir / "m.mp4"), "frames");
  EXPECT_EQ(EntriesIn(dir.path()), 1);
}

}  // namespace
}  // namespace ombrix
