#include "config/config_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>
#include <variant>

#include "base/atomic_file.h"
#include "base/file.h"
#include "base/folders.h"
#include "base/utc_time.h"

namespace ombrix {
namespace {

// The key is at most 99 characters before the colon, a path at most 1022 characters after it.
// No line the station writes is longer than the two together.
constexpr size_t kMaxKeyLength = 99;
constexpr size_t kMaxPathLength = 1022;
constexpr size_t kMaxLineLength = kMaxKeyLength + 1 + kMaxPathLength;

constexpr double kNone = std::numeric_limits<double>::infinity();

using Member = std::variant<bool Settings::*, int32_t Settings::*, uint32_t Settings::*,
                            double Settings::*, TimeOfDay Settings::*, std::string Settings::*>;

// What a number read from the file does when it lies outside its field's limits.
enum class Outside {
  kRefuse,  // the line is ignored and the field keeps its value
  kClamp,   // moved to the nearest limit
  kWrap,    // a negative value is taken modulo 2^32, as a signed number read into an unsigned one
};

struct Field {
  std::string_view key;
  Member member;
  // The values the station can use; a number outside them is treated as below and above say.
  double low = -kNone;
  double high = kNone;
  Outside below = Outside::kRefuse;
  Outside above = Outside::kRefuse;
};

// The lens law's terms: none may exceed 100 turns at 1000 pixels from the centre, far beyond any
// lens; a larger coefficient (1e300) would make the angles meaningless or not finite.
constexpr double kLensLimit = 36000;

// The order of this table is the order of the lines in the file. The limits are those of the
// options dialogs ("taken only if greater than 0", a threshold of 1 or more) and of what the
// station can use: the low byte of the threshold fills the threshold table, a trigger gap is a
// distance in the ring of 64 frames.
const Field kFields[] = {
    {"pseudoColor", &Settings::pseudoColor},
    {"preferComposites", &Settings::preferComposites},
    {"enabled", &Settings::enabled},
    {"minimalArchive", &Settings::minimalArchive},
    {"archiveAlways", &Settings::archiveAlways},
    {"showTrackingBox", &Settings::showTrackingBox},
    {"slowdownFactor", &Settings::slowdownFactor, 1},
    {"hourlyRate", &Settings::hourlyRate, 1},
    // The archive recorder divides by it; the dialog offers 1 to 10.
    {"pngIntegrationFactor", &Settings::pngIntegrationFactor, 1, 10, Outside::kClamp,
     Outside::kClamp},
    // Percent of the disk the archive may fill; the dialog offers 25 to 90.
    {"diskUsage", &Settings::diskUsage, 25, 90, Outside::kClamp, Outside::kClamp},
    {"threshold", &Settings::threshold, 1, 255},
    {"triggerGap", &Settings::triggerGap, 1, kMaxTriggerGap},
    {"triggerSumBegin", &Settings::triggerSumBegin, 1},
    {"triggerSumEnd", &Settings::triggerSumEnd, 1},
    {"triggerCountBegin", &Settings::triggerCountBegin, 1},
    {"triggerCountEnd", &Settings::triggerCountEnd, 1},
    {"maxEventTime", &Settings::maxEventTime, 1},
    // Retention in days; the retention pass computes days * 86400 in 32 bits, and 24855 days is
    // the most that fits. A negative retention is refused: read as 0 it would delete every event
    // after the next cut.
    {"daysToKeep", &Settings::daysToKeep, 0, 24855, Outside::kRefuse, Outside::kClamp},
    // A negative index counts as too large (it wraps to a large unsigned number), so the capture
    // graph lowers it to the last device.
    {"captureDeviceIndex", &Settings::captureDeviceIndex, 0, kNone, Outside::kWrap},
    {"enableTime", &Settings::enableTime},
    {"disableTime", &Settings::disableTime},
    {"enableDisableTimeIsLocal", &Settings::enableDisableTimeIsLocal},
    {"calRotation", &Settings::calRotation, -360, 360},
    {"calDegPerPixel0", &Settings::calDegPerPixel0, -kLensLimit, kLensLimit},
    {"calDegPerPixel1", &Settings::calDegPerPixel1, -kLensLimit / 1e3, kLensLimit / 1e3},
    {"calDegPerPixel2", &Settings::calDegPerPixel2, -kLensLimit / 1e6, kLensLimit / 1e6},
    {"calDegPerPixel3", &Settings::calDegPerPixel3, -kLensLimit / 1e9, kLensLimit / 1e9},
    {"calApparentLatitude", &Settings::calApparentLatitude, -90, 90},
    {"calApparentLongitude", &Settings::calApparentLongitude, -360, 360},
    {"calTrueLatitude", &Settings::calTrueLatitude, -90, 90},
    {"calTrueLongitude", &Settings::calTrueLongitude, -360, 360},
    // The centre of projection: within ten frames of the frame.
    {"calCOPx", &Settings::calCOPx, -6400, 6400},
    {"calCOPy", &Settings::calCOPy, -4800, 4800},
    {"maskFile", &Settings::maskFile},
    {"archiveFolder", &Settings::archiveFolder},
    // Settings added since (from kFirstAddedField on) are written only when they differ from
    // their defaults, so that a file of default settings has just the lines above.
    {"adaptiveThreshold", &Settings::adaptiveThreshold},
    {"webListen", &Settings::webListen},
    {"stationName", &Settings::stationName},
    {"uploadTarget", &Settings::uploadTarget},
    {"uploadPort", &Settings::uploadPort, 1, 65535},
    {"uploadKeyFile", &Settings::uploadKeyFile},
    {"uploadKnownHostsFile", &Settings::uploadKnownHostsFile},
    {"uploadKbps", &Settings::uploadKbps, 0},
    {"mqttBroker", &Settings::mqttBroker},
    {"mqttTopic", &Settings::mqttTopic},
    {"mqttUser", &Settings::mqttUser},
    {"mqttPassword", &Settings::mqttPassword},
    {"mqttCaFile", &Settings::mqttCaFile},
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

// Splits a file into lines ending in LF; a CR just before the LF (or at the very end of the file)
// is not part of the line. Memory stays bounded whatever the file holds: a line longer than any
// the station writes is reported as over-long and its bytes are not kept.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}

  // errno of a read that failed; 0 at the end of the file.
  int error() const { return error_; }

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
      error_ = n < 0 ? errno : 0;
      return false;
    }
  }

  int fd_;
  int error_ = 0;
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

void AppendValue(std::string& out, const Settings& settings, const Field& field);

// A number as the file writes doubles ("%g"); whole numbers without a fraction.
std::string Number(double value) {
  char buffer[32];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
  return std::string(buffer, result.ptr);
}

// Text of the file for a message: at most 40 characters, each that is not printable ASCII as '?'.
std::string Printable(std::string_view text) {
  std::string shown(text.substr(0, 40));
  for (char& c : shown) {
    c = (c < ' ' || c > '~') ? '?' : c;
  }
  return shown;
}

std::string_view Trimmed(std::string_view text) {
  SkipBlanks(text);
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

// The first word of a value as the file gives it, for a message.
std::string Shown(std::string_view text) {
  SkipBlanks(text);
  size_t length = 0;
  while (length < text.size() && !IsBlank(text[length])) {
    ++length;
  }
  return length == 0 ? "(nothing)" : Printable(text.substr(0, length));
}

enum class LineOutcome { kStored, kIgnored, kFailed };

// Reads the value of one known key into the record. What follows a bool, number or time on the
// line is ignored. A value that does not parse, a number outside its field's type, or one that
// its field refuses, leaves the field as it was; reading goes on with the next line. Only a time
// of day that parses but is out of range (hour 0-23, minute and second 0-59) fails the reading.
// *problem says what was wrong (empty when nothing was).
class ValueReader {
 public:
  ValueReader(Settings& settings, const Field& field, std::string_view text, std::string& problem)
      : settings_(settings), field_(field), text_(text), problem_(problem) {}

  LineOutcome operator()(bool Settings::*member) const {
    const auto value = ReadBool(text_);
    if (!value) {
      return Ignored("is not true or false");
    }
    settings_.*member = *value;
    return LineOutcome::kStored;
  }
  LineOutcome operator()(int32_t Settings::*member) const { return Integer(member); }
  LineOutcome operator()(uint32_t Settings::*member) const { return Integer(member); }
  LineOutcome operator()(double Settings::*member) const {
    const auto value = ReadDouble(text_);
    if (!value) {
      return Ignored("is not a number");
    }
    const auto limited = Limited(*value);
    if (!limited) {
      return LineOutcome::kIgnored;
    }
    settings_.*member = *limited;
    return LineOutcome::kStored;
  }
  LineOutcome operator()(TimeOfDay Settings::*member) const {
    std::string_view rest = text_;
    const auto hour = ReadInteger(rest);
    const auto minute = hour ? ReadInteger(rest) : std::nullopt;
    const auto second = minute ? ReadInteger(rest) : std::nullopt;
    if (!second) {
      problem_ = std::string(field_.key) + " " + Printable(Trimmed(text_)) +
                 " is not a time of day (hour minute second)";
      return LineOutcome::kIgnored;
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
      problem_ = std::string(field_.key) + " " + Printable(Trimmed(text_)) +
                 " is not a time of day; the lines after it are not read";
      return LineOutcome::kFailed;
    }
    TimeOfDay time;
    time.hour = static_cast<uint8_t>(*hour);
    time.minute = static_cast<uint8_t>(*minute);
    time.second = static_cast<uint8_t>(*second);
    settings_.*member = time;
    return LineOutcome::kStored;
  }
  LineOutcome operator()(std::string Settings::*member) const {
    // The rest of the line verbatim; a NUL byte cannot be part of a path.
    if (text_.size() > kMaxPathLength || text_.find('\0') != std::string_view::npos) {
      problem_ = std::string(field_.key) + " is longer than " + std::to_string(kMaxPathLength) +
                 " characters or holds a NUL byte";
      return LineOutcome::kIgnored;
    }
    settings_.*member = text_;
    return LineOutcome::kStored;
  }

 private:
  LineOutcome Ignored(const char* why) const {
    problem_ = std::string(field_.key) + " " + Shown(text_) + " " + why;
    return LineOutcome::kIgnored;
  }

  template <typename T>
  LineOutcome Integer(T Settings::*member) const {
    std::string_view rest = text_;
    auto value = ReadInteger(rest);
    if (!value) {
      return Ignored("is not a whole number");
    }
    if (field_.below == Outside::kWrap && *value < 0 &&
        *value >= std::numeric_limits<int32_t>::min()) {
      value = *value + (int64_t{1} << 32);
    }
    if (*value < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
        *value > static_cast<int64_t>(std::numeric_limits<T>::max())) {
      return Ignored("is out of range");
    }
    const auto limited = Limited(static_cast<double>(*value));
    if (!limited) {
      return LineOutcome::kIgnored;
    }
    settings_.*member = static_cast<T>(*limited);
    return LineOutcome::kStored;
  }

  // The value within the field's limits, or nullopt when the field refuses it; a clamp or a
  // refusal is told in problem_.
  std::optional<double> Limited(double value) const {
    const bool low = value < field_.low;
    if (!low && value <= field_.high) {
      return value;
    }
    const Outside outside = low ? field_.below : field_.above;
    const std::string shown = std::string(field_.key) + " " + Shown(text_);
    if (outside == Outside::kClamp) {
      const double limit = low ? field_.low : field_.high;
      problem_ = shown + (low ? " is below " : " is above ") + Number(limit) + "; " +
                 Number(limit) + " is used";
      return limit;
    }
    std::string current;
    AppendValue(current, settings_, field_);
    const std::string range = field_.high == kNone ? "below " + Number(field_.low)
                              : field_.low == -kNone
                                  ? "above " + Number(field_.high)
                                  : "outside " + Number(field_.low) + " to " + Number(field_.high);
    problem_ = shown + " is " + range + "; " + std::string(field_.key) + " stays " + current;
    return std::nullopt;
  }

  Settings& settings_;
  const Field& field_;
  std::string_view text_;
  std::string& problem_;
};

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

ConfigReadResult ReadConfiguration(Settings& settings, const std::string& path,
                                   ConfigProblems* problems) {
  ConfigProblems ignored;
  ConfigProblems& said = problems != nullptr ? *problems : ignored;
  const std::string name = std::filesystem::path(path).filename().string();
  // Opened without waiting (a FIFO in its place would wait for a writer forever) and taken only
  // when it is a regular file.
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (const int error = errno; fd.get() < 0) {
    if (error != ENOENT && error != ENOTDIR) {
      said.push_back("The configuration file " + path + " cannot be read (" + std::strerror(error) +
                     "); the defaults are used.");
    }
    return ConfigReadResult::NoFile;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    said.push_back("The configuration file " + path +
                   " is not a regular file; the defaults are used.");
    return ConfigReadResult::NoFile;
  }
  LineReader reader(fd.get());
  std::string line;
  bool overLong = false;
  size_t number = 0;
  size_t unsaid = 0;
  ConfigReadResult result = ConfigReadResult::Ok;
  while (result == ConfigReadResult::Ok && reader.Next(line, overLong)) {
    std::string problem;
    // A byte-order mark (an editor's UTF-8 signature) is no part of the first key.
    std::string_view text(line);
    if (++number == 1 && text.starts_with("\xEF\xBB\xBF")) {
      text.remove_prefix(3);
    }
    const size_t colon = text.find(':');
    const Field* field =
        overLong || colon == std::string::npos ? nullptr : FindField(text.substr(0, colon));
    LineOutcome outcome = LineOutcome::kIgnored;
    if (overLong) {
      // Skipped whole, never cut and never run into the next line.
      problem = "it is longer than " + std::to_string(kMaxLineLength) + " characters";
    } else if (colon == std::string::npos) {
      const bool blank = std::all_of(text.begin(), text.end(), IsBlank);
      problem = blank ? std::string() : "\"" + Printable(text) + "\" is not a key:value line";
    } else if (field == nullptr) {
      // Keys are compared exactly: no blanks trimmed, case counts.
      problem =
          "\"" + Printable(text.substr(0, colon)) + "\" is not a key (keys are case-sensitive)";
    } else {
      outcome =
          std::visit(ValueReader(settings, *field, text.substr(colon + 1), problem), field->member);
      if (outcome == LineOutcome::kFailed) {
        result = ConfigReadResult::Failed;
      }
    }
    if (problem.empty()) {
      continue;
    }
    if (said.size() < kMaxConfigProblems) {
      said.push_back(name + " line " + std::to_string(number) + ": " + problem +
                     (outcome == LineOutcome::kIgnored ? "; the line is ignored." : "."));
    } else {
      ++unsaid;
    }
  }
  if (reader.error() != 0) {
    said.push_back("Reading " + path + " stopped after line " + std::to_string(number) + " (" +
                   std::strerror(reader.error()) + ").");
  }
  if (unsaid > 0) {
    said.push_back("... and " + std::to_string(unsaid) + " more lines of " + name +
                   " are ignored or changed.");
  }
  return result;
}

ConfigReadResult ReadConfiguration(Settings& settings, ConfigProblems* problems) {
  const std::string path = ConfigurationPath();
  if (path.empty()) {
    return ConfigReadResult::NoFile;
  }
  return ReadConfiguration(settings, path, problems);
}

bool SaveConfiguration(const Settings& settings, const std::string& path) {
  const std::string text = FormatConfiguration(settings);
  // Written beside the real file, put on the disk, then renamed over it: a crash or a full disk
  // leaves either the old file or the new one, never a part.
  if (!WriteFileAtomically(path, text, Durability::kSynced)) {
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
