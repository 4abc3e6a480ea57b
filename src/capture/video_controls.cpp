#include "capture/video_controls.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ombrix {

namespace {

// Past the last private control of a driver that counts them without end.
constexpr uint32_t kMaxPrivateControls = 256;

std::string TextOf(const uint8_t* text, size_t size) {
  const char* chars = reinterpret_cast<const char*>(text);
  return std::string(chars, strnlen(chars, size));
}

VideoControlType TypeOf(uint32_t type) {
  switch (type) {
    case V4L2_CTRL_TYPE_INTEGER:
      return VideoControlType::kInteger;
    case V4L2_CTRL_TYPE_BOOLEAN:
      return VideoControlType::kBoolean;
    case V4L2_CTRL_TYPE_MENU:
      return VideoControlType::kMenu;
    case V4L2_CTRL_TYPE_INTEGER_MENU:
      return VideoControlType::kIntegerMenu;
    case V4L2_CTRL_TYPE_BUTTON:
      return VideoControlType::kButton;
    default:
      return VideoControlType::kOther;
  }
}

bool HasValue(const VideoControl& control) {
  return control.type != VideoControlType::kButton && control.type != VideoControlType::kOther &&
         (control.flags & V4L2_CTRL_FLAG_WRITE_ONLY) == 0;
}

// The description, menu and value of the control the device answered a query with.
VideoControl Describe(V4l2Device& device, int fd, const v4l2_queryctrl& query) {
  VideoControl control;
  control.id = query.id;
  control.name = TextOf(query.name, sizeof query.name);
  control.type = TypeOf(query.type);
  control.minimum = query.minimum;
  control.maximum = std::max(query.maximum, query.minimum);
  control.step = std::max(query.step, 1);
  control.defaultValue = query.default_value;
  control.flags = query.flags;
  if (control.type == VideoControlType::kMenu || control.type == VideoControlType::kIntegerMenu) {
    // Items the driver skips (a gap in the menu) answer EINVAL and are left out.
    for (int64_t index = control.minimum; index <= control.maximum; ++index) {
      v4l2_querymenu item{};
      item.id = control.id;
      item.index = static_cast<uint32_t>(index);
      if (device.Ioctl(fd, VIDIOC_QUERYMENU, &item) != 0) {
        continue;
      }
      control.menu.push_back(VideoMenuItem{
          static_cast<int32_t>(index), control.type == VideoControlType::kMenu
                                           ? TextOf(item.name, sizeof item.name)
                                           : std::to_string(static_cast<long long>(item.value))});
    }
  }
  if (HasValue(control)) {
    v4l2_control value{};
    value.id = control.id;
    if (device.Ioctl(fd, VIDIOC_G_CTRL, &value) == 0) {
      control.value = value.value;
    }
  }
  return control;
}

// Fills `query` for this id; 0 or the errno of the refusal.
int Query(V4l2Device& device, int fd, uint32_t id, v4l2_queryctrl& query) {
  query = v4l2_queryctrl{};
  query.id = id;
  return device.Ioctl(fd, VIDIOC_QUERYCTRL, &query);
}

}  // namespace

std::vector<VideoControl> QueryVideoControls(V4l2Device& device, int fd) {
  std::vector<VideoControl> controls;
  auto add = [&](const v4l2_queryctrl& query) {
    if (query.type != V4L2_CTRL_TYPE_CTRL_CLASS) {
      controls.push_back(Describe(device, fd, query));
    }
  };
  v4l2_queryctrl query{};
  if (Query(device, fd, V4L2_CTRL_FLAG_NEXT_CTRL, query) == 0) {
    uint32_t previous = 0;
    do {
      if (query.id <= previous) {
        break;  // a driver that does not move on would hold us here for ever
      }
      previous = query.id;
      add(query);
    } while (Query(device, fd, previous | V4L2_CTRL_FLAG_NEXT_CTRL, query) == 0);
    return controls;
  }
  // An old driver: every user control id in turn, then the private ones up to the first refusal.
  for (uint32_t id = V4L2_CID_BASE; id < V4L2_CID_LASTP1; ++id) {
    if (Query(device, fd, id, query) == 0) {
      add(query);
    }
  }
  for (uint32_t id = V4L2_CID_PRIVATE_BASE; id < V4L2_CID_PRIVATE_BASE + kMaxPrivateControls;
       ++id) {
    if (Query(device, fd, id, query) != 0) {
      break;
    }
    add(query);
  }
  return controls;
}

std::optional<VideoControl> QueryVideoControl(V4l2Device& device, int fd, uint32_t id, int* error) {
  v4l2_queryctrl query{};
  const int refused = Query(device, fd, id, query);
  if (refused == 0 && query.type == V4L2_CTRL_TYPE_CTRL_CLASS) {
    *error = EINVAL;  // a heading, not a control
    return std::nullopt;
  }
  if (refused != 0) {
    *error = refused;
    return std::nullopt;
  }
  *error = 0;
  return Describe(device, fd, query);
}

}  // namespace ombrix
