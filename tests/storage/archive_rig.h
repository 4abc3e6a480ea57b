#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/calendar_time.h"
#include "base/clock.h"
#include "base/stamp.h"
#include "capture/frame_ring.h"
#include "config/settings.h"
#include "detect/detector.h"
#include "detect/event_file.h"
#include "detect/threshold_map.h"
#include "media/movie_reader.h"
#include "storage/archive_recorder.h"
#include "support/temp_dir.h"

namespace ombrix::test {

class FakeClock final : public Clock {
 public:
  SystemTime UtcNow() const override { return now; }
  CalendarFields LocalNow() const override { return FieldsOf(now); }
  void Set(CalendarTime seconds, int milliseconds = 0) {
    now = ToSystemTime(seconds, milliseconds);
  }

  SystemTime now{};
};

// The real detector and recorder fed with a synthetic sky: a noisy dark background (8..23, never
// a change above the threshold) and, for frames in [spotBegin, spotEnd), a bright spot of radius
// 3 that moves 4 pixels right and 2 down per frame. Frame k is captured at start + 33 k ms.
// The detector skips the first triggerGap (10) frames, so the recorded frames are k = 10, 11, ...
// and clip j begins with frame 10 + 30 j.
class ArchiveRig {
 public:
  static constexpr int kFirstRecorded = 10;
  static constexpr int kFrameSpacing_ms = 33;

  explicit ArchiveRig(CalendarTime start);

  // Stores the next count frames, running a detection step after every burst frames (the
  // detector then works up to burst - 1 frames behind the capture).
  void Feed(int count, int burst = 1);

  SystemTime TimeOf(int frame) const;
  Stamp StampOf(int frame) const { return MakeStamp(TimeOf(frame)); }
  // Whether frame k shows the spot, and its centre.
  bool SpotIn(int frame) const { return frame >= spotBegin && frame < spotEnd; }
  int SpotX(int frame) const { return 100 + 4 * (frame - spotBegin); }
  int SpotY(int frame) const { return 200 + 2 * (frame - spotBegin); }
  int framesFed() const { return fed_; }

  // "archive/sYYYY/sYYYYMMDD/sYYYYMMDD_hhmm" of a Stamp, under the base folder.
  std::string MinuteFolder(const Stamp& stamp) const;
  std::string EventsFolder() const { return base.str() + "/events"; }

  TempDir base;
  Settings settings;
  FrameRing ring;
  ThresholdMap thresholds;
  EventList events;
  FakeClock clock;
  std::unique_ptr<Detector> detector;
  std::unique_ptr<ArchiveRecorder> recorder;
  int spotBegin = -1;
  int spotEnd = -1;

 private:
  CalendarTime start_;
  int fed_ = 0;
  uint32_t noise_ = 12345;
  std::vector<uint8_t> sample_;
};

// Lines of a text file, split at CR LF; a line end other than CR LF fails the test.
std::vector<std::string> ReadCrLfLines(const std::string& path);
// Frames a movie gives back.
int CountMovieFrames(const std::string& path);
// Names in a folder (no paths), sorted; empty when the folder is missing.
std::vector<std::string> ListNames(const std::string& folder);

inline ArchiveRig::ArchiveRig(CalendarTime start) : start_(start), sample_(kSampleSize640) {
  settings.archiveFolder.set(base.str());
  settings.enabled = true;
  detector = std::make_unique<Detector>(settings, ring, thresholds, events, clock);
  detector->BuildThresholdMap();
  recorder = std::make_unique<ArchiveRecorder>(settings, *detector);
  detector->SetArchiveSink(*recorder);
  clock.Set(start);
}

inline SystemTime ArchiveRig::TimeOf(int frame) const {
  const int64_t ms = static_cast<int64_t>(frame) * kFrameSpacing_ms;
  return ToSystemTime(start_ + ms / 1000, static_cast<int>(ms % 1000));
}

inline void ArchiveRig::Feed(int count, int burst) {
  for (int n = 0; n < count; ++n) {
    const int k = fed_++;
    for (int i = 0; i < kFrameBytes; ++i) {
      noise_ = noise_ * 1664525u + 1013904223u;
      sample_[2 * i] = static_cast<uint8_t>(8 + (noise_ >> 28));
      sample_[2 * i + 1] = 128;
    }
    if (SpotIn(k)) {
      for (int dy = -3; dy <= 3; ++dy) {
        for (int dx = -3; dx <= 3; ++dx) {
          if (dx * dx + dy * dy <= 9) {
            sample_[2 * ((SpotY(k) + dy) * kFrameWidth + SpotX(k) + dx)] = 220;
          }
        }
      }
    }
    ring.StoreFrame(sample_.data(), TimeOf(k));
    clock.now = TimeOf(k);
    if ((n + 1) % burst == 0 || n + 1 == count) {
      detector->DetectionStep();
    }
  }
}

inline std::string ArchiveRig::MinuteFolder(const Stamp& stamp) const {
  return base.str() + "/archive/s" + stamp.substr(0, 4) + "/s" + stamp.substr(0, 8) + "/s" +
         stamp.substr(0, 13);
}

inline std::vector<std::string> ReadCrLfLines(const std::string& path) {
  const std::string bytes = ReadFileBytes(path);
  std::vector<std::string> lines;
  size_t begin = 0;
  while (begin < bytes.size()) {
    const size_t end = bytes.find("\r\n", begin);
    if (end == std::string::npos) {
      ADD_FAILURE() << path << ": text after the last CR LF";
      break;
    }
    lines.push_back(bytes.substr(begin, end - begin));
    EXPECT_EQ(lines.back().find('\n'), std::string::npos) << path << ": bare line feed";
    begin = end + 2;
  }
  return lines;
}

inline int CountMovieFrames(const std::string& path) {
  MovieReader reader(path);
  std::vector<uint8_t> frame(kFrameBytes);
  int frames = 0;
  while (reader.readFrame(frame.data())) {
    ++frames;
  }
  return frames;
}

inline std::vector<std::string> ListNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(folder, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace ombrix::test
