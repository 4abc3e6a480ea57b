#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ombrix {

// The web page's token: whoever sends it as "Authorization: Bearer TOKEN" may act on the station
// (delete, mark, enable, disable) and read from another machine. It lives in the file
// "web-token" beside config.txt, readable by its owner only.
inline constexpr const char* kWebTokenFileName = "web-token";

// The token file beside the configuration file in use; empty text when no configuration path is
// known (no home folder).
std::string WebTokenPath();

// The token in the file at path: its first line, at least 32 visible characters without spaces.
// A missing file is made first when create is set: 32 random bytes as 64 hexadecimal digits, mode
// 0600, whole or absent, never replacing a file made meanwhile. A file that others than its owner
// may read or write is refused. nullopt with why.
std::optional<std::string> LoadWebToken(const std::string& path, bool create, std::string& why);

// The password of "Basic BASE64(user:password)"; nullopt for any other text.
std::optional<std::string> BasicPassword(std::string_view authorization);

// Whether given equals token, taking a time that does not depend on where they differ.
bool SameToken(std::string_view given, std::string_view token);

}  // namespace ombrix
