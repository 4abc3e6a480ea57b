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
using test::TempDir;
using test::WriteFileBytes;

size_t EntriesIn(const fs::path& folder) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
}

TEST(AtomicFile, OldContentStaysUntilCommitThenTheNewIsWhole) {
  for (const TemporaryName naming : {TemporaryName::kUnique, TemporaryName::kFixed}) {
    TempDir dir;
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
    EXPECT_EQ(EntriesIn(dir.path()), 1u);  // no temporary left beside it
  }
}

TEST(AtomicFile, NothingIsLeftWithoutACommitOrWhenTheRenameFails) {
  TempDir dir;
  {
    AtomicFile file((dir / "a.txt").string(), TemporaryName::kUnique);
    file.Write("abandoned");
  }
  fs::create_directories(dir / "b.txt" / "inside");  // a full folder cannot be renamed over
  AtomicFile blocked((dir / "b.txt").string(), TemporaryName::kFixed);
  blocked.Write("x");
  EXPECT_FALSE(blocked.Commit(Durability::kCached));
  EXPECT_NE(blocked.error(), 0);
  EXPECT_EQ(EntriesIn(dir.path()), 1u);  // just the folder b.txt

  AtomicFile nowhere((dir / "missing" / "c.txt").string(), TemporaryName::kUnique);
  EXPECT_FALSE(nowhere.opened());
  EXPECT_EQ(nowhere.error(), ENOENT);
  EXPECT_FALSE(nowhere.Write("x"));
  EXPECT_FALSE(nowhere.Commit(Durability::kCached));
}

TEST(AtomicFile, AFailedWriteIsCaughtAndKeepsTheOldFile) {
  TempDir dir;
  const std::string path = (dir / "c.csv").string();
  WriteFileBytes(path, "old");
  int error = 0;
  const bool written = test::WithFileSizeLimit(4096, [&] {
    return WriteFileAtomically(path, std::string(10000, 'x'), TemporaryName::kUnique,
                               Durability::kCached, &error);
  });
  EXPECT_FALSE(written);
  EXPECT_EQ(error, EFBIG);
  EXPECT_EQ(ReadFileBytes(path), "old");
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

TEST(AtomicFile, AWritersOwnTemporaryIsRenamedOrRemoved) {
  TempDir dir;
  const std::string path = (dir / "m.mp4").string();
  {
    AtomicFile movie(path, (dir / ".m.mp4").string());
    WriteFileBytes(movie.temporary(), "frames");
    ASSERT_TRUE(movie.Commit(Durability::kSynced));
  }
  EXPECT_EQ(ReadFileBytes(path), "frames");
  {
    AtomicFile movie(path, (dir / ".m.mp4").string());
    WriteFileBytes(movie.temporary(), "cancelled");
  }
  EXPECT_EQ(ReadFileBytes(path), "frames");
  EXPECT_EQ(EntriesIn(dir.path()), 1u);
}

}  // namespace
}  // namespace ombrix
