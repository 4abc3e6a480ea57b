#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "media/ffmpeg_ptr.h"

struct AVOutputFormat;
struct AVStream;

namespace ombrix {

class AtomicFile;

// kStation: the station's own movies (clips, events, exports), as described below. The other two
// are for a web browser, at constant quality with a key frame a second, the index at the front
// of an MP4 so that playing starts before the whole file is in: H.264 in ".mp4", VP9 in ".webm"
// (by the file name). kTimelapse runs at 25 frames/s, kBrowser at the camera's frame rate (an
// event movie for the web page).
enum class MovieKind { kStation, kTimelapse, kBrowser };

// The file type a browser movie gets: ".mp4" (H.264) when that encoder exists, else ".webm" (VP9).
struct BrowserVideoType {
  const char* extension;
  const char* mimeType;
};
BrowserVideoType ChooseBrowserVideoType(bool h264Encoder);
// The same for the encoders this process has.
BrowserVideoType BrowserVideoTypeHere();

// Opens the video encoder of the station's movies for a container named as FFmpeg names it
// ("mp4", "mpeg"), set up exactly as MovieWriter uses it: the container's video codec (MPEG-4
// Part 2 for MP4), 3 Mbit/s, 640x480, GOP 10, YUV 4:2:0, one thread. `options`
// ("key=value:key=value") adds encoder options of one's own, for a benchmark trying candidates;
// every one must be taken. Null when the encoder cannot be had; *failure then says why.
CodecContextPtr OpenMovieEncoder(const std::string& container, const std::string& options = {},
                                 std::string* failure = nullptr);

// Writes 640x480 brightness frames as a movie whose container and codec follow the file name:
// ".mp4" gives MPEG-4 Part 2 video in MP4 at 29.97 frames/s, ".mpg" MPEG-1 video in an MPEG
// program stream at 30 frames/s. A writer that cannot be set up is failed() and leaves no file;
// callers check ready() before writing frames. A missing encoder, an encoder that does not open
// or a picture or stream that cannot be allocated also make the writer fatal(): the station
// cannot record at all and must end (exit code 1) in its orderly way; the writer itself never
// ends the process. A packet that cannot be written (disk full, file gone) marks the writer
// failed and drops every later frame; the process goes on. The writer never prints: the first
// failure's line is kept in error() for the caller to say in its own words.
//
// The writer opens every file itself, and FFmpeg writes only through that descriptor: a name is
// never opened twice, and a link planted at it is never followed.
//
// Not copyable; one thread per writer. Ownership: the descriptor of a file it created, the I/O
// context, codec context, picture, packet, scaler and RGB buffer are owned here; the stream is
// owned by the format context.
class MovieWriter {
 public:
  // Creates the movie at path, which must not exist yet: a name that is taken (by a file, a
  // folder or a link) gives a failed writer whose fileError() is EEXIST, and the file there stays
  // as it was.
  explicit MovieWriter(const std::string& path);
  // Writes into the open temporary of file, choosing the container by file.path(); the caller
  // commits the file after a successful Close(). The file must outlive the writer.
  explicit MovieWriter(AtomicFile& file, MovieKind kind = MovieKind::kStation);
  ~MovieWriter();  // calls Close() if not yet closed
  MovieWriter(const MovieWriter&) = delete;
  MovieWriter& operator=(const MovieWriter&) = delete;

  // Encodes one 640x480 grey frame (or its pseudo-colour rendering) and writes what the encoder
  // gives back.
  void WriteFrame(const uint8_t* frame, bool pseudoColor);
  // Drains the encoder, writes the trailer, closes the file and releases everything. True when
  // the movie is complete: the header, every frame, the trailer and the close all succeeded.
  // False for a failed writer, and when any of them failed (disk full): the file is then
  // incomplete and the caller should not keep it, and the writer is failed() ("Error while
  // finishing the movie" when nothing failed before). Idempotent; a second call returns the
  // result of the first.
  bool Close();

  bool failed() const { return failed_; }
  // A failure after which no movie can be written at all (no encoder, no picture).
  bool fatal() const { return fatal_; }
  // The first failure's line (without its line end), e.g. "Could not open '/a/s.mp4'"; empty
  // while none.
  const std::string& error() const { return error_; }
  // The system's word for the first failure ("Permission denied"); empty when there is none.
  const std::string& reason() const { return reason_; }
  // errno of the creation of the file when it failed (EEXIST: the name is taken); else 0.
  int fileError() const { return fileError_; }
  bool ready() const { return !failed_ && formatContext_ != nullptr && videoStream_ != nullptr; }
  int frameCount() const { return frameCount_; }

 private:
  // Sets up the container chosen by name and its stream, writing to fd; url is where the file
  // can be read back (an MP4 for a browser moves its index to the front at the end).
  void Open(const std::string& name, int fd, const std::string& url);
  // Marks the writer failed (and fatal) with the message and the library's error code (0: none).
  void Fail(const std::string& message, int code, bool fatal);
  bool FillPseudoColor(const uint8_t* frame);
  // Sends a picture (or nullptr to drain) and writes every packet that comes out. False once a
  // packet could not be written.
  bool EncodeAndWrite(const AVFrame* picture);
  // Frees the output; closes and (unless the movie is complete) removes a file created here.
  // False when closing the file failed.
  bool ReleaseOutput(bool complete);

  FramePtr picture_;
  PacketPtr packet_;  // reused for every encoded frame
  int frameCount_ = 0;
  const AVOutputFormat* format_ = nullptr;  // not owned
  OutputContextPtr formatContext_;
  IoContextPtr io_;
  AVStream* videoStream_ = nullptr;  // owned by formatContext_
  CodecContextPtr codecContext_;
  ScalerPtr scaler_;                // pseudo-colour only, made on first use
  std::unique_ptr<uint8_t[]> rgb_;  // pseudo-colour RGB24 picture, made on first use
  std::string createdPath_;         // the file this writer created; empty for none
  int fd_ = -1;                     // where the bytes go; closed here only for createdPath_
  bool failed_ = false;
  bool fatal_ = false;
  std::string error_;
  std::string reason_;
  int fileError_ = 0;
  MovieKind kind_ = MovieKind::kStation;
  bool headerWritten_ = false;
  bool closed_ = false;
  bool complete_ = false;  // the result of Close()
};

}  // namespace ombrix
