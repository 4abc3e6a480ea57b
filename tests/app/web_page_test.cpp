#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include "support/program.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

using namespace std::chrono_literals;

// The runner serves the web page while the station runs, says where, and stops it with the
// station; a station that cannot serve it runs on without it.
TEST(WebPageProgram, IsServedWhileTheStationRunsAndRefusedBeyondLoopbackWithoutAToken) {
  test::TempDir home;
  {
    test::Program program(home.path(), {"--source", "sim", "--duration", "3", "--status-interval",
                                        "0", "--web", "127.0.0.1:0"});
    const std::string line = program.WaitForLine("<6>Web page: http://127.0.0.1:");
    ASSERT_FALSE(line.empty());
    const std::string url = line.substr(line.find("http://"));
    httplib::Client client(url.substr(0, url.size() - 1));
    const httplib::Result status = client.Get("/api/status");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->status, 200);
    EXPECT_EQ(program.Wait(60s), 0);
    EXPECT_FALSE(client.Get("/api/status"));  // closed with the station
  }
  struct stat st {};
  ASSERT_EQ(stat((home / ".local/share/Ombrix/web-token").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  test::TempDir bare;
  test::Program exposed(bare.path(), {"--source", "sim", "--duration", "1", "--status-interval",
                                      "0", "--web", "0.0.0.0:0"});
  EXPECT_FALSE(
      exposed.WaitForLine("<3>The web page does not start: 0.0.0.0:0 is not a loopback").empty());
  EXPECT_EQ(exposed.Wait(60s), 0);
  EXPECT_FALSE(std::filesystem::exists(bare / ".local/share/Ombrix/web-token"));
}

}  // namespace
}  // namespace ombrix
