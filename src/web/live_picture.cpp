#include "web/live_picture.h"

#include "base/frame.h"
#include "review/web_views.h"
#include "station/station.h"

namespace ombrix {

LivePicture::LivePicture(const Station& station) : station_(station), frame_(kFrameBytes) {}

LivePicture::Jpeg LivePicture::Get() {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (jpeg_ && now - encodedAt_ < kTick) {
    return jpeg_;
  }
  const uint64_t stored = station_.FramesStored();
  UtcTime stamp{};
  if ((!jpeg_ || stored != framesAt_) && station_.CopyNewestFrame(frame_.data(), &stamp)) {
    std::vector<uint8_t> bytes = GreyJpeg(frame_.data(), kFrameWidth, kFrameHeight);
    if (!bytes.empty()) {
      jpeg_ = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
      framesAt_ = stored;
    }
  }
  encodedAt_ = now;
  return jpeg_;
}

}  // namespace ombrix
