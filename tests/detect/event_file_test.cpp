#include "detect/event_file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/stamp.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

SystemTime Time(int hour, int minute, int second, int ms) {
  SystemTime t;
  t.year = 2024;
  t.month = 3;
  t.day = 15;
  t.dayOfWeek = 5;
  t.hour = static_cast<uint16_t>(hour);
  t.minute = static_cast<uint16_t>(minute);
  t.second = static_cast<uint16_t>(second);
  t.milliseconds = static_cast<uint16_t>(ms);
  return t;
}

TEST(EventFileTest, EventFileHoldsBothStampsWithCrLfAndQueuesTheStart) {
  test::TempDir base;
  EventList list;
  // An event that runs into the next hour is still named by its start.
  EXPECT_TRUE(RecordEvent(base.str(), list, Time(21, 59, 58, 42), Time(22, 0, 1, 7)));

  const auto path = base / "events" / "e20240315_215958_042.txt";
  EXPECT_EQ(test::ReadFileBytes(path),
            "20240315_215958_042\r\n"
            "20240315_220001_007\r\n");
  EXPECT_EQ(std::filesystem::file_size(path), 42u);
  ASSERT_EQ(list.Size(), 1u);
  EXPECT_EQ(list.TakeHead(), Stamp("20240315_215958_042"));
  EXPECT_TRUE(list.Empty());

  const auto times = ReadEventFile(path.string());
  ASSERT_TRUE(times.has_value());
  EXPECT_EQ(times->first, "20240315_215958_042");
  EXPECT_EQ(times->last, "20240315_220001_007");
}

TEST(EventFileTest, SameStartOverwritesTheFileAndQueuesTwice) {
  test::TempDir base;
  EventList list;
  RecordEvent(base.str(), list, Time(1, 2, 3, 4), Time(1, 2, 5, 0));
  RecordEvent(base.str(), list, Time(1, 2, 3, 4), Time(1, 2, 9, 999));

  const auto times = ReadEventFile((base / "events" / "e20240315_010203_004.txt").string());
  ASSERT_TRUE(times.has_value());
  EXPECT_EQ(times->last, "20240315_010209_999");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(base / "events"),
                          std::filesystem::directory_iterator()),
            1);
  EXPECT_EQ(list.TakeHead(), Stamp("20240315_010203_004"));
  EXPECT_EQ(list.TakeHead(), Stamp("20240315_010203_004"));
  EXPECT_EQ(list.TakeHead(), std::nullopt);
}

TEST(EventFileTest, NoEventsFolderLosesTheEventSilently) {
  test::TempDir dir;
  // The base folder is a plain file, so no events folder can be made under it.
  test::WriteFileBytes(dir / "base", "x");
  EventList list;
  EXPECT_FALSE(RecordEvent((dir / "base").string(), list, Time(1, 2, 3, 4), Time(1, 2, 5, 0)));
  EXPECT_TRUE(list.Empty());
  EXPECT_FALSE(std::filesystem::exists(dir / "base" / "events"));
}

TEST(EventFileTest, ReadingAcceptsLfAndRejectsWhatIsNoEvent) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "lf.txt", "20240315_010203_004\n20240315_010209_999\n");
  const auto lf = ReadEventFile((dir / "lf.txt").string());
  ASSERT_TRUE(lf.has_value());
  EXPECT_EQ(lf->first, "20240315_010203_004");
  EXPECT_EQ(lf->last, "20240315_010209_999");

  test::WriteFileBytes(dir / "one.txt", "20240315_010203_004\r\n");
  test::WriteFileBytes(dir / "empty.txt", "");
  test::WriteFileBytes(dir / "path.txt", "../../../etc/passwd\r\n20240315_010209_999\r\n");
  test::WriteFileBytes(dir / "long.txt",
                       "20240315_010203_0040000000000000000000000000000000\r\n"
                       "20240315_010209_999\r\n");
  for (const char* name : {"one.txt", "empty.txt", "path.txt", "long.txt", "missing.txt"}) {
    EXPECT_FALSE(ReadEventFile((dir / name).string()).has_value()) << name;
  }
}

}  // namespace
}  // namespace ombrix
