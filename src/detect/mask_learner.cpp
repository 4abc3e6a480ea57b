#include "detect/mask_learner.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "capture/frame_ring.h"
#include "media/stills.h"

namespace ombrix {
namespace {

// Sets every pixel within radius (in x and y) of a set pixel of `in`: a square dilation, done as
// a row pass and a column pass.
std::vector<uint8_t> Widen(const std::vector<uint8_t>& in, int radius) {
  if (radius <= 0) {
    return in;
  }
  std::vector<uint8_t> rows(kFrameBytes, 0);
  for (int y = 0; y < kFrameHeight; ++y) {
    const uint8_t* src = in.data() + static_cast<size_t>(y) * kFrameWidth;
    uint8_t* dst = rows.data() + static_cast<size_t>(y) * kFrameWidth;
    for (int x = 0; x < kFrameWidth; ++x) {
      if (src[x] != 0) {
        std::fill(dst + std::max(0, x - radius), dst + std::min(kFrameWidth, x + radius + 1), 1);
      }
    }
  }
  std::vector<uint8_t> out(kFrameBytes, 0);
  for (int y = 0; y < kFrameHeight; ++y) {
    const uint8_t* src = rows.data() + static_cast<size_t>(y) * kFrameWidth;
    for (int ny = std::max(0, y - radius); ny <= std::min(kFrameHeight - 1, y + radius); ++ny) {
      uint8_t* dst = out.data() + static_cast<size_t>(ny) * kFrameWidth;
      for (int x = 0; x < kFrameWidth; ++x) {
        dst[x] |= src[x];
      }
    }
  }
  return out;
}

// A rectangle of pixels, both corners included.
struct Box {
  int x0;
  int y0;
  int x1;
  int y1;
};

// The bounding boxes of the 8-connected groups of set pixels.
std::vector<Box> Groups(const std::vector<uint8_t>& mask) {
  std::vector<Box> boxes;
  std::vector<uint8_t> seen(kFrameBytes, 0);
  std::vector<int> stack;
  for (int start = 0; start < kFrameBytes; ++start) {
    if (mask[start] == 0 || seen[start] != 0) {
      continue;
    }
    Box box{kFrameWidth, kFrameHeight, -1, -1};
    seen[start] = 1;
    stack.push_back(start);
    while (!stack.empty()) {
      const int i = stack.back();
      stack.pop_back();
      const int x = i % kFrameWidth;
      const int y = i / kFrameWidth;
      box = {std::min(box.x0, x), std::min(box.y0, y), std::max(box.x1, x), std::max(box.y1, y)};
      for (int ny = std::max(0, y - 1); ny <= std::min(kFrameHeight - 1, y + 1); ++ny) {
        for (int nx = std::max(0, x - 1); nx <= std::min(kFrameWidth - 1, x + 1); ++nx) {
          const int n = ny * kFrameWidth + nx;
          if (mask[n] != 0 && seen[n] == 0) {
            seen[n] = 1;
            stack.push_back(n);
          }
        }
      }
    }
    boxes.push_back(box);
  }
  return boxes;
}

}  // namespace

MaskLearner::MaskLearner(const MaskLearnerParameters& parameters)
    : parameters_(parameters),
      lit_(std::make_unique<uint8_t[]>(kFrameBytes)),
      inBlock_(std::make_unique<uint8_t[]>(kFrameBytes)),
      blocks_(std::make_unique<uint16_t[]>(kFrameBytes)),
      blocksAlone_(std::make_unique<uint16_t[]>(kFrameBytes)),
      sums_(std::make_unique<uint32_t[]>(kFrameBytes)) {
  parameters_.blockFrames = std::max(parameters_.blockFrames, 1);
}

int MaskLearner::blocksSeen() const {
  return blocksClosed_ + (framesSeen_ % parameters_.blockFrames != 0 ? 1 : 0);
}

void MaskLearner::Add(const uint8_t* cur, const uint8_t* ref, const uint8_t* thresholds) {
  uint8_t* lit = lit_.get();
  for (int i = 0; i < kFrameBytes; ++i) {
    lit[i] = int{cur[i]} - int{ref[i]} - int{thresholds[i]} > 0;
  }
  uint8_t* inBlock = inBlock_.get();
  for (int y = 0; y < kFrameHeight; ++y) {
    const uint8_t* row = lit + static_cast<size_t>(y) * kFrameWidth;
    if (std::memchr(row, 1, kFrameWidth) == nullptr) {
      continue;
    }
    for (int x = 0; x < kFrameWidth; ++x) {
      if (row[x] == 0) {
        continue;
      }
      uint8_t& mark = inBlock[static_cast<size_t>(y) * kFrameWidth + x];
      mark |= 2;
      int neighbours = 0;
      for (int ny = std::max(0, y - 1); ny <= std::min(kFrameHeight - 1, y + 1); ++ny) {
        for (int nx = std::max(0, x - 1); nx <= std::min(kFrameWidth - 1, x + 1); ++nx) {
          neighbours += lit[static_cast<size_t>(ny) * kFrameWidth + nx];
        }
      }
      if (neighbours - 1 >= parameters_.minNeighbours) {
        mark |= 1;
      }
    }
  }
  uint32_t* sums = sums_.get();
  for (int i = 0; i < kFrameBytes; ++i) {
    sums[i] += cur[i];
  }
  ++framesSeen_;
  if (framesSeen_ % parameters_.blockFrames == 0) {
    CloseBlock();
  }
}

void MaskLearner::CloseBlock() {
  for (int i = 0; i < kFrameBytes; ++i) {
    blocks_[i] = static_cast<uint16_t>(std::min(blocks_[i] + (inBlock_[i] & 1), 65535));
    blocksAlone_[i] = static_cast<uint16_t>(std::min(blocksAlone_[i] + (inBlock_[i] >> 1), 65535));
    inBlock_[i] = 0;
  }
  ++blocksClosed_;
}

std::vector<uint8_t> MaskLearner::Propose() const {
  const int seen = blocksSeen();
  std::vector<uint8_t> core(kFrameBytes, 0);
  if (seen == 0 || blocksClosed_ == 0) {
    return core;
  }
  // The block in progress counts as one when the pixel was lit in it.
  const auto blocksOf = [this](int i) { return blocks_[i] + (inBlock_[i] & 1); };
  const auto blocksAloneOf = [this](int i) { return blocksAlone_[i] + (inBlock_[i] >> 1); };
  const auto needed = [&](double share) {
    return std::max(parameters_.minBlocks, static_cast<int>(std::ceil(share * seen)));
  };
  const int neededWith = needed(parameters_.minBlockShare);
  const int neededAlone = needed(parameters_.minBlockShareAlone);
  // Core pixels lit with their neighbours grow into the pixels near them lit with theirs in any
  // block; those lit alone (hot pixels) do not.
  std::vector<uint8_t> alone(kFrameBytes, 0);
  bool any = false;
  for (int i = 0; i < kFrameBytes; ++i) {
    core[i] = blocksOf(i) >= neededWith;
    alone[i] = blocksAloneOf(i) >= neededAlone;
    any = any || core[i] != 0 || alone[i] != 0;
  }
  if (!any) {
    return core;
  }
  const std::vector<uint8_t> near = Widen(core, parameters_.growRadius);
  std::vector<uint8_t> grown(kFrameBytes, 0);
  for (int i = 0; i < kFrameBytes; ++i) {
    grown[i] = (near[i] != 0 && blocksOf(i) >= 1) || alone[i] != 0;
  }
  CompleteCaptions(grown);
  return Widen(grown, parameters_.widenRadius);
}

std::vector<uint8_t> MaskLearner::MeanFrame() const {
  std::vector<uint8_t> mean(kFrameBytes, 0);
  for (int i = 0; framesSeen_ > 0 && i < kFrameBytes; ++i) {
    mean[i] = static_cast<uint8_t>(sums_[i] / framesSeen_);
  }
  return mean;
}

void MaskLearner::CompleteCaptions(std::vector<uint8_t>& mask) const {
  const MaskLearnerParameters& p = parameters_;
  const std::vector<uint8_t> mean = MeanFrame();
  for (const Box& box : Groups(mask)) {
    const bool nearEdge = box.y0 < p.captionMargin || box.y1 >= kFrameHeight - p.captionMargin;
    if (!nearEdge || box.y1 - box.y0 + 1 > p.captionHeight) {
      continue;
    }
    // A column shows text when its brightness varies enough over the caption's rows.
    const auto text = [&](int x) {
      int low = 255, high = 0;
      for (int y = box.y0; y <= box.y1; ++y) {
        const int v = mean[static_cast<size_t>(y) * kFrameWidth + x];
        low = std::min(low, v);
        high = std::max(high, v);
      }
      return high - low >= p.captionContrast;
    };
    const auto reach = [&](int from, int step) {
      int last = from;
      for (int x = from + step, gap = 0; x >= 0 && x < kFrameWidth && gap <= p.captionGap;
           x += step) {
        if (text(x)) {
          last = x;
          gap = 0;
        } else {
          ++gap;
        }
      }
      return last;
    };
    const int x0 = reach(box.x0, -1);
    const int x1 = reach(box.x1, +1);
    for (int y = box.y0; y <= box.y1; ++y) {
      std::fill(mask.begin() + y * kFrameWidth + x0, mask.begin() + y * kFrameWidth + x1 + 1, 1);
    }
  }
}

bool WriteMaskImage(const std::string& path, const uint8_t* mask, const uint8_t* background) {
  std::array<uint32_t, 256> colours{};
  for (uint32_t v = 0; v < 255; ++v) {
    colours[v] = v << 16 | v << 8 | v;
  }
  colours[255] = 0xFF0000;
  std::vector<uint8_t> image(kFrameBytes);
  for (int i = 0; i < kFrameBytes; ++i) {
    image[i] = mask[i] != 0 ? uint8_t{255} : std::min(background[i], uint8_t{254});
  }
  return WriteColourStill(path, image.data(), colours);
}

}  // namespace ombrix
