#include "mqtt/publisher.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ombrix {
namespace {

// How long a stop waits for the broker to take what is still queued and "offline".
constexpr auto kGoodbyeWait = std::chrono::seconds(2);
constexpr char kOffline[] = "offline";
// The longest pause between attempts to reach the broker.
constexpr std::chrono::seconds kLongestAttemptDelay{30};

// The library, set up once per process and cleaned up at its end.
void UseLibrary() {
  static const struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
  } library;
}

std::string ErrorText(int rc) {
  return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
}

std::string DurationText(std::chrono::seconds duration) {
  return duration.count() % 60 == 0 ? std::to_string(duration.count() / 60) + " minute(s)"
                                    : std::to_string(duration.count()) + " second(s)";
}

}  // namespace

MqttPublisher::MqttPublisher(const Settings& settings, Notices& notices, StatusSource status,
                             std::chrono::seconds keepalive, std::chrono::seconds downNotice)
    : notices_(notices),
      status_(std::move(status)),
      topic_(NewsTopic(settings)),
      broker_(settings.mqttBroker),
      keepalive_(keepalive),
      downNotice_(downNotice) {
  const std::string noNews = ": the station's news is not sent.";
  std::string why;
  address_ = ParseBroker(settings.mqttBroker, !settings.mqttCaFile.empty(), why);
  if (!address_) {
    notices_.Say(Severity::kError, kMqttTopic, "The MQTT broker " + why + noNews);
    return;
  }
  UseLibrary();
  client_ = mosquitto_new(nullptr, true, this);
  if (client_ == nullptr) {
    notices_.Say(Severity::kError, kMqttTopic,
                 "The MQTT client cannot be made (" + ErrorText(MOSQ_ERR_ERRNO) + ")" + noNews);
    return;
  }
  mosquitto_connect_callback_set(client_, OnConnect);
  mosquitto_disconnect_callback_set(client_, OnDisconnect);
  mosquitto_publish_callback_set(client_, OnPublish);
  mosquitto_reconnect_delay_set(client_, 1, kLongestAttemptDelay.count(), true);
  const std::string statusTopic = topic_ + "/status";
  std::string problem;
  if (const int rc =
          mosquitto_will_set(client_, statusTopic.c_str(), sizeof kOffline - 1, kOffline, 1, true);
      rc != MOSQ_ERR_SUCCESS) {
    problem = "The MQTT topic '" + topic_ + "' cannot be used (" + ErrorText(rc) + ")";
  } else if (const int rc =
                 settings.mqttUser.empty()
                     ? MOSQ_ERR_SUCCESS
                     : mosquitto_username_pw_set(
                           client_, settings.mqttUser.c_str(),
                           settings.mqttPassword.empty() ? nullptr : settings.mqttPassword.c_str());
             rc != MOSQ_ERR_SUCCESS) {
    problem = "The MQTT user name cannot be used (" + ErrorText(rc) + ")";
  } else if (const int rc = settings.mqttCaFile.empty()
                                ? MOSQ_ERR_SUCCESS
                                : mosquitto_tls_set(client_, settings.mqttCaFile.c_str(), nullptr,
                                                    nullptr, nullptr, nullptr);
             rc != MOSQ_ERR_SUCCESS) {
    problem = "The MQTT broker's CA certificate " + settings.mqttCaFile + " cannot be used (" +
              ErrorText(rc) + ")";
  }
  if (!problem.empty()) {
    notices_.Say(Severity::kError, kMqttTopic, problem + noNews);
    return;
  }
  thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
}

MqttPublisher::~MqttPublisher() {
  Stop();
  if (client_ != nullptr) {
    mosquitto_destroy(client_);
  }
}

void MqttPublisher::Stop() {
  if (thread_.joinable()) {
    thread_.request_stop();
    thread_.join();
  }
}

void MqttPublisher::Event(const std::string& eventPath) {
  Queue({true, eventPath});
}

void MqttPublisher::Say(const Notice& notice) {
  if (notice.severity >= Severity::kWarning) {
    Queue({false, NoticeJson(notice)});
  }
}

void MqttPublisher::Queue(Job job) {
  {
    std::lock_guard lock(mutex_);
    if (jobs_.size() >= kQueued) {
      jobs_.pop_front();
    }
    jobs_.push_back(std::move(job));
    queued_ = true;
  }
  wake_.notify_one();
}

// The first connection is tried here until it can be begun (a refusal on this host is known at
// once); from then on the client's own thread keeps the connection and makes it again.
bool MqttPublisher::BeginConnection() {
  if (const int rc = mosquitto_connect_async(client_, address_->host.c_str(), address_->port,
                                             static_cast<int>(keepalive_.count()));
      rc != MOSQ_ERR_SUCCESS) {
    std::lock_guard lock(mutex_);
    lastError_ = ErrorText(rc);
    return false;
  }
  if (const int rc = mosquitto_loop_start(client_); rc != MOSQ_ERR_SUCCESS) {
    std::lock_guard lock(mutex_);
    lastError_ = ErrorText(rc);
    mosquitto_disconnect(client_);
    return false;
  }
  return true;
}

void MqttPublisher::Run(std::stop_token stop) {
  using Steady = std::chrono::steady_clock;
  Steady::time_point nextAttempt = Steady::now();
  Steady::time_point loopStarted{};
  std::chrono::seconds attemptDelay{1};
  Steady::time_point downSince = Steady::now();
  Steady::time_point nextStatus{};
  uint64_t connectionsSeen = 0;
  bool saidDown = false;
  std::optional<StatusNews> lastSent;
  while (!stop.stop_requested()) {
    if (!looping_ && Steady::now() >= nextAttempt) {
      looping_ = BeginConnection();
      loopStarted = Steady::now();
      nextAttempt = loopStarted + attemptDelay;
      attemptDelay = std::min(attemptDelay * 2, kLongestAttemptDelay);
    }
    bool connected = false;
    uint64_t connections = 0;
    std::string error;
    {
      std::unique_lock lock(mutex_);
      wake_.wait_for(lock, stop, std::chrono::seconds(1),
                     [&] { return connections_ != connectionsSeen || (connected_ && queued_); });
      queued_ = false;
      connected = connected_;
      connections = connections_;
      error = lastError_;
    }
    const Steady::time_point now = Steady::now();
    const bool connectedAnew = connections != connectionsSeen && connected;
    connectionsSeen = connections;
    if (connected) {
      downSince = now;
      attemptDelay = std::chrono::seconds(1);
      if (saidDown) {
        notices_.Recovered(kMqttTopic, "The MQTT broker " + broker_ + " is reachable again.");
        saidDown = false;
      }
    } else if (!saidDown && now - downSince >= downNotice_) {
      notices_.Failure(Severity::kWarning, kMqttTopic,
                       "The MQTT broker " + broker_ + " has not been reachable for " +
                           DurationText(downNotice_) +
                           (error.empty() ? std::string() : " (" + error + ")") +
                           ": the station's news waits until it is back.");
      saidDown = true;
    }
    // The client's loop ends for good on some failures (a TLS or protocol error): one that has
    // not reached the broker for that long is begun anew. Not connected, it may be inside a
    // blocking connect to a host that does not answer: it is cancelled rather than waited for.
    if (!connected && looping_ && now - std::max(downSince, loopStarted) >= downNotice_) {
      mosquitto_disconnect(client_);
      mosquitto_loop_stop(client_, true);
      looping_ = false;
    }
    StatusNews figures = status_.figures ? status_.figures() : StatusNews{};
    if (!connected) {
      continue;
    }
    Flush();
    if (connectedAnew || now >= nextStatus || !lastSent || lastSent->live != figures.live ||
        lastSent->enabled != figures.enabled) {
      SendStatus(figures);
      lastSent = figures;
      nextStatus = now + kStatusInterval;
    }
  }
  Goodbye();
}

void MqttPublisher::Flush() {
  for (;;) {
    Job job;
    {
      std::lock_guard lock(mutex_);
      if (!connected_ || jobs_.empty()) {
        return;
      }
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    const std::optional<std::string> payload = job.event ? EventJson(job.text) : job.text;
    // Another failure (a message too large) would fail again: that message is dropped.
    if (payload &&
        Publish(job.event ? "event" : "notice", *payload, 1, false) == MOSQ_ERR_NO_CONN) {
      std::lock_guard lock(mutex_);
      jobs_.push_front(std::move(job));
      return;
    }
  }
}

int MqttPublisher::Publish(const char* suffix, const std::string& payload, int qos, bool retain) {
  const std::string topic = topic_ + "/" + suffix;
  {
    std::lock_guard lock(mutex_);
    ++unacknowledged_;
  }
  const int rc = mosquitto_publish(client_, nullptr, topic.c_str(),
                                   static_cast<int>(payload.size()), payload.data(), qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) {
    std::lock_guard lock(mutex_);
    --unacknowledged_;
    lastError_ = ErrorText(rc);
  }
  return rc;
}

void MqttPublisher::SendStatus(StatusNews figures) {
  if (status_.complete) {
    status_.complete(figures);
  }
  Publish("status", StatusJson(figures), 1, true);
}

void MqttPublisher::Goodbye() {
  bool connected = false;
  {
    std::lock_guard lock(mutex_);
    connected = connected_;
  }
  if (connected) {
    Flush();
    Publish("status", kOffline, 1, true);
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, kGoodbyeWait, [this] { return unacknowledged_ == 0 || !connected_; });
  }
  if (looping_) {
    mosquitto_disconnect(client_);
    // A loop that is not connected may be inside a blocking connect to a host that does not
    // answer: it is cancelled rather than waited for.
    mosquitto_loop_stop(client_, !connected);
  }
}

void MqttPublisher::OnConnect(mosquitto*, void* self, int rc) {
  auto& publisher = *static_cast<MqttPublisher*>(self);
  {
    std::lock_guard lock(publisher.mutex_);
    if (rc == 0) {
      publisher.connected_ = true;
      ++publisher.connections_;
      publisher.unacknowledged_ = 0;
    } else {
      publisher.lastError_ = mosquitto_connack_string(rc);
    }
  }
  publisher.wake_.notify_all();
}

void MqttPublisher::OnDisconnect(mosquitto*, void* self, int rc) {
  auto& publisher = *static_cast<MqttPublisher*>(self);
  {
    std::lock_guard lock(publisher.mutex_);
    publisher.connected_ = false;
    if (rc != 0) {
      publisher.lastError_ = ErrorText(rc);
    }
  }
  publisher.wake_.notify_all();
}

void MqttPublisher::OnPublish(mosquitto*, void* self, int) {
  auto& publisher = *static_cast<MqttPublisher*>(self);
  {
    std::lock_guard lock(publisher.mutex_);
    if (publisher.unacknowledged_ > 0) {
      --publisher.unacknowledged_;
    }
  }
  publisher.wake_.notify_all();
}

}  // namespace ombrix
