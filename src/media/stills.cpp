#include "media/stills.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string_view>
#include <vector>

#include "base/atomic_file.h"
#include "base/frame.h"
#include "media/codec_lock.h"
#include "media/ffmpeg_ptr.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace ombrix {

const std::array<uint32_t, 256> pseudoColorPalette = {
    0xE7F39B, 0xE7F39B, 0xF2FE9A, 0xF2FE99, 0xF3FE98, 0xF3FE96, 0xF3FE95, 0xF3FE94, 0xF4FE93,
    0xF4FE92, 0xF4FE91, 0xF5FE90, 0xF5FE8F, 0xF5FE8E, 0xF6FE8D, 0xF6FE8C, 0xF6FE8B, 0xF7FE8A,
    0xF7FE89, 0xF8FE88, 0xF8FE87, 0xF9FE85, 0xF9FE84, 0xFAFE83, 0xFAFE82, 0xFBFE81, 0xFBFE80,
    0xFCFE7F, 0xFCFE7E, 0xFDFE7D, 0xFDFE7C, 0xFEFE7B, 0xFEFD7A, 0xFEFD79, 0xFEFC78, 0xFEFB77,
    0xFEFB76, 0xFEFA74, 0xFEF973, 0xFEF872, 0xFEF871, 0xFEF770, 0xFEF66F, 0xFEF56E, 0xFEF56D,
    0xFEF46C, 0xFEF36B, 0xFEF26A, 0xFEF169, 0xFEF068, 0xFEEF67, 0xFEEE66, 0xFEED65, 0xFDED63,
    0xFDEC62, 0xFDEB61, 0xFDEA60, 0xFDE95F, 0xFDE85E, 0xFDE75D, 0xFDE65C, 0xFDE45B, 0xFDE35A,
    0xFDE259, 0xFDE158, 0xFDE057, 0xFDDF56, 0xFDDE55, 0xFDDD54, 0xFDDB52, 0xFDDA51, 0xFDD950,
    0xFDD84F, 0xFDD74E, 0xFDD54D, 0xFDD44C, 0xFDD34B, 0xFDD24A, 0xFDD049, 0xFDCF48, 0xFDCE47,
    0xFDCC46, 0xFDCB45, 0xFDCA44, 0xFDC843, 0xFDC741, 0xFDC540, 0xFDC43F, 0xFDC33E, 0xFDC13D,
    0xFDC03C, 0xFDBE3B, 0xFDBD3A, 0xFDBB39, 0xFDBA38, 0xFDB837, 0xFDB736, 0xFDB535, 0xFDB334,
    0xFBB133, 0xFAAF32, 0xF8AD30, 0xF6AB2F, 0xF5A82E, 0xF3A62D, 0xF2A42C, 0xF0A22B, 0xEEA02A,
    0xED9E29, 0xEB9C28, 0xE99927, 0xE89726, 0xE69525, 0xE59324, 0xE39123, 0xE18F22, 0xE08D21,
    0xDE8B1F, 0xDD891E, 0xDB871D, 0xD9851C, 0xD8831B, 0xD6811A, 0xD48019, 0xD37E18, 0xD17C17,
    0xD07A16, 0xCE7815, 0xCC7614, 0xCB7413, 0xC97312, 0xC77111, 0xC66F10, 0xC46D0E, 0xC36B0D,
    0xC16A0C, 0xBF680B, 0xBE660A, 0xBC6509, 0xBA6308, 0xB96107, 0xB76006, 0xB65E05, 0xB45C04,
    0xB25B03, 0xB15902, 0xAF5701, 0xAD5600, 0xAC5401, 0xAA5301, 0xA95101, 0xA75001, 0xA54E01,
    0xA44D01, 0xA24B01, 0xA14A01, 0x9F4801, 0x9D4701, 0x9C4501, 0x9A4401, 0x984301, 0x974101,
    0x954001, 0x943F01, 0x923D01, 0x903C01, 0x8F3B01, 0x8D3901, 0x8B3801, 0x8A3701, 0x883601,
    0x873401, 0x853301, 0x833201, 0x823101, 0x803001, 0x7E2F01, 0x7D2D01, 0x7B2C01, 0x7A2B01,
    0x782A01, 0x762901, 0x752801, 0x732701, 0x712601, 0x702501, 0x6E2401, 0x6D2301, 0x6B2200,
    0x692100, 0x682000, 0x661F00, 0x641E00, 0x631D00, 0x611C00, 0x601B00, 0x5E1A00, 0x5C1900,
    0x5B1800, 0x591800, 0x571700, 0x561600, 0x541500, 0x531400, 0x511400, 0x4F1300, 0x4E1200,
    0x4C1100, 0x4A1100, 0x491000, 0x470F00, 0x460F00, 0x440E00, 0x420D00, 0x410D00, 0x3F0C00,
    0x3D0C00, 0x3C0B00, 0x3A0A00, 0x390A00, 0x370900, 0x350900, 0x340800, 0x320800, 0x300700,
    0x2F0700, 0x2D0600, 0x2C0600, 0x2A0600, 0x280500, 0x270500, 0x250400, 0x230400, 0x220400,
    0x200300, 0x1F0300, 0x1D0300, 0x1B0200, 0x1A0200, 0x180200, 0x160200, 0x150100, 0x130100,
    0x120100, 0x100100, 0x0E0100, 0x0D0000, 0x0B0000, 0x090000, 0x080000, 0x060000, 0x050000,
    0x030000, 0x010000, 0x000000, 0x000000,
};

namespace {

// Quantiser 2 expressed as a lambda (FF_QP2LAMBDA = 118).
constexpr int kJpegQuantiser = 2;
constexpr int kJpegLambda = kJpegQuantiser * FF_QP2LAMBDA;  // 236

CodecContextPtr OpenEncoder(AVCodecID id, const std::function<void(AVCodecContext*)>& configure) {
  const AVCodec* codec = nullptr;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    codec = avcodec_find_encoder(id);
  }
  if (codec == nullptr) {
    return nullptr;
  }
  CodecContextPtr context(avcodec_alloc_context3(codec));
  if (context == nullptr) {
    return nullptr;
  }
  configure(context.get());
  int opened = 0;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    opened = avcodec_open2(context.get(), codec, nullptr);
  }
  if (opened < 0) {
    return nullptr;
  }
  return context;
}

FramePtr AllocatePicture(AVPixelFormat format, int width = kFrameWidth, int height = kFrameHeight) {
  FramePtr picture(av_frame_alloc());
  if (picture == nullptr) {
    return nullptr;
  }
  picture->format = format;
  picture->width = width;
  picture->height = height;
  if (av_frame_get_buffer(picture.get(), 0) < 0) {
    return nullptr;
  }
  return picture;
}

// Encodes the one picture and flushes the encoder; the packet holds the coded image, or is empty.
PacketPtr EncodeOnce(AVCodecContext* context, const AVFrame* picture) {
  PacketPtr packet(av_packet_alloc());
  if (packet == nullptr || avcodec_send_frame(context, picture) < 0) {
    return nullptr;
  }
  avcodec_send_frame(context, nullptr);
  if (avcodec_receive_packet(context, packet.get()) < 0 || packet->size <= 0) {
    return nullptr;
  }
  return packet;
}

// The RGB picture coded as a PNG; null when the encoder cannot be had or fails.
PacketPtr EncodePng(const AVFrame* picture) {
  CodecContextPtr context = OpenEncoder(AV_CODEC_ID_PNG, [picture](AVCodecContext* c) {
    c->pix_fmt = static_cast<AVPixelFormat>(picture->format);
    c->width = picture->width;
    c->height = picture->height;
    c->time_base = AVRational{1, 30};  // unused by PNG, but every video encoder needs one
  });
  return context == nullptr ? nullptr : EncodeOnce(context.get(), picture);
}

std::string_view BytesOf(const AVPacket& packet) {
  return {reinterpret_cast<const char*>(packet.data), static_cast<size_t>(packet.size)};
}

// Writes the bytes as the whole file, under a temporary name renamed when complete, so that a
// full disk or a crash never leaves a truncated image that looks whole.
bool WriteWholeFile(const std::string& path, const AVPacket& packet, Durability durability) {
  return WriteFileAtomically(path, BytesOf(packet), durability);
}

// The image coded as a JPEG of quantiser 2; null when the encoder cannot be had or fails.
PacketPtr EncodeJpeg(const uint8_t* image) {
  CodecContextPtr context = OpenEncoder(AV_CODEC_ID_MJPEG, [](AVCodecContext* c) {
    c->pix_fmt = AV_PIX_FMT_YUVJ420P;  // full range
    c->width = kFrameWidth;
    c->height = kFrameHeight;
    c->bit_rate = 40000;
    c->time_base = AVRational{30, 1};
    // A fixed quantiser of 2: the encoder reads these when it opens.
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->qmin = kJpegQuantiser;
    c->qmax = kJpegQuantiser;
    c->global_quality = kJpegLambda;
    c->mb_lmin = kJpegLambda;
    c->mb_lmax = kJpegLambda;
    av_opt_set_int(c->priv_data, "lmin", kJpegLambda, 0);
    av_opt_set_int(c->priv_data, "lmax", kJpegLambda, 0);
  });
  FramePtr picture = context != nullptr ? AllocatePicture(AV_PIX_FMT_YUVJ420P) : nullptr;
  if (picture == nullptr) {
    return nullptr;
  }
  FillGreyPicture(picture.get(), image);
  picture->pts = 1;
  picture->quality = kJpegLambda;
  return EncodeOnce(context.get(), picture.get());
}

}  // namespace

bool WriteJpegStill(const std::string& path, const uint8_t* image) {
  PacketPtr packet = EncodeJpeg(image);
  return packet != nullptr && WriteWholeFile(path, *packet, Durability::kCached);
}

bool WriteJpegStill(AtomicFile& file, const uint8_t* image) {
  PacketPtr packet = EncodeJpeg(image);
  return packet != nullptr && file.Write(BytesOf(*packet));
}

std::vector<uint8_t> EncodeJpegStill(const uint8_t* image) {
  PacketPtr packet = EncodeJpeg(image);
  return packet == nullptr ? std::vector<uint8_t>()
                           : std::vector<uint8_t>(packet->data, packet->data + packet->size);
}

void NormalizeSums(uint32_t* sums) {
  const uint32_t largest = *std::max_element(sums, sums + kFrameBytes);
  if (largest == 0) {
    return;
  }
  // The factor is rounded to single precision, so the largest value lands on 254 or 255.
  const float factor = static_cast<float>((1.0 / largest) * 255.0);
  for (int i = 0; i < kFrameBytes; ++i) {
    sums[i] = static_cast<uint32_t>(static_cast<double>(sums[i]) * static_cast<double>(factor));
  }
}

bool WritePngStill(const std::string& path, const uint32_t* sums) {
  FramePtr picture = AllocatePicture(AV_PIX_FMT_RGB24);
  if (picture == nullptr) {
    return false;
  }
  for (int row = 0; row < kFrameHeight; ++row) {
    uint8_t* out = picture->data[0] + row * picture->linesize[0];
    const uint32_t* in = sums + row * kFrameWidth;
    for (int column = 0; column < kFrameWidth; ++column) {
      const uint8_t grey = static_cast<uint8_t>(in[column] & 0xFF);
      out[0] = grey;
      out[1] = grey;
      out[2] = grey;
      out += 3;
    }
  }
  PacketPtr packet = EncodePng(picture.get());
  return packet != nullptr && WriteWholeFile(path, *packet, Durability::kCached);
}

bool WriteGreyPng(const std::string& path, int width, int height, const uint8_t* pixels) {
  FramePtr picture = width > 0 && height > 0 && width <= 16384 && height <= 16384
                         ? AllocatePicture(AV_PIX_FMT_GRAY8, width, height)
                         : nullptr;
  if (picture == nullptr) {
    return false;
  }
  for (int row = 0; row < height; ++row) {
    std::memcpy(picture->data[0] + row * picture->linesize[0], pixels + row * width, width);
  }
  PacketPtr packet = EncodePng(picture.get());
  return packet != nullptr && WriteWholeFile(path, *packet, Durability::kCached);
}

namespace {

enum class StillKind { kJpeg, kPng, kUnknown };

StillKind KindOf(const std::string& path) {
  const size_t dot = path.find_last_of("./");
  if (dot == std::string::npos || path[dot] != '.') {
    return StillKind::kUnknown;
  }
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (extension == "jpg" || extension == "jpeg") {
    return StillKind::kJpeg;
  }
  return extension == "png" ? StillKind::kPng : StillKind::kUnknown;
}

}  // namespace

bool WriteColourStill(const std::string& path, const uint8_t* image,
                      const std::array<uint32_t, 256>& colours) {
  const StillKind kind = KindOf(path);
  if (kind == StillKind::kUnknown) {
    return false;
  }
  FramePtr rgb = AllocatePicture(AV_PIX_FMT_RGB24);
  if (rgb == nullptr) {
    return false;
  }
  for (int row = 0; row < kFrameHeight; ++row) {
    uint8_t* out = rgb->data[0] + row * rgb->linesize[0];
    const uint8_t* in = image + row * kFrameWidth;
    for (int column = 0; column < kFrameWidth; ++column, out += 3) {
      const uint32_t colour = colours[in[column]];
      out[0] = static_cast<uint8_t>(colour >> 16);
      out[1] = static_cast<uint8_t>(colour >> 8);
      out[2] = static_cast<uint8_t>(colour);
    }
  }
  PacketPtr packet;
  if (kind == StillKind::kPng) {
    packet = EncodePng(rgb.get());
  } else {
    // Full-range 4:4:4, so that neither colour resolution nor the grey scale is lost.
    CodecContextPtr context = OpenEncoder(AV_CODEC_ID_MJPEG, [](AVCodecContext* c) {
      c->pix_fmt = AV_PIX_FMT_YUVJ444P;
      c->width = kFrameWidth;
      c->height = kFrameHeight;
      c->time_base = AVRational{1, 30};
      c->flags |= AV_CODEC_FLAG_QSCALE;
      c->global_quality = kJpegLambda;
    });
    FramePtr yuv = AllocatePicture(AV_PIX_FMT_YUVJ444P);
    if (context == nullptr || yuv == nullptr) {
      return false;
    }
    ScalerPtr scaler(sws_getContext(kFrameWidth, kFrameHeight, AV_PIX_FMT_RGB24, kFrameWidth,
                                    kFrameHeight, AV_PIX_FMT_YUVJ444P, SWS_POINT | SWS_ACCURATE_RND,
                                    nullptr, nullptr, nullptr));
    if (scaler == nullptr || sws_scale(scaler.get(), rgb->data, rgb->linesize, 0, kFrameHeight,
                                       yuv->data, yuv->linesize) != kFrameHeight) {
      return false;
    }
    yuv->quality = kJpegLambda;
    yuv->pts = 1;
    packet = EncodeOnce(context.get(), yuv.get());
  }
  return packet != nullptr && WriteWholeFile(path, *packet, Durability::kSynced);
}

}  // namespace ombrix
