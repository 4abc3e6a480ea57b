#include "web/json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace ombrix {
namespace {

constexpr int kDeepest = 32;

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::optional<JsonValue> Document() {
    std::optional<JsonValue> value = Value(0);
    Blanks();
    return value && at_ == text_.size() ? value : std::nullopt;
  }

 private:
  void Blanks() {
    while (at_ < text_.size() && std::string_view(" \t\r\n").find(text_[at_]) != npos) {
      ++at_;
    }
  }
  bool Take(char c) {
    Blanks();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool Word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) {
      return false;
    }
    at_ += word.size();
    return true;
  }

  std::optional<JsonValue> Value(int depth) {
    Blanks();
    if (depth > kDeepest || at_ >= text_.size()) {
      return std::nullopt;
    }
    const char c = text_[at_];
    if (c == '{' || c == '[') {
      return c == '{' ? ObjectValue(depth) : ArrayValue(depth);
    }
    if (c == '"') {
      std::optional<std::string> s = String();
      return s ? std::optional<JsonValue>(JsonValue{std::move(*s)}) : std::nullopt;
    }
    if (Word("true") || Word("false")) {
      return JsonValue{c == 't'};
    }
    if (Word("null")) {
      return JsonValue{nullptr};
    }
    const size_t end = text_.find_first_not_of("+-0123456789.eE", at_);
    const std::string number(text_.substr(at_, end == npos ? npos : end - at_));
    char* last = nullptr;
    const double value = std::strtod(number.c_str(), &last);
    if (number.empty() || last != number.c_str() + number.size() || !std::isfinite(value)) {
      return std::nullopt;
    }
    at_ += number.size();
    return JsonValue{value};
  }

  std::optional<JsonValue> ArrayValue(int depth) {
    ++at_;
    JsonValue::Array array;
    if (Take(']')) {
      return JsonValue{std::move(array)};
    }
    do {
      std::optional<JsonValue> item = Value(depth + 1);
      if (!item) {
        return std::nullopt;
      }
      array.push_back(std::move(*item));
    } while (Take(','));
    return Take(']') ? std::optional<JsonValue>(JsonValue{std::move(array)}) : std::nullopt;
  }

  std::optional<JsonValue> ObjectValue(int depth) {
    ++at_;
    JsonValue::Object object;
    if (Take('}')) {
      return JsonValue{std::move(object)};
    }
    do {
      Blanks();
      std::optional<std::string> name = String();
      if (!name || !Take(':')) {
        return std::nullopt;
      }
      std::optional<JsonValue> item = Value(depth + 1);
      if (!item) {
        return std::nullopt;
      }
      object.insert_or_assign(std::move(*name), std::move(*item));
    } while (Take(','));
    return Take('}') ? std::optional<JsonValue>(JsonValue{std::move(object)}) : std::nullopt;
  }

  // A string; \u escapes of the Basic Latin range only (what the station's requests need).
  std::optional<std::string> String() {
    if (at_ >= text_.size() || text_[at_] != '"') {
      return std::nullopt;
    }
    std::string out;
    for (++at_; at_ < text_.size(); ++at_) {
      const char c = text_[at_];
      if (c == '"') {
        ++at_;
        return out;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        return std::nullopt;
      }
      if (c != '\\') {
        out += c;
        continue;
      }
      if (++at_ >= text_.size()) {
        return std::nullopt;
      }
      static constexpr std::string_view kFrom = "\"\\/bfnrt", kTo = "\"\\/\b\f\n\r\t";
      const size_t which = kFrom.find(text_[at_]);
      if (which != npos) {
        out += kTo[which];
      } else if (text_[at_] == 'u' && at_ + 4 < text_.size()) {
        const std::string hex(text_.substr(at_ + 1, 4));
        char* last = nullptr;
        const long code = std::strtol(hex.c_str(), &last, 16);
        if (last != hex.c_str() + 4 || code >= 0x80) {
          return std::nullopt;
        }
        out += static_cast<char>(code);
        at_ += 4;
      } else {
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  static constexpr size_t npos = std::string_view::npos;
  std::string_view text_;
  size_t at_ = 0;
};

}  // namespace

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) {
    return "null";
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

JsonObject& JsonObject::Raw(std::string_view name, std::string_view json) {
  if (text_.size() > 1) {
    text_ += ',';
  }
  text_ += JsonString(name);
  text_ += ':';
  text_ += json;
  return *this;
}

JsonObject& JsonObject::Text(std::string_view name, std::string_view value) {
  return Raw(name, JsonString(value));
}

JsonObject& JsonObject::Number(std::string_view name, double value) {
  return Raw(name, JsonNumber(value));
}

JsonObject& JsonObject::Whole(std::string_view name, int64_t value) {
  return Raw(name, std::to_string(value));
}

JsonObject& JsonObject::Flag(std::string_view name, bool value) {
  return Raw(name, value ? "true" : "false");
}

std::string JsonArray(const std::vector<std::string>& values) {
  std::string out = "[";
  for (size_t i = 0; i < values.size(); ++i) {
    out += (i > 0 ? "," : "") + values[i];
  }
  return out + "]";
}

const JsonValue* JsonValue::Field(std::string_view name) const {
  const Object* object = std::get_if<Object>(&value);
  if (object == nullptr) {
    return nullptr;
  }
  const auto it = object->find(name);
  return it == object->end() ? nullptr : &it->second;
}

std::optional<JsonValue> ParseJson(std::string_view text) {
  return Reader(text).Document();
}

}  // namespace ombrix
