#include "media/movie_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>

#include "base/atomic_file.h"
#include "base/frame.h"
#include "media/codec_lock.h"
#include "media/stills.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace ombrix {
namespace {

constexpr int64_t kBitRate = 3000000;
constexpr int kGopSize = 10;
// The MP4 movies carry 29.97 frames/s written as 100/2997, close to but not the frame period of
// 1001/30000 s; it is kept so that every movie comes out as before.
constexpr AVRational kTimeBase{100, 2997};
constexpr AVRational kMpeg1TimeBase{1, 30};  // MPEG-1 has no 29.97 with this numbering
// The frame period, which MPEG-2 can signal.
constexpr AVRational kMpeg2TimeBase{FramePeriod::period::num, FramePeriod::period::den};
constexpr AVRational kTimelapseTimeBase{1, 25};
constexpr int kRgbBytes = kFrameBytes * 3;  // packed RGB24
constexpr int kIoBufferBytes = 64 * 1024;

#if LIBAVFORMAT_VERSION_MAJOR >= 61
using IoBytes = const uint8_t*;
#else
using IoBytes = uint8_t*;
#endif

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// The codec a container gets. MP4 is written with MPEG-4 Part 2 video (simple, fast, no B-frames
// needed); every other container keeps the video codec FFmpeg chooses for it.
AVCodecID VideoCodecFor(const AVOutputFormat* format) {
  if (std::strcmp(format->name, "mp4") == 0) {
    return AV_CODEC_ID_MPEG4;
  }
  return format->video_codec;
}

// The movie's bytes go to a descriptor: FFmpeg never opens a file of its own.
int WriteToDescriptor(void* opaque, IoBytes bytes, int size) {
  const int fd = *static_cast<const int*>(opaque);
  int written = 0;
  while (written < size) {
    const ssize_t n = write(fd, bytes + written, static_cast<size_t>(size - written));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return AVERROR(n < 0 ? errno : EIO);
    }
    written += static_cast<int>(n);
  }
  return written;
}

int64_t SeekDescriptor(void* opaque, int64_t offset, int whence) {
  const int fd = *static_cast<const int*>(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat info {};
    return fstat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : AVERROR(errno);
  }
  const off_t position = lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  return position < 0 ? AVERROR(errno) : static_cast<int64_t>(position);
}

// The encoder for a container, as every station movie has it; null with *failure and *code when
// it cannot be had.
CodecContextPtr OpenEncoderFor(const AVOutputFormat* format, const std::string& options,
                               const char** failure, int* code,
                               MovieKind kind = MovieKind::kStation) {
  const bool browser = kind != MovieKind::kStation;
  const bool webm = std::strcmp(format->name, "webm") == 0;
  const AVCodecID codecId =
      !browser ? VideoCodecFor(format) : (webm ? AV_CODEC_ID_VP9 : AV_CODEC_ID_H264);
  const AVCodec* codec = nullptr;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    codec = avcodec_find_encoder(codecId);
  }
  if (codec == nullptr) {
    *failure = "codec not found";
    return nullptr;
  }
  CodecContextPtr context(avcodec_alloc_context3(codec));
  if (context == nullptr) {
    *failure = "Could not alloc stream";
    *code = AVERROR(ENOMEM);
    return nullptr;
  }
  AVCodecContext* c = context.get();
  c->codec_id = codecId;
  c->codec_type = AVMEDIA_TYPE_VIDEO;
  c->bit_rate = kBitRate;
  c->width = kFrameWidth;
  c->height = kFrameHeight;
  switch (codecId) {
    case AV_CODEC_ID_MPEG1VIDEO:
      c->time_base = kMpeg1TimeBase;
      break;
    case AV_CODEC_ID_MPEG2VIDEO:
      c->time_base = kMpeg2TimeBase;  // the encoder refuses 100/2997
      break;
    default:
      c->time_base = kTimeBase;
  }
  c->framerate = av_inv_q(c->time_base);
  c->gop_size = kGopSize;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->max_b_frames = codecId == AV_CODEC_ID_MPEG2VIDEO ? 2 : 0;
  if (codecId == AV_CODEC_ID_MPEG1VIDEO) {
    c->mb_decision = FF_MB_DECISION_RD;
  }
  // The rest stays at libavcodec's defaults (EPZS motion search over the full range, half-pel
  // refinement, simple macroblock decision, quantiser 2..31), on the caller's thread. Measured
  // with bench/encoder_bench on the simulated sky, a noisy sky with fast streaks and drifting
  // clouds: at 3 Mbit/s the cost follows the coefficients coded, which the bit rate fixes, and
  // the motion search that remains is what keeps the quality on a still but noisy sky (half-pel
  // vectors average the reference's noise). Every cheaper candidate lost more than 0.3 dB on one
  // of the three skies: no motion search 25-30 % less CPU but -0.5 dB on the still sky and
  // -0.8 dB under clouds; a quantiser of at least 3 -38 % on the still sky only, at -0.5 dB. A
  // shorter range, early zero vectors, the X1 search or DCT-domain noise reduction saved nothing
  // measurable, and a second slice thread costs more CPU in total.
  c->thread_count = 1;
  if (browser) {
    // Browsers play H.264 and VP9; the encoder's own rate control (a constant quality) suits a
    // movie watched once, and a key frame every second lets the player seek.
    c->bit_rate = 0;
    if (kind == MovieKind::kTimelapse) {
      c->time_base = kTimelapseTimeBase;
    }
    c->framerate = av_inv_q(c->time_base);
    c->gop_size = static_cast<int>(std::lround(av_q2d(c->framerate)));
    if (options.empty() && webm) {
      // Real-time speed at a quality that keeps faint stars; the pictures change little.
      av_opt_set(c->priv_data, "deadline", "realtime", 0);
      av_opt_set_int(c->priv_data, "cpu-used", 8, 0);
      av_opt_set_int(c->priv_data, "crf", 32, 0);
    } else if (options.empty()) {
      // A night of 1,270 pictures in seconds, not minutes.
      av_opt_set(c->priv_data, "preset", "veryfast", 0);
    }
  }
  if (format->flags & AVFMT_GLOBALHEADER) {
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  AVDictionary* dictionary = nullptr;
  if (!options.empty() && av_dict_parse_string(&dictionary, options.c_str(), "=", ":", 0) < 0) {
    av_dict_free(&dictionary);
    *failure = "could not open codec";
    *code = AVERROR(EINVAL);
    return nullptr;
  }
  int opened = 0;
  {
    std::lock_guard<std::mutex> lock(codecLock());
    opened = avcodec_open2(c, codec, &dictionary);
  }
  const bool unused = av_dict_count(dictionary) != 0;
  av_dict_free(&dictionary);
  if (opened < 0 || unused) {
    *failure = "could not open codec";
    *code = opened < 0 ? opened : AVERROR_OPTION_NOT_FOUND;
    return nullptr;
  }
  return context;
}

}  // namespace

BrowserVideoType ChooseBrowserVideoType(bool h264Encoder) {
  return h264Encoder ? BrowserVideoType{".mp4", "video/mp4"}
                     : BrowserVideoType{".webm", "video/webm"};
}

BrowserVideoType BrowserVideoTypeHere() {
  std::lock_guard<std::mutex> lock(codecLock());
  return ChooseBrowserVideoType(avcodec_find_encoder(AV_CODEC_ID_H264) != nullptr);
}

CodecContextPtr OpenMovieEncoder(const std::string& container, const std::string& options,
                                 std::string* failure) {
  const AVOutputFormat* format = av_guess_format(container.c_str(), nullptr, nullptr);
  const char* why = "Could not find suitable output format";
  int code = 0;
  CodecContextPtr encoder =
      format != nullptr ? OpenEncoderFor(format, options, &why, &code) : nullptr;
  if (encoder == nullptr && failure != nullptr) {
    *failure = why + (code != 0 ? ": " + ErrorText(code) : std::string());
  }
  return encoder;
}

MovieWriter::MovieWriter(const std::string& path) {
  // Exclusive, and never through a link: a movie replaces nothing that is there already.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    fileError_ = errno;
    Fail("Could not open '" + path + "'", AVERROR(fileError_), false);
    return;
  }
  createdPath_ = path;
  Open(path, fd, path);
}

MovieWriter::MovieWriter(AtomicFile& file, MovieKind kind) : kind_(kind) {
  if (file.file() == nullptr) {
    fileError_ = file.error() != 0 ? file.error() : EIO;
    Fail("Could not open '" + file.path() + "'", AVERROR(fileError_), false);
    return;
  }
  Open(file.path(), fileno(file.file()), file.temporary());
}

void MovieWriter::Open(const std::string& name, int fd, const std::string& url) {
  fd_ = fd;
  format_ = av_guess_format(nullptr, name.c_str(), nullptr);
  // A container that writes files of its own (numbered images) is not written through fd.
  if (format_ == nullptr || (format_->flags & AVFMT_NOFILE) || VideoCodecFor(format_) == 0) {
    Fail("Could not find suitable output format", 0, false);
    ReleaseOutput(false);
    return;
  }
  AVFormatContext* context = nullptr;
  if (const int made = avformat_alloc_output_context2(&context, format_, nullptr, url.c_str());
      made < 0 || context == nullptr) {
    Fail("Memory error", made, false);
    ReleaseOutput(false);
    return;
  }
  formatContext_.reset(context);
  const char* failure = nullptr;
  int code = 0;
  codecContext_ = OpenEncoderFor(format_, {}, &failure, &code, kind_);
  videoStream_ = codecContext_ != nullptr ? avformat_new_stream(context, nullptr) : nullptr;
  picture_.reset(av_frame_alloc());
  packet_.reset(av_packet_alloc());
  if (codecContext_ == nullptr) {
    Fail(failure, code, true);
  } else if (videoStream_ == nullptr || (code = avcodec_parameters_from_context(
                                             videoStream_->codecpar, codecContext_.get())) < 0) {
    Fail("Could not alloc stream", code < 0 ? code : AVERROR(ENOMEM), true);
  } else if (picture_ == nullptr || packet_ == nullptr) {
    Fail("Could not allocate picture", AVERROR(ENOMEM), true);
  } else {
    AVCodecContext* c = codecContext_.get();
    videoStream_->id = 0;
    videoStream_->time_base = c->time_base;
    videoStream_->avg_frame_rate = c->framerate;
    videoStream_->r_frame_rate = c->framerate;
    picture_->format = c->pix_fmt;
    picture_->width = c->width;
    picture_->height = c->height;
    if (const int allocated = av_frame_get_buffer(picture_.get(), 0); allocated < 0) {
      Fail("Could not allocate picture", allocated, true);
    }
  }
  if (failed_) {
    videoStream_ = nullptr;
    ReleaseOutput(false);
    return;
  }
  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferBytes));
  io_.reset(buffer != nullptr ? avio_alloc_context(buffer, kIoBufferBytes, 1, &fd_, nullptr,
                                                   &WriteToDescriptor, &SeekDescriptor)
                              : nullptr);
  if (io_ == nullptr) {
    av_free(buffer);
    Fail("Memory error", AVERROR(ENOMEM), false);
    ReleaseOutput(false);
    return;
  }
  context->pb = io_.get();
  context->flags |= AVFMT_FLAG_CUSTOM_IO;
  // A browser's MP4 gets its index moved to the front when it is finished: FFmpeg reads the
  // file back through url for that.
  AVDictionary* muxerOptions = nullptr;
  if (kind_ != MovieKind::kStation && std::strcmp(format_->name, "mp4") == 0) {
    av_dict_set(&muxerOptions, "movflags", "+faststart", 0);
  }
  const int written = avformat_write_header(context, &muxerOptions);
  av_dict_free(&muxerOptions);
  if (written < 0) {
    // The container refused the stream parameters (or the file took no bytes): no movie, and
    // no half-made file left behind.
    Fail("Invalid output format parameters", written, false);
    ReleaseOutput(false);
    return;
  }
  headerWritten_ = true;
}

void MovieWriter::Fail(const std::string& message, int code, bool fatal) {
  if (!failed_) {
    error_ = message;
    reason_ = code != 0 ? ErrorText(code) : std::string();
  }
  failed_ = true;
  fatal_ = fatal_ || fatal;
}

bool MovieWriter::ReleaseOutput(bool complete) {
  bool closed = true;
  if (io_ != nullptr) {
    avio_flush(io_.get());
    closed = io_->error >= 0;
    formatContext_->pb = nullptr;
    io_.reset();
  }
  formatContext_.reset();
  videoStream_ = nullptr;
  if (!createdPath_.empty()) {
    closed = close(fd_) == 0 && closed;
    if (!complete || !closed) {
      unlink(createdPath_.c_str());
    }
    createdPath_.clear();
  }
  fd_ = -1;
  return closed;
}

void MovieWriter::WriteFrame(const uint8_t* frame, bool pseudoColor) {
  if (!ready() || !headerWritten_ || closed_) {
    return;
  }
  // The encoder may keep a reference to the last picture; never overwrite one it still reads.
  if (const int made = av_frame_make_writable(picture_.get()); made < 0) {
    Fail("Could not allocate picture", made, true);
    return;
  }
  AVFrame* picture = picture_.get();
  if (pseudoColor) {
    if (!FillPseudoColor(frame)) {
      return;
    }
  } else {
    FillGreyPicture(picture, frame);
  }
  picture->pts = frameCount_;
  ++frameCount_;
  EncodeAndWrite(picture);
}

bool MovieWriter::FillPseudoColor(const uint8_t* frame) {
  if (scaler_ == nullptr) {
    scaler_.reset(sws_getContext(kFrameWidth, kFrameHeight, AV_PIX_FMT_RGB24, kFrameWidth,
                                 kFrameHeight, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr,
                                 nullptr));
    if (scaler_ == nullptr) {
      return false;
    }
  }
  if (rgb_ == nullptr) {
    rgb_ = std::make_unique<uint8_t[]>(kRgbBytes);
  }
  uint8_t* out = rgb_.get();
  for (int i = 0; i < kFrameBytes; ++i) {
    const uint32_t colour = pseudoColorPalette[255 - frame[i]];
    out[0] = static_cast<uint8_t>(colour >> 16);
    out[1] = static_cast<uint8_t>(colour >> 8);
    out[2] = static_cast<uint8_t>(colour);
    out += 3;
  }
  const uint8_t* const source[1] = {rgb_.get()};
  const int sourceStride[1] = {kFrameWidth * 3};
  sws_scale(scaler_.get(), source, sourceStride, 0, kFrameHeight, picture_->data,
            picture_->linesize);
  return true;
}

bool MovieWriter::EncodeAndWrite(const AVFrame* picture) {
  AVCodecContext* c = codecContext_.get();
  AVPacket* packet = packet_.get();
  int result = avcodec_send_frame(c, picture);
  while (result >= 0) {
    result = avcodec_receive_packet(c, packet);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) {
      return true;
    }
    if (result < 0) {
      break;
    }
    if (packet->duration == 0) {
      packet->duration = 1;  // one frame, in the codec's time base
    }
    av_packet_rescale_ts(packet, c->time_base, videoStream_->time_base);
    packet->stream_index = videoStream_->index;
    // Takes the packet's data and leaves the packet blank for the next frame.
    result = av_interleaved_write_frame(formatContext_.get(), packet);
  }
  av_packet_unref(packet);
  // The disk is full or the file is gone: this movie ends here, the station goes on.
  Fail("Error while writing video frame", result, false);
  return false;
}

bool MovieWriter::Close() {
  if (closed_) {
    return complete_;
  }
  closed_ = true;
  bool complete = headerWritten_ && !failed_;
  int code = 0;  // the library's error when finishing failed
  if (complete) {
    // Drain what the encoder still holds, then finish the container (it rewrites the index).
    complete = EncodeAndWrite(nullptr) && (code = av_write_trailer(formatContext_.get())) >= 0;
  }
  scaler_.reset();
  rgb_.reset();
  picture_.reset();
  packet_.reset();
  codecContext_.reset();
  // A write error that the buffered output met late shows in its error field or in the close.
  if (io_ != nullptr && complete) {
    avio_flush(io_.get());
    code = io_->error;
  }
  if (!ReleaseOutput(complete) && complete) {
    complete = false;
    code = code < 0 ? code : AVERROR(errno);
  }
  if (headerWritten_ && !complete) {
    Fail("Error while finishing the movie", code, false);  // an earlier failure stays the first
  }
  complete_ = complete;
  return complete;
}

MovieWriter::~MovieWriter() {
  Close();
}

}  // namespace ombrix
