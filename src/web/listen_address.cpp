#include "web/listen_address.h"

#include <arpa/inet.h>

#include <cstdint>

namespace ombrix {

std::optional<ListenAddress> ParseListenAddress(std::string_view text, std::string& why) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) {
    why = "'" + std::string(text) + "' is not ADDR:PORT";
    return std::nullopt;
  }
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') {
      why = "'" + std::string(text) + "': an IPv6 address goes in brackets, [::1]:8080";
      return std::nullopt;
    }
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    why = "'" + std::string(text) + "': an IPv6 address goes in brackets, [::1]:8080";
    return std::nullopt;
  }
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != port.npos ||
      std::stoi(std::string(port)) > 65535) {
    why = "'" + std::string(text) + "': the port must be a number from 0 to 65535";
    return std::nullopt;
  }
  return ListenAddress{std::string(host), std::stoi(std::string(port))};
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
