#include "media/movie_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "base/frame.h"
#include "media/codec_lock.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/buffer.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
}

namespace ombrix {
namespace {

// Rows longer than this are packed three-byte pixels (the grey RGB PNG stills, 1920 bytes a row).
constexpr int kPackedRowThreshold = 1000;

// Bytes of each row of plane 0 that a copy touches: 640 for a plane of one byte per pixel, up to
// byte 3 * 639 for a packed RGB row.
int RowBytesRead(int lineSize, bool packedRule) {
  return packedRule && lineSize > kPackedRowThreshold ? 3 * (kFrameWidth - 1) + 1 : kFrameWidth;
}

// True when 480 rows of rowBytes bytes, starting at plane 0 of the picture, lie inside the
// picture's own rows and inside the buffer that holds them.
bool PlaneCovers(const AVFrame& picture, int rowBytes) {
  if (picture.data[0] == nullptr || picture.width < kFrameWidth || picture.height < kFrameHeight ||
      picture.linesize[0] < rowBytes) {
    return false;
  }
  const int pictureRowBytes =
      av_image_get_linesize(static_cast<AVPixelFormat>(picture.format), picture.width, 0);
  if (pictureRowBytes < rowBytes) {
    return false;
  }
  if (picture.buf[0] != nullptr) {
    const uint8_t* begin = picture.buf[0]->data;
    const uint8_t* end = begin + picture.buf[0]->size;
    const uint8_t* first = picture.data[0];
    const size_t span = static_cast<size_t>(kFrameHeight - 1) * picture.linesize[0] + rowBytes;
    if (first < begin || first > end || static_cast<size_t>(end - first) < span) {
      return false;
    }
  }
  return true;
}

}  // namespace

MovieReader::MovieReader(const std::string& path) {
  AVFormatContext* context = nullptr;
  // Still images are opened as one-picture streams; their names are names, never numbered
  // sequence patterns (a '%' in a folder name stays a '%').
  AVDictionary* options = nullptr;
  av_dict_set(&options, "pattern_type", "none", 0);
  const int openResult = avformat_open_input(&context, path.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (openResult != 0) {
    failed_ = true;  // the context was freed by the failed open
    return;
  }
  formatContext_.reset(context);
  int probed = 0;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    probed = avformat_find_stream_info(context, nullptr);
  }
  if (probed < 0) {
    failed_ = true;
    return;
  }
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    if (context->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      videoStream_ = static_cast<int>(i);
      break;
    }
  }
  if (videoStream_ < 0) {
    failed_ = true;
    return;
  }
  const AVCodecParameters* parameters = context->streams[videoStream_]->codecpar;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    codec_ = avcodec_find_decoder(parameters->codec_id);
  }
  if (codec_ == nullptr) {
    failed_ = true;
    return;
  }
  codecContext_.reset(avcodec_alloc_context3(codec_));
  if (codecContext_ == nullptr ||
      avcodec_parameters_to_context(codecContext_.get(), parameters) < 0) {
    failed_ = true;
    return;
  }
  int opened = 0;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    opened = avcodec_open2(codecContext_.get(), codec_, nullptr);
  }
  if (opened < 0) {
    failed_ = true;
    return;
  }
  picture_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  if (picture_ == nullptr || packet_ == nullptr) {
    failed_ = true;
  }
}

MovieReader::~MovieReader() = default;

bool MovieReader::DecodeNext(bool reportUnfinished) {
  if (failed_) {
    return false;
  }
  AVPacket* packet = packet_.get();
  if (av_read_frame(formatContext_.get(), packet) < 0) {
    return false;  // end of file or a read error
  }
  if (packet->stream_index != videoStream_) {
    av_packet_unref(packet);
    return false;  // reading ends at the first packet of another stream
  }
  const int sent = avcodec_send_packet(codecContext_.get(), packet);
  av_packet_unref(packet);
  if (sent < 0) {
    return false;
  }
  const int received = avcodec_receive_frame(codecContext_.get(), picture_.get());
  if (received == AVERROR(EAGAIN) && reportUnfinished) {
    std::fputs("Frame not finished\n", stdout);
  }
  return received == 0;
}

bool MovieReader::readFrame(uint8_t* dst) {
  if (!DecodeNext(true)) {
    return false;
  }
  const AVFrame& picture = *picture_;
  if (!PlaneCovers(picture, kFrameWidth)) {
    return false;
  }
  for (int row = 0; row < kFrameHeight; ++row) {
    std::memcpy(dst + row * kFrameWidth, picture.data[0] + row * picture.linesize[0], kFrameWidth);
  }
  return true;
}

bool MovieReader::readFrameMax(uint8_t* dst) {
  if (!DecodeNext(false)) {
    return false;
  }
  const AVFrame& picture = *picture_;
  const int lineSize = picture.linesize[0];
  if (!PlaneCovers(picture, RowBytesRead(lineSize, true))) {
    return false;
  }
  const int step = lineSize > kPackedRowThreshold ? 3 : 1;
  for (int row = 0; row < kFrameHeight; ++row) {
    const uint8_t* in = picture.data[0] + row * lineSize;
    uint8_t* out = dst + row * kFrameWidth;
    for (int column = 0; column < kFrameWidth; ++column) {
      out[column] = std::max(out[column], in[column * step]);
    }
  }
  return true;
}

}  // namespace ombrix
