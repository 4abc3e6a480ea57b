#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "outbox/child_process.h"
#include "outbox/outbox.h"
#include "support/ssh_server.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using test::WaitUntil;

class FakeClock final : public Clock {
 public:
  UtcTime UtcNow() const override { return UtcTime(std::chrono::milliseconds(ms_.load())); }
  CalendarFields LocalNow() const override { return BreakUtcTime(UtcNow()); }
  void Advance(std::chrono::milliseconds step) { ms_ += step.count(); }

 private:
  std::atomic<int64_t> ms_{1'780'000'000'000};
};

// A station's base folder, a collector's folder and a real ssh server between them.
class OutboxTest : public ::testing::Test {
 protected:
  OutboxTest() : server(dir / "ssh") {}

  void SetUp() override {
    ASSERT_TRUE(server.Start());
    settings.Update([this](Settings& s) {
      s.archiveFolder = (dir / "base").string();
      s.stationName = "north";
      server.Configure(s, (dir / "collector").string());
    });
    notices.SetSink([this](const Notice& notice) {
      if (notice.topic == kUploadTopic) {
        std::lock_guard lock(mutex);
        said += notice.text + "\n";
      }
    });
  }

  std::unique_ptr<Outbox> Open() {
    return std::make_unique<Outbox>(settings, dbPath, clock, notices,
                                    OutboxOptions{.poll = std::chrono::milliseconds(50)});
  }
  // The event's four files, the movie `movieBytes` long.
  UtcTime MakeEvent(int second, size_t movieBytes = 1000) {
    const UtcTime key = clock.UtcNow() + std::chrono::seconds(second);
    fs::create_directories(dir / "base/events");
    for (const std::string& path : EventFileList((dir / "base/events").string(), key)) {
      test::WriteFileBytes(path, std::string(path.ends_with(".mp4") ? movieBytes : 42,
                                             static_cast<char>('a' + second % 26)));
    }
    return key;
  }
  std::string Said() {
    std::lock_guard lock(mutex);
    return said;
  }
  // Every file and folder under the collector's folder, by its path there.
  std::vector<std::string> Collected() {
    std::vector<std::string> found;
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(dir / "collector", error)) {
      found.push_back(fs::relative(entry.path(), dir / "collector").string());
    }
    std::sort(found.begin(), found.end());
    return found;
  }
  bool Drained(const Outbox& outbox) {
    return WaitUntil([&] { return outbox.Status().waiting == 0; }, 30);
  }

  test::TempDir dir;
  test::SshServer server;
  SharedSettings settings;
  FakeClock clock;
  Notices notices;
  std::string dbPath = (dir / "outbox.sqlite").string();
  std::mutex mutex;
  std::string said;  // under mutex
};

// Jobs queued by one outbox (a station then killed: each job is committed when queued) are
// delivered by the next, whole and in place, the station's files kept; the job of an event deleted
// meanwhile is dropped and said. A night summary's folder arrives under nights/DATE.
TEST_F(OutboxTest, DeliversWhatAnEarlierRunQueuedAndDropsDeletedEvents) {
  const UtcTime big = MakeEvent(1, 3'000'000);
  const UtcTime small = MakeEvent(2);
  const UtcTime deleted = MakeEvent(3);
  {
    std::unique_ptr<Outbox> first = Open();  // never started: killed before it delivered
    for (const UtcTime key : {big, small, deleted}) {
      first->QueueEvent(key);
    }
    EXPECT_EQ(first->Status().waiting, 3u);
  }
  for (const std::string& path : EventFileList((dir / "base/events").string(), deleted)) {
    fs::remove(path);
  }
  fs::create_directories(dir / "base/nights/2026-05-28");
  test::WriteFileBytes(dir / "base/nights/2026-05-28/summary.json", "{}");
  std::unique_ptr<Outbox> outbox = Open();
  outbox->QueueNight("2026-05-28", (dir / "base/nights/2026-05-28").string());
  outbox->Start();
  ASSERT_TRUE(Drained(*outbox));
  std::vector<std::string> expected{"north", "north/events", "north/nights",
                                    "north/nights/2026-05-28",
                                    "north/nights/2026-05-28/summary.json"};
  for (const UtcTime key : {big, small}) {
    for (const std::string& path : EventFileList((dir / "base/events").string(), key)) {
      expected.push_back("north/events/" + fs::path(path).filename().string());
      EXPECT_EQ(test::ReadFileBytes(dir / "collector" / expected.back()),
                test::ReadFileBytes(path));
    }
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Collected(), expected);  // no partial folder or temporary left behind
  EXPECT_NE(Said().find("Event " + MakeStamp(deleted) + " was deleted before it was delivered"),
            std::string::npos);
  const OutboxSummary summary = OutboxStore(dbPath, false).Summarise();
  EXPECT_EQ(summary.done, 3u);
  EXPECT_EQ(summary.dropped, 1u);
}

// With the collector down the jobs wait, and the operator is told once it has failed for an
// hour; when it is back and `ombrix outbox retry` (another connection) makes them due, all arrive
// once, oldest first, and the recovery is said once.
TEST_F(OutboxTest, JobsWaitForTheCollectorAndTheFailureIsSaidAfterAnHour) {
  server.Stop();
  std::unique_ptr<Outbox> outbox = Open();
  outbox->Start();
  outbox->QueueEvent(MakeEvent(1));
  outbox->QueueEvent(MakeEvent(2));
  OutboxStore other(dbPath, false);
  ASSERT_TRUE(WaitUntil([&] { return other.ListUndelivered().at(0).attempts >= 1; }));
  EXPECT_EQ(other.ListUndelivered().at(1).attempts, 0);  // the second waits out the same pause
  EXPECT_EQ(Said(), "");
  for (int i = 0; i < 8; ++i) {  // pauses of 10 s, 20 s, ... 10 min: past the hour
    clock.Advance(std::chrono::minutes(10));
    const int64_t before = other.ListUndelivered().at(0).attempts;
    ASSERT_TRUE(WaitUntil([&] { return other.ListUndelivered().at(0).attempts > before; }));
  }
  EXPECT_NE(Said().find("has failed for 1 hour(s); 2 job(s) wait"), std::string::npos);
  EXPECT_TRUE(Collected().empty());
  EXPECT_EQ(outbox->Status().waiting, 2u);

  ASSERT_TRUE(server.Start());
  EXPECT_EQ(other.MakeAllDue(clock.UtcNow()), 2u);
  ASSERT_TRUE(Drained(*outbox));
  EXPECT_EQ(Collected().size(), 2u + 8u);  // north/events and the files
  const std::string said = Said();
  EXPECT_EQ(said.find("works again"), said.rfind("works again"));
  EXPECT_NE(said.find("works again"), std::string::npos);
  EXPECT_EQ(other.Summarise().done, 2u);
}

// A collector whose host key is not in the known hosts file is refused: said at once, with how to
// add the key, and nothing is delivered.
TEST_F(OutboxTest, AnUnknownHostKeyIsRefused) {
  test::WriteFileBytes(server.knownHosts(), "");
  std::unique_ptr<Outbox> outbox = Open();
  outbox->Start();
  outbox->QueueEvent(MakeEvent(1));
  ASSERT_TRUE(WaitUntil([&] { return !Said().empty(); }));
  EXPECT_NE(Said().find("The collector's host key is not known"), std::string::npos);
  EXPECT_NE(Said().find("ssh-keyscan -p " + std::to_string(server.port()) + " 127.0.0.1 >> " +
                        server.knownHosts()),
            std::string::npos);
  EXPECT_TRUE(Collected().empty());
  EXPECT_EQ(outbox->Status().waiting, 1u);
}

// A child that runs too long (or is stopped) is ended and reaped at once; the output kept is the
// end of what it wrote.
TEST(ChildProcessTest, StopsItsChildAndKeepsTheEndOfItsOutput) {
  const ChildResult counted = ChildProcess::Run({"seq", "100000"}, {}, std::chrono::seconds(20));
  EXPECT_EQ(counted.output.size(), ChildProcess::kOutputKept);
  EXPECT_TRUE(counted.output.ends_with("99999\n100000\n"));

  const auto start = std::chrono::steady_clock::now();
  const ChildResult ended = ChildProcess::Run({"sleep", "60"}, {}, std::chrono::milliseconds(200));
  EXPECT_EQ(ended.signal, SIGTERM);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(ChildProcess::Run({"no-such-program-here"}, {}, std::chrono::seconds(1)).started);

  // A descriptor of this process made without close-on-exec (as a library's socket) stays here.
  const int inherited = dup(STDIN_FILENO);
  const ChildResult listed =
      ChildProcess::Run({"ls", "/proc/self/fd"}, {}, std::chrono::seconds(20));
  close(inherited);
  EXPECT_EQ(listed.output, "0\n1\n2\n3\n");  // 3: the listing's own folder
}

}  // namespace
}  // namespace ombrix
