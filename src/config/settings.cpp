#include "config/settings.h"

#include <unistd.h>

#include <climits>

namespace ombrix {

SharedSettings::SharedSettings(Settings initial)
    : current_(std::make_shared<const Settings>(std::move(initial))) {}

std::shared_ptr<const Settings> SharedSettings::Get() const {
  std::lock_guard lock(mutex_);
  return current_;
}

SharedSettings::Change SharedSettings::Update(const SettingsEdit& edit) {
  std::lock_guard updating(updating_);
  Change change;
  change.before = Get();
  auto after = std::make_shared<Settings>(*change.before);
  edit(*after);
  change.after = std::move(after);
  std::lock_guard lock(mutex_);
  current_ = change.after;
  return change;
}

std::string StationName(const Settings& settings) {
  std::string name = settings.stationName;
  if (name.empty()) {
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) == 0) {
      name = host;
    }
  }
  std::string kept;
  for (const char c : name) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.') {
      kept.push_back(c);
    }
  }
  // "." and ".." would name no folder of their own.
  return kept.empty() || kept == "." || kept == ".." ? "station" : kept;
}

}  // namespace ombrix
