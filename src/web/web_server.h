#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace ombrix {

class Station;

// What the web part says (info: where it listens; error: why it does not start; the outcome of
// a mark asked for through it).
inline constexpr std::string_view kWebTopic = "web";

struct WebOptions {
  std::string listen;     // "ADDR:PORT" (see ParseListenAddress); port 0: a free one
  std::string tokenPath;  // the token file (WebTokenPath() for the station's own)
};

// The station's web page: status, live picture, events, nights, their JSON, and the actions
// that need the token. It only reads what the station publishes (its status, the newest frame,
// the notices, the settings) and the files of the events and nights folders, on threads of its
// own: it never holds up detection or recording.
//
// Bounds: kWorkers threads serve the connections, at most kWaiting accepted ones wait for them
// (then the listening thread waits and further clients wait in the kernel's queue), requests of
// at most 4 kB of body and 8 kB of header, 5 s read and write timeouts, keep-alive for 2 s and
// 20 requests. A mark asked for runs on a thread of its own, one at a time.
//
// Access: a loopback client (naming a loopback host) reads without the token; any other needs
// "Authorization: Bearer TOKEN", or the token as the password of Basic authentication (what a
// browser can send); the actions (POST) always need the bearer token: 401 without, 403 with a
// wrong one. Listening on a loopback address makes the token file when it is missing; any other
// address needs it to exist already.
//
// The owner starts it after the station and stops it before the station stops; the station
// must outlive it.
class WebServer {
 public:
  static constexpr int kWorkers = 8;
  static constexpr size_t kWaiting = 16;

  WebServer(Station& station, WebOptions options);
  ~WebServer();  // Stop()
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Listens; false, with why, when it cannot (a wrong address, a port in use, no token).
  bool Start(std::string& why);
  // Stops listening and joins every thread: a request under way has a second to end, then its
  // connection is shut down; a mark waiting for the archive ends at once (one cutting its stretch
  // ends when cut). Safe to call twice and without Start.
  void Stop();
  // "http://ADDR:PORT/" with the port actually listened on; empty before Start.
  std::string url() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// For the program's runners: starts the web page on listen (--web, else the webListen setting;
// nothing when empty) with the token beside the configuration file, and says where it listens
// ("Web page: http://ADDR:PORT/", info) or why it does not start (error: the station runs on).
// Null when it does not run.
std::unique_ptr<WebServer> StartWebPage(Station& station, const std::string& listen);

}  // namespace ombrix
