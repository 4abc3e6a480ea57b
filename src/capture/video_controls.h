#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/video_control.h"
#include "capture/v4l2_device.h"

namespace ombrix {

// The controls of the device open at fd, in the device's order, without the headings that only
// group them. Walks the device with V4L2_CTRL_FLAG_NEXT_CTRL, or, for a driver that does not
// know that flag, the user control ids and then the driver's private ones. Values are read with
// VIDIOC_G_CTRL, menu items with VIDIOC_QUERYMENU.
std::vector<VideoControl> QueryVideoControls(V4l2Device& device, int fd);
// The one control id; nullopt with *error set (errno) when the device does not have it.
std::optional<VideoControl> QueryVideoControl(V4l2Device& device, int fd, uint32_t id, int* error);

}  // namespace ombrix
