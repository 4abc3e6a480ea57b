#include "media/image_decode.h"

#include <cstring>
#include <limits>
#include <mutex>

#include "media/codec_lock.h"
#include "media/ffmpeg_ptr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace ombrix {
namespace {

// Feeds packets of the stream to the decoder until it gives a picture; at the end of the file the
// decoder is drained. False when no picture comes.
bool DecodeFirstPicture(AVFormatContext* format, AVCodecContext* decoder, int stream,
                        AVFrame* picture) {
  PacketPtr packet(av_packet_alloc());
  if (!packet) {
    return false;
  }
  bool draining = false;
  while (true) {
    const int received = avcodec_receive_frame(decoder, picture);
    if (received == 0) {
      return true;
    }
    if (received != AVERROR(EAGAIN) || draining) {
      return false;  // AVERROR_EOF after draining, or a decoding error
    }
    const int read = av_read_frame(format, packet.get());
    if (read < 0) {
      draining = true;
      if (avcodec_send_packet(decoder, nullptr) < 0) {
        return false;
      }
      continue;
    }
    if (packet->stream_index == stream) {
      const int sent = avcodec_send_packet(decoder, packet.get());
      if (sent < 0 && sent != AVERROR(EAGAIN)) {
        av_packet_unref(packet.get());
        return false;
      }
    }
    av_packet_unref(packet.get());
  }
}

// The first picture of an image file, decoded; null when there is none.
FramePtr DecodeFirstPictureOf(const std::string& path) {
  if (path.empty()) {
    return nullptr;
  }
  // "file:" keeps a name such as "http:x" or "pipe:0" a file name; pattern_type none keeps a '%'
  // in the name literal for the image demuxer.
  const std::string url = "file:" + path;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "pattern_type", "none", 0);
  AVFormatContext* rawFormat = nullptr;
  const int opened = avformat_open_input(&rawFormat, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (opened != 0) {
    return nullptr;  // the failed open freed the context
  }
  InputContextPtr format(rawFormat);

  int probed = 0;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    probed = avformat_find_stream_info(format.get(), nullptr);
  }
  if (probed < 0) {
    return nullptr;
  }
  int stream = -1;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      stream = static_cast<int>(i);
      break;
    }
  }
  if (stream < 0) {
    return nullptr;
  }
  const AVCodecParameters* parameters = format->streams[stream]->codecpar;
  const AVCodec* codec = nullptr;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    codec = avcodec_find_decoder(parameters->codec_id);
  }
  if (codec == nullptr) {
    return nullptr;
  }
  CodecContextPtr decoder(avcodec_alloc_context3(codec));
  if (!decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0) {
    return nullptr;
  }
  int codecOpened = 0;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    codecOpened = avcodec_open2(decoder.get(), codec, nullptr);
  }
  if (codecOpened < 0) {
    return nullptr;
  }

  FramePtr picture(av_frame_alloc());
  if (!picture || !DecodeFirstPicture(format.get(), decoder.get(), stream, picture.get())) {
    return nullptr;
  }
  return picture;
}

// The picture converted to packed RGB24 rows without padding; empty when it cannot be.
std::vector<uint8_t> ToPackedRgb(const AVFrame& picture) {
  const int width = picture.width;
  const int height = picture.height;
  if (width <= 0 || height <= 0 || width > std::numeric_limits<int>::max() / 3 / height) {
    return {};
  }
  // Convert into an aligned picture first (swscale may write whole vectors at the end of a row),
  // then copy the rows into the packed buffer.
  ScalerPtr scaler(sws_getContext(width, height, static_cast<AVPixelFormat>(picture.format), width,
                                  height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr));
  FramePtr converted(av_frame_alloc());
  if (!scaler || !converted) {
    return {};
  }
  converted->format = AV_PIX_FMT_RGB24;
  converted->width = width;
  converted->height = height;
  if (av_frame_get_buffer(converted.get(), 0) < 0) {
    return {};
  }
  if (sws_scale(scaler.get(), picture.data, picture.linesize, 0, height, converted->data,
                converted->linesize) != height) {
    return {};
  }
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  std::vector<uint8_t> rgb(rowBytes * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    std::memcpy(rgb.data() + rowBytes * static_cast<size_t>(y),
                converted->data[0] + static_cast<ptrdiff_t>(y) * converted->linesize[0], rowBytes);
  }
  return rgb;
}

}  // namespace

std::optional<RgbImage> DecodeImageRgb(const std::string& path) {
  const FramePtr picture = DecodeFirstPictureOf(path);
  if (!picture) {
    return std::nullopt;
  }
  RgbImage image;
  image.rgb = ToPackedRgb(*picture);
  if (image.rgb.empty()) {
    return std::nullopt;
  }
  image.width = picture->width;
  image.height = picture->height;
  return image;
}

std::optional<StoredByteImage> DecodeImageFirstBytes(const std::string& path) {
  const FramePtr picture = DecodeFirstPictureOf(path);
  if (!picture || picture->width <= 0 || picture->height <= 0) {
    return std::nullopt;
  }
  StoredByteImage image;
  image.width = picture->width;
  image.height = picture->height;
  const size_t width = static_cast<size_t>(picture->width);
  image.bytes.resize(width * static_cast<size_t>(picture->height));
  const auto format = static_cast<AVPixelFormat>(picture->format);
  if (format == AV_PIX_FMT_PAL8 || format == AV_PIX_FMT_GRAY8) {
    for (int y = 0; y < picture->height; ++y) {
      std::memcpy(image.bytes.data() + width * static_cast<size_t>(y),
                  picture->data[0] + static_cast<ptrdiff_t>(y) * picture->linesize[0], width);
    }
    return image;
  }
  const std::vector<uint8_t> rgb = ToPackedRgb(*picture);
  if (rgb.empty()) {
    return std::nullopt;
  }
  for (size_t i = 0; i < image.bytes.size(); ++i) {
    image.bytes[i] = rgb[3 * i + 2];  // blue
  }
  return image;
}

}  // namespace ombrix
