#include "web/web_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <tuple>

#include "base/clock.h"
#include "station/station.h"
#include "storage/disk_cleaner.h"
#include "support/review_archive.h"
#include "web/json.h"
#include "web/listen_address.h"
#include "web/web_token.h"

namespace ombrix {
namespace {

namespace fs = std::filesystem;
using test::ReviewArchive;

class PlentyOfSpace final : public FreeSpace {
 public:
  std::optional<double> FreeFraction(const std::string&) override { return 0.75; }
} space;

constexpr const char* kOld = "20240315_211451_000";    // both cut from the test's archive
constexpr const char* kNewer = "20240315_211453_000";  // the newest

// A station on the simulated sky (no meteors) recording into an archive that holds two cut
// events and one night summary, with its web page on a free loopback port.
class WebServerTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    archive_ = new ReviewArchive;
    for (const char* clip : {"20240315_211450_000", kOld, "20240315_211452_000", kNewer,
                             "20240315_211454_000", "20240315_211455_000"}) {
      archive_->AddClip(clip);
    }
    for (const Stamp key : {kOld, kNewer}) {
      archive_->AddEvent(key, key.substr(0, 16) + "500");
      archive_->CutEvent(key, key.substr(0, 16) + "500");
    }
    fs::create_directories(archive_->base / "nights/2024-03-15");
    test::WriteFileBytes(archive_->base / "nights/2024-03-15/keogram.png", "PNG");
    test::WriteFileBytes(archive_->base / "nights/2024-03-15/summary.json", "{\"events\": 2}");
    StationSetup setup;
    setup.source.kind = SourceKind::kSimulated;
    setup.source.simRate = 0;
    setup.readConfiguration = false;
    setup.enableAtStart = true;
    setup.freeSpace = &space;
    station_ = new Station(std::move(setup));
    station_->Apply([](Settings& s) {
      s.archiveFolder = archive_->base.str();
      s.daysToKeep = -1;  // the night of 2024 is kept however long ago it was
    });
    station_->Start();
    web_ = new WebServer(*station_, {"127.0.0.1:0", (archive_->base / "web-token").string()});
    std::string why;
    ASSERT_TRUE(web_->Start(why)) << why;
    std::string tokenWhy;
    token_ = LoadWebToken((archive_->base / "web-token").string(), false, tokenWhy).value();
  }
  static void TearDownTestSuite() {
    delete web_;  // before the station stops
    station_->Stop();
    delete station_;
    delete archive_;
  }

  static httplib::Client Client() {
    httplib::Client client(web_->url().substr(0, web_->url().size() - 1));
    client.set_read_timeout(std::chrono::seconds(60));  // a movie is transcoded on first view
    client.set_url_encode(false);                       // the paths go as written
    return client;
  }
  static httplib::Headers Bearer(const std::string& token) {
    return {{"Authorization", "Bearer " + token}};
  }
  static std::optional<JsonValue> GetJson(const std::string& path) {
    const httplib::Result r = Client().Get(path.c_str());
    EXPECT_TRUE(r && r->status == 200 && r->get_header_value("Content-Type") == "application/json")
        << path;
    return r ? ParseJson(r->body) : std::nullopt;
  }

  static ReviewArchive* archive_;
  static Station* station_;
  static WebServer* web_;
  static std::string token_;
};
ReviewArchive* WebServerTest::archive_ = nullptr;
Station* WebServerTest::station_ = nullptr;
WebServer* WebServerTest::web_ = nullptr;
std::string WebServerTest::token_;

// Every answer carries the security headers; only an event key or a night date names a file, and
// only files of the fixed names are served; anything else reads nothing.
TEST_F(WebServerTest, ServesItsPagesAndFilesAndNothingElse) {
  const std::string event = std::string("/events/") + kOld;
  const std::string eventFile = test::ReadFileBytes(archive_->EventFile('e', kOld));
  const struct {
    std::string path;
    int status;
    std::string type;  // the start of the Content-Type; empty: not checked
  } cases[] = {
      {"/", 200, "text/html"},
      {"/app.js", 200, "text/javascript"},
      {"/app.css", 200, "text/css"},
      {"/events", 200, "text/html"},
      {"/events?page=2", 200, "text/html"},
      {event, 200, "text/html"},
      {event + "/peak.jpg", 200, "image/jpeg"},
      {event + "/file/e", 200, "text/plain"},
      {event + "/file/c", 200, "text/csv"},
      {event + "/lightcurve.svg", 200, "image/svg+xml"},
      {event + "/movie", 200, "video/"},
      {"/nights", 200, "text/html"},
      {"/nights/2024-03-15", 200, "text/html"},
      {"/nights/2024-03-15/keogram.png", 200, "image/png"},
      {"/events?page=x", 400, ""},
      {"/events/..", 400, ""},
      {"/events/%2e%2e", 400, ""},
      {"/events/%2e%2e%2fconfig.txt", 404, ""},
      {"/events/..%2F..%2F..%2Fetc%2Fpasswd", 404, ""},
      {"/events/../../etc/passwd", 404, ""},
      {"/events//etc/passwd", 404, ""},
      {"/events/" + std::string(300, '1'), 404, ""},
      {"/events/20240315_211451_0000", 400, ""},
      {"/events/20240315_211451_001", 404, ""},
      {"/api/events/20240230_211451_000", 400, ""},
      {event + "/file/x", 404, ""},
      {event + "/file/e/..", 404, ""},
      {"/nights/2024-02-30", 400, ""},
      {"/nights/2024-03-16", 404, ""},
      {"/nights/2024-03-15/startrails.png", 404, ""},
      {"/nights/2024-03-15/..%2f..%2fweb-token", 404, ""},
      {"/nights/2024-03-15/station.lock", 404, ""},
      {"/web-token", 404, ""},
      {"/%2e%2e/%2e%2e/etc/passwd", 404, ""},
      {"/etc/passwd", 404, ""},
  };
  httplib::Client client = Client();
  for (const auto& c : cases) {
    const httplib::Result r = client.Get(c.path.c_str());
    ASSERT_TRUE(r) << c.path;
    EXPECT_EQ(r->status, c.status) << c.path;
    EXPECT_TRUE(r->get_header_value("Content-Type").starts_with(c.type)) << c.path;
    EXPECT_EQ(r->get_header_value("Content-Security-Policy").substr(0, 21), "default-src 'self'; o")
        << c.path;
    EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff") << c.path;
    if (c.status != 200) {
      EXPECT_EQ(r->body.find(token_), std::string::npos) << c.path;
      EXPECT_EQ(r->body.find("root:"), std::string::npos) << c.path;
      EXPECT_LT(r->body.size(), 200u) << c.path;
    }
    if (c.path == event + "/file/e") {
      EXPECT_EQ(r->body, eventFile);
    }
  }
  // The page a phone loads first stays small, and names the events with their ids.
  const httplib::Result page = client.Get("/");
  EXPECT_LT(page->body.size(), 20000u);
  EXPECT_NE(page->body.find("<dd id=\"free-disk\">75.0 %</dd>"), std::string::npos);
  // What the station says reaches the page as text, never as markup.
  station_->notices().Say(Severity::kWarning, "test", "<script>alert(1)</script> & more");
  const std::string shown = client.Get("/")->body;
  EXPECT_NE(shown.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; more</li>"), std::string::npos);
  EXPECT_EQ(shown.find("<script>alert"), std::string::npos);
  const std::string list = client.Get("/events")->body;
  EXPECT_LT(list.find(std::string("data-key=\"") + kNewer), list.find(kOld));
}

TEST_F(WebServerTest, AnswersStatusEventsAndNightsAsJson) {
  const std::optional<JsonValue> status = GetJson("/api/status");
  ASSERT_TRUE(status);
  for (const char* figure : {"frames", "framesLost", "eventsTonight", "eventsRecorded"}) {
    ASSERT_TRUE(status->Field(figure) && status->Field(figure)->AsNumber()) << figure;
  }
  EXPECT_EQ(*status->Field("freeDisk")->AsNumber(), 0.75);
  EXPECT_TRUE(status->Field("notices")->AsArray());

  const std::optional<JsonValue> events = GetJson("/api/events");
  ASSERT_TRUE(events && events->Field("events"));
  EXPECT_EQ(*events->Field("total")->AsNumber(), 2);
  const JsonValue& newest = events->Field("events")->AsArray()->at(0);
  EXPECT_EQ(*newest.Field("key")->AsText(), kNewer);
  EXPECT_EQ(*newest.Field("seconds")->AsNumber(), 0.5);
  EXPECT_EQ(*newest.Field("start")->AsText(), "2024-03-15T21:14:53.000Z");
  EXPECT_TRUE(std::get<bool>(newest.Field("files")->Field("movie")->value));

  const std::optional<JsonValue> one = GetJson(std::string("/api/events/") + kOld);
  ASSERT_TRUE(one);
  EXPECT_EQ(*one->Field("key")->AsText(), kOld);

  const std::optional<JsonValue> nights = GetJson("/api/nights");
  ASSERT_TRUE(nights);
  EXPECT_EQ(*nights->Field("nights")->AsArray()->at(0).AsText(), "2024-03-15");
  const std::optional<JsonValue> night = GetJson("/api/nights/2024-03-15");
  ASSERT_TRUE(night);
  EXPECT_EQ(*night->Field("summary")->Field("events")->AsNumber(), 2);
}

TEST_F(WebServerTest, LivePictureIsAJpegOfTheNewestFrame) {
  ASSERT_TRUE(test::WaitUntil([] { return station_->FramesStored() > 0; }));
  const httplib::Result r = Client().Get("/live.jpg");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Content-Type"), "image/jpeg");
  ASSERT_GT(r->body.size(), 1000u);
  EXPECT_EQ(r->body.substr(0, 3), "\xFF\xD8\xFF");
  EXPECT_EQ(r->body.substr(r->body.size() - 2), "\xFF\xD9");
}

// What the library would read or send without bound is refused first: another method's or a
// chunked body, a list of ranges, a range past the end; a POST without a body is answered at once.
TEST_F(WebServerTest, RefusesUnboundedRequestsAndAnswersBarePostsAtOnce) {
  const auto raw = [](const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(std::stoi(web_->url().substr(17))));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval wait{3, 0};  // the library would wait 5 s for a body without a length
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char answer[64] = {};
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
      recv(fd, answer, sizeof answer - 1, 0);
    }
    close(fd);
    return std::string(answer).substr(0, 12);
  };
  const std::string host = "Host: 127.0.0.1\r\n";
  const std::string bearer = "Authorization: Bearer " + token_ + "\r\n";
  EXPECT_EQ(raw("PUT /api/status HTTP/1.1\r\n" + host + "Content-Length: 1\r\n\r\nx"),
            "HTTP/1.1 405");
  EXPECT_EQ(raw("POST /api/enable HTTP/1.1\r\n" + host + bearer +
                "Transfer-Encoding: chunked\r\n\r\n1\r\nx\r\n"),
            "HTTP/1.1 411");
  EXPECT_EQ(raw("POST /api/mark HTTP/1.1\r\n" + host + bearer + "\r\n"), "HTTP/1.1 411");
  EXPECT_EQ(raw("POST /api/enable HTTP/1.1\r\n" + host + bearer + "\r\n"), "HTTP/1.1 200");
  EXPECT_TRUE(station_->Status().enabled);
  const std::string peak = std::string("/events/") + kOld + "/peak.jpg";
  const size_t size = test::ReadFileBytes(archive_->EventFile('j', kOld)).size();
  for (const auto& [path, range, status] :
       std::initializer_list<std::tuple<std::string, std::string, int>>{
           {"/app.js", "bytes=0-,0-,0-", 416},
           {"/live.jpg", "bytes=99999999-", 416},
           {peak, "bytes=" + std::to_string(size) + "-", 416},
           {peak, "bytes=-10", 206}}) {
    const httplib::Result r = Client().Get(path.c_str(), {{"Range", range}});
    ASSERT_TRUE(r) << path << " " << range;
    EXPECT_EQ(r->status, status) << path << " " << range;
  }
}

// Actions need the token, even on loopback: without it nothing changes.
TEST_F(WebServerTest, ActionsNeedTheTokenAndThenWork) {
  httplib::Client client = Client();
  const auto enabled = [] { return station_->Status().enabled; };
  const std::string deleteKey = std::string("/api/events/") + kOld + "/delete";
  const struct {
    std::string path;
    httplib::Headers headers;
    int status;
  } refused[] = {
      {"/api/disable", {}, 401},
      {"/api/disable", {{"Authorization", "Basic " + token_}}, 401},
      {"/api/disable", Bearer(token_.substr(1)), 403},
      {"/api/disable", Bearer(token_ + "0"), 403},
      {deleteKey, {}, 401},
      {deleteKey, Bearer(std::string(64, '0')), 403},
      {"/api/events/..%2fweb-token/delete", Bearer(token_), 404},
      {"/api/events/%2e%2e/delete", Bearer(token_), 400},
      {"/api/events/20240315_211459_000/delete", Bearer(token_), 404},
      {"/api/mark", {}, 401},
  };
  ASSERT_TRUE(enabled());
  for (const auto& c : refused) {
    const httplib::Result r = client.Post(c.path.c_str(), c.headers, "", "text/plain");
    ASSERT_TRUE(r) << c.path;
    EXPECT_EQ(r->status, c.status) << c.path;
  }
  EXPECT_TRUE(enabled());
  EXPECT_TRUE(fs::exists(archive_->EventFile('m', kOld)));
  EXPECT_TRUE(fs::exists(archive_->base / "web-token"));

  EXPECT_EQ(client.Post("/api/disable", Bearer(token_), "", "text/plain")->status, 200);
  EXPECT_FALSE(enabled());
  EXPECT_EQ(client.Post("/api/enable", Bearer(token_), "", "text/plain")->status, 200);
  EXPECT_TRUE(enabled());

  EXPECT_EQ(client.Post(deleteKey.c_str(), Bearer(token_), "", "text/plain")->status, 200);
  for (const char letter : {'e', 'j', 'm', 'c'}) {
    EXPECT_FALSE(fs::exists(archive_->EventFile(letter, kOld))) << letter;
  }
  EXPECT_EQ(client.Post(deleteKey.c_str(), Bearer(token_), "", "text/plain")->status, 404);

  // Mark stores the stretch as an event again; a second mark waits for the first to end.
  for (const char* body : {"{\"from\": 1}", "{\"from\": \"2024-03-15T21:14:51Z\"}",
                           "{\"from\": \"2024-03-15T21:14:51Z\", \"duration\": 601}"}) {
    EXPECT_EQ(client.Post("/api/mark", Bearer(token_), body, "application/json")->status, 400)
        << body;
  }
  const httplib::Result marked =
      client.Post("/api/mark", Bearer(token_), "from=20240315_211451_000&duration=1",
                  "application/x-www-form-urlencoded");
  ASSERT_EQ(marked->status, 202);
  ASSERT_TRUE(test::WaitUntil([] {
    const auto status = GetJson("/api/status");
    const JsonValue* mark = status->Field("mark");
    return !std::get<bool>(mark->Field("running")->value) &&
           mark->Field("outcome")->AsText() != nullptr;
  }));
  EXPECT_EQ(*GetJson("/api/status")->Field("mark")->Field("outcome")->AsText(),
            std::string("Event cut: ") + kOld);
  EXPECT_TRUE(fs::exists(archive_->EventFile('m', kOld)));

  // A stretch the station is still recording is waited for (the stop ends the wait).
  const Stamp now = MakeStamp(SystemClock().UtcNow());
  ASSERT_TRUE(test::WaitUntil([&now] {
    for (const auto& entry : fs::recursive_directory_iterator(archive_->base / "archive")) {
      const std::string name = entry.path().filename().string();
      if (name.starts_with("s" + now.substr(0, 8) + "_") && name.ends_with(".mp4")) {
        return true;
      }
    }
    return false;
  }));
  const std::string form = "from=" + now + "&duration=1";
  const char* type = "application/x-www-form-urlencoded";
  EXPECT_EQ(client.Post("/api/mark", Bearer(token_), form, type)->status, 202);
  EXPECT_EQ(client.Post("/api/mark", Bearer(token_), form, type)->status, 409);
}

// Reading from elsewhere needs the token too, as a bearer token or as the password a browser
// asks for: a loopback client that names another host (a page of another site reaching the
// station through a name of its own) is refused without it. Actions take only the bearer token.
TEST_F(WebServerTest, ReadingUnderAnotherHostNameNeedsTheToken) {
  const auto basic = [](const std::string& password) {
    return httplib::make_basic_authentication_header("any", password);
  };
  const struct {
    std::string method;
    httplib::Headers headers;
    int status;
  } cases[] = {
      {"GET", {}, 401},
      {"GET", Bearer(token_), 200},
      {"GET", Bearer("x" + token_.substr(1)), 403},
      {"GET", {basic(token_)}, 200},
      {"GET", {basic(token_ + "x")}, 401},
      {"GET", {{"Authorization", "Basic !!!"}}, 401},
      {"POST", {basic(token_)}, 401},
  };
  httplib::Client client = Client();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    httplib::Headers headers = c.headers;
    headers.emplace("Host", "station.example.com");
    const httplib::Result r = c.method == "GET" ? client.Get("/api/status", headers)
                                                : client.Post("/api/disable", headers, "", "");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, c.status) << "case " << i;
  }
  EXPECT_TRUE(station_->Status().enabled);
}

// A client that sends its request a byte at a time cannot hold up the stop.
TEST_F(WebServerTest, StopEndsADribblingRequest) {
  WebServer web(*station_, {"127.0.0.1:0", (archive_->base / "web-token").string()});
  std::string why;
  ASSERT_TRUE(web.Start(why)) << why;
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(std::stoi(web.url().substr(17))));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const timeval wait{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  // 20 s of request, unless the stop ends it.
  const std::string request = "GET / HTTP/1.1\r\nX-Slow: " + std::string(180, 'x');
  std::atomic<size_t> sent{0};
  std::jthread dribbler([fd, &request, &sent] {
    while (sent < request.size() && send(fd, &request[sent], 1, MSG_NOSIGNAL) == 1) {
      ++sent;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  web.Stop();
  EXPECT_LT(sent.load(), request.size());
  char byte = 0;
  EXPECT_EQ(recv(fd, &byte, 1, 0), 0);  // closed by the server, not by the receive timeout
  shutdown(fd, SHUT_RDWR);
  dribbler.join();
  close(fd);
}

// More clients than workers and waiting places are all served in turn.
TEST_F(WebServerTest, ManyClientsAtOnceAreAllServed) {
  std::atomic<int> served{0};
  {
    std::vector<std::jthread> clients;
    for (int i = 0; i < 32; ++i) {
      clients.emplace_back([&served] {
        for (int j = 0; j < 3; ++j) {
          const httplib::Result r = Client().Get(j == 1 ? "/live.jpg" : "/api/status");
          served += r && r->status == 200;
        }
      });
    }
  }
  EXPECT_EQ(served.load(), 96);
}

TEST(WebToken, IsMadeOnceWithOwnerOnlyAccessAndRequiredBeyondLoopback) {
  test::TempDir dir;
  const std::string path = (dir / "web-token").string();
  std::string why;
  EXPECT_FALSE(LoadWebToken(path, false, why));
  const std::optional<std::string> made = LoadWebToken(path, true, why);
  ASSERT_TRUE(made) << why;
  EXPECT_EQ(made->find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(made->size(), 64u);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(LoadWebToken(path, true, why), made);
  const fs::directory_iterator end;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), end), 1);  // no temporary left
  EXPECT_TRUE(SameToken(*made, *made));
  EXPECT_FALSE(SameToken(made->substr(0, 63), *made));
  EXPECT_FALSE(SameToken(*made + "0", *made));

  // Another address than loopback is served only with a token file that is already there.
  StationSetup setup;
  setup.source.kind = SourceKind::kNone;
  setup.readConfiguration = false;
  Station station(std::move(setup));
  const std::string elsewhere = (dir / "elsewhere").string();
  WebServer refused(station, {"0.0.0.0:0", elsewhere});
  EXPECT_FALSE(refused.Start(why));
  EXPECT_NE(why.find("token"), std::string::npos);
  EXPECT_FALSE(fs::exists(elsewhere));
  chmod(path.c_str(), 0644);
  WebServer open(station, {"0.0.0.0:0", path});
  EXPECT_FALSE(open.Start(why));
  EXPECT_NE(why.find("chmod 600"), std::string::npos);
  chmod(path.c_str(), 0600);
  WebServer served(station, {"0.0.0.0:0", path});
  EXPECT_TRUE(served.Start(why)) << why;
}

TEST(Json, WhatIsWrittenReadsBack) {
  const std::string text = "a \"quoted\" \\ path\n\t\x01 °";
  const std::optional<JsonValue> read =
      ParseJson(JsonObject().Text("t", text).Number("n", -1.5e-3).Raw("a", "[]").Close());
  ASSERT_TRUE(read);
  EXPECT_EQ(*read->Field("t")->AsText(), text);
  EXPECT_EQ(*read->Field("n")->AsNumber(), -1.5e-3);
  for (const char* bad : {"", "{", "{\"a\":}", "[1,]", "\"\x01\"", "nan", "{} x"}) {
    EXPECT_FALSE(ParseJson(bad)) << bad;
  }
}

TEST(ListenAddress, KnowsLoopback) {
  for (const char* loopback : {"127.0.0.1", "127.1.2.3", "::1", "::ffff:127.0.0.1", "localhost"}) {
    EXPECT_TRUE(IsLoopback(loopback)) << loopback;
  }
  for (const char* other : {"0.0.0.0", "192.168.1.2", "::", "::ffff:10.0.0.1", "local.host"}) {
    EXPECT_FALSE(IsLoopback(other)) << other;
  }
  EXPECT_EQ(PageUrl("::1", 80), "http://[::1]:80/");
}

}  // namespace
}  // namespace ombrix
