#include "web/web_token.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "base/file.h"
#include "config/config_file.h"

namespace ombrix {
namespace {

constexpr size_t kRandomBytes = 32;
constexpr size_t kShortest = 32;
constexpr size_t kLongest = 256;

std::string Why(const std::string& path, const char* what, int error) {
  return std::string(what) + " " + path + ": " + std::strerror(error);
}

// Writes a new token into a private temporary file and links it to path, which fails when path
// exists: the token appears whole, and one made meanwhile by another start is kept.
bool MakeToken(const std::string& path, std::string& why) {
  unsigned char random[kRandomBytes];
  if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    why = Why(path, "cannot get random bytes for", errno);
    return false;
  }
  std::string text;
  for (const unsigned char byte : random) {
    static constexpr char kHex[] = "0123456789abcdef";
    text += kHex[byte >> 4];
    text += kHex[byte & 15];
  }
  text += '\n';
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::string temporary = path + ".XXXXXX";
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);  // O_EXCL, mode 0600
  if (fd < 0) {
    why = Why(path, "cannot make", errno);
    return false;
  }
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int writeError = errno;
  const bool synced = written && fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  bool linked = false;
  if (written && synced && closed) {
    linked = link(temporary.c_str(), path.c_str()) == 0 || errno == EEXIST;
    why = linked ? "" : Why(path, "cannot make", errno);
  } else {
    why = Why(path, "cannot write", written ? errno : writeError);
  }
  unlink(temporary.c_str());
  return linked;
}

}  // namespace

std::string WebTokenPath() {
  const std::string config = ConfigurationPath();
  if (config.empty()) {
    return {};
  }
  return (std::filesystem::path(config).parent_path() / kWebTokenFileName).string();
}

std::optional<std::string> LoadWebToken(const std::string& path, bool create, std::string& why) {
  if (path.empty()) {
    why = "no folder for the web token is known (no home folder)";
    return std::nullopt;
  }
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT && create) {
    if (!MakeToken(path, why)) {
      return std::nullopt;
    }
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  }
  if (fd < 0) {
    why = Why(path, "cannot read the web token file", errno);
    return std::nullopt;
  }
  const FilePtr file(fdopen(fd, "r"));
  if (!file) {
    close(fd);
    why = Why(path, "cannot read the web token file", errno);
    return std::nullopt;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "the web token " + path + " is not a regular file";
    return std::nullopt;
  }
  if ((st.st_mode & 077) != 0) {
    why = "the web token " + path + " may be read by others: chmod 600 it";
    return std::nullopt;
  }
  char buffer[kLongest + 2];
  std::string token(buffer, std::fread(buffer, 1, sizeof buffer, file.get()));
  token = token.substr(0, token.find_first_of("\r\n"));
  const bool visible =
      std::all_of(token.begin(), token.end(), [](char c) { return c > ' ' && c < 127; });
  if (token.size() < kShortest || token.size() > kLongest || !visible) {
    why = "the web token " + path + " must be one line of 32 to 256 visible characters";
    return std::nullopt;
  }
  return token;
}

std::optional<std::string> BasicPassword(std::string_view authorization) {
  static constexpr std::string_view kDigits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (!authorization.starts_with("Basic ")) {
    return std::nullopt;
  }
  std::string text;
  uint32_t bits = 0;
  int count = 0;
  for (const char c : authorization.substr(6)) {
    if (c == '=') {
      break;
    }
    const size_t digit = kDigits.find(c);
    if (digit == std::string_view::npos) {
      return std::nullopt;
    }
    bits = (bits << 6) | static_cast<uint32_t>(digit);
    if ((count += 6) >= 8) {
      count -= 8;
      text += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  const size_t colon = text.find(':');
  return colon == std::string::npos ? std::nullopt : std::optional(text.substr(colon + 1));
}

bool SameToken(std::string_view given, std::string_view token) {
  // Every byte of the token is compared, whatever the given text holds.
  unsigned difference = given.size() != token.size();
  for (size_t i = 0; i < token.size(); ++i) {
    difference |= static_cast<unsigned char>(token[i]) ^
                  static_cast<unsigned char>(i < given.size() ? given[i] : 0);
  }
  return difference == 0;
}

}  // namespace ombrix
