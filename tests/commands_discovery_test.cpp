// interface list and proxy discover through the built binary, inside a network namespace of the
// test's own so that only the test's interfaces and servers are there to find.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "kit/file_io.h"
#include "kit/json_text.h"
#include "loopback.h"
#include "test_support.h"

namespace velmora {
namespace {

using testing::LoopbackServer;
using testing::RunResult;

class DiscoveryCommands : public ::testing::Test {
 protected:
  /// Runs a command that must succeed and returns its standard output.
  std::string ok(const std::vector<std::string>& arguments) {
    const RunResult result = testing::runVelmoractl(arguments, home_.path());
    EXPECT_EQ(result.status, 0) << ::testing::PrintToString(arguments) << result.err;
    EXPECT_EQ(result.err, "") << ::testing::PrintToString(arguments);
    return result.out;
  }

  /// The namespace for the tests that look at the machine; skips the test where there is none.
  bool enterNamespace() {
    std::string why;
    auto entered = testing::NetworkNamespace::enter(why);
    if (!entered) {
      skipReason_ = why;
      return false;
    }
    space_.emplace(std::move(*entered));
    return true;
  }

  std::string skipReason_;

 private:
  testing::ScratchDirectory home_;
  std::optional<testing::NetworkNamespace> space_;
};

TEST_F(DiscoveryCommands, InterfaceListShowsTunnelsAndTheProgramsBehindThem) {
  if (!enterNamespace()) GTEST_SKIP() << skipReason_;
  EXPECT_EQ(ok({"interface", "list"}),
            "没有发现隧道网卡（已启用的点对点网卡，名称以 tun、utun、wg、ppp 或 ipsec 开头）。\n");
  EXPECT_EQ(ok({"interface", "--json"}), "[]\n");

  const std::string name = "tunc" + std::to_string(::getpid());
  std::optional<testing::TunInterface> tun;
  try {
    tun.emplace(name, "10.98.0.1", "10.98.0.2");
  } catch (const std::system_error& error) {
    GTEST_SKIP() << "cannot create a tun interface here: " << error.what();
  }
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string program = std::filesystem::path(self).filename().string();
  EXPECT_EQ(ok({"interface", "list"}), program + "  " + name + " · 10.98.0.1  " + self + "\n");
  const json::Value listed = json::parse(ok({"interface", "list", "--json"}));
  EXPECT_EQ(listed, json::Value::parse(
                        R"([{"name":")" + name + R"(","ipv4":"10.98.0.1","ownerName":")" + program +
                        R"(","ownerPath":")" + self + R"(","isSystemOwned":false}])"));
  // The name listed is one a route takes.
  EXPECT_EQ(ok({"route", "set", "App", "interface:" + name}), "「App」→ interface:" + name + "\n");
}

TEST_F(DiscoveryCommands, ProxyDiscoverListsAndAddsLocalProxiesOnce) {
  if (!enterNamespace()) GTEST_SKIP() << skipReason_;
  EXPECT_EQ(ok({"proxy", "discover"}), "没有在本机回环地址上发现代理。\n");
  EXPECT_EQ(ok({"proxy", "discover", "--add"}), "没有在本机回环地址上发现代理。\n");

  const LoopbackServer socks(LoopbackServer::socks5(0x00));
  const LoopbackServer http(LoopbackServer::http("HTTP/1.1 407 Proxy Authentication Required"));
  const LoopbackServer web(LoopbackServer::http("HTTP/1.1 400 Bad Request"));
  std::string comm = readFile("/proc/self/comm");
  comm.pop_back();
  const auto endpoint = [](const LoopbackServer& server) {
    return "127.0.0.1:" + std::to_string(server.port());
  };
  const auto named = [&](const LoopbackServer& server) {
    return comm + " " + std::to_string(server.port());
  };
  const bool socksFirst = socks.port() < http.port();
  const std::string socksLine = named(socks) + "  " + endpoint(socks) + "  socks5  进程：" + comm;
  const std::string httpLine = named(http) + "  " + endpoint(http) + "  http  进程：" + comm;
  EXPECT_EQ(ok({"proxy", "discover"}),
            socksFirst ? socksLine + "\n" + httpLine + "\n" : httpLine + "\n" + socksLine + "\n");
  const json::Value candidates = json::parse(ok({"proxy", "discover", "--json"}));
  ASSERT_EQ(candidates.size(), 2u);
  EXPECT_EQ(candidates[socksFirst ? 0 : 1], (json::Value{{"name", named(socks)},
                                                         {"port", socks.port()},
                                                         {"proto", "socks5"},
                                                         {"source", comm},
                                                         {"listening", true}}));

  // The one already in the profile (same address and port) is kept as it is.
  ok({"proxy", "add", "Mine", "127.0.0.1", std::to_string(http.port()), "--type", "http"});
  const std::string added = "已添加代理「" + named(socks) + "」" + endpoint(socks) + " socks5";
  const std::string skipped =
      "跳过「" + named(http) + "」：当前 profile 已有代理「Mine」" + endpoint(http);
  EXPECT_EQ(ok({"proxy", "discover", "--add"}),
            socksFirst ? added + "\n" + skipped + "\n" : skipped + "\n" + added + "\n");
  EXPECT_EQ(ok({"proxy", "discover", "--add", "--json"}), "[]\n");
  const json::Value proxies = json::parse(ok({"proxy", "list", "--json"}));
  ASSERT_EQ(proxies.size(), 2u);
  EXPECT_EQ(proxies[1]["name"], named(socks));
  EXPECT_EQ(proxies[1]["address"], "127.0.0.1");
  EXPECT_EQ(proxies[1]["port"], socks.port());
  EXPECT_EQ(proxies[1]["proto"], "socks5");
}

}  // namespace
}  // namespace velmora
