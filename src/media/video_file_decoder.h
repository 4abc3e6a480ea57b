#pragma once

#include <cstdint>
#include <string>

#include "base/frame.h"
#include "media/ffmpeg_ptr.h"

struct AVCodec;

namespace ombrix {

// Reads any video file FFmpeg understands picture by picture, scaled to the station's 640x480
// frame, with each picture's presentation time. Used to feed a recorded night through the
// station as if it came from the camera.
//
// Not copyable; one thread. Ownership: the format context, decoder context, picture, packet and
// scaler are owned here (the stream belongs to the format context).
class VideoFileDecoder {
 public:
  enum class Layout {
    kGrey,  // 640 bytes a row, one brightness byte per pixel (307200 bytes)
    kYuyv,  // 1280 bytes a row, Y0 U Y1 V (614400 bytes), the camera's sample layout
  };

  VideoFileDecoder(const std::string& path, Layout layout);
  ~VideoFileDecoder();
  VideoFileDecoder(const VideoFileDecoder&) = delete;
  VideoFileDecoder& operator=(const VideoFileDecoder&) = delete;

  // The file could not be opened as video; error() says why. Reads return false at once.
  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }

  // Decodes the next picture into out and gives its presentation time in milliseconds since the
  // start of the stream, rounded down (never negative). False at the end of the file, or when
  // reading or decoding fails in a way that ends the file (error() then says so).
  bool ReadFrame(uint8_t* out, int64_t& presentation_ms);

  // Pictures the file says it holds, or its duration times its frame rate; 0 when unknown.
  int64_t estimatedFrameCount() const { return estimatedFrameCount_; }
  // The file's creation_time metadata as written (ISO 8601, e.g. "2024-05-06T01:02:03.000000Z");
  // empty when absent.
  const std::string& creationTime() const { return creationTime_; }
  int framesRead() const { return framesRead_; }
  // Damaged packets skipped so far (their pictures are lost, the file goes on).
  int64_t packetsSkipped() const { return packetsSkipped_; }

 private:
  bool Fail(const std::string& message);
  // Sends packets until the decoder gives a picture; false at the end or on a fatal error.
  bool DecodeNext();
  bool Scale(uint8_t* out);

  Layout layout_;
  InputContextPtr formatContext_;
  CodecContextPtr codecContext_;
  FramePtr picture_;
  PacketPtr packet_;
  ScalerPtr scaler_;
  const AVCodec* codec_ = nullptr;
  int videoStream_ = -1;
  int64_t startPts_ = 0;
  bool startKnown_ = false;
  int64_t lastPresentation_ms_ = -1;
  int64_t frameDuration_ms_ = kNominalFrameSpacing.count();
  bool draining_ = false;
  bool ended_ = false;
  bool failed_ = false;
  std::string error_;
  int64_t estimatedFrameCount_ = 0;
  std::string creationTime_;
  int framesRead_ = 0;
  int64_t packetsSkipped_ = 0;
};

}  // namespace ombrix
