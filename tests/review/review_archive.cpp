#include "review_archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "base/folders.h"
#include "detect/time_history.h"
#include "media/movie_writer.h"
#include "media/stills.h"

namespace ombrix::test {

ReviewArchive::ReviewArchive() {
  settings.Update([this](Settings& s) {
    s.archiveFolder = base.str();
    s.slowdownFactor = 0;
  });
}

std::string ReviewArchive::MinuteFolder(const Stamp& stamp) const {
  std::string folder;
  EXPECT_TRUE(GetArchiveMinuteFolder(base.str(), folder, stamp, true));
  return folder;
}

std::string ReviewArchive::EventFile(char letter, const Stamp& key) const {
  const char* extension = letter == 'e'   ? ".txt"
                          : letter == 'j' ? ".jpg"
                          : letter == 'm' ? ".mp4"
                                          : ".csv";
  return EventsFolder() + "/" + letter + key + extension;
}

void ReviewArchive::AddClip(const Stamp& start, bool withLog) {
  const std::string folder = MinuteFolder(start);
  std::vector<uint8_t> frame(kFrameBytes), peak(kFrameBytes, 0);
  MovieWriter writer(folder + "/s" + start + ".mp4");
  ASSERT_TRUE(writer.ready());
  std::FILE* log = withLog ? std::fopen((folder + "/c" + start + ".csv").c_str(), "wb") : nullptr;
  for (int i = 0; i < 30; ++i) {
    std::fill(frame.begin(), frame.end(), uint8_t{20});
    for (int y = 0; y < 64; ++y) {
      std::fill_n(frame.begin() + y * kFrameWidth, 64, static_cast<uint8_t>(40 + 6 * i));
    }
    writer.WriteFrame(frame.data(), false);
    for (int p = 0; p < kFrameBytes; ++p) {
      peak[p] = std::max(peak[p], frame[p]);
    }
    if (log != nullptr) {
      TimeHistoryRow row{};
      row.time = *ParseStamp(start) + i * std::chrono::milliseconds(33);
      row.pixelCount = i;
      row.excessSum = 10 * i;
      row.centroidX = 100 + i;
      row.centroidY = 200 + i;
      ASSERT_TRUE(WriteTimeHistoryLine(log, row));
    }
  }
  static_cast<void>(writer.Close());
  if (log != nullptr) {
    std::fclose(log);
  }
  WriteJpegStill(folder + "/t" + start + ".jpg", peak.data());
}

void ReviewArchive::AddIntegratedImage(const Stamp& stamp, uint32_t value) {
  std::vector<uint32_t> sums(kFrameBytes, value);
  WritePngStill(MinuteFolder(stamp) + "/a" + stamp + ".png", sums.data());
}

std::string ReviewArchive::AddEvent(const Stamp& first, const Stamp& last) {
  std::filesystem::create_directories(EventsFolder());
  const std::string path = EventFile('e', first);
  WriteFileBytes(path, first + "\r\n" + last + "\r\n");
  return path;
}

void ReviewArchive::CutEvent(const Stamp& first, const Stamp& last) {
  EventExtractor extractor(settings, eventList, review, clock, progress, notices);
  const std::shared_ptr<const Settings> now = settings.Get();
  const UtcTime from = *ParseStamp(first), to = *ParseStamp(last);
  extractor.ExtractEventImage(*now, from - kImageWindowBefore, to + kImageWindowAfter,
                              EventFile('j', first));
  extractor.ExtractEventMovie(*now, from, to, EventFile('m', first));
  extractor.ExtractEventTimeHistory(*now, from, to, EventFile('c', first));
}

void RecordingWindow::FrameReady() {
  uint8_t pixel = 0;
  review_.replayFrame.Update(0, [&pixel](uint8_t* p) { pixel = p[10 * kFrameWidth + 10]; });
  const std::optional<UtcTime> shown = review_.currentArchiveFile.get();
  Frame frame{review_.displayCount, shown ? MakeStamp(*shown) : "", review_.archiveFrameCount,
              pixel};
  Record([&] { frames_.push_back(frame); });
}

void RecordingWindow::ReplayEnded() {
  Record([&] { ++replayEnds_; });
}

bool RecordingWindow::WaitForReplayEnds(int n) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return replayEnds_ >= n; });
}

bool RecordingWindow::WaitForFrames(size_t n) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return frames_.size() >= n; });
}

void RecordingWindow::Clear() {
  Record([&] {
    infos_.clear();
    failures_.clear();
    frames_.clear();
    hides_ = 0;
    replayEnds_ = 0;
  });
}

}  // namespace ombrix::test
