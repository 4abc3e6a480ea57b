#include "base/video_control.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace ombrix {

bool VideoControl::disabled() const {
  return (flags & V4L2_CTRL_FLAG_DISABLED) != 0;
}
bool VideoControl::readOnly() const {
  return (flags & V4L2_CTRL_FLAG_READ_ONLY) != 0;
}
bool VideoControl::grabbed() const {
  return (flags & V4L2_CTRL_FLAG_GRABBED) != 0;
}
bool VideoControl::inactive() const {
  return (flags & V4L2_CTRL_FLAG_INACTIVE) != 0;
}
bool VideoControl::adjustable() const {
  return !disabled() && !readOnly() && !grabbed() && type != VideoControlType::kOther;
}

std::string VideoControl::MenuName(int32_t index) const {
  for (const VideoMenuItem& item : menu) {
    if (item.index == index) {
      return item.name;
    }
  }
  return {};
}

int32_t ClampControlValue(const VideoControl& control, int32_t value) {
  if (control.type == VideoControlType::kBoolean) {
    return value != 0 ? 1 : 0;
  }
  if (!control.menu.empty()) {
    // The nearest listed item; of two equally near, the lower.
    const VideoMenuItem* best = &control.menu.front();
    for (const VideoMenuItem& item : control.menu) {
      if (std::llabs(int64_t{item.index} - value) < std::llabs(int64_t{best->index} - value)) {
        best = &item;
      }
    }
    return best->index;
  }
  const int64_t low = control.minimum;
  const int64_t high = control.maximum;
  const int64_t step = control.step;
  const int64_t within = std::clamp<int64_t>(value, low, high);
  int64_t snapped = low + (within - low + step / 2) / step * step;
  if (snapped > high) {
    snapped -= step;
  }
  return static_cast<int32_t>(snapped);
}

std::string DescribeVideoControl(const VideoControl& control) {
  std::string line = control.name + ": ";
  if (control.type == VideoControlType::kButton) {
    line += "button";
  } else {
    line += control.value ? std::to_string(*control.value) : std::string("?");
    if (control.value && !control.menu.empty()) {
      line += " = " + control.MenuName(*control.value);
    }
    line += " (" + std::to_string(control.minimum) + ".." + std::to_string(control.maximum) +
            ", default " + std::to_string(control.defaultValue) + ")";
  }
  const std::pair<bool, const char*> states[] = {{control.disabled(), " [disabled]"},
                                                 {control.readOnly(), " [read-only]"},
                                                 {control.grabbed(), " [busy]"},
                                                 {control.inactive(), " [inactive]"}};
  for (const auto& [set, text] : states) {
    if (set) {
      line += text;
    }
  }
  return line;
}

}  // namespace ombrix
