#include "base/host_port.h"

#include <gtest/gtest.h>

namespace ombrix {
namespace {

// The web page's listening address (no default port, 0 for a free one) and the MQTT broker's
// (a default port, 1 at least).
TEST(HostPort, ReadsHostAndPortWithOrWithoutADefault) {
  std::string why;
  struct Case {
    const char* text;
    std::optional<int> defaultPort;
    int lowest;
    std::optional<std::string> host;  // nullopt: refused
    int port;
  };
  for (const Case& c : std::initializer_list<Case>{
           {"[::1]:8080", {}, 0, "::1", 8080},
           {"station.local:0", {}, 0, "station.local", 0},
           {"broker", 1883, 1, "broker", 1883},
           {"[fd00::5]", 8883, 1, "fd00::5", 8883},
           {"10.0.0.2:1884", 1883, 1, "10.0.0.2", 1884},
           {"8080", {}, 0, {}, 0},
           {":80", {}, 0, {}, 0},
           {"::1:80", {}, 0, {}, 0},
           {"[::1:80", {}, 0, {}, 0},
           {"[::1]x80", 1883, 1, {}, 0},
           {"host:", 1883, 1, {}, 0},
           {"host:65536", {}, 0, {}, 0},
           {"host:8o", {}, 0, {}, 0},
           {"host:-1", {}, 0, {}, 0},
           {"host:0", 1883, 1, {}, 0},
       }) {
    const std::optional<HostPort> parsed = ParseHostPort(c.text, c.defaultPort, c.lowest, why);
    ASSERT_EQ(parsed.has_value(), c.host.has_value()) << c.text;
    if (parsed) {
      EXPECT_EQ(parsed->host, *c.host) << c.text;
      EXPECT_EQ(parsed->port, c.port) << c.text;
    } else {
      EXPECT_TRUE(why.starts_with("'" + std::string(c.text) + "'")) << why;
    }
  }
}

}  // namespace
}  // namespace ombrix
