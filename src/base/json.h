#pragma once

#include <string>
#include <string_view>

#include "base/utc_time.h"

namespace ombrix {

// text as a JSON string, quotes included: '"', '\\' and the control characters escaped, other
// bytes (UTF-8) as they are.
std::string JsonString(std::string_view text);

// "2024-03-15T21:59:58Z", or with milliseconds "2024-03-15T21:59:58.123Z": a UTC time as ISO 8601.
std::string IsoUtc(UtcTime time, bool milliseconds = false);

}  // namespace ombrix
