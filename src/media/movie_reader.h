#pragma once

#include <cstdint>
#include <string>

#include "media/ffmpeg_ptr.h"

struct AVCodec;

namespace ombrix {

// Reads a movie, or a JPEG or PNG still as a one-picture stream, picture by picture as 640x480
// brightness frames (the first plane of each decoded picture). The constructor always completes;
// a file that cannot be opened or has no decodable video stream gives failed() and reads that
// return false. Reading ends at the end of the file, on an error, at the first packet of another
// stream, or at a packet that gives no picture (silently: the reader never prints). A picture
// smaller than 640x480 is never read
// outside its bounds: its read returns false.
//
// Not copyable; one thread per reader; safe to destroy in every state. Ownership: the format
// context, decoder context, picture and packet are all owned here.
class MovieReader {
 public:
  explicit MovieReader(const std::string& path);
  ~MovieReader();
  MovieReader(const MovieReader&) = delete;
  MovieReader& operator=(const MovieReader&) = delete;

  bool failed() const { return failed_; }
  // Replaces dst (640x480) with the next picture's brightness.
  bool readFrame(uint8_t* dst);
  // Folds the next picture into dst (640x480) by per-pixel maximum. Rows longer than 1000 bytes
  // are taken as packed three-byte pixels and give their first component.
  bool readFrameMax(uint8_t* dst);

 private:
  // Reads and decodes the next packet of the video stream into picture_.
  bool DecodeNext();

  InputContextPtr formatContext_;
  CodecContextPtr codecContext_;
  const AVCodec* codec_ = nullptr;  // not owned
  FramePtr picture_;
  PacketPtr packet_;
  int videoStream_ = -1;
  bool failed_ = false;
};

}  // namespace ombrix
