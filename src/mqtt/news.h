#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/host_port.h"
#include "base/notice.h"
#include "base/utc_time.h"
#include "config/settings.h"

namespace ombrix {

// The messages the station sends to an MQTT broker, as JSON objects on one line.

// The station as a status message tells it.
struct StatusNews {
  bool live = false;     // frames are arriving
  bool enabled = false;  // detection is armed
  uint64_t frames = 0;   // captured so far
  uint64_t lost = 0;     // overwritten before detection could read them
  int64_t eventsTonight = 0;
  std::optional<double> freeDisk;  // the free share of the base folder's volume; none: unknown
  UtcTime time{};
};

// {"live":true,"enabled":true,"frames":1200,"lost":0,"eventsTonight":3,"freeDisk":0.5312,
//  "time":"2024-03-15T22:00:00Z"}
std::string StatusJson(const StatusNews& status);

// The message of the event whose event file ("e" + key + ".txt") is at eventPath, read from its
// files: {"key","start","end","duration" (seconds),"peakAzimuth","peakElevation" (degrees, of the
// frame with the largest excess sum; null without a time history),"verdict" (null without one)}.
// nullopt when the event file does not hold the event's two times.
std::optional<std::string> EventJson(const std::string& eventPath);

// {"severity":"warning","topic":"capture","text":"...","time":"2024-03-15T22:00:00Z"}
std::string NoticeJson(const Notice& notice);

// The prefix of the station's topics: mqttTopic, or "ombrix/" and the station's name.
std::string NewsTopic(const Settings& settings);

// The broker of the mqttBroker setting: "host:port", "[IPv6]:port", or a host alone (port 1883,
// 8883 with TLS). nullopt with why for an empty host or a port outside 1..65535.
std::optional<HostPort> ParseBroker(const std::string& text, bool tls, std::string& why);

// The events of the events folder whose key is at or after from.
int64_t CountEventsSince(const std::string& archiveFolderSetting, UtcTime from);

}  // namespace ombrix
