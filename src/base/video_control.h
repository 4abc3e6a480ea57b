#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ombrix {

// How a control is adjusted.
enum class VideoControlType {
  kInteger,      // a value in minimum..maximum, in steps of step
  kBoolean,      // 0 or 1
  kMenu,         // one of the named items
  kIntegerMenu,  // one of the items, each naming a number
  kButton,       // an action: setting it runs it, it has no value
  kOther,        // 64-bit, string, bit mask or compound: listed, not adjustable here
};

struct VideoMenuItem {
  int32_t index = 0;  // the value the control takes
  std::string name;   // the item's name, or its number for an integer menu
};

// One control of a capture device (brightness, contrast, exposure, ...) as the device describes
// it, with its value when it was listed.
struct VideoControl {
  uint32_t id = 0;
  std::string name;
  VideoControlType type = VideoControlType::kOther;
  int32_t minimum = 0;
  int32_t maximum = 0;
  int32_t step = 1;
  int32_t defaultValue = 0;
  std::optional<int32_t> value = {};  // none for a button, or when the device would not say
  std::vector<VideoMenuItem> menu = {};
  uint32_t flags = 0;  // V4L2_CTRL_FLAG_*

  bool disabled() const;
  bool readOnly() const;
  // Busy: another user (a running stream) holds it for now.
  bool grabbed() const;
  // Has no effect in the present state of other controls (an exposure time while the exposure
  // is automatic); it may still be set.
  bool inactive() const;
  // Whether a value can be set now.
  bool adjustable() const;
  // The name of the menu item with this index; empty when there is none.
  std::string MenuName(int32_t index) const;
};

// The value nearest to `value` that the control accepts: within minimum..maximum, on the grid of
// step from minimum; 0 or 1 for a boolean; a listed item for a menu.
int32_t ClampControlValue(const VideoControl& control, int32_t value);

// One line for a listing: "Brightness: 128 (0..255, default 128)", with the item's name for a
// menu ("Power Line Frequency: 1 = 50 Hz (0..2, default 1)") and the state of a control that
// cannot be used as it stands ("[inactive]").
std::string DescribeVideoControl(const VideoControl& control);

}  // namespace ombrix
