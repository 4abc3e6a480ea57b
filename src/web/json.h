#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "base/json.h"

namespace ombrix {

// The JSON the web page answers with, written field by field (strings by JsonString).
std::string JsonNumber(double value);  // null when not finite

// One object, its fields in the order added. Each adder takes its kind by name, so that a string
// literal never turns into a bool.
class JsonObject {
 public:
  JsonObject& Text(std::string_view name, std::string_view value);
  JsonObject& Number(std::string_view name, double value);
  JsonObject& Whole(std::string_view name, int64_t value);
  JsonObject& Flag(std::string_view name, bool value);
  JsonObject& Raw(std::string_view name, std::string_view json);  // null, an array, an object
  std::string Close() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

// "[a,b,...]" of values already written.
std::string JsonArray(const std::vector<std::string>& values);

// A JSON value as read from a request body (and by the tests from the answers).
struct JsonValue {
  using Array = std::vector<JsonValue>;
  using Object = std::map<std::string, JsonValue, std::less<>>;
  std::variant<std::nullptr_t, bool, double, std::string, Array, Object> value;

  const JsonValue* Field(std::string_view name) const;  // null unless an object holding name
  const std::string* AsText() const { return std::get_if<std::string>(&value); }
  const double* AsNumber() const { return std::get_if<double>(&value); }
  const Array* AsArray() const { return std::get_if<Array>(&value); }
};

// The value of text (the whole of it, blanks around allowed); nullopt when it is not JSON or
// nests deeper than 32 levels.
std::optional<JsonValue> ParseJson(std::string_view text);

}  // namespace ombrix
