#pragma once

#include <string>
#include <string_view>

#include "base/utc_time.h"

namespace ombrix {

// text as a JSON string, quotes included: '"', '\\' and the control characters escaped, other
// bytes (UTF-8) as they are.
std::string JsonString(std::string_view text);

}  // namespace ombrix
