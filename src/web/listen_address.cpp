#include "web/listen_address.h"

#include <arpa/inet.h>

#include <cstdint>

namespace ombrix {

std::optional<HostPort> ParseListenAddress(std::string_view text, std::string& why) {
  return ParseHostPort(text, std::nullopt, 0, why);
}

bool IsLoopback(std::string_view address) {
  const std::string text(address);
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) {
      return true;
    }
    return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
  }
  return text == "localhost";
}

std::string PageUrl(const std::string& host, int port) {
  const bool v6 = host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/";
}

}  // namespace ombrix
