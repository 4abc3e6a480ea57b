#include "config/settings.h"

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

}  // namespace ombrix
