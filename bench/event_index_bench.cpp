// The web page's events listing over an events folder of 10,000 events, each with its event file,
// a time history of 90 lines, a peak image and a movie (the last two empty). The first fill reads
// every event; later pages read nothing while the folder is unchanged (one stat), and one
// directory listing plus the new event when it has changed.
// Run in a release build: event_index_bench (target: a page in under 100 ms)

#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "base/file.h"
#include "detect/time_history.h"
#include "review/event_index.h"

namespace {

using namespace ombrix;
using std::chrono::milliseconds;

constexpr int kEvents = 10000;
const UtcTime kFirst = std::chrono::sys_days{std::chrono::year{2024} / 3 / 15};

void WriteEvent(const std::string& folder, UtcTime start, bool companions) {
  const Stamp key = MakeStamp(start);
  const Stamp end = MakeStamp(start + milliseconds(3000));
  FilePtr event(std::fopen((folder + "/e" + key + ".txt").c_str(), "wb"));
  std::fputs((key + "\r\n" + end + "\r\n").c_str(), event.get());
  if (!companions) {
    return;
  }
  FilePtr history(std::fopen((folder + "/c" + key + ".csv").c_str(), "wb"));
  for (int i = 0; i < 90; ++i) {
    const bool lit = i >= 30 && i < 60;
    const TimeHistoryRow row{start + milliseconds(33 * i - 1000), lit ? 40 : 0, lit ? 900 : 0,
                             100.0 + 5 * i, 200.0 + 2 * i};
    WriteEventTimeHistoryLine(history.get(), row, lit ? 90.0 + i : 0, lit ? 30.0 + i / 3.0 : 0);
  }
  FilePtr peak(std::fopen((folder + "/j" + key + ".jpg").c_str(), "wb"));
  FilePtr movie(std::fopen((folder + "/m" + key + ".mp4").c_str(), "wb"));
}

// The events folder; made once per process.
const std::string& Folder() {
  static const struct Made {
    Made() : folder(std::filesystem::temp_directory_path() / "ombrix_event_index_bench") {
      std::filesystem::remove_all(folder);
      std::filesystem::create_directories(folder);
      for (int i = 0; i < kEvents; ++i) {
        WriteEvent(folder, kFirst + std::chrono::minutes(7 * i), true);
      }
    }
    ~Made() { std::filesystem::remove_all(folder); }
    std::string folder;
  } made;
  return made.folder;
}

void FirstFill(benchmark::State& state) {
  const std::string& folder = Folder();
  for (auto _ : state) {
    EventIndex index(folder);
    size_t total = 0;
    benchmark::DoNotOptimize(index.Page(0, 50, &total));
    if (total != kEvents) {
      state.SkipWithError("not every event listed");
    }
  }
}
BENCHMARK(FirstFill)->Unit(benchmark::kMillisecond)->Iterations(3);

// Pages of 50 from the newest (0) or the middle of the listing, the folder unchanged.
void Page(benchmark::State& state) {
  EventIndex index(Folder());
  index.Page(0, 1, nullptr);
  for (auto _ : state) {
    benchmark::DoNotOptimize(index.Page(static_cast<size_t>(state.range(0)), 50, nullptr));
  }
}
BENCHMARK(Page)->Arg(0)->Arg(5000)->Unit(benchmark::kMicrosecond);

// A page right after the station recorded an event: the folder is listed again and the new event
// read; the others are kept.
void PageAfterANewEvent(benchmark::State& state) {
  const std::string& folder = Folder();
  EventIndex index(folder);
  index.Page(0, 1, nullptr);
  int n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    WriteEvent(folder, kFirst - std::chrono::minutes(++n), false);
    state.ResumeTiming();
    size_t total = 0;
    benchmark::DoNotOptimize(index.Page(0, 50, &total));
    if (total != static_cast<size_t>(kEvents + n)) {
      state.SkipWithError("the new event is not listed");
    }
  }
  for (int i = 1; i <= n; ++i) {
    std::filesystem::remove(folder + "/e" + MakeStamp(kFirst - std::chrono::minutes(i)) + ".txt");
  }
}
BENCHMARK(PageAfterANewEvent)->Unit(benchmark::kMillisecond)->Iterations(50);

}  // namespace
