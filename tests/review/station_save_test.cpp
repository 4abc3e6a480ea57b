#include <gtest/gtest.h>

#include <fstream>

#include <chrono>
#include <filesystem>
#include <thread>

#include "capture/simulated_sky.h"
#include "review/reviewer.h"
#include "review_archive.h"
#include "station/station.h"

namespace ombrix::test {
namespace {

using namespace std::chrono_literals;

class PlentyOfSpace final : public FreeSpace {
 public:
  std::optional<double> FreeFraction(const std::string&) override { return 0.9; }
};

// Save on a running station: the stretch goes onto the station's own event list and its archive
// thread cuts it like a detected event.
TEST(Save, TheRunningStationCutsTheSavedStretch) {
  ScopedHome home;
  TempDir base;
  SystemClock clock;
  PlentyOfSpace space;
  SteadyPacer pacer;
  StationOptions options;
  options.readConfiguration = false;
  options.enableAtStart = true;
  options.extractionPeriod = 200ms;
  Station station(clock, space, options, StationHooks{});
  station.SetArchiveFolder(base.str());
  SimulatedSkyOptions sky;
  sky.meteorsPerMinute = 0;
  station.Start(std::make_unique<SimulatedSkySource>(sky, clock, pacer, nullptr, ""));
  std::this_thread::sleep_for(5s);

  RecordingWindow window(station.readerValues());
  const std::unique_ptr<Reviewer> reviewer = station.MakeReviewer(window);
  const PickerInterval interval = ReadPickerInterval(ToCalendarTime(clock.UtcNow()) - 2, "1");
  ASSERT_TRUE(reviewer->Save(interval));
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (station.EventsCut() == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(50ms);
  }
  station.Stop();
  ASSERT_EQ(station.EventsCut(), 1u);
  EXPECT_EQ(station.EventsRecorded(), 0u);

  const std::string events = base.str() + "/events/";
  const int frames = MovieFrames(events + "m" + interval.start + ".mp4");
  // First - 1 s to last: two seconds, about 60 frames when the simulated sky keeps its 29.97
  // frames/s (fewer on a loaded machine, where its clips last longer), with a history line each.
  EXPECT_GT(frames, 0);
  EXPECT_LE(frames, 61);
  EXPECT_TRUE(std::filesystem::exists(events + "j" + interval.start + ".jpg"));
  std::ifstream history(events + "c" + interval.start + ".csv");
  int lines = 0;
  for (std::string line; std::getline(history, line);) {
    ++lines;
  }
  EXPECT_EQ(lines, frames);
}

}  // namespace
}  // namespace ombrix::test
