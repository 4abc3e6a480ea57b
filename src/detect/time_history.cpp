#include "detect/time_history.h"

#include <charconv>
#include <cstring>
#include <string_view>
#include <system_error>

namespace ombrix {
namespace {

// Appends text to a line, right-aligned to a minimum width.
class LineBuilder {
 public:
  LineBuilder(char* out, size_t size) : out_(out), size_(size) {}

  void Text(std::string_view text) {
    if (fits(text.size())) {
      std::memcpy(out_ + length_, text.data(), text.size());
    }
    length_ += text.size();
  }
  void Int(int32_t value, size_t width) {
    char digits[16];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    Padded(std::string_view(digits, static_cast<size_t>(result.ptr - digits)), width);
  }
  void Fixed(double value, int precision, size_t width) {
    char digits[400];  // enough for any double in fixed notation
    const auto result =
        std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, precision);
    if (result.ec != std::errc()) {
      failed_ = true;
      return;
    }
    Padded(std::string_view(digits, static_cast<size_t>(result.ptr - digits)), width);
  }
  void Fail() { failed_ = true; }
  // The line length, or 0 when it did not fit (a NUL is written after the line when it fits).
  int Finish() {
    if (failed_ || !fits(1)) {
      if (size_ > 0) {
        out_[0] = '\0';
      }
      return 0;
    }
    out_[length_] = '\0';
    return static_cast<int>(length_);
  }

 private:
  bool fits(size_t extra) const { return length_ + extra <= size_; }
  void Padded(std::string_view text, size_t width) {
    for (size_t n = text.size(); n < width; ++n) {
      Text(" ");
    }
    Text(text);
  }

  char* out_;
  size_t size_;
  size_t length_ = 0;
  bool failed_ = false;
};

void FormatRow(LineBuilder& line, const TimeHistoryRow& row) {
  char stamp[kStampLength + 1];
  if (!FormatStamp(row.time, stamp)) {
    line.Fail();
    return;
  }
  line.Text(stamp);
  line.Text(",");
  line.Int(row.pixelCount, 6);
  line.Text(",");
  line.Int(row.excessSum, 8);
  line.Text(",");
  line.Fixed(row.centroidX, 1, 6);
  line.Text(",");
  line.Fixed(row.centroidY, 1, 6);
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

const char* SkipSpace(const char* p) {
  while (IsSpace(*p)) {
    ++p;
  }
  return p;
}

// The numeric conversions of the line: leading blanks and a '+' sign are accepted as scanf
// accepts them; a value outside the target type fails the line.
template <typename T>
const char* ReadNumber(const char* p, T& value) {
  p = SkipSpace(p);
  if (*p == '+' && p[1] != '-') {
    ++p;
  }
  const auto result = std::from_chars(p, p + std::strlen(p), value);
  return result.ec == std::errc() ? result.ptr : nullptr;
}

const char* Expect(const char* p, char c) {
  return (p != nullptr && *p == c) ? p + 1 : nullptr;
}

}  // namespace

int FormatTimeHistoryLine(char* out, size_t size, const TimeHistoryRow& row) {
  LineBuilder line(out, size);
  FormatRow(line, row);
  return line.Finish();
}

int FormatEventTimeHistoryLine(char* out, size_t size, const TimeHistoryRow& row, double azimuth,
                               double elevation) {
  LineBuilder line(out, size);
  FormatRow(line, row);
  line.Text(",");
  line.Fixed(azimuth, 2, 7);
  line.Text(",");
  line.Fixed(elevation, 2, 7);
  return line.Finish();
}

namespace {

// Appends CR LF to a formatted line (length 0: it did not fit) and writes it.
bool WriteCrLf(std::FILE* file, char* text, int length) {
  if (length <= 0) {
    return false;
  }
  text[length] = '\r';
  text[length + 1] = '\n';
  const size_t bytes = static_cast<size_t>(length) + 2;
  return std::fwrite(text, 1, bytes, file) == bytes;
}

// Room for the longest line either formatter makes, its CR LF and the formatter's NUL.
constexpr size_t kLineBuffer = 160;

}  // namespace

bool WriteTimeHistoryLine(std::FILE* file, const TimeHistoryRow& row) {
  char text[kLineBuffer];
  return WriteCrLf(file, text, FormatTimeHistoryLine(text, sizeof text - 2, row));
}

bool WriteEventTimeHistoryLine(std::FILE* file, const TimeHistoryRow& row, double azimuth,
                               double elevation) {
  char text[kLineBuffer];
  return WriteCrLf(file, text,
                   FormatEventTimeHistoryLine(text, sizeof text - 2, row, azimuth, elevation));
}

bool ParseTimeHistoryLine(const char* line, TimeHistoryRow& row) {
  if (line == nullptr) {
    return false;
  }
  const char* p = SkipSpace(line);
  if (strnlen(p, kStampLength) != kStampLength) {
    return false;
  }
  const std::optional<UtcTime> time = ParseStamp(std::string_view(p, kStampLength));
  if (!time) {
    return false;
  }
  row.time = *time;
  p += kStampLength;

  p = Expect(p, ',');
  p = p ? ReadNumber(p, row.pixelCount) : nullptr;
  p = Expect(p, ',');
  p = p ? ReadNumber(p, row.excessSum) : nullptr;
  p = Expect(p, ',');
  p = p ? ReadNumber(p, row.centroidX) : nullptr;
  p = Expect(p, ',');
  p = p ? ReadNumber(p, row.centroidY) : nullptr;
  return p != nullptr;
}

}  // namespace ombrix
