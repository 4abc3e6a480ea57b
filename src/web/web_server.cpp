#include "web/web_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <httplib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "base/clock.h"
#include "base/file.h"
#include "base/folders.h"
#include "config/settings.h"
#include "review/browser_movie.h"
#include "review/event_index.h"
#include "review/night.h"
#include "review/web_views.h"
#include "station/mark.h"
#include "station/station.h"
#include "web/json.h"
#include "web/listen_address.h"
#include "web/live_picture.h"
#include "web/pages.h"
#include "web/web_token.h"
#include "web/worker_pool.h"

namespace ombrix {
namespace {

using httplib::Request;
using httplib::Response;
using namespace std::chrono_literals;

constexpr auto kTimeout = 5s;
constexpr time_t kKeepAlive_s = 2;
constexpr size_t kKeepAliveRequests = 20;
constexpr size_t kLongestBody = 4096;
constexpr size_t kLongestPath = 200;  // a key or a date is short; std::regex is not cheap
constexpr size_t kWarningsShown = 5;
constexpr int64_t kLongestMark_s = 600;
constexpr size_t kLongestSummary = 256 * 1024;
constexpr auto kStopGrace = 1s;  // for the requests under way to end before their connections do

constexpr const char* kSecurityPolicy =
    "default-src 'self'; object-src 'none'; base-uri 'none'; frame-ancestors 'none'; "
    "form-action 'self'";

// The task queue the library asks for (and deletes) when it starts listening: the server's pool.
class PoolQueue final : public httplib::TaskQueue {
 public:
  explicit PoolQueue(WorkerPool& pool) : pool_(pool) {}
  void enqueue(std::function<void()> job) override { pool_.Enqueue(std::move(job)); }
  void shutdown() override { pool_.Shutdown(); }

 private:
  WorkerPool& pool_;
};

void Answer(Response& res, int status, const std::string& body, const char* type) {
  res.status = status;
  res.set_content(body, type);
}

void AnswerJson(Response& res, int status, const std::string& body) {
  Answer(res, status, body, "application/json");
}

void Refuse(const Request& req, Response& res, int status, const std::string& why) {
  if (req.path.starts_with("/api/")) {
    AnswerJson(res, status, JsonObject().Text("error", why).Close());
  } else {
    Answer(res, status, why + "\n", "text/plain; charset=utf-8");
  }
}

std::string StatusText(int status) {
  switch (status) {
    case 400:
      return "Bad request.";
    case 404:
      return "Not found.";
    case 405:
      return "Method not allowed.";
    case 413:
      return "Request too large.";
    case 414:
      return "Request line too long.";
    case 416:
      return "Range not satisfiable.";
    default:
      return "HTTP status " + std::to_string(status) + ".";
  }
}

// The host part of a Host header: "127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "::1".
std::string HostOf(const std::string& header) {
  if (header.starts_with('[')) {
    return header.substr(1, header.find(']') - 1);
  }
  return header.substr(0, header.find(':'));
}

// Whether the one range asked for (Admit refuses more) begins inside content of that size; if not,
// the answer is 416. A range left alone would be sent as asked, past the content's end.
bool RangeFits(const Request& req, Response& res, size_t size) {
  if (req.ranges.empty()) {
    return true;
  }
  const auto [first, last] = req.ranges.front();  // "-N": first is -1, the last N bytes
  if (first >= 0 ? static_cast<size_t>(first) < size : last > 0) {
    return true;
  }
  res.status = 416;
  res.set_header("Content-Range", "bytes */" + std::to_string(size));
  return false;
}

// Serves a regular file from its start or the range asked for, read as it is sent. False when
// it cannot be opened.
bool ServeFile(const Request& req, const std::string& path, const std::string& type,
               Response& res) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    return false;
  }
  std::shared_ptr<int> file(new int(fd), [](int* f) {
    close(*f);
    delete f;
  });
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    return false;
  }
  res.set_header("Cache-Control", "private, max-age=60");
  if (!RangeFits(req, res, static_cast<size_t>(st.st_size))) {
    return true;
  }
  if (st.st_size == 0) {
    res.set_content("", type);
    return true;
  }
  res.set_content_provider(static_cast<size_t>(st.st_size), type,
                           [file](size_t offset, size_t length, httplib::DataSink& sink) {
                             char buffer[16384];
                             const ssize_t got =
                                 pread(*file, buffer, std::min(length, sizeof buffer),
                                       static_cast<off_t>(offset));
                             return got > 0 && sink.write(buffer, static_cast<size_t>(got));
                           });
  return true;
}

// An action that takes no body: a POST without one is answered at once (the library would read
// until the connection closes), and one that is sent is read and let go.
void PostWithoutBody(httplib::Server& server, const std::string& pattern,
                     httplib::Server::Handler handler) {
  server.Post(pattern, [handler = std::move(handler)](const Request& req, Response& res,
                                                      const httplib::ContentReader& reader) {
    if (req.has_header("Content-Length")) {
      size_t length = 0;
      reader([&length](const char*, size_t size) {
        length += size;
        return length <= kLongestBody;
      });
      if (length > kLongestBody) {
        Refuse(req, res, 413, "The request's body is too long.");
        return;
      }
    }
    handler(req, res);
  });
}

// Shuts down (for the workers to close) this process's TCP connections on the local port: the
// connections the web page accepted, its listening socket being closed already.
void ShutDownAcceptedConnections(int port) {
  DIR* folder = opendir("/proc/self/fd");
  if (folder == nullptr) {
    return;
  }
  while (const dirent* entry = readdir(folder)) {
    const int fd = std::atoi(entry->d_name);
    int type = 0, listening = 0;
    socklen_t size = sizeof type;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (fd == dirfd(folder) || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 ||
        type != SOCK_STREAM || getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 ||
        listening != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
      continue;
    }
    const in_port_t bound =
        local.ss_family == AF_INET    ? reinterpret_cast<const sockaddr_in*>(&local)->sin_port
        : local.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port
                                      : 0;
    if (bound != 0 && ntohs(bound) == port) {
      shutdown(fd, SHUT_RDWR);
    }
  }
  closedir(folder);
}

// The 1-based page of ?page=N; nullopt when it is no page number.
std::optional<size_t> PageOf(const Request& req) {
  if (!req.has_param("page")) {
    return 1;
  }
  const std::string text = req.get_param_value("page");
  if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != text.npos) {
    return std::nullopt;
  }
  const size_t page = std::stoul(text);
  return page >= 1 ? std::optional<size_t>(page) : std::nullopt;
}

struct NightFile {
  const char* name;
  const char* type;
};
constexpr NightFile kNightFiles[] = {
    {"keogram.png", "image/png"},        {"startrails.png", "image/png"},
    {"events.svg", "image/svg+xml"},     {"skymap.svg", "image/svg+xml"},
    {"timelapse.mp4", "video/mp4"},      {"timelapse.webm", "video/webm"},
    {"summary.json", "application/json"}};

struct EventFile {
  char letter;
  std::string EventFilePaths::*path;
  const char* type;
  const char* extension;
};
const EventFile kEventFiles[] = {
    {'e', &EventFilePaths::eventFile, "text/plain; charset=utf-8", ".txt"},
    {'j', &EventFilePaths::peakImage, "image/jpeg", ".jpg"},
    {'m', &EventFilePaths::movie, "video/mp4", ".mp4"},
    {'c', &EventFilePaths::timeHistory, "text/csv; charset=utf-8", ".csv"}};

}  // namespace

struct WebServer::Impl {
  Impl(Station& s, WebOptions o) : station(s), options(std::move(o)), live(s) {}

  // The events folder, its index and the movie cache of the archiveFolder setting as it stands.
  struct Folders {
    std::string base, events;
    std::shared_ptr<EventIndex> index;
    std::shared_ptr<BrowserMovieCache> movies;
  };
  std::optional<Folders> CurrentFolders();

  void Routes();
  httplib::Server::HandlerResponse Admit(const Request& req, Response& res) const;
  StatusView Gather();
  // The entry of the event named by the request's first match, or the answer why not.
  std::optional<EventEntry> EventOf(const Request& req, Response& res, Folders& folders);
  // An event's peak image, browser movie, light curve, track or one of its four files.
  void EventFileAnswer(const Request& req, Response& res);
  void Mark(const Request& req, Response& res);
  void Night(const Request& req, Response& res, bool json);

  Station& station;
  const WebOptions options;
  std::string token;
  std::string host;
  int port = 0;
  httplib::Server server;
  WorkerPool pool;
  std::jthread listener;
  std::atomic<bool> listenEnded{false};
  std::stop_source stopping;  // ends a movie transcode under way at the stop
  LivePicture live;

  std::mutex foldersMutex;
  std::optional<std::string> foldersSetting;  // the archiveFolder setting folders were made for
  Folders folders;

  std::mutex markMutex;
  std::jthread markThread;
  bool marking = false;
  std::string markOutcome;
};

std::optional<WebServer::Impl::Folders> WebServer::Impl::CurrentFolders() {
  const std::string setting = station.settings()->archiveFolder;
  std::lock_guard lock(foldersMutex);
  if (foldersSetting != setting || !folders.index) {
    Folders made;
    made.base = GetBaseFolder(setting);
    if (made.base.empty() || !GetEventsFolder(setting, made.events)) {
      return std::nullopt;
    }
    made.index = std::make_shared<EventIndex>(made.events);
    made.movies = std::make_shared<BrowserMovieCache>(made.base + "/web-cache");
    folders = std::move(made);
    foldersSetting = setting;
  }
  return folders;
}

httplib::Server::HandlerResponse WebServer::Impl::Admit(const Request& req, Response& res) const {
  using enum httplib::Server::HandlerResponse;
  if (req.path.size() > kLongestPath) {
    Refuse(req, res, 404, "Not found.");
    return Handled;
  }
  // Before any body is read: no other method (the library would read its body, whatever its
  // size), no body without a length (a chunked one is read whole before it is measured), and one
  // range at most (a list of ranges makes any answer as large as the list).
  if (req.method != "GET" && req.method != "HEAD" && req.method != "POST") {
    res.set_header("Allow", "GET, HEAD, POST");
    Refuse(req, res, 405, "Only GET, HEAD and POST are answered.");
    return Handled;
  }
  if (req.has_header("Transfer-Encoding")) {
    Refuse(req, res, 411, "A request's body is sent with its length.");
    return Handled;
  }
  if (req.ranges.size() > 1) {
    Refuse(req, res, 416, "One range at a time.");
    return Handled;
  }
  // A mark's times are its body: without a length the library would wait for the connection to
  // close (the other actions take no body and are answered at once).
  if (req.method == "POST" && req.path == "/api/mark" && !req.has_header("Content-Length")) {
    Refuse(req, res, 411, "The mark's from and duration are sent as the body, with its length.");
    return Handled;
  }
  // A browser always names the host it meant: a loopback client naming another one is a page of
  // another site that reaches the station through a name of its own.
  const std::string named = req.get_header_value("Host");
  const bool loopback = IsLoopback(req.remote_addr) && (named.empty() || IsLoopback(HostOf(named)));
  if (req.method != "POST" && loopback) {
    return Unhandled;
  }
  // Scripts send the token as a bearer token. A browser cannot, so reading also takes it as the
  // password of Basic authentication, which a browser asks for once and then sends with every
  // request; an action never does, since a browser would send it for another site's form too.
  const bool action = req.method == "POST";
  const std::string authorization = req.get_header_value("Authorization");
  const bool bearer = authorization.starts_with("Bearer ");
  const std::optional<std::string> basic = action ? std::nullopt : BasicPassword(authorization);
  if (bearer ? !SameToken(std::string_view(authorization).substr(7), token)
             : !basic || !SameToken(*basic, token)) {
    if (bearer) {
      Refuse(req, res, 403, "Wrong token.");
    } else {
      res.set_header("WWW-Authenticate",
                     action ? "Bearer" : "Basic realm=\"Ombrix\", charset=\"UTF-8\"");
      Refuse(req, res, 401,
             action ? "The station's web token is needed: Authorization: Bearer TOKEN."
                    : "The station's web token is needed (as a bearer token, or as the password).");
    }
    return Handled;
  }
  return Unhandled;
}

StatusView WebServer::Impl::Gather() {
  StatusView view;
  const std::shared_ptr<const Settings> settings = station.settings();
  view.station = StationName(*settings);
  view.uploading = !settings->uploadTarget.empty();
  view.status = station.Status();
  view.freeFraction = station.FreeFraction();
  if (std::optional<Folders> f = CurrentFolders()) {
    view.eventsTonight = f->index->CountSince(NightAt(SystemClock().UtcNow()).start);
  }
  const std::vector<Notice> recent = station.notices().Recent();
  for (auto it = recent.rbegin(); it != recent.rend() && view.warnings.size() < kWarningsShown;
       ++it) {
    if (it->severity >= Severity::kWarning) {
      view.warnings.push_back(*it);
    }
  }
  std::lock_guard lock(markMutex);
  view.marking = marking;
  view.markOutcome = markOutcome;
  return view;
}

std::optional<EventEntry> WebServer::Impl::EventOf(const Request& req, Response& res, Folders& f) {
  const std::string key = req.matches[1];
  if (!IsEventKey(key)) {
    Refuse(req, res, 400, "No event key: an event key is a Stamp, YYYYMMDD_hhmmss_mmm.");
    return std::nullopt;
  }
  std::optional<Folders> current = CurrentFolders();
  if (!current) {
    Refuse(req, res, 503, "The events folder cannot be used.");
    return std::nullopt;
  }
  f = std::move(*current);
  std::optional<EventEntry> entry = f.index->Find(key);
  if (!entry) {
    Refuse(req, res, 404, "No such event.");
  }
  return entry;
}

void WebServer::Impl::Mark(const Request& req, Response& res) {
  // JSON {"from": ..., "duration": ...} or a form; from a Stamp or an ISO 8601 UTC time.
  std::string fromText, durationText;
  if (req.get_header_value("Content-Type").starts_with("application/json")) {
    const std::optional<JsonValue> body = ParseJson(req.body);
    const JsonValue* from = body ? body->Field("from") : nullptr;
    const JsonValue* duration = body ? body->Field("duration") : nullptr;
    if (from != nullptr && from->AsText() != nullptr) {
      fromText = *from->AsText();
    }
    if (duration != nullptr && duration->AsNumber() != nullptr) {
      durationText = JsonNumber(*duration->AsNumber());
    } else if (duration != nullptr && duration->AsText() != nullptr) {
      durationText = *duration->AsText();
    }
  } else {
    fromText = req.get_param_value("from");
    durationText = req.get_param_value("duration");
  }
  std::optional<UtcTime> start = ParseStamp(fromText);
  if (!start) {
    start = ParseIsoUtc(fromText);
  }
  const bool whole = !durationText.empty() && durationText.size() <= 4 &&
                     durationText.find_first_not_of("0123456789") == std::string::npos;
  const int64_t seconds = whole ? std::stoll(durationText) : 0;
  if (!start || seconds < 1 || seconds > kLongestMark_s ||
      !FitsStamps(*start, std::chrono::seconds(seconds))) {
    Refuse(req, res, 400,
           "Mark needs from (a Stamp or a UTC time such as 2024-03-15T21:14:50Z) and duration "
           "(whole seconds, 1 to 600).");
    return;
  }
  std::lock_guard lock(markMutex);
  if (marking) {
    Refuse(req, res, 409, "A mark is under way; ask again when it has ended.");
    return;
  }
  if (markThread.joinable()) {
    markThread.join();  // the last one has ended
  }
  marking = true;
  const UtcTime end = *start + std::chrono::seconds(seconds);
  markThread = std::jthread([this, begin = *start, end](std::stop_token stop) {
    const SharedSettings settings(*station.settings());
    Notices& notices = station.notices();
    const MarkOutcome outcome = MarkStretch(
        settings, begin, end, notices,
        [&notices] {
          notices.Say(Severity::kInfo, kWebTopic,
                      "Mark: waiting for the station to record the stretch.");
        },
        stop);
    notices.Say(outcome.result == MarkResult::kCut ? Severity::kInfo : Severity::kWarning,
                kWebTopic, outcome.text);
    std::lock_guard done(markMutex);
    markOutcome = outcome.text;
    marking = false;
  });
  AnswerJson(res, 202,
             JsonObject()
                 .Text("marking", MakeStamp(*start))
                 .Text("from", IsoUtc(*start, true))
                 .Text("to", IsoUtc(end, true))
                 .Close());
}

void WebServer::Impl::Night(const Request& req, Response& res, bool json) {
  const std::string date = req.matches[1];
  if (!IsNightDate(date)) {
    Refuse(req, res, 400, "No night: a night is named YYYY-MM-DD.");
    return;
  }
  const std::string folder = NightsFolder(station.settings()->archiveFolder) + "/" + date;
  std::vector<std::string> files;
  for (const NightFile& file : kNightFiles) {
    struct stat st {};
    if (stat((folder + "/" + file.name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      files.emplace_back(file.name);
    }
  }
  if (files.empty()) {
    Refuse(req, res, 404, "No summary of that night.");
    return;
  }
  if (!json) {
    Answer(res, 200, NightPage(date, files), "text/html; charset=utf-8");
    return;
  }
  std::optional<std::string> summary;
  if (FilePtr file = OpenFile(folder + "/summary.json", "rb")) {
    std::string text(kLongestSummary, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file.get()));
    if (ParseJson(text)) {
      summary = std::move(text);
    }
  }
  AnswerJson(res, 200, NightJson(date, files, summary));
}

void WebServer::Impl::EventFileAnswer(const Request& req, Response& res) {
  Folders f;
  const std::optional<EventEntry> e = EventOf(req, res, f);
  if (!e) {
    return;
  }
  const EventFilePaths paths = EventFiles(f.events, e->key);
  const std::string what = req.matches[2];
  bool served = false;
  if (what == "peak.jpg") {
    served = ServeFile(req, paths.peakImage, "image/jpeg", res);
  } else if (what == "movie" && e->movie) {
    std::string why;
    const std::optional<BrowserMovie> movie =
        f.movies->Get(paths.movie, e->key, why, stopping.get_token());
    if (!movie) {
      Refuse(req, res, 503, "The movie cannot be played: " + why);
      return;
    }
    served = ServeFile(req, movie->path, movie->mimeType, res);
  } else if (what.ends_with(".svg")) {
    const std::optional<std::string> svg = what == "track.svg"
                                               ? EventTrackSvg(paths.timeHistory)
                                               : EventLightCurveSvg(paths.timeHistory);
    if (svg) {
      Answer(res, 200, *svg, "image/svg+xml");
      served = true;
    }
  } else if (what.starts_with("file/")) {
    for (const EventFile& file : kEventFiles) {
      if (file.letter == what.back() && ServeFile(req, paths.*file.path, file.type, res)) {
        res.set_header("Content-Disposition", std::string("attachment; filename=\"") + file.letter +
                                                  e->key + file.extension + "\"");
        served = true;
      }
    }
  }
  if (!served) {
    Refuse(req, res, 404, "The event has no such file.");
  }
}

void WebServer::Impl::Routes() {
  constexpr const char* kHtml = "text/html; charset=utf-8";
  server.Get("/", [this](const Request&, Response& res) {
    Answer(res, 200, StatusPage(Gather()), kHtml);
  });
  server.Get("/app.js", [](const Request&, Response& res) {
    res.set_header("Cache-Control", "max-age=300");
    Answer(res, 200, std::string(kAppScript), "text/javascript; charset=utf-8");
  });
  server.Get("/app.css", [](const Request&, Response& res) {
    res.set_header("Cache-Control", "max-age=300");
    Answer(res, 200, std::string(kAppStyle), "text/css; charset=utf-8");
  });
  server.Get("/live.jpg", [this](const Request& req, Response& res) {
    const LivePicture::Jpeg jpeg = live.Get();
    if (!jpeg) {
      Refuse(req, res, 503, "No picture yet.");
      return;
    }
    res.set_header("Cache-Control", "no-store");
    if (!RangeFits(req, res, jpeg->size())) {
      return;
    }
    res.set_content_provider(
        jpeg->size(), "image/jpeg", [jpeg](size_t offset, size_t length, httplib::DataSink& sink) {
          return offset < jpeg->size() &&
                 sink.write(reinterpret_cast<const char*>(jpeg->data()) + offset,
                            std::min(length, jpeg->size() - offset));
        });
  });
  server.Get("/api/status", [this](const Request&, Response& res) {
    res.set_header("Cache-Control", "no-store");
    AnswerJson(res, 200, StatusJson(Gather()));
  });
  for (const bool json : {false, true}) {
    server.Get(json ? "/api/events" : "/events", [this, json](const Request& req, Response& res) {
      const std::optional<size_t> page = PageOf(req);
      std::optional<Folders> f = CurrentFolders();
      if (!page || !f) {
        Refuse(req, res, page ? 503 : 400,
               page ? "The events folder cannot be used." : "Bad page.");
        return;
      }
      size_t total = 0;
      const std::vector<EventEntry> events =
          f->index->Page((*page - 1) * kEventsPerPage, kEventsPerPage, &total);
      if (json) {
        AnswerJson(res, 200, EventsJson(events, *page, total));
      } else {
        Answer(res, 200, EventsPage(events, *page, total), kHtml);
      }
    });
    server.Get(json ? "/api/events/([^/]+)" : "/events/([^/]+)", [this, json](const Request& req,
                                                                              Response& res) {
      Folders f;
      if (const std::optional<EventEntry> e = EventOf(req, res, f)) {
        json ? AnswerJson(res, 200, EventJson(*e)) : Answer(res, 200, EventPage(*e), kHtml);
      }
    });
    server.Get(json ? "/api/nights" : "/nights", [this, json](const Request&, Response& res) {
      const std::vector<std::string> dates = ListNights(station.settings()->archiveFolder);
      json ? AnswerJson(res, 200, NightsJson(dates)) : Answer(res, 200, NightsPage(dates), kHtml);
    });
    server.Get(json ? "/api/nights/([^/]+)" : "/nights/([^/]+)",
               [this, json](const Request& req, Response& res) { Night(req, res, json); });
  }
  server.Get("/events/([^/]+)/(peak\\.jpg|movie|lightcurve\\.svg|track\\.svg|file/[ejmc])",
             [this](const Request& req, Response& res) { EventFileAnswer(req, res); });
  server.Get("/nights/([^/]+)/([^/]+)", [this](const Request& req, Response& res) {
    const std::string date = req.matches[1], name = req.matches[2];
    for (const NightFile& file : kNightFiles) {
      if (IsNightDate(date) && name == file.name &&
          ServeFile(req, NightsFolder(station.settings()->archiveFolder) + "/" + date + "/" + name,
                    file.type, res)) {
        return;
      }
    }
    Refuse(req, res, 404, "No such file.");
  });

  PostWithoutBody(server, "/api/events/([^/]+)/delete", [this](const Request& req, Response& res) {
    Folders f;
    if (const std::optional<EventEntry> e = EventOf(req, res, f)) {
      std::string why;
      if (!DeleteEvent(f.events, e->key, why)) {
        Refuse(req, res, 500, why);
        return;
      }
      station.notices().Say(Severity::kInfo, kEventTopic,
                            "Event deleted through the web page: " + e->key);
      AnswerJson(res, 200, JsonObject().Text("deleted", e->key).Close());
    }
  });
  for (const bool enable : {true, false}) {
    PostWithoutBody(server, enable ? "/api/enable" : "/api/disable",
                    [this, enable](const Request&, Response& res) {
                      // Only `enabled` changes: Apply publishes the record and does nothing else,
                      // which is safe from this thread.
                      station.Apply([enable](Settings& s) { s.enabled = enable; });
                      AnswerJson(res, 200,
                                 JsonObject().Flag("enabled", station.Status().enabled).Close());
                    });
  }
  server.Post("/api/mark", [this](const Request& req, Response& res) { Mark(req, res); });
}

WebServer::WebServer(Station& station, WebOptions options)
    : impl_(std::make_unique<Impl>(station, std::move(options))) {}

WebServer::~WebServer() {
  Stop();
}

bool WebServer::Start(std::string& why) {
  Impl& s = *impl_;
  if (s.listener.joinable()) {
    return true;
  }
  s.stopping = std::stop_source();  // no request is served yet
  const std::optional<HostPort> address = ParseListenAddress(s.options.listen, why);
  if (!address) {
    return false;
  }
  const bool loopback = IsLoopback(address->host);
  std::string tokenWhy;
  const std::optional<std::string> token = LoadWebToken(s.options.tokenPath, loopback, tokenWhy);
  if (!token) {
    why = loopback ? tokenWhy
                   : s.options.listen +
                         " is not a loopback address, and the web page serves it only with a "
                         "token: " +
                         tokenWhy + " (start it once on 127.0.0.1:PORT to make one)";
    return false;
  }
  s.token = *token;
  s.host = address->host;

  httplib::Server& server = s.server;
  server.new_task_queue = [&s] { return new PoolQueue(s.pool); };
  server.set_read_timeout(kTimeout);
  server.set_write_timeout(kTimeout);
  server.set_keep_alive_timeout(kKeepAlive_s);
  server.set_keep_alive_max_count(kKeepAliveRequests);
  server.set_payload_max_length(kLongestBody);
  server.set_default_headers({{"Content-Security-Policy", kSecurityPolicy},
                              {"X-Content-Type-Options", "nosniff"},
                              {"X-Frame-Options", "DENY"},
                              {"Referrer-Policy", "no-referrer"}});
  server.set_pre_routing_handler(
      [&s](const Request& req, Response& res) { return s.Admit(req, res); });
  server.set_error_handler([](const Request& req, Response& res) {
    if (res.body.empty()) {
      Refuse(req, res, res.status, StatusText(res.status));
    }
  });
  server.set_exception_handler([&s](const Request& req, Response& res, std::exception_ptr) {
    s.station.notices().Failure(Severity::kWarning, kWebTopic,
                                "The web page failed to answer " + req.path + ".");
    Refuse(req, res, 500, "The station could not answer.");
  });
  s.Routes();

  s.port = address->port == 0
               ? server.bind_to_any_port(address->host)
               : (server.bind_to_port(address->host, address->port) ? address->port : -1);
  if (s.port <= 0) {
    why = "cannot listen on " + s.options.listen +
          " (the port is in use, or the address is not one of this machine's)";
    return false;
  }
  s.pool.Start(kWorkers, kWaiting);
  // The events are read into the index now, by a worker, so that the first look at /events does
  // not have to read every event of the folder.
  s.pool.Enqueue([&s] {
    if (const std::optional<Impl::Folders> folders = s.CurrentFolders()) {
      size_t total = 0;
      folders->index->Page(0, 0, &total);
    }
  });
  s.listener = std::jthread([&s] {
    s.server.listen_after_bind();
    s.listenEnded = true;
  });
  // Stop() can only end a server that has begun to listen.
  while (!server.is_running() && !s.listenEnded) {
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

void WebServer::Stop() {
  Impl& s = *impl_;
  s.stopping.request_stop();
  if (s.listener.joinable()) {
    s.pool.Release();
    s.server.stop();
    // A request under way ends within the timeouts of each read and write, but a client that
    // dribbles its request byte by byte could hold a worker for hours: the connections still
    // open after a moment are shut down, which ends every read and write on them at once.
    const auto began = std::chrono::steady_clock::now();
    while (!s.listenEnded && std::chrono::steady_clock::now() - began < kStopGrace) {
      std::this_thread::sleep_for(10ms);
    }
    if (!s.listenEnded) {
      ShutDownAcceptedConnections(s.port);
    }
    s.listener.join();
  }
  s.pool.Shutdown();
  s.markThread.request_stop();
  if (s.markThread.joinable()) {
    s.markThread.join();
  }
}

std::string WebServer::url() const {
  return impl_->port > 0 ? PageUrl(impl_->host, impl_->port) : std::string();
}

std::unique_ptr<WebServer> StartWebPage(Station& station, const std::string& listen) {
  if (listen.empty()) {
    return nullptr;
  }
  auto web = std::make_unique<WebServer>(station, WebOptions{listen, WebTokenPath()});
  std::string why;
  if (!web->Start(why)) {
    station.notices().Say(Severity::kError, kWebTopic, "The web page does not start: " + why);
    return nullptr;
  }
  station.notices().Say(Severity::kInfo, kWebTopic, "Web page: " + web->url());
  return web;
}

}  // namespace ombrix
