// velmorad's dashboard end to end: the built daemon in a network namespace of the test's own,
// real connections through its local proxy, the HTTP side as a browser's request would be, and
// the page itself in headless Chromium.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <nlohmann/json.hpp>

#include "browser.h"
#include "daemon_in_namespace.h"
#include "daemon_support.h"
#include "http_request.h"
#include "kit/daemon_settings.h"
#include "kit/file_io.h"
#include "kit/profile_store.h"
#include "kit/unique_fd.h"
#include "test_support.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::HeadlessBrowser;
using testing::PeerEchoServer;

constexpr std::uint16_t proxyPort = DaemonSettings{}.proxyPort;
constexpr std::uint16_t dashboardPort = DaemonSettings{}.dashboardPort;
const std::string origin = "http://127.0.0.1:" + std::to_string(dashboardPort);

UniqueFd connectTo(std::uint16_t port) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const timeval limit{.tv_sec = 10, .tv_usec = 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in at{.sin_family = AF_INET, .sin_port = htons(port)};
  inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return UniqueFd();
  return fd;
}

/// One HTTP exchange with the dashboard as the text the server wrote, the connection closed
/// after it.
struct Reply {
  int status = 0;
  std::string head;
  std::string body;
};

Reply exchange(const std::string& request) {
  const UniqueFd fd = connectTo(dashboardPort);
  Reply reply;
  if (!fd || write(fd.get(), request.data(), request.size()) != static_cast<ssize_t>(request.size()))
    return reply;
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = read(fd.get(), chunk, sizeof chunk)) > 0;) text.append(chunk, n);
  const std::size_t end = text.find("\r\n\r\n");
  if (end == std::string::npos || !text.starts_with("HTTP/1.1 ")) return reply;
  reply.status = std::stoi(text.substr(9, 3));
  reply.head = text.substr(0, end);
  reply.body = text.substr(end + 4);
  return reply;
}

std::string request(const std::string& method, const std::string& target,
                    const std::vector<std::string>& headers, const std::string& body = "") {
  std::string text = method + " " + target + " HTTP/1.1\r\nConnection: close\r\n";
  for (const std::string& header : headers) text += header + "\r\n";
  if (!body.empty()) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
}

/// A SOCKS5 connection through the local proxy to host:port that stays open, with 3,000 bytes
/// sent on it; host is 10.77.0.1 or a name.
UniqueFd openThroughProxy(std::uint16_t port, const std::string& host = "10.77.0.1") {
  UniqueFd fd = connectTo(proxyPort);
  std::string hello = std::string("\x05\x01\x00\x05\x01\x00", 6);
  if (host == "10.77.0.1") {
    hello += std::string("\x01\x0a\x4d\x00\x01", 5);
  } else {
    hello += '\x03';
    hello += static_cast<char>(host.size());
    hello += host;
  }
  hello += static_cast<char>(port >> 8);
  hello += static_cast<char>(port & 0xFF);
  char reply[64];
  if (!fd || write(fd.get(), hello.data(), hello.size()) != static_cast<ssize_t>(hello.size()) ||
      recv(fd.get(), reply, 12, MSG_WAITALL) != 12 || reply[3] != 0)
    return UniqueFd();
  const std::string payload(3000, 'x');
  if (write(fd.get(), payload.data(), payload.size()) != static_cast<ssize_t>(payload.size()))
    return UniqueFd();
  return fd;
}

TEST(DashboardRequests, AreReadStrictly) {
  using dashboard::parseRequestHead;
  const auto parsed = parseRequestHead(
      "POST /api/route?token=a%2Fb+c&x HTTP/1.1\r\nHost: 127.0.0.1:1\r\n"
      "Cookie: theme=dark; velmora-dashboard=s3cret ;other=1\r\nContent-Length: 12\r\n"
      "X-A: 1\r\nx-a: 2\r\n\r\n");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->method, "POST");
  EXPECT_EQ(parsed->path, "/api/route");
  EXPECT_EQ(parsed->query.at("token"), "a/b c");
  EXPECT_EQ(parsed->query.at("x"), "");
  EXPECT_EQ(parsed->cookie("velmora-dashboard"), "s3cret");
  EXPECT_EQ(parsed->cookie("velmora"), std::nullopt);
  EXPECT_EQ(parsed->header("x-a"), "1, 2");
  EXPECT_EQ(parsed->contentLength, 12u);
  EXPECT_TRUE(parsed->keepAlive);
  EXPECT_FALSE(parseRequestHead("GET / HTTP/1.0\r\n\r\n")->keepAlive);

  for (const char* refused : {
           "GET / HTTP/2\r\n\r\n",                              // another version
           "GET http://a/ HTTP/1.1\r\n\r\n",                    // an absolute target
           "GET  / HTTP/1.1\r\n\r\n",                           // a doubled space
           "GET /%zz HTTP/1.1\r\n\r\n",                         // a broken escape
           "GET /%4 HTTP/1.1\r\n\r\n",                          // a cut escape
           "GET / HTTP/1.1\r\nNo colon\r\n\r\n",              // a header without a value
           "GET / HTTP/1.1\r\nBad Name: x\r\n\r\n",           // a space in a name
           "POST / HTTP/1.1\r\nContent-Length: 65537\r\n\r\n",  // a body too large
           "POST / HTTP/1.1\r\nContent-Length: 1x\r\n\r\n",
           "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
           "GET / HTTP/1.1\r\n",                                  // no end of the head
       })
    EXPECT_FALSE(parseRequestHead(refused)) << refused;
  EXPECT_TRUE(dashboard::sameSecret("abc", "abc"));
  EXPECT_FALSE(dashboard::sameSecret("abc", "abd"));
  EXPECT_FALSE(dashboard::sameSecret("abc", "ab"));
}

class Dashboard : public testing::DaemonInNamespace {
 protected:
  void SetUp() override {
    start("控制面板在 " + origin);
    if (IsSkipped() || HasFatalFailure()) return;
    const testing::RunResult printed = run({"dashboard", "--print"});
    ASSERT_EQ(printed.status, 0) << printed.err;
    address = printed.out.substr(0, printed.out.find('\n'));
    token = address.substr(address.find("?token=") + 7);
  }

  std::filesystem::path store() const { return home.path() / ".config" / "Velmora"; }
  std::string cookie() const { return "Cookie: velmora-dashboard=" + token; }
  Reply post(const std::string& path, const std::string& body) {
    return exchange(request("POST", path,
                            {"Host: 127.0.0.1:" + std::to_string(dashboardPort), cookie(),
                             "Origin: " + origin, "Content-Type: application/json"},
                            body));
  }

  std::string address;
  std::string token;
};

TEST_F(Dashboard, RefusesAnyoneWithoutTheSecretHostAndOrigin) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(dashboardPort);
  const std::string json = "Content-Type: application/json";
  struct Case {
    const char* what;
    std::string request;
    int status;
  };
  const std::vector<Case> cases = {
      {"no secret", request("GET", "/api/state", {host}), 403},
      {"a wrong secret", request("GET", "/api/state", {host, "Cookie: velmora-dashboard=x"}), 403},
      {"a wrong secret in the address", request("GET", "/?token=" + token + "0", {host}), 403},
      {"the secret outside the address's one place", request("GET", "/api/state?token=" + token, {host}), 403},
      {"another host name (DNS rebinding)",
       request("GET", "/api/state", {"Host: attacker.example:" + std::to_string(dashboardPort), cookie()}),
       403},
      {"no host", request("GET", "/api/state", {cookie()}), 403},
      {"a change without origin", request("POST", "/api/enabled", {host, cookie(), json}, R"({"enabled":false})"), 403},
      {"a change from another origin",
       request("POST", "/api/enabled", {host, cookie(), json, "Origin: http://attacker.example"}, R"({"enabled":false})"),
       403},
      {"a change as a form",
       request("POST", "/api/enabled",
               {host, cookie(), "Origin: " + origin, "Content-Type: application/x-www-form-urlencoded"},
               "enabled=false"),
       403},
      {"the page's own request", request("GET", "/api/state", {host, cookie()}), 200},
      {"a malformed request", "GET /api/state HTTP/1.1\r\nHost\r\n\r\n", 400},
  };
  for (const Case& each : cases) {
    const Reply reply = exchange(each.request);
    EXPECT_EQ(reply.status, each.status) << each.what;
    EXPECT_EQ(reply.head.find("Access-Control-"), std::string::npos) << each.what;
    if (each.status == 403) {
      EXPECT_EQ(reply.body.find("activeProfile"), std::string::npos) << each.what;
    }
  }
  // None of the refused changes took effect.
  EXPECT_TRUE(DaemonSettings::load(DaemonSettings::fileIn(store())).enabled);
}

TEST_F(Dashboard, AnotherUserIsNotAnsweredEvenWithTheSecret) {
  const std::string ask =
      request("GET", "/api/state", {"Host: 127.0.0.1:" + std::to_string(dashboardPort), cookie()});
  EXPECT_EQ(testing::asAnotherUser([&] {
              const Reply reply = exchange(ask);
              return std::to_string(reply.status) + " " + reply.body;
            }),
            "0 ");
  EXPECT_TRUE(daemon->waitForLog("控制面板拒绝了用户 65534 的 1 个连接")) << daemon->log();
  EXPECT_EQ(exchange(ask).status, 200);
}

TEST_F(Dashboard, TheSecretEntersOnceAndStaysInAStrictCookie) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(dashboardPort);
  const std::filesystem::path settings = DaemonSettings::fileIn(store());
  EXPECT_EQ(std::filesystem::status(settings).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(token.size(), 64u);

  const Reply entered = exchange(request("GET", "/?token=" + token, {host}));
  EXPECT_EQ(entered.status, 303);
  EXPECT_NE(entered.head.find("\r\nLocation: /\r\n"), std::string::npos) << entered.head;
  EXPECT_NE(entered.head.find("Set-Cookie: velmora-dashboard=" + token +
                              "; Path=/; HttpOnly; SameSite=Strict"),
            std::string::npos)
      << entered.head;

  const Reply page = exchange(request("GET", "/", {"Host: localhost:" + std::to_string(dashboardPort), cookie()}));
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.head.find("Content-Security-Policy: default-src 'self'"), std::string::npos);
  EXPECT_NE(page.body.find("/app.js"), std::string::npos);
}

TEST_F(Dashboard, ChangesGoThroughTheOperationsAndRespectTheSettings) {
  const Reply tried = post("/api/test", R"({"app":"firefox","host":"example.com","port":443})");
  ASSERT_EQ(tried.status, 200) << tried.body;
  const nlohmann::json answer = nlohmann::json::parse(tried.body);
  EXPECT_EQ(answer["matchedRule"], "Default");
  EXPECT_FALSE(answer["trace"].empty());

  EXPECT_EQ(post("/api/enabled", R"({"enabled":false})").status, 200);
  EXPECT_FALSE(DaemonSettings::load(DaemonSettings::fileIn(store())).enabled);
  const Reply unknown = post("/api/profile", R"({"name":"nowhere"})");
  EXPECT_EQ(unknown.status, 400);
  EXPECT_NE(unknown.body.find("nowhere"), std::string::npos) << unknown.body;

  DaemonSettings settings = DaemonSettings::load(DaemonSettings::fileIn(store()));
  settings.automationWritesAllowed = false;
  settings.save(DaemonSettings::fileIn(store()));
  bool takenUp = false;
  for (int i = 0; i < 100 && !takenUp; ++i, std::this_thread::sleep_for(100ms))
    takenUp = run({"status", "--json"}).out.find(R"("automationWritesAllowed" : false)") !=
              std::string::npos;
  ASSERT_TRUE(takenUp);
  const Reply refused = post("/api/route", R"({"app":"firefox","target":"block"})");
  EXPECT_EQ(refused.status, 403) << refused.body;
  for (const Rule& rule : ProfileStore(store()).activeProfile().rules)
    EXPECT_NE(rule.name, "App: firefox");
}

TEST_F(Dashboard, TheCommandOpensTheAddressWithTheSecretInTheBrowser) {
  // A stand-in for xdg-open that keeps the address it was given, and fails when told to.
  const std::filesystem::path bin = home.path() / "bin";
  std::filesystem::create_directories(bin);
  writeFile(bin / "xdg-open",
            "#!/bin/sh\nprintf '%s' \"$1\" > \"$(dirname \"$0\")/opened\"\n"
            "[ ! -e \"$(dirname \"$0\")/fail\" ]\n",
            0700);
  const testing::RunOptions withPath{.environment = {"PATH=" + bin.string() + ":/usr/bin:/bin"}};

  const testing::RunResult opened = testing::runVelmoractl({"dashboard"}, home.path(), withPath);
  EXPECT_EQ(opened.status, 0) << opened.err;
  EXPECT_EQ(opened.out, "已在浏览器里打开控制面板：" + origin + "/\n");
  EXPECT_EQ(readFile(bin / "opened"), address);

  writeFile(bin / "fail", "", 0600);
  const testing::RunResult failed = testing::runVelmoractl({"dashboard"}, home.path(), withPath);
  EXPECT_EQ(failed.status, 1);
  EXPECT_NE(failed.err.find("velmoractl dashboard --print"), std::string::npos) << failed.err;
}

TEST_F(Dashboard, FollowsItsSettingsWhileTheDaemonRuns) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(dashboardPort);
  const auto change = [&](const std::function<void(DaemonSettings&)>& edit) {
    DaemonSettings settings = DaemonSettings::load(DaemonSettings::fileIn(store()));
    edit(settings);
    settings.save(DaemonSettings::fileIn(store()));
  };
  const auto statusSays = [&](const std::string& text) {
    for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(100ms)) {
      if (run({"status"}).out.find(text) != std::string::npos) return true;
    }
    return false;
  };

  // A new secret shuts the old one out at once.
  change([](DaemonSettings& settings) { settings.dashboardToken = std::string(64, 'a'); });
  bool shutOut = false;
  for (int i = 0; i < 100 && !shutOut; ++i, std::this_thread::sleep_for(100ms))
    shutOut = exchange(request("GET", "/api/state", {host, cookie()})).status == 403;
  EXPECT_TRUE(shutOut);
  EXPECT_EQ(exchange(request("GET", "/api/state",
                             {host, "Cookie: velmora-dashboard=" + std::string(64, 'a')}))
                .status,
            200);

  change([](DaemonSettings& settings) { settings.dashboard = false; });
  ASSERT_TRUE(statusSays("状态")) << daemon->log();
  EXPECT_TRUE(daemon->waitForLog("控制面板已关闭")) << daemon->log();
  EXPECT_FALSE(connectTo(dashboardPort));
  const testing::RunResult off = run({"dashboard", "--print"});
  EXPECT_NE(off.status, 0);
  EXPECT_NE(off.err.find("控制面板已关闭"), std::string::npos) << off.err;

  change([](DaemonSettings& settings) {
    settings.dashboard = true;
    settings.dashboardPort = dashboardPort + 1;
  });
  EXPECT_TRUE(statusSays("控制面板  : http://127.0.0.1:" + std::to_string(dashboardPort + 1) + "/"))
      << daemon->log();
}

TEST_F(Dashboard, TheEventStreamCarriesOpenConnectionsWithTheirBytes) {
  const UniqueFd events = connectTo(dashboardPort);
  const std::string ask = request("GET", "/api/events",
                                  {"Host: 127.0.0.1:" + std::to_string(dashboardPort), cookie()});
  ASSERT_EQ(write(events.get(), ask.data(), ask.size()), static_cast<ssize_t>(ask.size()));
  const UniqueFd carried = openThroughProxy(destination->port());
  ASSERT_TRUE(carried);
  // A name on a direct route shows the address velmorad reached it at.
  const PeerEchoServer local("127.0.0.1");
  const UniqueFd byName = openThroughProxy(local.port(), "localhost");
  ASSERT_TRUE(byName);

  // Ticks come once a second; the connections show in one of the first few, bytes and all.
  std::string stream;
  bool seen = false;
  bool seenByName = false;
  char chunk[65536];
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (!(seen && seenByName) && std::chrono::steady_clock::now() < deadline) {
    const ssize_t n = read(events.get(), chunk, sizeof chunk);
    if (n <= 0) break;
    stream.append(chunk, n);
    for (std::size_t at; (at = stream.find("\n\n")) != std::string::npos; stream.erase(0, at + 2)) {
      const std::string message = stream.substr(0, at);
      if (!message.starts_with("event: tick\ndata: ")) continue;
      const nlohmann::json tick = nlohmann::json::parse(message.substr(18));
      for (const nlohmann::json& open : tick["open"]) {
        if (open["host"] == "10.77.0.1" && open["bytesSent"] == 3000 && open["app"] == self &&
            tick["rules"].value("Default", 0) >= 1)
          seen = true;
        if (open["host"] == "localhost" && open.value("address", "") == "127.0.0.1")
          seenByName = true;
      }
    }
  }
  EXPECT_TRUE(seen && seenByName) << stream;
}

TEST_F(Dashboard, ThePageShowsConnectionsAndSetsARoute) {
  if (!HeadlessBrowser::available()) GTEST_SKIP() << "the page's test needs Debian's chromium";
  const UniqueFd carried = openThroughProxy(destination->port());
  ASSERT_TRUE(carried);
  HeadlessBrowser browser(address);
  EXPECT_TRUE(browser.waitFor(
      R"(Array.from(document.querySelectorAll('#connections tbody tr[data-id] .host'))
           .some(cell => cell.textContent.includes('10.77.0.1')))"));
  // The application's row: its chart, and the 3,000 bytes it sent so far.
  const std::string row = "document.querySelector('#apps .app-row[data-app=\"" + self + "\"]')";
  EXPECT_TRUE(browser.waitFor(row + " !== null && " + row + ".querySelector('svg.chart') !== null"));
  EXPECT_TRUE(browser.waitFor(row + ".querySelector('.total').textContent.includes('↑ 2.9 KB')"))
      << browser.evaluate(row + ".querySelector('.total').textContent").value_or(nullptr).dump();
  EXPECT_TRUE(browser.waitFor(
      R"(Number(document.querySelector('#rules tr[data-rule="Default"] .count').textContent) >= 1)"));
  // A blocked connection is marked in the log, with the rule that blocked it.
  ASSERT_EQ(run({"route", "set", self, "block"}).status, 0);
  EXPECT_FALSE(openThroughProxy(destination->port()));
  EXPECT_TRUE(browser.waitFor(
      "Array.from(document.querySelectorAll('#log tr.phase-blocked .reason')).some(cell => "
      "cell.textContent === '规则「App: " + self + "」拦截')"));
  // The cookie is the page's alone: its scripts cannot read it.
  EXPECT_EQ(browser.evaluate("document.cookie"), "");

  ASSERT_TRUE(browser.evaluate(R"((() => {
      const form = document.querySelector('#route-form');
      form.querySelector('[name=app]').value = 'firefox';
      form.querySelector('[name=target]').value = 'block';
      form.requestSubmit();
      return true;
    })())"));
  EXPECT_TRUE(browser.waitFor("document.querySelector('#route-result').textContent.includes('已设置')"));
  const Profile active = ProfileStore(store()).activeProfile();
  const auto route = std::find_if(active.rules.begin(), active.rules.end(),
                                  [](const Rule& rule) { return rule.name == "App: firefox"; });
  ASSERT_NE(route, active.rules.end());
  EXPECT_EQ(route->action, RuleAction::block());
}

}  // namespace
}  // namespace velmora
