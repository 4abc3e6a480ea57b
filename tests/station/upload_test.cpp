#include <gtest/gtest.h>

#include <filesystem>

#include "station/station.h"
#include "support/movies.h"
#include "support/ssh_server.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;

// A fast replay's cut event reaches the collector whole through the station's own outbox, and
// the station's status shows the delivery.
TEST(StationUploadTest, CutEventsOfAReplayArriveAtTheCollector) {
  test::ScopedHome home;
  test::TempDir dir;
  test::SshServer server(dir / "ssh");
  ASSERT_TRUE(server.Start());
  test::WriteStreakMovie((dir / "streak.mp4").string());
  StationSetup setup;
  setup.source.kind = SourceKind::kFile;
  setup.source.filePath = (dir / "streak.mp4").string();
  setup.source.fast = true;
  setup.source.start = ParseStamp("20240315_211450_000");
  setup.readConfiguration = false;
  setup.enableAtStart = true;
  setup.notice = [](const Notice& notice) { EXPECT_NE(notice.topic, "upload") << notice.text; };
  Station station(std::move(setup));
  station.Apply([&](Settings& s) {
    s.archiveFolder = (dir / "base").string();
    s.stationName = "north";
    server.Configure(s, (dir / "collector").string());
  });
  fs::create_directories(dir / "base");
  ASSERT_EQ(station.Start(), StartResult::kRunning);
  const fs::path delivered = dir / "collector/north/events/m20240315_211454_037.mp4";
  ASSERT_TRUE(test::WaitUntil([&] { return fs::exists(delivered); }, 30));
  ASSERT_TRUE(test::WaitUntil([&] { return station.Status().outboxLastSuccess.has_value(); }));
  EXPECT_EQ(station.Status().outboxWaiting, 0u);
  station.Stop();
  EXPECT_EQ(test::ReadFileBytes(delivered),
            test::ReadFileBytes(dir / "base/events/m20240315_211454_037.mp4"));
}

}  // namespace
}  // namespace ombrix
