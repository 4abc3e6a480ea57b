#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ombrix {

struct MaskLearnerParameters {
  // Time is cut into blocks of this many frames (about a second); what counts is in how many
  // blocks a pixel was lit, so that one long passage (a slow fireball and its glare) weighs as
  // one block however many frames it lasts.
  int blockFrames = 30;
  // A pixel is a core pixel of the mask when it was lit in at least this many blocks and in at
  // least this share of all blocks seen.
  int minBlocks = 3;
  double minBlockShare = 0.25;
  // A lit pixel counts only when at least this many of its 8 neighbours are lit too (single
  // pixels of noise do not build a mask)...
  int minNeighbours = 2;
  // ...unless it was lit, alone or not, in at least this share of the blocks (a hot pixel).
  double minBlockShareAlone = 0.75;
  // Pixels lit with their neighbours in at least one block within this many pixels (in x and y)
  // of a core pixel lit with its neighbours join it: the seldom changing parts of a clock's
  // digits beside the ever changing ones.
  int growRadius = 6;
  // A burned-in caption (a clock, a date, a station name) is a line of text along the top or
  // bottom edge of which only some characters change while learning: a masked group within
  // captionMargin pixels of that edge and at most captionHeight high is extended left and right
  // along its rows as far as the mean picture shows text there (columns whose brightness varies
  // by at least captionContrast over those rows, with gaps of at most captionGap), and the whole
  // line is masked.
  int captionMargin = 32;
  int captionHeight = 24;
  int captionContrast = 20;
  int captionGap = 16;
  // Finally every masked pixel is widened by this many pixels (the blur and compression halo
  // around a digit or a lamp).
  int widenRadius = 2;
};

// Learns a mask from the sky: pixels that brighten past their threshold again and again at the
// same place (burned-in clocks, blinking lights, a flapping branch, a flickering hot pixel) are
// masked, while a meteor, which lights each pixel of its track once, is not. It is fed the same
// pairs of 640x480 frames the detection pass compares (a frame and the one triggerGap earlier)
// with the threshold table to compare them through (255 = already masked).
//
// One thread uses an instance; Add allocates nothing.
class MaskLearner {
 public:
  explicit MaskLearner(const MaskLearnerParameters& parameters = {});
  MaskLearner(const MaskLearner&) = delete;
  MaskLearner& operator=(const MaskLearner&) = delete;

  void Add(const uint8_t* cur, const uint8_t* ref, const uint8_t* thresholds);

  int64_t framesSeen() const { return framesSeen_; }
  // Blocks begun so far (the last one may be incomplete).
  int blocksSeen() const;

  // The proposed mask, one byte a pixel in frame order: 1 masked, 0 not. Nothing is masked
  // before a whole block has been seen.
  std::vector<uint8_t> Propose() const;

  // The mean of the frames added (640x480; up to 16 million frames), to show under the mask.
  std::vector<uint8_t> MeanFrame() const;

 private:
  void CloseBlock();
  void CompleteCaptions(std::vector<uint8_t>& mask) const;

  MaskLearnerParameters parameters_;
  std::unique_ptr<uint8_t[]> lit_;  // this frame: over the threshold
  // This block: bit 0 lit with enough lit neighbours, bit 1 lit at all.
  std::unique_ptr<uint8_t[]> inBlock_;
  std::unique_ptr<uint16_t[]> blocks_;       // blocks in which the pixel was lit with neighbours
  std::unique_ptr<uint16_t[]> blocksAlone_;  // blocks in which the pixel was lit at all
  std::unique_ptr<uint32_t[]> sums_;         // of the frames' brightness
  int64_t framesSeen_ = 0;
  int blocksClosed_ = 0;
};

// Writes a mask as an image the station reads as one (PNG or JPEG by the extension; PNG keeps the
// colours exact): masked pixels strong red (255, 0, 0), the others the grey of `background`
// (at most 254, never red), so the operator can see what was masked and touch it up. The file is
// whole or absent. False when it could not be written.
bool WriteMaskImage(const std::string& path, const uint8_t* mask, const uint8_t* background);

}  // namespace ombrix
