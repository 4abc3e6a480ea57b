#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/host_port.h"

namespace ombrix {

// Where the web page listens (the webListen setting or --web): "ADDR:PORT", ADDR a host name, an
// IPv4 address or [IPv6], PORT 0 (any free port) to 65535; nullopt with why.
std::optional<HostPort> ParseListenAddress(std::string_view text, std::string& why);

// Whether an address is one of this machine's loopback addresses (127.0.0.0/8, ::1, an IPv4
// loopback address mapped into IPv6) or the name "localhost". Any other name is not: it may
// resolve to anything.
bool IsLoopback(std::string_view address);

// "http://ADDR:PORT/" (an IPv6 address in brackets).
std::string PageUrl(const std::string& host, int port);

}  // namespace ombrix
