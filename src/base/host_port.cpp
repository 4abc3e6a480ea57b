#include "base/host_port.h"

#include <charconv>

namespace ombrix {

std::optional<HostPort> ParseHostPort(std::string_view text, std::optional<int> defaultPort,
                                      int lowestPort, std::string& why) {
  const std::string quoted = "'" + std::string(text) + "'";
  const auto refuse = [&why](std::string reason) {
    why = std::move(reason);
    return std::nullopt;
  };
  std::string_view host = text;
  std::optional<std::string_view> port;
  if (text.starts_with('[')) {
    const size_t close = text.find(']');
    if (close == std::string_view::npos) {
      return refuse(quoted + ": an IPv6 address goes in brackets, [::1]:8080");
    }
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') {
        return refuse(quoted + " is not HOST:PORT");
      }
      port = text.substr(close + 2);
    }
  } else if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) {
      return refuse(quoted + ": an IPv6 address goes in brackets, [::1]:8080");
    }
  }
  if (host.empty() || (!port && !defaultPort)) {
    return refuse(quoted + " is not HOST:PORT");
  }
  int number = defaultPort.value_or(0);
  if (port) {
    const auto [end, error] = std::from_chars(port->data(), port->data() + port->size(), number);
    if (port->empty() || (*port)[0] == '-' || error != std::errc() ||
        end != port->data() + port->size() || number < lowestPort || number > 65535) {
      return refuse(quoted + ": the port must be a number from " + std::to_string(lowestPort) +
                    " to 65535");
    }
  }
  return HostPort{std::string(host), number};
}

}  // namespace ombrix
