#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "capture/frame_ring.h"

namespace ombrix {

// The per-pixel threshold table: one byte per pixel of the 640x480 frame in frame order, the
// brightness change the pixel must exceed before it counts. Unmasked pixels hold the low byte of
// the threshold setting; pixels masked out by the mask image hold 255, which no change of an
// 8-bit pixel can exceed.
//
// A rebuild fills a new table aside and then publishes it with one atomic exchange, so the
// detection thread sees either the old or the new table, never one half built. A reader takes a
// Table handle (Current()) for the duration of a frame; the handle keeps that table alive even
// when a rebuild replaces it meanwhile.
class ThresholdMap {
 public:
  using Table = std::array<uint8_t, kFrameBytes>;

  ThresholdMap() = default;
  ThresholdMap(const ThresholdMap&) = delete;
  ThresholdMap& operator=(const ThresholdMap&) = delete;

  // Builds a table from the threshold and the mask image and publishes it. A pixel is masked when
  // its colour as displayed is a strong red: red > 200, green < 50, blue < 50. An empty or
  // missing mask file, one that cannot be decoded or one that is not exactly 640x480 masks
  // nothing. Builds may come from any thread; they are serialised.
  void Build(int32_t threshold, const std::string& maskFile);

  // The current table; null before the first Build.
  std::shared_ptr<const Table> Current() const { return current_.load(std::memory_order_acquire); }

 private:
  std::mutex buildMutex_;
  std::atomic<std::shared_ptr<const Table>> current_;
};

}  // namespace ombrix
