#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ombrix {

// An address to listen at or to reach.
struct HostPort {
  std::string host;  // a host name, an IPv4 address or an IPv6 address (without its brackets)
  int port = 0;
};

// "HOST:PORT" or "[IPv6]:PORT", PORT from lowestPort to 65535; HOST alone takes defaultPort when
// there is one. nullopt with why (which quotes the text).
std::optional<HostPort> ParseHostPort(std::string_view text, std::optional<int> defaultPort,
                                      int lowestPort, std::string& why);

}  // namespace ombrix
