// The night summary of a generated 12-hour archive: 1,266 integrated images (one every 34.13 s,
// pngIntegrationFactor 1), a clip name in every minute and 30 events with time histories. One
// run gathers the night and writes every picture, the timelapse, the JSON and the SVGs.
// Run in a release build: night_bench (target: under 30 s on the 2-core machine)

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/folders.h"
#include "base/frame.h"
#include "config/settings.h"
#include "detect/time_history.h"
#include "media/stills.h"
#include "review/night.h"
#include "review/night_summary.h"

namespace {

using namespace ombrix;
using std::chrono::milliseconds;

constexpr UtcTime kStart =
    std::chrono::sys_days{std::chrono::year{2024} / 3 / 15} + std::chrono::hours(18);
constexpr auto kLength = std::chrono::hours(12);

void Touch(const std::string& path) {
  FilePtr file(std::fopen(path.c_str(), "wb"));
}

// A base folder holding the night; made once per process.
class Fixture {
 public:
  static Fixture& Get() {
    static Fixture fixture;
    return fixture;
  }
  ~Fixture() { std::filesystem::remove_all(base_); }
  const std::string& base() const { return base_; }

 private:
  Fixture() : base_(std::filesystem::temp_directory_path() / "ombrix_night_bench") {
    std::filesystem::remove_all(base_);
    std::filesystem::create_directories(base_ + "/events");
    std::mt19937 random(1);
    std::normal_distribution<double> noise(30.0, 4.0);
    std::vector<uint32_t> sums(kFrameBytes);
    std::string folder;
    for (UtcTime minute = kStart; minute < kStart + kLength; minute += std::chrono::minutes(1)) {
      GetArchiveMinuteFolder(base_, folder, MakeStamp(minute), true);
      Touch(folder + "/s" + MakeStamp(minute + milliseconds(500)) + ".mp4");
    }
    for (UtcTime at = kStart + milliseconds(1000); at < kStart + kLength;
         at += milliseconds(34133)) {
      for (uint32_t& sum : sums) {
        sum = static_cast<uint32_t>(std::max(0.0, noise(random)));
      }
      GetArchiveMinuteFolder(base_, folder, MakeStamp(at), true);
      WritePngStill(folder + "/a" + MakeStamp(at) + ".png", sums.data());
    }
    for (int event = 0; event < 30; ++event) {
      const UtcTime first = kStart + std::chrono::minutes(23 * event + 7);
      const Stamp key = MakeStamp(first);
      FilePtr file(std::fopen((base_ + "/events/e" + key + ".txt").c_str(), "wb"));
      std::fprintf(file.get(), "%s\r\n%s\r\n", key.c_str(),
                   MakeStamp(first + milliseconds(900)).c_str());
      FilePtr history(std::fopen((base_ + "/events/c" + key + ".csv").c_str(), "wb"));
      for (int i = 0; i < 27; ++i) {
        const TimeHistoryRow row{first + milliseconds(33 * i), 40, 2000, 100.0 + 8 * i,
                                 300.0 - 5 * i};
        WriteEventTimeHistoryLine(history.get(), row, 120.0 + i, 30.0 + i);
      }
    }
  }
  std::string base_;
};

void BM_NightSummary(benchmark::State& state) {
  Settings settings;
  settings.archiveFolder = Fixture::Get().base();
  const std::string out = settings.archiveFolder + "/night";
  std::filesystem::create_directories(out);
  for (auto _ : state) {
    const Night night = GatherNight(settings.archiveFolder, {kStart, kStart + kLength});
    const NightSummary summary = WriteNightSummary(settings, night, out);
    if (summary.pictures.images < 1200 || !summary.failed.empty()) {
      state.SkipWithError("the night summary was not written whole");
    }
    state.counters["images"] = summary.pictures.images;
  }
}
BENCHMARK(BM_NightSummary)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

}  // namespace
