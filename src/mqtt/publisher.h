#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "base/notice.h"
#include "config/settings.h"
#include "mqtt/news.h"

struct mosquitto;

namespace ombrix {

// The topic of what the station says about its broker.
inline constexpr std::string_view kMqttTopic = "mqtt";

// Where the status figures come from. Both are called on the publisher's own thread.
struct StatusSource {
  // live, enabled, frames and lost: cheap, asked every second to see a change.
  std::function<StatusNews()> figures;
  // Adds eventsTonight and freeDisk to figures about to be sent (they touch the disk).
  std::function<void(StatusNews&)> complete;
};

// The station's news sent to an MQTT broker: status on TOPIC/status (retained), cut events on
// TOPIC/event, notices on TOPIC/notice, the last will "offline" (retained) on TOPIC/status for
// the broker to send when the station dies.
//
// The broker is reached on the publisher's own thread: making one, a broker that is down or
// refuses, and the calls below never delay the caller, and the connection is made again when it
// is lost. What is handed over while the broker cannot be reached waits in a bounded queue (the
// oldest is dropped when it is full); a broker unreachable for downNotice is said once (warning,
// topic "mqtt"), its return once. Status goes out every minute, when live or enabled changes, and
// on every connection. Stop (or the destructor) sends what is still queued when it can, then
// "offline" (retained), and disconnects.
//
// Threads: the publisher's own (a std::jthread) begins the client's network thread
// (libmosquitto's), and stops and joins it before it ends itself; the client's callbacks share
// only the members under mutex_ with it.
class MqttPublisher {
 public:
  static constexpr size_t kQueued = 256;
  static constexpr std::chrono::seconds kStatusInterval{60};

  // The connection settings (mqttBroker, mqttTopic, mqttUser, mqttPassword, mqttCaFile) are read
  // once, here; a broker setting that cannot be used is said (error) and nothing is sent.
  // keepalive (5 s at least): the broker sends the last will when it has heard nothing from a
  // connection for one and a half times as long, and at once when the connection breaks.
  MqttPublisher(const Settings& settings, Notices& notices, StatusSource status,
                std::chrono::seconds keepalive = std::chrono::seconds(60),
                std::chrono::seconds downNotice = std::chrono::minutes(10));
  ~MqttPublisher();
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  const std::string& topic() const { return topic_; }

  // Queues the event of an event file (its message is read from its files on the publisher's
  // thread). Any thread; never blocks.
  void Event(const std::string& eventPath);
  // Queues a notice when it is a warning or worse. Any thread; never blocks.
  void Say(const Notice& notice);
  void Stop();

 private:
  struct Job {
    bool event = false;
    std::string text;  // an event file's path, or a notice's message
  };

  void Run(std::stop_token stop);
  bool BeginConnection();
  void Queue(Job job);
  // Sends the queued jobs while connected.
  void Flush();
  // Publishes on TOPIC/suffix; the client's result.
  int Publish(const char* suffix, const std::string& payload, int qos, bool retain);
  void SendStatus(StatusNews figures);
  void Goodbye();
  static void OnConnect(mosquitto* client, void* self, int rc);
  static void OnDisconnect(mosquitto* client, void* self, int rc);
  static void OnPublish(mosquitto* client, void* self, int mid);

  Notices& notices_;
  StatusSource status_;
  std::string topic_;
  std::string broker_;  // as set, for the notices
  std::optional<HostPort> address_;
  std::chrono::seconds keepalive_;
  std::chrono::seconds downNotice_;
  mosquitto* client_ = nullptr;
  bool looping_ = false;  // the client's own thread runs; the publisher's thread only

  std::mutex mutex_;  // everything below
  std::condition_variable_any wake_;
  std::deque<Job> jobs_;
  bool queued_ = false;  // a job was queued since the publisher's thread last looked
  bool connected_ = false;
  uint64_t connections_ = 0;    // connections made so far
  int64_t unacknowledged_ = 0;  // messages published and not yet taken by the broker
  std::string lastError_;

  std::jthread thread_;  // last: stopped before the rest is freed
};

}  // namespace ombrix
