#include "support/review_archive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "base/clock.h"
#include "base/folders.h"
#include "detect/time_history.h"
#include "media/movie_writer.h"
#include "media/stills.h"
#include "storage/event_extractor.h"

namespace ombrix::test {
namespace {

std::string MinuteFolder(const std::string& base, const Stamp& stamp) {
  std::string folder;
  EXPECT_TRUE(GetArchiveMinuteFolder(base, folder, stamp, true));
  return folder;
}

}  // namespace

UtcTime At(const Stamp& stamp) {
  return ParseStamp(stamp).value();
}

ReviewArchive::ReviewArchive() {
  settings.Update([this](Settings& s) {
    s.archiveFolder = base.str();
    s.slowdownFactor = 0;
  });
}

void ReviewArchive::AddClip(const Stamp& start, bool withLog) {
  const std::string folder = MinuteFolder(base.str(), start);
  std::vector<uint8_t> frame(kFrameBytes), peak(kFrameBytes, 0);
  MovieWriter writer(folder + "/s" + start + ".mp4");
  std::FILE* log = withLog ? std::fopen((folder + "/c" + start + ".csv").c_str(), "wb") : nullptr;
  for (int i = 0; i < 30; ++i) {
    std::fill(frame.begin(), frame.end(), uint8_t{20});
    for (int y = 0; y < 64; ++y) {
      std::fill_n(frame.begin() + y * kFrameWidth, 64, static_cast<uint8_t>(40 + 6 * i));
    }
    writer.WriteFrame(frame.data(), false);
    std::transform(peak.begin(), peak.end(), frame.begin(), peak.begin(),
                   [](uint8_t a, uint8_t b) { return std::max(a, b); });
    const TimeHistoryRow row{At(start) + i * std::chrono::milliseconds(33), i, 10 * i, 100.0 + i,
                             200.0 + i};
    EXPECT_TRUE(log == nullptr || WriteTimeHistoryLine(log, row));
  }
  EXPECT_TRUE(writer.Close());
  if (log != nullptr) {
    std::fclose(log);
  }
  EXPECT_TRUE(WriteJpegStill(folder + "/t" + start + ".jpg", peak.data()));
}

void ReviewArchive::AddIntegratedImage(const Stamp& stamp, uint32_t value) {
  std::vector<uint32_t> sums(kFrameBytes, value);
  WritePngStill(MinuteFolder(base.str(), stamp) + "/a" + stamp + ".png", sums.data());
}

std::string ReviewArchive::AddEvent(const Stamp& first, const Stamp& last) {
  std::filesystem::create_directories(EventsFolder());
  WriteFileBytes(EventFile('e', first), first + "\r\n" + last + "\r\n");
  return EventFile('e', first);
}

void ReviewArchive::CutEvent(const Stamp& first, const Stamp& last) {
  EventList list;
  SystemClock clock;
  ArchiveProgress idle;
  Notices notices;
  EventExtractor extractor(settings, list, clock, idle, notices);
  const auto now = settings.Get();
  AtomicFile image(EventFile('j', first)), movie(EventFile('m', first)),
      history(EventFile('c', first));
  extractor.ExtractEventImage(*now, At(first) - kImageWindowBefore, At(last) + kImageWindowAfter,
                              image);
  extractor.ExtractEventMovie(*now, At(first), At(last), movie);
  extractor.ExtractEventTimeHistory(*now, At(first), At(last), history);
  for (AtomicFile* file : {&image, &movie, &history}) {
    file->Commit(Durability::kCached);
  }
}

void RecordingWindow::FrameReady() {
  std::vector<uint8_t> pixels(kFrameBytes);
  ShownFrame shown;
  EXPECT_TRUE(session_->CopyShownFrame(pixels.data(), &shown));
  const Frame frame{shown.displayCount, shown.time ? MakeStamp(*shown.time) : "",
                    pixels[10 * kFrameWidth + 10]};
  Change([&](Record& r) { r.frames.push_back(frame); });
}

}  // namespace ombrix::test
