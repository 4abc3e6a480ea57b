#pragma once

#include <chrono>
#include <cstdint>
#include <ratio>

namespace ombrix {

// A frame: 640x480 bytes of 8-bit brightness, row-major, top row first, row stride 640.
inline constexpr int kFrameWidth = 640;
inline constexpr int kFrameHeight = 480;
inline constexpr int kFrameBytes = kFrameWidth * kFrameHeight;  // 307200

// An archive clip: this many consecutive frames, about a second of video.
inline constexpr int kClipFrames = 30;

// The camera's frame period, 1001/30000 s: 30000/1001 (about 29.97) frames a second.
using FramePeriod = std::chrono::duration<int64_t, std::ratio<1001, 30000>>;
inline constexpr FramePeriod kFramePeriod{1};
inline constexpr double kFramesPerSecond =
    static_cast<double>(FramePeriod::period::den) / FramePeriod::period::num;

// The spacing the file formats and the time readout assume between frames: the frames of a clip
// without a detection log are taken to be this far apart, and the time shown during an archive
// replay advances by this much a frame.
inline constexpr std::chrono::milliseconds kNominalFrameSpacing{33};

}  // namespace ombrix
