// velmorad's local proxy end to end: the built daemon in a network namespace of the test's own,
// real connections through it, and what velmoractl then shows of them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "daemon_in_namespace.h"
#include "daemon_support.h"
#include "kit/automation_protocol.h"
#include "kit/daemon_settings.h"
#include "kit/unique_fd.h"
#include "test_support.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::PeerEchoServer;
using testing::Redirection;
using testing::RunResult;
using testing::ScratchDirectory;

constexpr std::uint16_t proxyPort = DaemonSettings{}.proxyPort;

/// A SOCKS5 CONNECT through the proxy on 127.0.0.1:through; the reply code, then a line and the
/// echo of "ping" when it succeeded. Closes the connection before it returns.
std::string socksRound(const std::string& host, std::uint16_t port,
                       std::uint16_t through = proxyPort) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval limit{.tv_sec = 10, .tv_usec = 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in at{.sin_family = AF_INET, .sin_port = htons(through)};
  inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
  std::string seen = "unreachable";
  unsigned char address[4];
  inet_pton(AF_INET, host.c_str(), address);
  std::string request = std::string("\x05\x01\x00\x05\x01\x00\x01", 7);
  request.append(reinterpret_cast<const char*>(address), 4);
  request += static_cast<char>(port >> 8);
  request += static_cast<char>(port & 0xFF);
  char reply[64];
  if (connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0 &&
      write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size()) &&
      recv(fd, reply, 12, MSG_WAITALL) == 12) {
    seen = "reply " + std::to_string(reply[3]);
    if (reply[3] == 0 && write(fd, "ping", 4) == 4) {
      shutdown(fd, SHUT_WR);
      const ssize_t n = recv(fd, reply, sizeof reply, MSG_WAITALL);
      if (n > 0) seen += " " + std::string(reply, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  return seen;
}

class DaemonDataPlane : public testing::DaemonInNamespace {
 protected:
  void SetUp() override { start("本地代理在 127.0.0.1:11080 上监听"); }

  /// Where status says the local proxy is, once it says so with problem (or without any),
  /// waiting a bounded time for the daemon to take up a change of its settings file.
  std::optional<StatusDTO> statusOnce(const std::function<bool(const StatusDTO&)>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      const RunResult status = run({"status", "--json"});
      if (status.status != 0) return std::nullopt;
      const StatusDTO record = DTOCoding::decode(status.out, statusDTOFromJSON);
      if (condition(record)) return record;
    }
    return std::nullopt;
  }

};

TEST_F(DaemonDataPlane, LiveTrafficShowsInLogsAndStatus) {
  EXPECT_EQ(socksRound("10.77.0.1", destination->port()), "reply 0 10.77.0.1\nping");
  ASSERT_EQ(run({"route", "set", self, "block"}).status, 0);
  EXPECT_EQ(socksRound("10.77.0.1", destination->port()), "reply 2");

  const RunResult logs = run({"logs", "--json"});
  ASSERT_EQ(logs.status, 0) << logs.err;
  const std::vector<ConnectionEvent> events =
      DTOCoding::decodeArray(logs.out, connectionEventFromJSON);
  const auto first = [&](ConnectionEvent::Phase phase) {
    return std::find_if(events.begin(), events.end(),
                        [&](const ConnectionEvent& event) { return event.phase == phase; });
  };
  ASSERT_NE(first(ConnectionEvent::Phase::close), events.end()) << logs.out;
  EXPECT_EQ(first(ConnectionEvent::Phase::close)->app, self);
  EXPECT_EQ(first(ConnectionEvent::Phase::close)->bytesSent, 4u);
  EXPECT_EQ(first(ConnectionEvent::Phase::close)->bytesReceived, 14u);
  EXPECT_EQ(first(ConnectionEvent::Phase::close)->route, "direct");
  ASSERT_NE(first(ConnectionEvent::Phase::blocked), events.end()) << logs.out;
  EXPECT_EQ(first(ConnectionEvent::Phase::blocked)->route, "block");

  const RunResult status = run({"status", "--json"});
  ASSERT_EQ(status.status, 0) << status.err;
  const StatusDTO record = DTOCoding::decode(status.out, statusDTOFromJSON);
  // Without velmora-netd only the proxy paths work.
  EXPECT_FALSE(record.extensionInstalled);
  EXPECT_TRUE(record.captureProblem.has_value());
  EXPECT_EQ(record.stats.activeConnections, 0u);
  EXPECT_GE(record.stats.blockedConnections, 1u);
  EXPECT_EQ(record.localProxy, "127.0.0.1:11080");
  EXPECT_EQ(record.stats.bytesSent, 4u);
  EXPECT_EQ(record.stats.perApp.at(self).bytesReceived, 14u);

  const RunResult shell =
      run({"run", "--", "/bin/sh", "-c", "echo $http_proxy $HTTPS_PROXY $ALL_PROXY $no_proxy"});
  EXPECT_EQ(shell.out,
            "http://127.0.0.1:11080 http://127.0.0.1:11080 socks5h://127.0.0.1:11080 "
            "localhost,127.0.0.0/8,::1\n");
  EXPECT_EQ(shell.status, 0) << shell.err;
}

TEST_F(DaemonDataPlane, AChangedRouteTakesTheVeryNextConnection) {
  // The command returns only once the data plane routes by the change, and the dry run through
  // the daemon answers by the same rules.
  for (int round = 0; round < 100; ++round) {
    const bool block = round % 2 == 0;
    ASSERT_EQ(run({"route", "set", self, block ? "block" : "direct"}).status, 0);
    ASSERT_EQ(socksRound("10.77.0.1", destination->port()),
              block ? "reply 2" : "reply 0 10.77.0.1\nping")
        << "round " << round;
  }
  const RunResult test = run({"test", self, "10.77.0.1", "--json"});
  EXPECT_NE(test.out.find("\"action\" : \"direct\""), std::string::npos) << test.out;
}

/// A real curl asking for http://10.77.0.1:port/ through the local proxy; killed and reaped on
/// destruction. Bounded by curl's own limit besides.
class CurlThroughProxy {
 public:
  explicit CurlThroughProxy(std::uint16_t port) : pid_(fork()) {
    if (pid_ == 0) {
      const std::string url = "http://10.77.0.1:" + std::to_string(port) + "/";
      execl("/usr/bin/curl", "curl", "-s", "--max-time", "20", "-x", "socks5://127.0.0.1:11080",
            url.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~CurlThroughProxy() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  CurlThroughProxy(const CurlThroughProxy&) = delete;
  CurlThroughProxy& operator=(const CurlThroughProxy&) = delete;

  pid_t pid() const { return pid_; }
  /// Its exit status once it ends.
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    return status;
  }

 private:
  pid_t pid_;
};

TEST_F(DaemonDataPlane, ARealCurlIsRoutedAsTestDescribesItByPathAndByProcess) {
  if (!std::filesystem::exists("/usr/bin/curl")) GTEST_SKIP() << "needs curl";
  const std::string curl = std::filesystem::canonical("/usr/bin/curl");
  // A destination that takes connections and never answers keeps a curl running.
  const UniqueFd silent(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in at{.sin_family = AF_INET, .sin_port = 0};
  inet_pton(AF_INET, "10.77.0.1", &at.sin_addr);
  socklen_t length = sizeof at;
  ASSERT_EQ(bind(silent.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(silent.get(), 8), 0);
  getsockname(silent.get(), reinterpret_cast<sockaddr*>(&at), &length);
  const std::uint16_t held = ntohs(at.sin_port);
  ASSERT_EQ(run({"rule", "add", "Held", "--app", "*/curl", "--port", std::to_string(held),
                 "--action", "direct"})
                .status,
            0);
  ASSERT_EQ(run({"route", "set", curl, "block"}).status, 0);

  CurlThroughProxy blocked(destination->port());
  EXPECT_NE(blocked.wait(), 0);
  const CurlThroughProxy running(held);
  // Each destination's event from the data plane, waited for a bounded time.
  const auto eventFor = [&](std::uint16_t port) -> std::optional<ConnectionEvent> {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      const RunResult logs = run({"logs", "--json"});
      if (logs.status != 0) return std::nullopt;
      for (const ConnectionEvent& event :
           DTOCoding::decodeArray(logs.out, connectionEventFromJSON)) {
        if (event.port == port && event.app == "curl") return event;
      }
    }
    return std::nullopt;
  };
  for (const std::uint16_t port : {destination->port(), held}) {
    const std::optional<ConnectionEvent> event = eventFor(port);
    ASSERT_TRUE(event) << port;
    const std::string target = "10.77.0.1:" + std::to_string(port);
    for (const std::vector<std::string>& words :
         {std::vector<std::string>{"test", curl, target, "--json"},
          {"test", "--pid", std::to_string(running.pid()), target, "--json"}}) {
      const RunResult test = run(words);
      ASSERT_EQ(test.status, 0) << test.err;
      const TestRouteDTO verdict = DTOCoding::decode(test.out, testRouteDTOFromJSON);
      EXPECT_EQ(verdict.action, event->route) << ::testing::PrintToString(words);
      EXPECT_EQ(verdict.matchedRule, event->ruleName) << ::testing::PrintToString(words);
    }
    EXPECT_EQ(event->route, port == held ? "direct" : "block");
  }
}

TEST_F(DaemonDataPlane, TheProxyMovesWhenItsSettingsChangeAndStaysWhenItCannot) {
  const std::filesystem::path settingsFile =
      DaemonSettings::fileIn(home.path() / ".config" / "Velmora");
  DaemonSettings settings = DaemonSettings::load(settingsFile);
  settings.proxyPort = 11082;
  settings.save(settingsFile);
  const auto moved =
      statusOnce([](const StatusDTO& status) { return status.localProxy == "127.0.0.1:11082"; });
  ASSERT_TRUE(moved) << daemon->log();
  EXPECT_FALSE(moved->localProxyProblem);
  EXPECT_EQ(socksRound("10.77.0.1", destination->port(), 11082), "reply 0 10.77.0.1\nping");
  EXPECT_EQ(socksRound("10.77.0.1", destination->port(), 11080), "unreachable");
  const RunResult shell = run({"run", "--", "/bin/sh", "-c", "echo $ALL_PROXY"});
  EXPECT_EQ(shell.out, "socks5h://127.0.0.1:11082\n");

  // A port somebody else holds: the proxy stays where it is and says why.
  const PeerEchoServer occupant("127.0.0.1");
  settings.proxyPort = occupant.port();
  settings.save(settingsFile);
  const auto refused =
      statusOnce([](const StatusDTO& status) { return status.localProxyProblem.has_value(); });
  ASSERT_TRUE(refused) << daemon->log();
  EXPECT_EQ(refused->localProxy, "127.0.0.1:11082");
  EXPECT_NE(refused->localProxyProblem->find(":" + std::to_string(occupant.port())),
            std::string::npos);
  EXPECT_TRUE(daemon->waitForLog("仍在 127.0.0.1:11082 上监听")) << daemon->log();
  EXPECT_EQ(socksRound("10.77.0.1", destination->port(), 11082), "reply 0 10.77.0.1\nping");
  EXPECT_NE(run({"status"}).out.find("本地代理  : 127.0.0.1:11082（无法改到 127.0.0.1:"),
            std::string::npos);
}

TEST_F(DaemonDataPlane, RedirectedProgramsArriveAtTheTransparentPortWhichFollowsItsSetting) {
  ASSERT_TRUE(daemon->waitForLog("透明代理在 127.0.0.1:11090 上监听")) << daemon->log();
  {
    const Redirection redirection(DaemonSettings{}.transparentPort);
    if (!redirection.problem().empty()) GTEST_SKIP() << redirection.problem();
    EXPECT_EQ(redirection.exchange("10.77.0.1", destination->port()), "10.77.0.1\nping");
  }
  const RunResult logs = run({"logs", "--json"});
  const std::vector<ConnectionEvent> events =
      DTOCoding::decodeArray(logs.out, connectionEventFromJSON);
  ASSERT_FALSE(events.empty()) << logs.out;
  EXPECT_EQ(events.front().app, self);
  EXPECT_EQ(events.front().host, "10.77.0.1");
  EXPECT_EQ(events.front().port, destination->port());

  const std::filesystem::path settingsFile =
      DaemonSettings::fileIn(home.path() / ".config" / "Velmora");
  DaemonSettings settings = DaemonSettings::load(settingsFile);
  settings.transparentPort = 11083;
  settings.save(settingsFile);
  ASSERT_TRUE(daemon->waitForLog("透明代理已改到 127.0.0.1:11083 上监听")) << daemon->log();
  {
    const Redirection redirection(11083);
    EXPECT_EQ(redirection.exchange("10.77.0.1", destination->port()), "10.77.0.1\nping");
  }

  // A port somebody else holds: the listener stays, the proxy serves on, and status says why.
  const PeerEchoServer occupant("127.0.0.1");
  settings.transparentPort = occupant.port();
  settings.save(settingsFile);
  const auto refused =
      statusOnce([](const StatusDTO& status) { return status.localProxyProblem.has_value(); });
  ASSERT_TRUE(refused) << daemon->log();
  EXPECT_EQ(refused->localProxy, "127.0.0.1:11080");
  EXPECT_TRUE(refused->localProxyProblem->starts_with("透明代理无法改到端口 " +
                                                      std::to_string(occupant.port()) + "："))
      << *refused->localProxyProblem;
  EXPECT_TRUE(daemon->waitForLog("仍在端口 11083 上监听")) << daemon->log();
  EXPECT_EQ(socksRound("10.77.0.1", destination->port()), "reply 0 10.77.0.1\nping");
  const Redirection redirection(11083);
  EXPECT_EQ(redirection.exchange("10.77.0.1", destination->port()), "10.77.0.1\nping");
}

TEST(DaemonDataPlaneAbsent, RunRefusesWhenTheDaemonIsNotThere) {
  const ScratchDirectory home;
  const auto run = [&](const std::vector<std::string>& arguments) {
    return testing::runVelmoractl(arguments, home.path());
  };
  const RunResult result = run({"run", "/bin/true"});
  EXPECT_EQ(result.err, "错误：Velmora 没有在运行 — 先启动 velmorad，程序才能经它的代理联网\n");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(run({"run"}).err, "错误：用法：velmoractl run [--transparent] [--] <程序> [参数…]\n");
}

}  // namespace
}  // namespace velmora
