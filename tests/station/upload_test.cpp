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
  setup.source = {SourceKind::kFile,
                  1,
                  1,
                  "",
                  (dir / "streak.mp4").string(),
                  true,
                  ParseStamp("20240315_211450_000"),
                  ""};
  setup.readConfiguration = false;
  setup.enableAtStart = true;
  setup.notice = [](const Notice& notice) { EXPECT_NE(notice.topic, "upload") << notice.text; };
  Station station(std::move(setup));
  station.Apply([&](Settings& s) {
    s.archiveFolder = (dir / "base").string();
    s.stationName = "north";
    s.uploadTarget = server.Target((dir / "collector").string());
    s.uploadPort = server.port();
    s.uploadKeyFile = server.clientKey();
    s.uploadKnownHostsFile = server.knownHosts();
  });
  fs::create_directories(dir / "base");
  ASSERT_EQ(station.Start(), StartResult::kRunning);
  const fs::path delivered = dir / "collector/north/events/m20240315_211454_037.mp4";
  ASSERT_TRUE(test::WaitUntil([&] { return fs::exists(delivered); }, 30));
  ASSERT_TRUE(test::WaitUntil([&] { return station.Status().outboxLastSuccess.has_value(); }));
  EXPECT_EQ(station.Status().outboxWaiting, 0u);
  station.Stop();
  for (const char* name : {"e20240315_211454_037.txt", "j20240315_211454_037.jpg",
                           "m20240315_211454_037.mp4", "c20240315_211454_037.csv"}) {
    EXPECT_EQ(test::ReadFileBytes(dir / "collector/north/events" / name),
              test::ReadFileBytes(dir / "base/events" / name))
        << name;
  }
}

}  // namespace
}  // namespace ombrix
