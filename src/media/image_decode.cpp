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

}  // namespace

std::optional<RgbImage> DecodeImageRgb(const std::string& path) {
  if (path.empty()) {
    return std::nullopt;
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
    return std::nullopt;  // the failed open freed the context
  }
  InputContextPtr format(rawFormat);

  int probed = 0;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    probed = avformat_find_stream_info(format.get(), nullptr);
  }
  if (probed < 0) {
    return std::nullopt;
  }
  int stream = -1;
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      stream = static_cast<int>(i);
      break;
    }
  }
  if (stream < 0) {
    return std::nullopt;
  }
  const AVCodecParameters* parameters = format->streams[stream]->codecpar;
  const AVCodec* codec = nullptr;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    codec = avcodec_find_decoder(parameters->codec_id);
  }
  if (codec == nullptr) {
    return std::nullopt;
  }
  CodecContextPtr decoder(avcodec_alloc_context3(codec));
  if (!decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0) {
    return std::nullopt;
  }
  int codecOpened = 0;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    codecOpened = avcodec_open2(decoder.get(), codec, nullptr);
  }
  if (codecOpened < 0) {
    return std::nullopt;
  }

  FramePtr picture(av_frame_alloc());
  if (!picture || !DecodeFirstPicture(format.get(), decoder.get(), stream, picture.get())) {
    return std::nullopt;
  }
  const int width = picture->width;
  const int height = picture->height;
  if (width <= 0 || height <= 0 || width > std::numeric_limits<int>::max() / 3 / height) {
    return std::nullopt;
  }

  // Convert into an aligned picture first (swscale may write whole vectors at the end of a row),
  // then copy the rows into the packed buffer.
  ScalerPtr scaler(sws_getContext(width, height, static_cast<AVPixelFormat>(picture->format), width,
                                  height, AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr));
  FramePtr converted(av_frame_alloc());
  if (!scaler || !converted) {
    return std::nullopt;
  }
  converted->format = AV_PIX_FMT_RGB24;
  converted->width = width;
  converted->height = height;
  if (av_frame_get_buffer(converted.get(), 0) < 0) {
    return std::nullopt;
  }
  if (sws_scale(scaler.get(), picture->data, picture->linesize, 0, height, converted->data,
                converted->linesize) != height) {
    return std::nullopt;
  }

  RgbImage image;
  image.width = width;
  image.height = height;
  const size_t rowBytes = static_cast<size_t>(width) * 3;
  image.rgb.resize(rowBytes * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    std::memcpy(image.rgb.data() + rowBytes * static_cast<size_t>(y),
                converted->data[0] + static_cast<ptrdiff_t>(y) * converted->linesize[0], rowBytes);
  }
  return image;
}

}  // namespace ombrix
