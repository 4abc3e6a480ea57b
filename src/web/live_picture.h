#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace ombrix {

class Station;

// The newest frame as JPEG for however many watchers: encoded at most once per kTick, on the
// thread of the first request that finds the last encoding too old, and shared by everyone
// asking meanwhile. Any thread.
class LivePicture {
 public:
  static constexpr std::chrono::milliseconds kTick{500};
  using Jpeg = std::shared_ptr<const std::vector<uint8_t>>;

  explicit LivePicture(const Station& station);

  // The newest frame's JPEG; null before the first frame.
  Jpeg Get();

 private:
  const Station& station_;
  std::mutex mutex_;
  std::vector<uint8_t> frame_;  // the copy encoded from
  Jpeg jpeg_;
  std::chrono::steady_clock::time_point encodedAt_{};
  uint64_t framesAt_ = 0;  // frames stored when it was encoded
};

}  // namespace ombrix
