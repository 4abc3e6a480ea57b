#include "config/config_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>
#include <variant>

#include "base/atomic_file.h"
#include "base/folders.h"
#include "base/utc_time.h"

namespace ombrix {
namespace {

// The key is at most 99 characters before the colon, a path at most 1022 characters after it.
// No line the station writes is longer than the two together.
constexpr size_t kMaxKeyLength = 99;
constexpr size_t kMaxPathLength = 1022;
constexpr size_t kMaxLineLength = kMaxKeyLength + 1 + kMaxPathLength;

constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::min();

using Member = std::variant<bool Settings::*, int32_t Settings::*, uint32_t Settings::*,
                            double Settings::*, TimeOfDay Settings::*, std::string Settings::*>;

// What an integer read from the file does when it lies below the field's low limit.
enum class BelowLow {
  kClamp,   // moved up to the limit
  kRefuse,  // the line is skipped and the field keeps its value
  kWrap,    // a negative value is taken modulo 2^32, as a signed number read into an unsigned one
};

struct Field {
  std::string_view key;
  Member member;
  // For integer fields read from the file: a value in the type's range but above `high` is moved
  // to `high`; one below `low` is treated as `belowLow` says. kNoLimit: stored as read.
  int64_t low = kNoLimit;
  int64_t high = kNoLimit;
  BelowLow belowLow = BelowLow::kClamp;
};

// The order of this table is the order of the lines in the file.
const Field kFields[] = {
    {"pseudoColor", &Settings::pseudoColor},
    {"preferComposites", &Settings::preferComposites},
    {"enabled", &Settings::enabled},
    {"minimalArchive", &Settings::minimalArchive},
    {"archiveAlways", &Settings::archiveAlways},
    {"showTrackingBox", &Settings::showTrackingBox},
    {"slowdownFactor", &Settings::slowdownFactor},
    // Stored as read, also 1 or less: the detector treats a rate of 1 or less as 2.
    {"hourlyRate", &Settings::hourlyRate},
    // The archive recorder divides by it; the dialog offers 1 to 10.
    {"pngIntegrationFactor", &Settings::pngIntegrationFactor, 1, 10},
    // Percent of the disk the archive may fill; the dialog offers 25 to 90.
    {"diskUsage", &Settings::diskUsage, 25, 90},
    {"threshold", &Settings::threshold},
    {"triggerGap", &Settings::triggerGap},
    {"triggerSumBegin", &Settings::triggerSumBegin},
    {"triggerSumEnd", &Settings::triggerSumEnd},
    {"triggerCountBegin", &Settings::triggerCountBegin},
    {"triggerCountEnd", &Settings::triggerCountEnd},
    {"maxEventTime", &Settings::maxEventTime},
    // Retention in days; the retention pass computes days * 86400 in 32 bits, and 24855 days is
    // the most that fits. A negative retention is refused: read as 0 it would delete every event
    // after the next cut.
    {"daysToKeep", &Settings::daysToKeep, 0, 24855, BelowLow::kRefuse},
    // A negative index counts as too large (it wraps to a large unsigned number), so the capture
    // graph lowers it to the last device.
    {"captureDeviceIndex", &Settings::captureDeviceIndex, 0, kNoLimit, BelowLow::kWrap},
    {"enableTime", &Settings::enableTime},
    {"disableTime", &Settings::disableTime},
    {"enableDisableTimeIsLocal", &Settings::enableDisableTimeIsLocal},
    {"calRotation", &Settings::calRotation},
    {"calDegPerPixel0", &Settings::calDegPerPixel0},
    {"calDegPerPixel1", &Settings::calDegPerPixel1},
    {"calDegPerPixel2", &Settings::calDegPerPixel2},
    {"calDegPerPixel3", &Settings::calDegPerPixel3},
    {"calApparentLatitude", &Settings::calApparentLatitude},
    {"calApparentLongitude", &Settings::calApparentLongitude},
    {"calTrueLatitude", &Settings::calTrueLatitude},
    {"calTrueLongitude", &Settings::calTrueLongitude},
    {"calCOPx", &Settings::calCOPx},
    {"calCOPy", &Settings::calCOPy},
    {"maskFile", &Settings::maskFile},
    {"archiveFolder", &Settings::archiveFolder},
    // Settings added since (from kFirstAddedField on) are written only when they differ from
    // their defaults, so that a file of default settings has just the lines above.
    {"adaptiveThreshold", &Settings::adaptiveThreshold},
};
constexpr ptrdiff_t kFirstAddedField = 35;

bool HasDefault(const Settings& settings, const Field& field) {
  static const Settings defaults;
  return std::visit([&](auto member) { return settings.*member == defaults.*member; },
                    field.member);
}

const Field* FindField(std::string_view key) {
  for (const Field& field : kFields) {
    if (field.key == key) {
      return &field;
    }
  }
  return nullptr;
}

// ---- reading ----

// An open file descriptor, closed when the owner goes.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Close(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded (a write error may show only here).
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return fd < 0 || close(fd) == 0;
  }

 private:
  int fd_;
};

// Splits a file into lines ending in LF; a CR just before the LF (or at the very end of the file)
// is not part of the line. Memory stays bounded whatever the file holds: a line longer than any
// the station writes is reported as over-long and its bytes are not kept.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  bool Next(std::string& line, bool& overLong) {
    line.clear();
    overLong = false;
    bool any = false;
    for (;;) {
      if (pos_ == size_) {
        if (!Fill()) {
          break;
        }
      }
      any = true;
      const char c = buffer_[pos_++];
      if (c == '\n') {
        break;
      }
      // One more than the limit is kept so that a CR at the end of a full line still fits.
      if (line.size() <= kMaxLineLength) {
        line.push_back(c);
      } else {
        overLong = true;
      }
    }
    if (!any) {
      return false;
    }
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.size() > kMaxLineLength) {
      overLong = true;
    }
    return true;
  }

 private:
  // False at the end of the file or on a read error (what was read so far counts).
  bool Fill() {
    for (;;) {
      const ssize_t n = read(fd_, buffer_, sizeof buffer_);
      if (n > 0) {
        pos_ = 0;
        size_ = static_cast<size_t>(n);
        return true;
      }
      if (n < 0 && errno == EINTR) {
        continue;
      }
      return false;
    }
  }

  int fd_;
  char buffer_[4096];
  size_t pos_ = 0;
  size_t size_ = 0;
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

void SkipBlanks(std::string_view& text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
}

// Leading blanks, an optional sign, decimal digits. Consumes what it read; what follows is left.
// A number too large for 64 bits reads as the largest value of its sign, which every caller
// treats as out of range.
std::optional<int64_t> ReadInteger(std::string_view& text) {
  SkipBlanks(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() < '0' || text.front() > '9') {
    return std::nullopt;
  }
  uint64_t magnitude = 0;
  const char* end = text.data() + text.size();
  auto [next, error] = std::from_chars(text.data(), end, magnitude);
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (error == std::errc::result_out_of_range || magnitude > limit) {
    magnitude = limit;
    while (next != end && *next >= '0' && *next <= '9') {
      ++next;
    }
  }
  text.remove_prefix(static_cast<size_t>(next - text.data()));
  const int64_t value = static_cast<int64_t>(magnitude);
  return negative ? -value : value;
}

// Any decimal or exponent form; infinities, NaN and values beyond double do not count.
std::optional<double> ReadDouble(std::string_view text) {
  SkipBlanks(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') {
      return std::nullopt;
    }
  }
  double value = 0;
  const auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

std::optional<bool> ReadBool(std::string_view text) {
  SkipBlanks(text);
  size_t length = 0;
  while (length < text.size() && !IsBlank(text[length])) {
    ++length;
  }
  const std::string_view word = text.substr(0, length);
  if (word == "true") {
    return true;
  }
  if (word == "false") {
    return false;
  }
  return std::nullopt;
}

template <typename T>
std::optional<T> ReadIntegerField(std::string_view text, const Field& field) {
  auto value = ReadInteger(text);
  if (value && field.belowLow == BelowLow::kWrap && *value < 0 &&
      *value >= std::numeric_limits<int32_t>::min()) {
    value = *value + (int64_t{1} << 32);
  }
  if (!value || *value < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
      *value > static_cast<int64_t>(std::numeric_limits<T>::max())) {
    return std::nullopt;
  }
  int64_t v = *value;
  if (field.low != kNoLimit && v < field.low) {
    if (field.belowLow == BelowLow::kRefuse) {
      return std::nullopt;
    }
    v = field.low;
  }
  if (field.high != kNoLimit && v > field.high) {
    v = field.high;
  }
  return static_cast<T>(v);
}

enum class LineOutcome { Stored, Skipped, Failed };

struct ValueReader {
  Settings& settings;
  const Field& field;
  std::string_view text;

  template <typename T>
  LineOutcome Store(T Settings::*member, const std::optional<T>& value) const {
    if (!value) {
      return LineOutcome::Skipped;
    }
    settings.*member = *value;
    return LineOutcome::Stored;
  }
  LineOutcome operator()(bool Settings::*member) const { return Store(member, ReadBool(text)); }
  LineOutcome operator()(int32_t Settings::*member) const {
    return Store(member, ReadIntegerField<int32_t>(text, field));
  }
  LineOutcome operator()(uint32_t Settings::*member) const {
    return Store(member, ReadIntegerField<uint32_t>(text, field));
  }
  LineOutcome operator()(double Settings::*member) const { return Store(member, ReadDouble(text)); }
  LineOutcome operator()(TimeOfDay Settings::*member) const {
    std::string_view rest = text;
    const auto hour = ReadInteger(rest);
    const auto minute = hour ? ReadInteger(rest) : std::nullopt;
    const auto second = minute ? ReadInteger(rest) : std::nullopt;
    if (!second) {
      return LineOutcome::Skipped;
    }
    // The range check of calendar times, on 1 January 2000 at that time of day. Values beyond
    // int are out of range as well.
    const auto asInt = [](int64_t v) {
      return static_cast<int>(
          std::clamp<int64_t>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    };
    if (!MakeUtcTime({.year = 2000,
                      .month = 1,
                      .day = 1,
                      .hour = asInt(*hour),
                      .minute = asInt(*minute),
                      .second = asInt(*second)})) {
      return LineOutcome::Failed;
    }
    TimeOfDay time;
    time.hour = static_cast<uint8_t>(*hour);
    time.minute = static_cast<uint8_t>(*minute);
    time.second = static_cast<uint8_t>(*second);
    settings.*member = time;
    return LineOutcome::Stored;
  }
  LineOutcome operator()(std::string Settings::*member) const {
    // The rest of the line verbatim. A longer path was skipped with its line; a NUL byte
    // cannot be part of a path.
    if (text.size() > kMaxPathLength || text.find('\0') != std::string_view::npos) {
      return LineOutcome::Skipped;
    }
    settings.*member = text;
    return LineOutcome::Stored;
  }
};

// Reads the value of one known key. What follows a bool, number or time on the line is ignored.
// A value that does not parse, or a number outside the range of its field's type (enabled:1,
// threshold:abc, diskUsage:-60), or a negative daysToKeep, skips the line and leaves the field as
// it was; reading goes on with the next line. Only a time of day that parses but is out of range
// (hour 0-23, minute and second 0-59) fails the whole reading.
LineOutcome StoreValue(Settings& settings, const Field& field, std::string_view text) {
  return std::visit(ValueReader{settings, field, text}, field.member);
}

// ---- writing ----

void AppendValue(std::string& out, const Settings& settings, const Field& field) {
  struct Visitor {
    const Settings& settings;
    std::string& out;

    void operator()(bool Settings::*member) const { out += settings.*member ? "true" : "false"; }
    void operator()(int32_t Settings::*member) const { out += std::to_string(settings.*member); }
    void operator()(uint32_t Settings::*member) const { out += std::to_string(settings.*member); }
    void operator()(double Settings::*member) const {
      // "%g" with six significant digits, in the C locale whatever the process locale is.
      char buffer[32];
      const auto result = std::to_chars(buffer, buffer + sizeof buffer, settings.*member,
                                        std::chars_format::general, 6);
      out.append(buffer, result.ptr);
    }
    void operator()(TimeOfDay Settings::*member) const {
      const TimeOfDay time = settings.*member;
      out += std::to_string(time.hour) + ' ' + std::to_string(time.minute) + ' ' +
             std::to_string(time.second);
    }
    void operator()(std::string Settings::*) const {}
  };
  std::visit(Visitor{settings, out}, field.member);
}

std::string FormatConfiguration(const Settings& settings) {
  std::string out;
  out.reserve(1024);
  for (const Field& field : kFields) {
    if (const auto* path = std::get_if<std::string Settings::*>(&field.member)) {
      // Written only when set. A path that could not be read back as one line (a line break or
      // NUL in it, or longer than a path line may be) is left out rather than written broken.
      const std::string& value = settings.**path;
      if (value.empty() || value.size() > kMaxPathLength ||
          value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        continue;
      }
      out.append(field.key).append(":").append(value).append("\r\n");
      continue;
    }
    if (&field - kFields >= kFirstAddedField && HasDefault(settings, field)) {
      continue;
    }
    out.append(field.key).append(":");
    AppendValue(out, settings, field);
    out.append("\r\n");
  }
  return out;
}

// The path given with SetConfigurationPath; empty while none was given.
std::mutex configPathMutex;
std::string configPathOverride;

std::string OverridePath() {
  std::lock_guard lock(configPathMutex);
  return configPathOverride;
}

}  // namespace

void SetConfigurationPath(const std::string& path) {
  std::lock_guard lock(configPathMutex);
  configPathOverride = path;
}

std::string ConfigurationPath() {
  std::string path = OverridePath();
  if (!path.empty()) {
    return path;
  }
  const std::string folder = LocalDataFolder();
  return folder.empty() ? std::string() : folder + "/config.txt";
}

ConfigReadResult ReadConfiguration(Settings& settings, const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return ConfigReadResult::NoFile;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return ConfigReadResult::NoFile;
  }
  LineReader reader(fd.get());
  std::string line;
  bool overLong = false;
  while (reader.Next(line, overLong)) {
    // An over-long line is skipped whole, never cut and never run into the next line.
    if (overLong) {
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon > kMaxKeyLength) {
      continue;
    }
    // Keys are compared exactly: no blanks trimmed, case counts; unknown keys are skipped.
    const Field* field = FindField(std::string_view(line).substr(0, colon));
    if (field == nullptr) {
      continue;
    }
    if (StoreValue(settings, *field, std::string_view(line).substr(colon + 1)) ==
        LineOutcome::Failed) {
      return ConfigReadResult::Failed;
    }
  }
  return ConfigReadResult::Ok;
}

ConfigReadResult ReadConfiguration(Settings& settings) {
  const std::string path = ConfigurationPath();
  if (path.empty()) {
    return ConfigReadResult::NoFile;
  }
  return ReadConfiguration(settings, path);
}

bool SaveConfiguration(const Settings& settings, const std::string& path) {
  const std::string text = FormatConfiguration(settings);
  // Written beside the real file, put on the disk, then renamed over it: a crash or a full disk
  // leaves either the old file or the new one, never a part.
  if (!WriteFileAtomically(path, text, TemporaryName::kUnique, Durability::kSynced)) {
    return false;
  }
  // Make the rename itself durable; a failure here no longer risks the content.
  const std::string folder = std::filesystem::path(path).parent_path().string();
  UniqueFd directory(open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (directory.get() >= 0) {
    fsync(directory.get());
  }
  return true;
}

bool SaveConfiguration(const Settings& settings) {
  if (const std::string path = OverridePath(); !path.empty()) {
    return SaveConfiguration(settings, path);
  }
  const std::string folder = LocalDataFolder();
  if (folder.empty()) {
    return false;
  }
  // On a fresh machine even the data folder above ours may be missing; make both.
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    return false;
  }
  return SaveConfiguration(settings, folder + "/config.txt");
}

}  // namespace ombrix
