#include "media/video_file_decoder.h"

#include <mutex>

#include "base/frame.h"
#include "media/codec_lock.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mathematics.h>
#include <libswscale/swscale.h>
}

namespace ombrix {
namespace {

// A 640x480 4:2:0 picture as YUYV: the planes interleaved, each chroma row serving two picture
// rows. The general scaler makes the same bytes several times slower, and the file source does
// this for every frame it replays.
void InterleaveYuv420(const AVFrame& picture, uint8_t* out) {
  for (int row = 0; row < kFrameHeight; ++row) {
    const uint8_t* y = picture.data[0] + static_cast<ptrdiff_t>(row) * picture.linesize[0];
    const uint8_t* u = picture.data[1] + static_cast<ptrdiff_t>(row / 2) * picture.linesize[1];
    const uint8_t* v = picture.data[2] + static_cast<ptrdiff_t>(row / 2) * picture.linesize[2];
    uint8_t* dst = out + static_cast<ptrdiff_t>(row) * 2 * kFrameWidth;
    for (int x = 0; x < kFrameWidth / 2; ++x) {
      dst[4 * x] = y[2 * x];
      dst[4 * x + 1] = u[x];
      dst[4 * x + 2] = y[2 * x + 1];
      dst[4 * x + 3] = v[x];
    }
  }
}

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

VideoFileDecoder::VideoFileDecoder(const std::string& path, Layout layout) : layout_(layout) {
  AVFormatContext* context = nullptr;
  if (const int opened = avformat_open_input(&context, path.c_str(), nullptr, nullptr);
      opened != 0) {
    Fail("Could not open " + path + ": " + ErrorText(opened));
    return;  // a failed open frees the context
  }
  formatContext_.reset(context);
  int probed = 0;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    probed = avformat_find_stream_info(context, nullptr);
  }
  if (probed < 0) {
    Fail("Could not read the streams of " + path + ": " + ErrorText(probed));
    return;
  }
  {
    std::lock_guard<std::mutex> lock(codecLock());
    videoStream_ = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, &codec_, 0);
  }
  if (videoStream_ < 0 || codec_ == nullptr) {
    Fail("No video stream with a decoder in " + path + ".");
    return;
  }
  const AVStream* stream = context->streams[videoStream_];
  codecContext_.reset(avcodec_alloc_context3(codec_));
  if (codecContext_ == nullptr ||
      avcodec_parameters_to_context(codecContext_.get(), stream->codecpar) < 0) {
    Fail("Could not set up the decoder for " + path + ".");
    return;
  }
  codecContext_->pkt_timebase = stream->time_base;
  int opened = 0;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    opened = avcodec_open2(codecContext_.get(), codec_, nullptr);
  }
  if (opened < 0) {
    Fail("Could not open the decoder for " + path + ": " + ErrorText(opened));
    return;
  }
  picture_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  if (picture_ == nullptr || packet_ == nullptr) {
    Fail("Out of memory.");
    return;
  }

  if (stream->start_time != AV_NOPTS_VALUE) {
    startPts_ = stream->start_time;
    startKnown_ = true;
  }
  const AVRational rate =
      stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
  if (rate.num > 0 && rate.den > 0) {
    frameDuration_ms_ = std::max<int64_t>(1, av_rescale(1000, rate.den, rate.num));
  }
  if (stream->nb_frames > 0) {
    estimatedFrameCount_ = stream->nb_frames;
  } else if (rate.num > 0 && rate.den > 0) {
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
      estimatedFrameCount_ = av_rescale_q(stream->duration, stream->time_base, av_inv_q(rate));
    } else if (context->duration != AV_NOPTS_VALUE && context->duration > 0) {
      estimatedFrameCount_ =
          av_rescale_q(context->duration, AVRational{1, AV_TIME_BASE}, av_inv_q(rate));
    }
  }
  const AVDictionaryEntry* created = av_dict_get(context->metadata, "creation_time", nullptr, 0);
  if (created == nullptr) {
    created = av_dict_get(stream->metadata, "creation_time", nullptr, 0);
  }
  if (created != nullptr && created->value != nullptr) {
    creationTime_ = created->value;
  }
}

VideoFileDecoder::~VideoFileDecoder() = default;

bool VideoFileDecoder::Fail(const std::string& message) {
  failed_ = true;
  error_ = message;
  return false;
}

bool VideoFileDecoder::DecodeNext() {
  AVCodecContext* decoder = codecContext_.get();
  for (;;) {
    const int received = avcodec_receive_frame(decoder, picture_.get());
    if (received == 0) {
      return true;
    }
    if (received == AVERROR_EOF) {
      ended_ = true;
      return false;
    }
    if (received != AVERROR(EAGAIN)) {
      error_ = "Decoding failed: " + ErrorText(received);
      ended_ = true;
      return false;
    }
    if (draining_) {
      ended_ = true;  // a decoder that gives nothing more after the flush
      return false;
    }
    // The decoder wants more input.
    AVPacket* packet = packet_.get();
    const int read = av_read_frame(formatContext_.get(), packet);
    if (read < 0) {
      if (read != AVERROR_EOF) {
        error_ = "Reading failed: " + ErrorText(read);
      }
      draining_ = true;
      avcodec_send_packet(decoder, nullptr);  // flush the pictures still held
      continue;
    }
    if (packet->stream_index != videoStream_) {
      av_packet_unref(packet);
      continue;
    }
    const int sent = avcodec_send_packet(decoder, packet);
    av_packet_unref(packet);
    if (sent < 0 && sent != AVERROR(EAGAIN) && sent != AVERROR_INVALIDDATA) {
      error_ = "Decoding failed: " + ErrorText(sent);
      ended_ = true;
      return false;
    }
    // A damaged packet (invalid data) is skipped; its picture is lost, not the file.
    if (sent == AVERROR_INVALIDDATA) {
      ++packetsSkipped_;
    }
  }
}

bool VideoFileDecoder::Scale(uint8_t* out) {
  const AVFrame& picture = *picture_;
  if (layout_ == Layout::kYuyv && picture.format == AV_PIX_FMT_YUV420P &&
      picture.width == kFrameWidth && picture.height == kFrameHeight) {
    InterleaveYuv420(picture, out);
    return true;
  }
  const AVPixelFormat target = layout_ == Layout::kGrey ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_YUYV422;
  SwsContext* scaler = sws_getCachedContext(
      scaler_.release(), picture.width, picture.height, static_cast<AVPixelFormat>(picture.format),
      kFrameWidth, kFrameHeight, target, SWS_BILINEAR, nullptr, nullptr, nullptr);
  scaler_.reset(scaler);
  if (scaler == nullptr) {
    error_ = "Cannot scale pictures of this format.";
    return false;
  }
  uint8_t* planes[4] = {out, nullptr, nullptr, nullptr};
  const int strides[4] = {layout_ == Layout::kGrey ? kFrameWidth : 2 * kFrameWidth, 0, 0, 0};
  return sws_scale(scaler, picture.data, picture.linesize, 0, picture.height, planes, strides) ==
         kFrameHeight;
}

bool VideoFileDecoder::ReadFrame(uint8_t* out, int64_t& presentation_ms) {
  if (failed_ || ended_) {
    return false;
  }
  if (!DecodeNext()) {
    return false;
  }
  const AVStream* stream = formatContext_->streams[videoStream_];
  const int64_t pts = picture_->best_effort_timestamp;
  int64_t ms = 0;
  if (pts != AV_NOPTS_VALUE) {
    if (!startKnown_) {
      startPts_ = pts;
      startKnown_ = true;
    }
    ms = av_rescale_rnd(pts - startPts_, int64_t{stream->time_base.num} * 1000,
                        stream->time_base.den,
                        static_cast<AVRounding>(AV_ROUND_DOWN | AV_ROUND_PASS_MINMAX));
  } else {
    ms = lastPresentation_ms_ < 0 ? 0 : lastPresentation_ms_ + frameDuration_ms_;
  }
  presentation_ms = std::max<int64_t>(0, ms);
  lastPresentation_ms_ = presentation_ms;
  const bool scaled = Scale(out);
  av_frame_unref(picture_.get());
  if (!scaled) {
    ended_ = true;
    return false;
  }
  ++framesRead_;
  return true;
}

}  // namespace ombrix
