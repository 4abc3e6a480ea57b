#include "mqtt/news.h"

#include <chrono>
#include <cstdio>
#include <filesystem>

#include "base/json.h"
#include "detect/event_file.h"
#include "review/event_index.h"
#include "review/event_listing.h"

namespace ombrix {
namespace {

std::string Number(const char* format, double value) {
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string StatusJson(const StatusNews& status) {
  return std::string("{\"live\":") + (status.live ? "true" : "false") +
         ",\"enabled\":" + (status.enabled ? "true" : "false") +
         ",\"frames\":" + std::to_string(status.frames) +
         ",\"lost\":" + std::to_string(status.lost) +
         ",\"eventsTonight\":" + std::to_string(status.eventsTonight) + ",\"freeDisk\":" +
         (status.freeDisk ? Number("%.4f", *status.freeDisk) : std::string("null")) +
         ",\"time\":" + JsonString(IsoUtc(status.time)) + "}";
}

std::optional<std::string> EventJson(const std::string& eventPath) {
  const std::string key = EventKey(eventPath);
  if (key.empty() || !ReadEventFile(eventPath)) {
    return std::nullopt;
  }
  const EventEntry e =
      ReadEventEntry(std::filesystem::path(eventPath).parent_path().string(), key, true);
  const auto degrees = [](const std::optional<double>& value) {
    return value ? Number("%.2f", *value) : std::string("null");
  };
  return "{\"key\":" + JsonString(key) + ",\"start\":" + JsonString(IsoUtc(e.start, true)) +
         ",\"end\":" + JsonString(IsoUtc(e.end, true)) +
         ",\"duration\":" + Number("%.3f", e.seconds) + ",\"peakAzimuth\":" + degrees(e.peakAz) +
         ",\"peakElevation\":" + degrees(e.peakEl) +
         ",\"verdict\":" + (e.verdict.empty() ? "null" : JsonString(e.verdict)) + "}";
}

std::string NoticeJson(const Notice& notice) {
  return "{\"severity\":" + JsonString(SeverityName(notice.severity)) +
         ",\"topic\":" + JsonString(notice.topic) + ",\"text\":" + JsonString(notice.text) +
         ",\"time\":" + JsonString(IsoUtc(notice.time)) + "}";
}

std::string NewsTopic(const Settings& settings) {
  std::string topic =
      settings.mqttTopic.empty() ? "ombrix/" + StationName(settings) : settings.mqttTopic;
  while (topic.size() > 1 && topic.back() == '/') {
    topic.pop_back();
  }
  return topic;
}

std::optional<HostPort> ParseBroker(const std::string& text, bool tls, std::string& why) {
  return ParseHostPort(text, tls ? 8883 : 1883, 1, why);
}

int64_t CountEventsSince(const std::string& archiveFolderSetting, UtcTime from) {
  const Stamp first = MakeStamp(from);
  int64_t count = 0;
  for (const std::string& path : ListEvents(archiveFolderSetting)) {
    count += EventKey(path) >= first ? 1 : 0;
  }
  return count;
}

}  // namespace ombrix
