#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/notice.h"
#include "review/event_index.h"
#include "station/station.h"

namespace ombrix {

// The web page's pages and JSON answers, made from what the server gathered. Plain HTML in one
// column, its script and style served from /app.js and /app.css (the Content-Security-Policy
// allows no inline script); every text from the station or a file is escaped.

inline constexpr size_t kEventsPerPage = 50;

// What the status page and /api/status show.
struct StatusView {
  std::string station;  // the station's name
  StationStatus status;
  std::optional<double> freeFraction;
  size_t eventsTonight = 0;
  std::vector<Notice> warnings;  // newest first
  bool marking = false;          // a mark requested through the web page is under way
  std::string markOutcome;       // what the last one came to; empty: none yet
  bool uploading = false;        // events are delivered to a collector (its outbox in status)
};

std::string StatusPage(const StatusView& view);
std::string StatusJson(const StatusView& view);

// page counts from 1 (the newest events).
std::string EventsPage(const std::vector<EventEntry>& events, size_t page, size_t total);
std::string EventsJson(const std::vector<EventEntry>& events, size_t page, size_t total);
std::string EventPage(const EventEntry& event);
std::string EventJson(const EventEntry& event);

std::string NightsPage(const std::vector<std::string>& dates);
std::string NightsJson(const std::vector<std::string>& dates);
// files: the names of the night's files that exist; summary: summary.json as read, when valid.
std::string NightPage(const std::string& date, const std::vector<std::string>& files);
std::string NightJson(const std::string& date, const std::vector<std::string>& files,
                      const std::optional<std::string>& summary);

// The script and the style sheet every page loads.
extern const std::string_view kAppScript;
extern const std::string_view kAppStyle;

}  // namespace ombrix
