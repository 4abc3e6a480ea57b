#include "media/ffmpeg_ptr.h"

#include <cstring>
#include <mutex>

#include "base/frame.h"

#include "media/codec_lock.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

namespace ombrix {

void CodecContextDeleter::operator()(AVCodecContext* context) const noexcept {
  std::lock_guard<std::mutex> lock(codecLock());
  avcodec_free_context(&context);
}

void OutputContextDeleter::operator()(AVFormatContext* context) const noexcept {
  if (context->pb != nullptr && context->oformat != nullptr &&
      !(context->oformat->flags & AVFMT_NOFILE) && !(context->flags & AVFMT_FLAG_CUSTOM_IO)) {
    avio_closep(&context->pb);
  }
  avformat_free_context(context);
}

void IoContextDeleter::operator()(AVIOContext* io) const noexcept {
  av_freep(&io->buffer);
  avio_context_free(&io);
}

void InputContextDeleter::operator()(AVFormatContext* context) const noexcept {
  avformat_close_input(&context);
}

void FrameDeleter::operator()(AVFrame* frame) const noexcept {
  av_frame_free(&frame);
}

void PacketDeleter::operator()(AVPacket* packet) const noexcept {
  av_packet_free(&packet);
}

void ScalerDeleter::operator()(SwsContext* scaler) const noexcept {
  sws_freeContext(scaler);
}

void FillGreyPicture(AVFrame* picture, const uint8_t* grey) {
  for (int row = 0; row < kFrameHeight; ++row) {
    std::memcpy(picture->data[0] + row * picture->linesize[0], grey + row * kFrameWidth,
                kFrameWidth);
  }
  for (int row = 0; row < kFrameHeight / 2; ++row) {
    std::memset(picture->data[1] + row * picture->linesize[1], 128, kFrameWidth / 2);
    std::memset(picture->data[2] + row * picture->linesize[2], 128, kFrameWidth / 2);
  }
}

}  // namespace ombrix
