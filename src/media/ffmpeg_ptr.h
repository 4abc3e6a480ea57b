#pragma once

// Owning handles for FFmpeg objects. The FFmpeg types are only declared here, so headers of
// media/ can hold these handles without pulling FFmpeg headers into other folders; the deleters
// are defined in ffmpeg_ptr.cpp.

#include <cstdint>
#include <memory>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct SwsContext;

namespace ombrix {

struct CodecContextDeleter {
  // Closes and frees under codecLock (closing a codec is serialised with lookups and opens).
  void operator()(AVCodecContext* context) const noexcept;
};
struct OutputContextDeleter {
  // Closes the output file if the library opened one, then frees the context and its streams.
  void operator()(AVFormatContext* context) const noexcept;
};
struct IoContextDeleter {
  // Frees a caller's own I/O context and its buffer; the file behind it is the caller's.
  void operator()(AVIOContext* io) const noexcept;
};
struct InputContextDeleter {
  void operator()(AVFormatContext* context) const noexcept;
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const noexcept;
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const noexcept;
};
struct ScalerDeleter {
  void operator()(SwsContext* scaler) const noexcept;
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextDeleter>;
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerDeleter>;

// Copies a 640x480 grey frame into the brightness plane of a YUV 4:2:0 picture of that size and
// makes its colour planes neutral (128): the picture shows the frame in grey.
void FillGreyPicture(AVFrame* picture, const uint8_t* grey);

}  // namespace ombrix
