#include "capture/capture_source.h"

namespace ombrix {

std::optional<SourceChoice> ParseSourceChoice(const std::string& text) {
  if (text == "device") {
    return SourceChoice{SourceChoice::Kind::kDevice, {}};
  }
  if (text == "sim") {
    return SourceChoice{SourceChoice::Kind::kSimulated, {}};
  }
  constexpr std::string_view kFile = "file:";
  if (text.size() > kFile.size() && text.compare(0, kFile.size(), kFile) == 0) {
    return SourceChoice{SourceChoice::Kind::kFile, text.substr(kFile.size())};
  }
  return std::nullopt;
}

}  // namespace ombrix
