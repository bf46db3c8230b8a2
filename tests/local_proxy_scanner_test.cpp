// The local proxy scan against real servers on loopback, with the socket table and the
// processes behind it from a fake /proc tree, and once against the live /proc.
#include "kit/discovery/local_proxy_scanner.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "fake_proc.h"
#include "kit/file_io.h"
#include "loopback.h"

namespace velmora {

void PrintTo(const LocalProxyScanner::Candidate& candidate, std::ostream* out) {
  *out << json::compact(toJSON(candidate));
}

namespace {

using testing::FakeProc;
using testing::LoopbackServer;
using Candidate = LocalProxyScanner::Candidate;

const std::string kHeader =
    "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout "
    "inode\n";

/// An address as the kernel's socket tables print it: each 32-bit word as it lies in memory.
std::string tableAddress(const std::string& text) {
  unsigned char bytes[16];
  const bool v6 = text.find(':') != std::string::npos;
  inet_pton(v6 ? AF_INET6 : AF_INET, text.c_str(), bytes);
  std::string hex;
  for (int word = 0; word < (v6 ? 4 : 1); ++word) {
    std::uint32_t value;
    std::memcpy(&value, bytes + word * 4, 4);
    char buffer[9];
    std::snprintf(buffer, sizeof buffer, "%08X", value);
    hex += buffer;
  }
  return hex;
}

/// One row of /proc/net/tcp or tcp6; state 0A is LISTEN.
std::string row(const std::string& address, std::uint16_t port, std::uint64_t inode,
                const std::string& state = "0A") {
  char local[8];
  std::snprintf(local, sizeof local, ":%04X", port);
  const std::string remote = address.find(':') == std::string::npos
                                 ? "00000000:0000"
                                 : "00000000000000000000000000000000:0000";
  return "   0: " + tableAddress(address) + local + " " + remote + " " + state +
         " 00000000:00000000 00:00000000 00000000  1000        0 " + std::to_string(inode) +
         " 1 0000000000000000 100 0 0 10 0\n";
}

/// A socket table listing every server listening on 127.0.0.1.
std::string listening(const std::vector<const LoopbackServer*>& servers) {
  std::string table = kHeader;
  for (const LoopbackServer* server : servers)
    table += row("127.0.0.1", server->port(), server->inode());
  return table;
}

std::string anonymous(std::uint16_t port) {
  return "本地代理 " + std::to_string(port);
}

Candidate unattributed(std::uint16_t port, ProxyProtocol proto) {
  return {anonymous(port), port, proto, std::string(LocalProxyScanner::unattributedSource), true};
}

std::vector<Candidate> sortedByPort(std::vector<Candidate> candidates) {
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) { return a.port < b.port; });
  return candidates;
}

TEST(LocalProxyScanner, ProbesTellProxiesFromOtherServers) {
  const LoopbackServer socksOpen(LoopbackServer::socks5(0x00));
  const LoopbackServer socksPassword(LoopbackServer::socks5(0x02));
  const LoopbackServer socksRefusing(LoopbackServer::socks5(0xFF));
  const LoopbackServer httpAuth(LoopbackServer::http("HTTP/1.1 407 Proxy Authentication Required"));
  const LoopbackServer httpOpen(LoopbackServer::http("HTTP/1.0 200 Connection established"));
  const LoopbackServer web(LoopbackServer::http("HTTP/1.1 400 Bad Request"));
  const LoopbackServer webOK(LoopbackServer::http("HTTP/1.1 200 OK"));
  const LoopbackServer silent;  // accepts (in the kernel) and never says a word
  const std::uint16_t closed = testing::closedLoopbackPort();

  FakeProc proc;
  proc.file("net/tcp", listening({&socksOpen, &socksPassword, &socksRefusing, &httpAuth, &httpOpen,
                                  &web, &webOK, &silent}) +
                           row("127.0.0.1", closed, 4242));
  const std::vector<Candidate> expected = sortedByPort({
      unattributed(socksOpen.port(), ProxyProtocol::socks5),
      unattributed(socksPassword.port(), ProxyProtocol::socks5),
      unattributed(httpAuth.port(), ProxyProtocol::http),
      unattributed(httpOpen.port(), ProxyProtocol::http),
  });
  EXPECT_EQ(LocalProxyScanner(ProcFileSystem(proc.root())).scan(), expected);
}

TEST(LocalProxyScanner, ProbesOnlyPortsListeningWhere127001Reaches) {
  std::vector<std::unique_ptr<LoopbackServer>> servers;
  for (int i = 0; i < 9; ++i) {
    servers.push_back(std::make_unique<LoopbackServer>(LoopbackServer::socks5(0x00)));
  }
  const auto port = [&](int i) { return servers[static_cast<std::size_t>(i)]->port(); };
  FakeProc proc;
  // Every server really listens on 127.0.0.1; the table decides which ones are probed.
  proc.file("net/tcp", kHeader + row("127.0.0.1", port(0), 11) + row("0.0.0.0", port(1), 12) +
                           row("10.0.0.5", port(2), 13) + row("127.0.0.2", port(3), 14) +
                           row("127.0.0.1", port(4), 15, "01") +  // an established connection
                           "   9: 0100007F:zz90 00000000:0000 0A garbage\n" +
                           "not a row at all\n\n" + row("127.0.0.1", port(0), 21));
  proc.file("net/tcp6", kHeader + row("::1", port(5), 16) + row("::", port(6), 17) +
                            row("::ffff:127.0.0.1", port(7), 18) + row("fe80::1", port(8), 19) +
                            row("::1", port(0), 20));
  const std::vector<Candidate> expected = sortedByPort({
      unattributed(port(0), ProxyProtocol::socks5),
      unattributed(port(1), ProxyProtocol::socks5),
      unattributed(port(5), ProxyProtocol::socks5),
      unattributed(port(6), ProxyProtocol::socks5),
      unattributed(port(7), ProxyProtocol::socks5),
  });
  const LocalProxyScanner scanner{ProcFileSystem(proc.root())};
  EXPECT_EQ(scanner.scan(), expected);

  // Whatever address a port listened on, the proxy is reached at 127.0.0.1.
  const std::vector<ProxyServer> proxies =
      scanner.discoverProxies(LocalProxyScanner::IncludeAll::yes);
  ASSERT_EQ(proxies.size(), expected.size());
  for (std::size_t i = 0; i < proxies.size(); ++i) {
    EXPECT_EQ(proxies[i].address, "127.0.0.1");
    EXPECT_EQ(proxies[i].port, expected[i].port);
    EXPECT_EQ(proxies[i].name, expected[i].name);
    EXPECT_EQ(proxies[i].credentials, std::nullopt);
  }
  EXPECT_NE(proxies[0].id, proxies[1].id);
}

TEST(LocalProxyScanner, NamesAPortAfterTheProcessHoldingItsSocket) {
  const LoopbackServer clash(LoopbackServer::socks5(0x00));
  const LoopbackServer custom(LoopbackServer::http("HTTP/1.1 407 Proxy Authentication Required"));
  const LoopbackServer orphan(LoopbackServer::socks5(0x00));
  const LoopbackServer own(LoopbackServer::socks5(0x00));
  FakeProc proc;
  proc.file("net/tcp", listening({&clash, &custom, &orphan, &own}));
  proc.process(100, "/opt/cv/core", "clash-verge");
  proc.descriptor(100, 7, "socket:[" + std::to_string(clash.inode()) + "]");
  proc.process(200, "/usr/local/bin/myproxy", "myproxy");
  proc.descriptor(200, 3, "socket:[999999]");  // not a listening socket
  proc.descriptor(200, 4, "socket:[" + std::to_string(custom.inode()) + "]");
  proc.process(300, "/usr/local/bin/myproxy", "worker");  // a child sharing the socket
  proc.descriptor(300, 4, "socket:[" + std::to_string(custom.inode()) + "]");
  proc.process(400, "/usr/bin/cat", "cat");
  proc.descriptor(400, 1, "pipe:[" + std::to_string(orphan.inode()) + "]");
  // Velmora's own proxy is never offered as a way out.
  proc.process(700, "/usr/bin/velmorad", "velmorad");
  proc.descriptor(700, 9, "socket:[" + std::to_string(own.inode()) + "]");

  const std::vector<Candidate> named = sortedByPort({
      {"Clash Verge " + std::to_string(clash.port()), clash.port(), ProxyProtocol::socks5,
       "clash-verge", true},
      {"myproxy " + std::to_string(custom.port()), custom.port(), ProxyProtocol::http, "myproxy",
       true},
      unattributed(orphan.port(), ProxyProtocol::socks5),
  });
  EXPECT_EQ(LocalProxyScanner(ProcFileSystem(proc.root())).scan(), named);

  // Without an owner, a port is named after a running proxy client, if there is one.
  proc.process(500, "/usr/sbin/xray");  // a system program does not count
  proc.process(600, "/home/me/mihomo/mihomo-linux-amd64 (deleted)");
  const LocalProxyScanner scanner{ProcFileSystem(proc.root())};
  const std::vector<Candidate> candidates = scanner.scan();
  const auto found = std::find_if(candidates.begin(), candidates.end(),
                                  [&](const Candidate& c) { return c.port == orphan.port(); });
  ASSERT_NE(found, candidates.end());
  EXPECT_EQ(found->name, "mihomo-linux-amd64 " + std::to_string(orphan.port()));
  EXPECT_EQ(found->source, LocalProxyScanner::unattributedSource);

  // Leaving out what only the socket table knows keeps the two attributed ports.
  const auto attributed = scanner.discoverProxies(LocalProxyScanner::IncludeAll::no);
  ASSERT_EQ(attributed.size(), 2u);
  for (const ProxyServer& proxy : attributed) EXPECT_NE(proxy.port, orphan.port());
  EXPECT_EQ(scanner.discoverProxies(LocalProxyScanner::IncludeAll::yes).size(), 3u);
}

TEST(LocalProxyScanner, FriendlyNamesOfKnownClients) {
  const LoopbackServer server(LoopbackServer::socks5(0x00));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"clash-verge", "Clash Verge"},
      {"verge-mihomo", "Clash Verge"},
      {"ClashX Meta", "ClashX"},
      {"clash", "Clash"},
      {"mihomo", "Mihomo"},
      {"sing-box", "sing-box"},
      {"xray", "Xray"},
      {"v2rayA", "V2Ray"},
      {"trojan-go", "Trojan"},
      {"hysteria2", "Hysteria"},
      {"outline-ss", "Outline"},
      {"Surge", "Surge"},
      {"stash", "Stash"},
      {"gost", "GOST"},
      {"ssh", "ssh"},
  };
  for (const auto& [comm, friendly] : cases) {
    FakeProc proc;
    proc.file("net/tcp", listening({&server}));
    proc.process(42, "/opt/x/x", comm);
    proc.descriptor(42, 5, "socket:[" + std::to_string(server.inode()) + "]");
    const auto candidates = LocalProxyScanner(ProcFileSystem(proc.root())).scan();
    ASSERT_EQ(candidates.size(), 1u) << comm;
    EXPECT_EQ(candidates[0].name, friendly + " " + std::to_string(server.port())) << comm;
  }
}

TEST(LocalProxyScanner, NothingListedGivesNothing) {
  FakeProc proc;
  EXPECT_TRUE(LocalProxyScanner(ProcFileSystem(proc.root())).scan().empty());
  proc.file("net/tcp", kHeader);
  EXPECT_TRUE(LocalProxyScanner(ProcFileSystem(proc.root())).scan().empty());
}

TEST(LocalProxyScanner, FindsALiveServerThroughTheRealProc) {
  std::string why;
  auto space = testing::NetworkNamespace::enter(why);
  if (!space) GTEST_SKIP() << why;
  // In a namespace of its own the test's servers are the only ones listening.
  const LoopbackServer socks(LoopbackServer::socks5(0x00));
  const LoopbackServer silent;
  std::string comm = readFile("/proc/self/comm");
  comm.pop_back();
  const std::vector<Candidate> expected = {
      {comm + " " + std::to_string(socks.port()), socks.port(), ProxyProtocol::socks5, comm, true}};
  EXPECT_EQ(LocalProxyScanner().scan(), expected);
}

}  // namespace
}  // namespace velmora
