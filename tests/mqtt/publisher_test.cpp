#include "mqtt/publisher.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "support/program.h"
#include "support/temp_dir.h"

namespace ombrix {
namespace {

using namespace std::chrono_literals;

// A real broker on loopback, on a free port, in a temporary folder; started when asked.
struct Broker {
  Broker() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), size);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    close(probe);
    port = ntohs(address.sin_port);
    test::WriteFileBytes(dir / "conf", "listener " + std::to_string(port) +
                                           " 127.0.0.1\nallow_anonymous true\npersistence false\n");
  }
  ~Broker() { Stop(); }
  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  void Start() {
    std::filesystem::remove(dir / "log");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(open((dir / "log").c_str(), O_WRONLY | O_CREAT, 0600), STDERR_FILENO);
      execl("/usr/sbin/mosquitto", "mosquitto", "-c", (dir / "conf").c_str(), nullptr);
      _exit(127);
    }
    ASSERT_TRUE(test::WaitUntil(
        [this] { return test::ReadFileBytes(dir / "log").find(" running") != std::string::npos; }));
  }

  std::string address() const { return "127.0.0.1:" + std::to_string(port); }
  Settings settings() const {
    Settings settings;
    settings.stationName = "sky1";
    settings.mqttBroker = address();
    return settings;
  }

  test::TempDir dir;
  int port = 0;
  pid_t pid_ = -1;
};

// A subscriber to the station's topics that keeps every message as "topic payload".
class Subscriber {
 public:
  explicit Subscriber(int port) {
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    mosquitto_connect_callback_set(client_, [](mosquitto* client, void*, int) {
      mosquitto_subscribe(client, nullptr, "ombrix/sky1/#", 1);
    });
    mosquitto_message_callback_set(
        client_, [](mosquitto*, void* self, const mosquitto_message* message) {
          auto& s = *static_cast<Subscriber*>(self);
          std::lock_guard lock(s.mutex_);
          s.messages_.push_back(std::string(message->topic) + " " +
                                std::string(static_cast<const char*>(message->payload),
                                            static_cast<size_t>(message->payloadlen)));
        });
    mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
      static_cast<Subscriber*>(self)->subscribed_ = true;
    });
    EXPECT_EQ(mosquitto_connect(client_, "127.0.0.1", port, 5), MOSQ_ERR_SUCCESS);
    mosquitto_loop_start(client_);
    EXPECT_TRUE(test::WaitUntil([this] { return subscribed_.load(); }));
  }
  ~Subscriber() {
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  // The messages that begin with prefix, once there is one (waiting up to 30 s).
  std::vector<std::string> WaitFor(const std::string& prefix) {
    std::vector<std::string> found;
    test::WaitUntil([&] {
      std::lock_guard lock(mutex_);
      found.clear();
      std::ranges::copy_if(messages_, std::back_inserter(found),
                           [&](const std::string& m) { return m.starts_with(prefix); });
      return !found.empty();
    });
    return found;
  }

 private:
  mosquitto* client_ = nullptr;
  std::mutex mutex_;
  std::vector<std::string> messages_;
  std::atomic<bool> subscribed_{false};
};

// An event file, and its time history when given.
std::string WriteEvent(const std::filesystem::path& folder, const std::string& key,
                       const std::string& last, const std::string& history = "") {
  test::WriteFileBytes(folder / ("e" + key + ".txt"), key + "\r\n" + last + "\r\n");
  if (!history.empty()) {
    test::WriteFileBytes(folder / ("c" + key + ".csv"), history);
  }
  return (folder / ("e" + key + ".txt")).string();
}

// Retained status for a late subscriber, events read from their files, warnings, then "offline".
TEST(MqttPublisher, SendsStatusEventsAndWarningsThenOffline) {
  Broker broker;
  broker.Start();
  Notices notices;
  const UtcTime ten = *ParseStamp("20240315_220000_000");
  StatusSource status{[] { return StatusNews{false, true, 250, 3, 0, {}, {}}; },
                      [ten](StatusNews& news) { news = {false, true, 250, 3, 2, 0.5, ten}; }};
  MqttPublisher publisher(broker.settings(), notices, status, 5s);
  const std::string kStatus = "ombrix/sky1/status ";
  ASSERT_FALSE(Subscriber(broker.port).WaitFor(kStatus).empty());
  Subscriber late(broker.port);
  test::TempDir events;
  publisher.Event(WriteEvent(events.path(), "20240315_215958_123", "20240315_215959_623",
                             "20240315_215958_123,    5,   100,  10.0,  20.0, 120.00,  30.00\r\n"
                             "20240315_215958_123,   40,   900,  30.0,  40.0, 121.50,  31.25\r\n"
                             "20240315_215958_123,   30,   800,  50.0,  60.0, 123.00,  32.50\r\n"));
  publisher.Event(WriteEvent(events.path(), "20240315_230000_000", "20240315_230001_000"));
  publisher.Event((events / "e20240315_230500_000.txt").string());  // gone: not sent
  publisher.Say({Severity::kInfo, "event", "Event cut", ten});
  publisher.Say({Severity::kWarning, "disk", "A \"full\"\ndisk", ten});
  using Texts = std::vector<std::string>;
  EXPECT_EQ(
      late.WaitFor(kStatus),
      Texts{kStatus + R"({"live":false,"enabled":true,"frames":250,"lost":3,)"
                      R"("eventsTonight":2,"freeDisk":0.5000,"time":"2024-03-15T22:00:00Z"})"});
  EXPECT_EQ(late.WaitFor("ombrix/sky1/notice"),
            Texts{R"(ombrix/sky1/notice {"severity":"warning","topic":"disk",)"
                  R"("text":"A \"full\"\ndisk","time":"2024-03-15T22:00:00Z"})"});
  const std::string kEvent = "ombrix/sky1/event ";
  ASSERT_TRUE(test::WaitUntil([&] { return late.WaitFor(kEvent).size() == 2; }));
  EXPECT_EQ(late.WaitFor(kEvent),
            (Texts{kEvent + R"({"key":"20240315_215958_123","start":"2024-03-15T21:59:58.123Z",)"
                            R"("end":"2024-03-15T21:59:59.623Z","duration":1.500,)"
                            R"("peakAzimuth":121.50,"peakElevation":31.25,"verdict":"stationary"})",
                   kEvent + R"({"key":"20240315_230000_000","start":"2024-03-15T23:00:00.000Z",)"
                            R"("end":"2024-03-15T23:00:01.000Z","duration":1.000,)"
                            R"("peakAzimuth":null,"peakElevation":null,"verdict":null})"}));
  publisher.Stop();
  EXPECT_EQ(late.WaitFor(kStatus + "offline"), Texts{kStatus + "offline"});
}

// A broker down at the start or later is said, and reached when it is back; nothing queued is lost.
TEST(MqttPublisher, ConnectsWhenTheBrokerComesUpAndSaysItsOutage) {
  Broker broker;
  Notices notices;
  MqttPublisher publisher(broker.settings(), notices, {}, 5s, 1s);
  test::TempDir events;
  publisher.Event(WriteEvent(events.path(), "20240315_215958_123", "20240315_215959_000"));
  ASSERT_TRUE(test::WaitUntil([&] { return notices.Failing(kMqttTopic); }));
  broker.Start();
  Subscriber subscriber(broker.port);
  ASSERT_TRUE(test::WaitUntil([&] { return !notices.Failing(kMqttTopic); }));
  publisher.Event(WriteEvent(events.path(), "20240315_220000_000", "20240315_220001_000"));
  EXPECT_TRUE(test::WaitUntil([&] { return subscriber.WaitFor("ombrix/sky1/event").size() == 2; }));
  broker.Stop();  // lost once connected: the client's loop is begun anew
  ASSERT_TRUE(test::WaitUntil([&] { return notices.Failing(kMqttTopic); }));
  broker.Start();
  Subscriber again(broker.port);
  ASSERT_TRUE(test::WaitUntil([&] { return !notices.Failing(kMqttTopic); }));
  publisher.Event(WriteEvent(events.path(), "20240315_230000_000", "20240315_230001_000"));
  EXPECT_FALSE(again.WaitFor("ombrix/sky1/event {\"key\":\"20240315_230000_000").empty());
  ASSERT_EQ(notices.Recent().size(), 4u);  // each outage and each return once
  EXPECT_EQ(notices.Recent()[3].text,
            "The MQTT broker " + broker.address() + " is reachable again.");
}

// The station sends its status and cut events; killed, the broker sends its last will.
TEST(MqttProgram, StationSendsStatusAndEventsAndItsLastWillWhenKilled) {
  Broker broker;
  broker.Start();
  Subscriber subscriber(broker.port);
  test::TempDir home;
  test::WriteFileBytes(home / "config.txt",
                       "mqttBroker:" + broker.address() + "\r\nstationName:sky1\r\n");
  test::Program program(home.path(), {"--source", "sim:5", "--sim-rate", "60", "--enable",
                                      "--config", (home / "config.txt").string()});
  const std::string cut = program.WaitForLine("<6>Event cut: ");
  ASSERT_FALSE(cut.empty());
  EXPECT_FALSE(subscriber.WaitFor("ombrix/sky1/event {\"key\":\"" + cut.substr(14)).empty());
  EXPECT_FALSE(subscriber.WaitFor("ombrix/sky1/status {\"live\":true,\"enabled\":true").empty());
  program.Signal(SIGKILL);
  EXPECT_EQ(program.Wait(30s), 128 + SIGKILL);
  EXPECT_FALSE(subscriber.WaitFor("ombrix/sky1/status offline").empty());
}

}  // namespace
}  // namespace ombrix
