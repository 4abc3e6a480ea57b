#pragma once

// Frames and movies for tests, copied, written and counted with the station's own ring, writer
// and reader.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "capture/frame_ring.h"
#include "media/movie_reader.h"
#include "media/movie_writer.h"

namespace ombrix::test {

// Frame n of the ring and its capture time, copied out; empty pixels when it is not there.
struct FrameCopy {
  std::vector<uint8_t> pixels;
  UtcTime stamp;
};
inline FrameCopy CopyOfFrame(const FrameRing& ring, uint64_t n) {
  FrameCopy copy{std::vector<uint8_t>(kFrameBytes), {}};
  if (!ring.CopyFrame(n, copy.pixels.data(), &copy.stamp)) {
    copy.pixels.clear();
  }
  return copy;
}

// The frames of a movie that decode.
inline int MovieFrames(const std::filesystem::path& path) {
  MovieReader reader(path.string());
  std::vector<uint8_t> frame(kFrameBytes);
  int frames = 0;
  while (reader.readFrame(frame.data())) {
    ++frames;
  }
  return frames;
}

// A dark, slightly noisy movie of the given frames; draw adds the bright parts of frame n.
inline void WriteSky(const std::string& path, int frames, uint32_t seed,
                     const std::function<void(int n, std::vector<uint8_t>& frame)>& draw) {
  MovieWriter writer(path);
  ASSERT_TRUE(writer.ready());
  std::vector<uint8_t> frame(kFrameBytes);
  for (int n = 0; n < frames; ++n) {
    for (auto& pixel : frame) {
      seed = seed * 1664525u + 1013904223u;
      pixel = static_cast<uint8_t>(18 + (seed >> 30));
    }
    draw(n, frame);
    writer.WriteFrame(frame.data(), false);
  }
  ASSERT_TRUE(writer.Close());
}

inline void FillBox(std::vector<uint8_t>& frame, int x0, int y0, int width, int height,
                    uint8_t level) {
  for (int y = y0; y < y0 + height; ++y) {
    std::fill_n(frame.begin() + y * kFrameWidth + x0, width, level);
  }
}

// 120 frames per streak plus 120; an 8 x 8 streak in the 20 frames from each start.
inline void WriteStreakMovie(const std::string& path, const std::vector<int>& starts = {120}) {
  WriteSky(path, 120 * static_cast<int>(starts.size() + 1), 12345, [&](int n, auto& frame) {
    for (const int start : starts) {
      if (n >= start && n < start + 20) {
        FillBox(frame, 100 + 12 * (n - start), 200 + 3 * (n - start), 8, 8, 230);
      }
    }
  });
}

}  // namespace ombrix::test
