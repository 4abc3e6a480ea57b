#pragma once

// An independent look at written files for the media tests: demuxes and decodes with FFmpeg
// directly (not through MovieReader) and keeps what the tests check.

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace ombrix::test {

inline constexpr int kWidth = 640;
inline constexpr int kHeight = 480;
inline constexpr int kPixels = kWidth * kHeight;

// A night-sky frame: the same field of stars every time, under fresh sensor noise for every seed.
inline std::vector<uint8_t> SkyFrame(unsigned seed) {
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(20.0, 3.0);
  std::vector<uint8_t> frame(kPixels);
  for (auto& pixel : frame) {
    pixel = static_cast<uint8_t>(std::clamp(noise(random), 0.0, 255.0));
  }
  std::mt19937 sky(7);
  std::uniform_int_distribution<int> x(2, kWidth - 3), y(2, kHeight - 3), level(120, 255);
  for (int star = 0; star < 60; ++star) {
    const int cx = x(sky), cy = y(sky), peak = level(sky);
    for (int dy = -1; dy <= 1; ++dy) {
      for (int dx = -1; dx <= 1; ++dx) {
        frame[(cy + dy) * kWidth + cx + dx] = static_cast<uint8_t>(dx || dy ? peak / 2 : peak);
      }
    }
  }
  return frame;
}

struct DecodedPicture {
  bool key = false;
  int width = 0;
  int height = 0;
  std::vector<uint8_t> y, u, v;  // planar, tightly packed (4:2:0 chroma)
};

struct MovieProbe {
  bool opened = false;
  std::string container;
  AVCodecID codec = AV_CODEC_ID_NONE;
  AVRational frameRate{0, 1};
  double durationSeconds = 0;
  std::vector<DecodedPicture> pictures;
};

inline void CopyPlane(std::vector<uint8_t>& out, const uint8_t* data, int lineSize, int w, int h) {
  out.resize(static_cast<size_t>(w) * h);
  for (int row = 0; row < h; ++row) {
    std::copy(data + row * lineSize, data + row * lineSize + w, out.data() + row * w);
  }
}

inline MovieProbe ProbeMovie(const std::string& path) {
  MovieProbe probe;
  AVFormatContext* format = nullptr;
  AVDictionary* options = nullptr;
  av_dict_set(&options, "pattern_type", "none", 0);  // a still's name is never a sequence
  const int opened = avformat_open_input(&format, path.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (opened != 0) {
    return probe;
  }
  if (avformat_find_stream_info(format, nullptr) < 0 || format->nb_streams != 1) {
    avformat_close_input(&format);
    return probe;
  }
  AVStream* stream = format->streams[0];
  probe.opened = true;
  probe.container = format->iformat->name;
  probe.codec = stream->codecpar->codec_id;
  probe.frameRate = stream->avg_frame_rate;
  probe.durationSeconds = stream->duration * av_q2d(stream->time_base);
  const AVCodec* codec = avcodec_find_decoder(probe.codec);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(context, stream->codecpar);
  avcodec_open2(context, codec, nullptr);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  auto drain = [&] {
    while (avcodec_receive_frame(context, frame) == 0) {
      DecodedPicture picture;
      picture.key = frame->key_frame != 0;
      picture.width = frame->width;
      picture.height = frame->height;
      CopyPlane(picture.y, frame->data[0], frame->linesize[0], frame->width, frame->height);
      CopyPlane(picture.u, frame->data[1], frame->linesize[1], frame->width / 2, frame->height / 2);
      CopyPlane(picture.v, frame->data[2], frame->linesize[2], frame->width / 2, frame->height / 2);
      probe.pictures.push_back(std::move(picture));
    }
  };
  while (av_read_frame(format, packet) >= 0) {
    avcodec_send_packet(context, packet);
    av_packet_unref(packet);
    drain();
  }
  avcodec_send_packet(context, nullptr);
  drain();
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
  avformat_close_input(&format);
  return probe;
}

}  // namespace ombrix::test
