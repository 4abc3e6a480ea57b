// The outbox's two targets, measured with the real program and a real ssh server on loopback:
//   list   `ombrix outbox` lists 10,000 waiting jobs (generated) in under 1 s;
//   drain  1,000 queued events (a week without network) are all delivered at uploadKbps 0 within
//          an hour of the collector coming back.
//   live   the station (the real program on the simulated sky at 29.97 frames/s) runs for
//          LIVE_SECONDS while it drains an outbox of 10,000 waiting jobs: no frame is lost.
// Each event is four files of the sizes a cut event has: the event file (42 bytes), a peak image
// (50 kB), a movie (1 MB) and a time history (5 kB); the live phase's are 1 kB each.
//
// Usage: outbox_drain [EVENTS [LIVE_SECONDS]]   (default 1000 180). Exit status 0 when every
// target is met, 1 when one is missed, 2 on a failed run.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "config/config_file.h"
#include "config/settings.h"
#include "outbox/child_process.h"
#include "outbox/outbox.h"
#include "support/ssh_server.h"

namespace fs = std::filesystem;
using namespace ombrix;
using Seconds = std::chrono::duration<double>;

namespace {

// The wall clock, as the station has it.
class WallClock final : public Clock {
 public:
  UtcTime UtcNow() const override { return clock_.UtcNow(); }
  CalendarFields LocalNow() const override { return clock_.LocalNow(); }

 private:
  SystemClock clock_;
};

void WriteBytes(const fs::path& path, size_t size, char fill) {
  std::ofstream(path, std::ios::binary) << std::string(size, fill);
}

// `ombrix outbox` on a base folder holding 10,000 waiting jobs and 10,000 done ones.
double TimeListing(const fs::path& work) {
  const fs::path base = work / "list";
  fs::create_directories(base);
  {
    OutboxStore store((base / kOutboxFileName).string(), true);
    OutboxStore::Transaction transaction(store);
    const UtcTime start = SystemClock().UtcNow() - std::chrono::hours(24 * 7);
    for (int i = 0; i < 20000; ++i) {
      const UtcTime key = start + std::chrono::minutes(i);
      const int64_t id = store.Queue(JobKind::kEvent, MakeStamp(key),
                                     EventFileList((base / "events").string(), key), key);
      if (i < 10000) {
        store.MarkDone(id, key + std::chrono::seconds(5));
      } else {
        store.MarkFailed(id, "rsync ended with code 12: ssh: connect to host collector port 22",
                         key + std::chrono::minutes(10));
      }
    }
    transaction.Commit();
  }
  std::ofstream(work / "config.txt") << "archiveFolder:" << base.string() << "\r\n";
  const auto begin = std::chrono::steady_clock::now();
  const ChildResult listed =
      ChildProcess::Run({OMBRIX_BINARY, "outbox", "--config", (work / "config.txt").string()}, {},
                        std::chrono::minutes(1));
  const double seconds = Seconds(std::chrono::steady_clock::now() - begin).count();
  if (listed.exitCode != 0 ||
      listed.output.find("10000 waiting, 0 dropped, 10000 delivered") == std::string::npos) {
    std::fprintf(stderr, "ombrix outbox failed: %s\n", listed.output.c_str());
    return -1;
  }
  return seconds;
}

// Frames lost in the summary lines of a headless run ("Last 60 s: 1798 frames, 0 lost, ...").
int64_t FramesLost(const std::string& output, int& lines) {
  int64_t lost = 0;
  for (size_t at = output.find(" frames, "); at != std::string::npos;
       at = output.find(" frames, ", at + 1)) {
    lost += std::stoll(output.substr(at + 9));
    ++lines;
  }
  return lost;
}

// The station on the simulated sky for `seconds` beside an outbox of 10,000 waiting jobs.
bool RunLive(const fs::path& work, const test::SshServer& server, int seconds) {
  const fs::path base = work / "live";
  fs::create_directories(base / "events");
  {
    OutboxStore store((base / kOutboxFileName).string(), true);
    OutboxStore::Transaction transaction(store);
    const UtcTime start = SystemClock().UtcNow() - std::chrono::hours(24 * 7);
    for (int i = 0; i < 10000; ++i) {
      const UtcTime key = start + std::chrono::minutes(i);
      const std::vector<std::string> files = EventFileList((base / "events").string(), key);
      for (const std::string& file : files) {
        WriteBytes(file, 1000, 'x');
      }
      store.Queue(JobKind::kEvent, MakeStamp(key), files, key);
    }
    transaction.Commit();
  }
  Settings settings;
  settings.archiveFolder = base.string();
  settings.stationName = "live";
  server.Configure(settings, (work / "collector").string());
  if (!SaveConfiguration(settings, (work / "live.txt").string())) {
    return false;
  }
  const ChildResult run =
      ChildProcess::Run({OMBRIX_BINARY, "--headless", "--source", "sim", "--enable", "--duration",
                         std::to_string(seconds), "--status-interval", "60", "--config",
                         (work / "live.txt").string()},
                        {}, std::chrono::seconds(seconds + 120));
  int lines = 0;
  const int64_t lost = FramesLost(run.output, lines);
  const int delivered = static_cast<int>(
      std::distance(fs::directory_iterator(work / "collector/live/events"), {}) / 4);
  std::printf(
      "live: %d s of the simulated sky while draining 10000 jobs: %d delivered, %lld "
      "frames lost (target 0; %d summary lines)\n",
      seconds, delivered, static_cast<long long>(lost), lines);
  return run.exitCode == 0 && lines > 0 && lost == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int events = argc > 1 ? std::stoi(argv[1]) : 1000;
  const int liveSeconds = argc > 2 ? std::stoi(argv[2]) : 180;
  const fs::path work = fs::temp_directory_path() / "ombrix-outbox-bench";
  fs::remove_all(work);
  fs::create_directories(work / "base/events");

  const double listSeconds = TimeListing(work);
  if (listSeconds < 0) {
    return 2;
  }
  std::printf(
      "list: `ombrix outbox` with 10000 waiting and 10000 done jobs: %.3f s (target < 1 s)\n",
      listSeconds);

  test::SshServer server(work / "ssh");
  if (!server.Start()) {
    std::fprintf(stderr, "the ssh server does not start\n");
    return 2;
  }
  SharedSettings settings;
  settings.Update([&](Settings& s) {
    s.archiveFolder = (work / "base").string();
    s.stationName = "bench";
    server.Configure(s, (work / "collector").string());
  });
  WallClock clock;
  Notices notices;
  notices.SetSink([](const Notice& notice) { std::fprintf(stderr, "%s\n", notice.text.c_str()); });
  Outbox outbox(settings, (work / "base" / kOutboxFileName).string(), clock, notices);
  const UtcTime first = clock.UtcNow() - std::chrono::hours(24 * 7);
  double bytes = 0;
  const auto queueBegin = std::chrono::steady_clock::now();
  for (int i = 0; i < events; ++i) {
    const UtcTime key = first + std::chrono::minutes(10 * i);
    const std::vector<std::string> files = EventFileList((work / "base/events").string(), key);
    const size_t sizes[] = {42, 50'000, 1'000'000, 5'000};
    for (size_t f = 0; f < files.size(); ++f) {
      WriteBytes(files[f], sizes[f], static_cast<char>('a' + i % 26));
      bytes += static_cast<double>(sizes[f]);
    }
    outbox.QueueEvent(key);
  }
  const double queueSeconds = Seconds(std::chrono::steady_clock::now() - queueBegin).count();
  std::printf("queue: %d events (%.0f MB) written and queued in %.1f s\n", events, bytes / 1e6,
              queueSeconds);

  const auto begin = std::chrono::steady_clock::now();
  outbox.Start();
  while (outbox.Status().waiting > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const double drainSeconds = Seconds(std::chrono::steady_clock::now() - begin).count();
  outbox.Stop();
  size_t arrived = 0;
  for (const auto& entry : fs::directory_iterator(work / "collector/bench/events")) {
    arrived += entry.is_regular_file() ? 1 : 0;
  }
  std::printf(
      "drain: %d events delivered to the loopback collector in %.1f s (%.1f events/s, "
      "%.1f MB/s; target < 3600 s); %zu files arrived\n",
      events, drainSeconds, events / drainSeconds, bytes / 1e6 / drainSeconds, arrived);
  if (arrived != static_cast<size_t>(events) * 4) {
    return 2;
  }
  const bool live = RunLive(work, server, liveSeconds);
  server.Stop();
  fs::remove_all(work);
  return listSeconds < 1.0 && drainSeconds < 3600 && live ? 0 : 1;
}
