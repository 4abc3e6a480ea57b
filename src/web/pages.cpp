#include "web/pages.h"

#include <cstdio>

#include "web/json.h"

namespace ombrix {
namespace {

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The head, the navigation and the title of a page; End() closes it.
std::string Begin(std::string_view title) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>" +
         Escape(title) +
         "</title><link rel=\"stylesheet\" href=\"/app.css\">"
         "<script src=\"/app.js\" defer></script></head><body>\n"
         "<nav><a href=\"/\">Status</a> <a href=\"/events\">Events</a> "
         "<a href=\"/nights\">Nights</a></nav>\n<h1>" +
         Escape(title) + "</h1>\n";
}

std::string End() {
  return "</body></html>\n";
}

// "2024-03-15 21:14:54 UTC"
std::string ShownTime(UtcTime time) {
  const std::string iso = IsoUtc(time, true);
  return iso.substr(0, 10) + " " + iso.substr(11, 8) + " UTC";
}

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Direction(const std::optional<double>& az, const std::optional<double>& el) {
  return az && el ? "az " + Fixed(*az, 1) + "°, el " + Fixed(*el, 1) + "°" : "–";
}

std::string Percent(const std::optional<double>& fraction) {
  return fraction ? Fixed(*fraction * 100, 1) + " %" : "unknown";
}

std::string NoticeText(const Notice& notice) {
  return ShownTime(notice.time) + " " + SeverityName(notice.severity) + ": " + notice.text;
}

std::string Optional(const std::optional<double>& value) {
  return value ? JsonNumber(*value) : "null";
}

// Links to the newer and the older page of a paged list.
std::string Paging(const std::string& path, size_t page, size_t total) {
  std::string out = "<p class=\"paging\">";
  if (page > 1) {
    out +=
        "<a class=\"prev\" href=\"" + path + "?page=" + std::to_string(page - 1) + "\">Newer</a> ";
  }
  if (page * kEventsPerPage < total) {
    out +=
        "<a class=\"next\" href=\"" + path + "?page=" + std::to_string(page + 1) + "\">Older</a>";
  }
  return out + "</p>\n";
}

constexpr const char* kNightImages[][3] = {
    {"keogram", "keogram.png", "Keogram"},
    {"startrails", "startrails.png", "Star trails"},
    {"events-chart", "events.svg", "Events per hour"},
    {"skymap", "skymap.svg", "The events' tracks on the sky"},
};

bool Has(const std::vector<std::string>& files, std::string_view name) {
  for (const std::string& file : files) {
    if (file == name) {
      return true;
    }
  }
  return false;
}

// The outbox at a glance: "off", or the deliveries waiting (with the oldest) and the last one.
std::string OutboxText(const StatusView& view) {
  const StationStatus& s = view.status;
  if (!view.uploading) {
    return "off";
  }
  std::string text = std::to_string(s.outboxWaiting) + " waiting";
  if (s.outboxOldestWaiting) {
    text += " (oldest " + ShownTime(*s.outboxOldestWaiting) + ")";
  }
  return text + "; last delivered " +
         (s.outboxLastSuccess ? ShownTime(*s.outboxLastSuccess) : std::string("never"));
}

}  // namespace

std::string StatusPage(const StatusView& view) {
  const StationStatus& s = view.status;
  std::string out = Begin(view.station.empty() ? "Ombrix" : view.station);
  out +=
      "<img id=\"live\" src=\"/live.jpg?0\" width=\"640\" height=\"480\" "
      "alt=\"The newest picture\">\n<dl id=\"status\">";
  const auto figure = [&out](const char* id, const char* caption, const std::string& value) {
    out += std::string("<dt>") + caption + "</dt><dd id=\"" + id + "\">" + Escape(value) + "</dd>";
  };
  figure("capture-time", "Capture time",
         s.newestCapture ? ShownTime(*s.newestCapture) : std::string("none yet"));
  figure("live", "Live", view.status.live ? "yes" : "no");
  figure("enabled", "Detection", s.enabled ? "enabled" : "disabled");
  figure("frames", "Frames", std::to_string(s.framesRead));
  figure("lost", "Frames lost", std::to_string(s.framesLost));
  figure("events-tonight", "Events tonight", std::to_string(view.eventsTonight));
  figure("free-disk", "Free disk", Percent(view.freeFraction));
  figure("outbox", "Outbox", OutboxText(view));
  out += "</dl>\n<h2>Warnings</h2>\n<ul id=\"notices\">";
  for (const Notice& notice : view.warnings) {
    out += std::string("<li class=\"") + SeverityName(notice.severity) + "\">" +
           Escape(NoticeText(notice)) + "</li>";
  }
  return out + "</ul>\n" + End();
}

std::string StatusJson(const StatusView& view) {
  const StationStatus& s = view.status;
  std::vector<std::string> warnings;
  for (const Notice& notice : view.warnings) {
    warnings.push_back(JsonObject()
                           .Text("time", IsoUtc(notice.time, true))
                           .Text("severity", SeverityName(notice.severity))
                           .Text("topic", notice.topic)
                           .Text("text", notice.text)
                           .Text("shown", NoticeText(notice))
                           .Close());
  }
  return JsonObject()
      .Text("station", view.station)
      .Raw("captureTime", s.newestCapture ? JsonString(IsoUtc(*s.newestCapture, true)) : "null")
      .Text("captureTimeShown", s.newestCapture ? ShownTime(*s.newestCapture) : "none yet")
      .Flag("live", view.status.live)
      .Flag("enabled", s.enabled)
      .Flag("recording", s.recording)
      .Whole("frames", static_cast<int64_t>(s.framesRead))
      .Whole("framesLost", static_cast<int64_t>(s.framesLost))
      .Whole("eventsRecorded", static_cast<int64_t>(s.eventsRecorded))
      .Whole("eventsCut", static_cast<int64_t>(s.eventsCut))
      .Whole("eventsTonight", static_cast<int64_t>(view.eventsTonight))
      .Raw("freeDisk", Optional(view.freeFraction))
      .Text("freeDiskShown", Percent(view.freeFraction))
      .Raw("notices", JsonArray(warnings))
      .Raw("outbox",
           !view.uploading
               ? "null"
               : JsonObject()
                     .Whole("waiting", static_cast<int64_t>(s.outboxWaiting))
                     .Raw("oldestWaiting", s.outboxOldestWaiting
                                               ? JsonString(IsoUtc(*s.outboxOldestWaiting, true))
                                               : "null")
                     .Raw("lastSuccess", s.outboxLastSuccess
                                             ? JsonString(IsoUtc(*s.outboxLastSuccess, true))
                                             : "null")
                     .Close())
      .Text("outboxShown", OutboxText(view))
      .Raw("mark",
           JsonObject()
               .Flag("running", view.marking)
               .Raw("outcome", view.markOutcome.empty() ? "null" : JsonString(view.markOutcome))
               .Close())
      .Close();
}

std::string EventsPage(const std::vector<EventEntry>& events, size_t page, size_t total) {
  std::string out = Begin("Events");
  out += "<p>" + std::to_string(total) + " events, newest first.</p>\n<ol id=\"events\">\n";
  for (const EventEntry& e : events) {
    const std::string link = "/events/" + Escape(e.key);
    out += "<li class=\"event\" data-key=\"" + Escape(e.key) + "\"><a href=\"" + link + "\">";
    out += e.peakImage ? "<img src=\"" + link +
                             "/peak.jpg\" width=\"160\" height=\"120\" loading=\"lazy\" alt=\"\">"
                       : std::string("<span class=\"noimage\"></span>");
    out += "</a><span><a href=\"" + link + "\">" + ShownTime(e.start) + "</a><br>" +
           Fixed(e.seconds, 2) + " s, from " + Direction(e.startAz, e.startEl) + " to " +
           Direction(e.endAz, e.endEl) + "<br>" + Escape(e.verdict.empty() ? "–" : e.verdict) +
           "</span></li>\n";
  }
  return out + "</ol>\n" + Paging("/events", page, total) + End();
}

std::string EventJson(const EventEntry& e) {
  return JsonObject()
      .Text("key", e.key)
      .Text("start", IsoUtc(e.start, true))
      .Text("end", IsoUtc(e.end, true))
      .Number("seconds", e.seconds)
      .Raw("startAz", Optional(e.startAz))
      .Raw("startEl", Optional(e.startEl))
      .Raw("endAz", Optional(e.endAz))
      .Raw("endEl", Optional(e.endEl))
      .Raw("peakAz", Optional(e.peakAz))
      .Raw("peakEl", Optional(e.peakEl))
      .Raw("verdict", e.verdict.empty() ? "null" : JsonString(e.verdict))
      .Raw("files", JsonObject()
                        .Flag("peakImage", e.peakImage)
                        .Flag("movie", e.movie)
                        .Flag("timeHistory", e.timeHistory)
                        .Close())
      .Close();
}

std::string EventsJson(const std::vector<EventEntry>& events, size_t page, size_t total) {
  std::vector<std::string> items;
  for (const EventEntry& e : events) {
    items.push_back(EventJson(e));
  }
  return JsonObject()
      .Whole("page", static_cast<int64_t>(page))
      .Whole("perPage", static_cast<int64_t>(kEventsPerPage))
      .Whole("total", static_cast<int64_t>(total))
      .Raw("events", JsonArray(items))
      .Close();
}

std::string EventPage(const EventEntry& e) {
  const std::string link = "/events/" + Escape(e.key);
  std::string out = Begin("Event " + e.key);
  out += "<p>" + ShownTime(e.start) + ", " + Fixed(e.seconds, 2) + " s, from " +
         Direction(e.startAz, e.startEl) + " to " + Direction(e.endAz, e.endEl) +
         (e.verdict.empty() ? "" : ": " + Escape(e.verdict)) + "</p>\n";
  if (e.movie) {
    out += "<video id=\"movie\" src=\"" + link +
           "/movie\" controls muted playsinline preload=\"metadata\"></video>\n";
  }
  if (e.peakImage) {
    out += "<img id=\"peak\" src=\"" + link +
           "/peak.jpg\" width=\"640\" height=\"480\" alt=\"The peak image\">\n";
  }
  if (e.timeHistory) {
    out += "<img id=\"lightcurve\" src=\"" + link + "/lightcurve.svg\" alt=\"The light curve\">\n";
    out += "<img id=\"track\" src=\"" + link + "/track.svg\" alt=\"The track on the sky\">\n";
  }
  out += "<p>Files:";
  const struct {
    char letter;
    bool present;
    const char* caption;
  } files[] = {{'e', true, "event"},
               {'j', e.peakImage, "peak image"},
               {'m', e.movie, "movie"},
               {'c', e.timeHistory, "time history"}};
  for (const auto& file : files) {
    if (file.present) {
      out += std::string(" <a class=\"download\" download href=\"") + link + "/file/" +
             file.letter + "\">" + file.caption + "</a>";
    }
  }
  return out + "</p>\n" + End();
}

std::string NightsPage(const std::vector<std::string>& dates) {
  std::string out = Begin("Nights");
  out += dates.empty() ? "<p>No night summaries yet.</p>\n" : "<ul id=\"nights\">";
  for (const std::string& date : dates) {
    out += "<li><a class=\"night\" href=\"/nights/" + Escape(date) + "\">" + Escape(date) +
           "</a></li>";
  }
  return out + (dates.empty() ? "" : "</ul>\n") + End();
}

std::string NightsJson(const std::vector<std::string>& dates) {
  std::vector<std::string> items;
  for (const std::string& date : dates) {
    items.push_back(JsonString(date));
  }
  return JsonObject().Raw("nights", JsonArray(items)).Close();
}

std::string NightPage(const std::string& date, const std::vector<std::string>& files) {
  const std::string link = "/nights/" + Escape(date) + "/";
  std::string out = Begin("Night of " + date);
  for (const char* video : {"timelapse.mp4", "timelapse.webm"}) {
    if (Has(files, video)) {
      out += "<video id=\"timelapse\" src=\"" + link + video +
             "\" controls muted playsinline preload=\"metadata\"></video>\n";
      break;
    }
  }
  for (const auto& image : kNightImages) {
    if (Has(files, image[1])) {
      out += std::string("<h2>") + image[2] + "</h2><img id=\"" + image[0] + "\" src=\"" + link +
             image[1] + "\" alt=\"" + image[2] + "\">\n";
    }
  }
  if (Has(files, "summary.json")) {
    out += "<p><a class=\"download\" href=\"" + link + "summary.json\">summary.json</a></p>\n";
  }
  return out + End();
}

std::string NightJson(const std::string& date, const std::vector<std::string>& files,
                      const std::optional<std::string>& summary) {
  std::vector<std::string> names;
  for (const std::string& file : files) {
    names.push_back(JsonString(file));
  }
  return JsonObject()
      .Text("date", date)
      .Raw("files", JsonArray(names))
      .Raw("summary", summary ? *summary : "null")
      .Close();
}

const std::string_view kAppScript = R"js("use strict";
// The status page: the live picture and the figures refreshed every 2 s without reloading.
(function () {
  const live = document.getElementById("live");
  if (!live) {
    return;
  }
  let loading = false;
  live.addEventListener("load", function () { loading = false; });
  live.addEventListener("error", function () { loading = false; });
  function set(id, text) {
    const element = document.getElementById(id);
    if (element) {
      element.textContent = text;
    }
  }
  function show(s) {
    set("capture-time", s.captureTimeShown);
    set("live", s.live ? "yes" : "no");
    set("enabled", s.enabled ? "enabled" : "disabled");
    set("frames", String(s.frames));
    set("lost", String(s.framesLost));
    set("events-tonight", String(s.eventsTonight));
    set("free-disk", s.freeDiskShown);
    set("outbox", s.outboxShown);
    const list = document.getElementById("notices");
    list.replaceChildren(...s.notices.map(function (n) {
      const item = document.createElement("li");
      item.className = n.severity;
      item.textContent = n.shown;
      return item;
    }));
  }
  setInterval(function () {
    if (!loading) {
      loading = true;
      live.src = "/live.jpg?" + Date.now();
    }
    fetch("/api/status", {cache: "no-store"})
      .then(function (r) { return r.ok ? r.json() : null; })
      .then(function (s) { if (s) { show(s); } })
      .catch(function () {});
  }, 2000);
})();
)js";

const std::string_view kAppStyle = R"css(body { font-family: sans-serif; margin: 0 auto;
  padding: 0.5em; max-width: 52em; background: #111; color: #ddd; }
a { color: #8cf; }
nav a { margin-right: 1em; }
img, video { display: block; max-width: 100%; height: auto; margin: 0.5em 0; background: #000; }
dl { display: grid; grid-template-columns: max-content 1fr; gap: 0.2em 1em; }
dt { color: #999; }
dd { margin: 0; }
ol#events { list-style: none; padding: 0; }
li.event { display: flex; flex-wrap: wrap; gap: 0.2em 0.8em; align-items: center;
  border-bottom: 1px solid #333; padding: 0.3em 0; }
li.event img { width: 160px; margin: 0; }
.noimage { display: inline-block; width: 160px; height: 120px; background: #222; }
li.warning { color: #fc6; }
li.error, li.fatal { color: #f77; }
)css";

}  // namespace ombrix
