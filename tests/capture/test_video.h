#pragma once

#include <cstdlib>
#include <string>

namespace ombrix::test {

// Encodes a 320x240 MPEG-4 movie with the ffmpeg tool whose frame n is a flat grey of brightness
// 20 + 2n (mod 200); true when the file was made.
inline bool MakeTestVideo(const std::string& path, int frames, int framesPerSecond,
                          const std::string& creationTime = {}) {
  std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i \"color=black:s=320x240:r=" +
                        std::to_string(framesPerSecond) +
                        ",geq=lum='20+mod(2*N\\,200)':cb=128:cr=128\" -frames:v " +
                        std::to_string(frames) + " -c:v mpeg4 -q:v 2 -pix_fmt yuv420p ";
  if (!creationTime.empty()) {
    command += "-metadata creation_time=" + creationTime + " ";
  }
  command += "'" + path + "'";
  return std::system(command.c_str()) == 0;
}

// The brightness of frame n of a test video.
inline int TestVideoBrightness(int frame) {
  return 20 + (2 * frame) % 200;
}

}  // namespace ombrix::test
