// Transparent capture end to end: velmora-netd and velmorad in a network namespace of the
// test's own, an upstream microsocks, and programs that ignore proxy settings (bash's
// /dev/tcp) started by `velmoractl run --transparent`.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <thread>

#include "daemon_support.h"
#include "kit/automation_protocol.h"
#include "kit/daemon_settings.h"
#include "kit/discovery/cgroups.h"
#include "kit/json_text.h"
#include "test_support.h"
#include "tiny_resolver.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::InsideNamespace;
using testing::Microsocks;
using testing::NetworkNamespace;
using testing::PeerEchoServer;
using testing::PrivateBus;
using testing::RunningDaemon;
using testing::RunResult;
using testing::ScratchDirectory;
using testing::TestCgroup;

constexpr std::uint16_t upstreamPort = 1081;

/// Waits a bounded time for condition.
bool eventually(const std::function<bool()>& condition) {
  for (int round = 0; round < 200; ++round) {
    if (condition()) return true;
    std::this_thread::sleep_for(50ms);
  }
  return false;
}

/// The first line a server at 10.77.0.1:port sends, connecting from this test's own process.
std::string firstLineFromHere(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval limit{.tv_sec = 10, .tv_usec = 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in at{.sin_family = AF_INET, .sin_port = htons(port)};
  inet_pton(AF_INET, "10.77.0.1", &at.sin_addr);
  std::string line;
  char c;
  if (connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0) {
    while (recv(fd, &c, 1, 0) == 1 && c != '\n') line += c;
  }
  close(fd);
  return line;
}

/// What a shell command run from the test's own process writes to standard output.
std::string outputOf(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  char chunk[512];
  while (const std::size_t size = std::fread(chunk, 1, sizeof chunk, pipe)) out.append(chunk, size);
  ::pclose(pipe);
  return out;
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

/// The first resolver /etc/resolv.conf names, when it is an IPv4 address: the namespace's
/// programs, velmorad and the upstream all read that file.
std::optional<std::string> machineResolver() {
  std::ifstream file("/etc/resolv.conf");
  std::string keyword, address;
  while (file >> keyword) {
    if (keyword == "nameserver" && file >> address) {
      in_addr parsed{};
      if (inet_pton(AF_INET, address.c_str(), &parsed) == 1) return address;
      return std::nullopt;
    }
    std::getline(file, keyword);
  }
  return std::nullopt;
}

/// While this lives this process is in a cgroup of its own, so that the cgroups the programs it
/// starts make lie inside it; the end moves it back and removes them all.
class InOwnCgroup {
 public:
  InOwnCgroup()
      : original_(*cgroups::ofProcess(getpid())),
        own_(std::string(original_ == "/" ? "" : original_) + "/velmora-test-" +
             std::to_string(getpid())) {
    EXPECT_TRUE(own_.made() && own_.enter()) << own_.directory();
  }
  ~InOwnCgroup() { std::ofstream(*cgroups::mount() / original_.substr(1) / "cgroup.procs") << 0; }
  InOwnCgroup(const InOwnCgroup&) = delete;
  InOwnCgroup& operator=(const InOwnCgroup&) = delete;
  const TestCgroup& cgroup() const { return own_; }

 private:
  std::string original_;
  TestCgroup own_;
};

class TransparentCapture : public ::testing::Test {
 protected:
  RunResult run(const std::vector<std::string>& arguments) {
    return testing::runVelmoractl(arguments, home.path());
  }
  std::filesystem::path store() const { return home.path() / ".config" / "Velmora"; }

  /// The helper, the daemon with routing on and a rule sending bash through the upstream, a
  /// destination on 10.77.0.1 that tells where a connection came from, and the upstream going
  /// out from 10.77.0.2.
  void SetUp() override {
    if (!network.available()) GTEST_SKIP() << "making a network namespace needs root and ip(8)";
    if (!cgroups::mount()) GTEST_SKIP() << "transparent capture needs cgroup v2";
    ASSERT_TRUE(network.ip({"link", "set", "lo", "up"}));
    ASSERT_TRUE(network.ip({"addr", "add", "10.77.0.1/32", "dev", "lo"}));
    ASSERT_TRUE(network.ip({"addr", "add", "10.77.0.2/32", "dev", "lo"}));
    inside = std::make_unique<InsideNamespace>(network.name());
    ASSERT_TRUE(inside->entered());
    cgroup = std::make_unique<InOwnCgroup>();
    destination = std::make_unique<PeerEchoServer>("10.77.0.1");
    upstream = std::make_unique<Microsocks>(upstreamPort, "10.77.0.2", std::nullopt, upstreamLog);
    startHelper();
    startDaemon();
    ASSERT_EQ(run({"on"}).status, 0);
    ASSERT_EQ(run({"proxy", "add", "upstream", "127.0.0.1", std::to_string(upstreamPort)}).status,
              0);
    ASSERT_EQ(run({"route", "set", "bash", "proxy:upstream"}).status, 0);
  }
  void TearDown() override {
    daemon.reset();
    helper.reset();
    upstream.reset();
    destination.reset();
    cgroup.reset();
    inside.reset();
  }

  void startHelper() {
    helper = std::make_unique<RunningDaemon>(RunningDaemon::Options{
        .home = home.path(), .command = {VELMORA_NETD_PATH, "--socket", helperSocket}});
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(helperSocket); })) << helper->log();
  }
  void startDaemon() {
    daemon =
        std::make_unique<RunningDaemon>(RunningDaemon::Options{.home = home.path(),
                                                               .sessionBus = bus.address(),
                                                               .networkNamespace = network.name(),
                                                               .netdSocket = helperSocket});
    ASSERT_TRUE(daemon->waitUntilReady()) << daemon->log();
    ASSERT_TRUE(daemon->waitForLog("已连上 velmora-netd")) << daemon->log();
  }

  /// What status says once condition holds, waiting a bounded time.
  std::optional<StatusDTO> statusOnce(const std::function<bool(const StatusDTO&)>& condition) {
    std::optional<StatusDTO> found;
    eventually([&] {
      const RunResult status = run({"status", "--json"});
      if (status.status != 0) return false;
      const StatusDTO record = DTOCoding::decode(status.out, statusDTOFromJSON);
      if (condition(record)) found = record;
      return found.has_value();
    });
    return found;
  }

  /// Starts a captured program that waits in the background and connects to the destination
  /// when waitingProgramConnects() asks it to, at most twice.
  void startWaitingProgram() {
    const std::string dir = home.path().string();
    const std::string connect = "exec 3<>/dev/tcp/10.77.0.1/" +
                                std::to_string(destination->port()) +
                                " && read -r line <&3 && echo \"$line\"";
    const std::string once = "if [ -e " + dir + "/go$n ] && [ ! -e " + dir + "/out$n ]; then ( " +
                             connect + " ) > " + dir + "/tmp$n 2>/dev/null || echo refused > " +
                             dir + "/tmp$n; mv " + dir + "/tmp$n " + dir + "/out$n; fi";
    const std::string script = "for i in $(seq 600); do for n in 1 2; do " + once +
                               "; done; [ -e " + dir + "/out2 ] && exit 0; sleep 0.05; done";
    const RunResult started =
        run({"run", "--transparent", "--", "bash", "-c", "(" + script + ") >/dev/null 2>&1 &"});
    ASSERT_EQ(started.status, 0) << started.err;
    ASSERT_TRUE(statusOnce([](const StatusDTO& status) { return status.capturedPrograms == 1; }));
  }
  /// What the waiting program got from its connection number n: the destination's line, or
  /// "refused".
  std::string waitingProgramConnects(int n) {
    const std::filesystem::path out = home.path() / ("out" + std::to_string(n));
    std::ofstream(home.path() / ("go" + std::to_string(n))).put('\n');
    if (!eventually([&] { return std::filesystem::exists(out); })) return "nothing";
    return readFile(out);
  }

  /// A stand-in for the machine's resolver, answering every name with answer, on the address
  /// /etc/resolv.conf names first (the namespace's programs, velmorad and the upstreams all ask
  /// it), and a route for the fake addresses, which a datagram or connection needs before it is
  /// captured (a machine's default route covers them); null where that file names no IPv4
  /// resolver.
  std::unique_ptr<testing::TinyResolver> standInResolver(const std::string& answer) {
    const std::optional<std::string> address = machineResolver();
    if (!address) return nullptr;
    if (!address->starts_with("127.")) {
      EXPECT_TRUE(network.ip({"addr", "add", *address + "/32", "dev", "lo"}));
    }
    EXPECT_TRUE(network.ip({"route", "add", "198.18.0.0/15", "dev", "lo"}));
    return std::make_unique<testing::TinyResolver>(*address, answer);
  }

  /// bash connecting to the destination under `run --transparent`: the first line it got.
  RunResult probe() {
    return run({"run", "--transparent", "--", "bash", "-c",
                "exec 3<>/dev/tcp/10.77.0.1/" + std::to_string(destination->port()) +
                    " && read -r line <&3 && echo \"$line\""});
  }

  ScratchDirectory home;
  const std::filesystem::path helperSocket = home.path() / "netd.sock";
  const std::filesystem::path upstreamLog = home.path() / "upstream.log";
  PrivateBus bus;
  NetworkNamespace network;
  std::unique_ptr<InsideNamespace> inside;
  std::unique_ptr<InOwnCgroup> cgroup;
  std::unique_ptr<PeerEchoServer> destination;
  std::unique_ptr<Microsocks> upstream;
  std::unique_ptr<RunningDaemon> helper;
  std::unique_ptr<RunningDaemon> daemon;
};

TEST_F(TransparentCapture, AProgramIgnoringProxySettingsIsRoutedByItsRule) {
  const RunResult routed = probe();
  EXPECT_EQ(routed.out, "10.77.0.2\n") << routed.err << daemon->log();
  EXPECT_EQ(routed.status, 0);
  // The test itself is outside every captured cgroup.
  EXPECT_EQ(firstLineFromHere(destination->port()), "10.77.0.1");

  ASSERT_EQ(run({"route", "set", "bash", "block"}).status, 0);
  const RunResult blocked = probe();
  EXPECT_EQ(blocked.out, "");
  EXPECT_NE(blocked.status, 0);

  const RunResult logs = run({"logs", "--app", "bash", "--json"});
  const std::vector<ConnectionEvent> events =
      DTOCoding::decodeArray(logs.out, connectionEventFromJSON);
  const auto routeOf = [&](ConnectionEvent::Phase phase) -> std::string {
    for (const ConnectionEvent& event : events) {
      if (event.phase == phase && event.host == "10.77.0.1") return event.route;
    }
    return "none";
  };
  EXPECT_EQ(routeOf(ConnectionEvent::Phase::close), "proxy upstream (127.0.0.1:1081 socks5)")
      << logs.out;
  EXPECT_EQ(routeOf(ConnectionEvent::Phase::blocked), "block") << logs.out;

  // Each program's cgroup goes once its last process has ended.
  EXPECT_TRUE(statusOnce([](const StatusDTO& status) { return status.capturedPrograms == 0; }));
  EXPECT_TRUE(eventually([&] {
    for (const auto& entry : std::filesystem::directory_iterator(cgroup->cgroup().directory())) {
      if (entry.path().filename().string().starts_with("velmora-run-")) return false;
    }
    return true;
  }));
  const RunResult status = run({"status"});
  EXPECT_NE(status.out.find("透明捕获  : 可用 · 捕获着 0 个程序\n"), std::string::npos)
      << status.out;
}

TEST_F(TransparentCapture, WithoutCaptureTheProgramDoesNotStart) {
  const std::filesystem::path started = home.path() / "started";
  const std::vector<std::string> touch = {"run", "--transparent", "--", "touch", started};
  ASSERT_EQ(run({"off"}).status, 0);
  const RunResult off = run(touch);
  EXPECT_EQ(off.err, "错误：路由已关闭，透明捕获不可用 — 先用 velmoractl on 打开\n");
  EXPECT_EQ(off.status, 1);

  ASSERT_EQ(run({"on"}).status, 0);
  helper->stop();
  ASSERT_TRUE(daemon->waitForLog("透明捕获中断")) << daemon->log();
  const RunResult gone = run(touch);
  EXPECT_TRUE(gone.err.starts_with("错误：透明捕获不可用：连不上 velmora-netd")) << gone.err;
  EXPECT_EQ(gone.status, 1);
  EXPECT_FALSE(std::filesystem::exists(started));
}

TEST_F(TransparentCapture, TheSwitchReleasesAndCapturesAgain) {
  startWaitingProgram();
  ASSERT_EQ(run({"off"}).status, 0);
  EXPECT_EQ(waitingProgramConnects(1), "10.77.0.1\n");
  ASSERT_EQ(run({"on"}).status, 0);
  EXPECT_EQ(waitingProgramConnects(2), "10.77.0.2\n");
}

/// Moves this process into cgroup while this lives, and back afterwards.
class Visit {
 public:
  Visit(const TestCgroup& cgroup, const TestCgroup& back) : back_(back) {
    EXPECT_TRUE(cgroup.enter()) << cgroup.directory();
  }
  ~Visit() { back_.enter(); }
  Visit(const Visit&) = delete;
  Visit& operator=(const Visit&) = delete;

 private:
  const TestCgroup& back_;
};

TEST_F(TransparentCapture, TheWholeSessionIsCapturedButVelmorad) {
  // The session is a cgroup below the test's own; velmorad runs in a cgroup of its own in it.
  const std::string own = cgroup->cgroup().path();
  const TestCgroup session(own + "/session");
  const TestCgroup daemonCgroup(own + "/session/velmorad");
  const TestCgroup apps(own + "/session/apps");
  ASSERT_TRUE(session.made() && daemonCgroup.made() && apps.made());
  daemon.reset();
  DaemonSettings settings = DaemonSettings::load(DaemonSettings::fileIn(store()));
  settings.capture = DaemonSettings::Capture::session;
  settings.sessionCgroup = session.path();
  settings.save(DaemonSettings::fileIn(store()));
  {
    const Visit visit(daemonCgroup, cgroup->cgroup());
    startDaemon();
  }
  ASSERT_TRUE(statusOnce([](const StatusDTO& status) { return status.capturedPrograms == 1; }))
      << daemon->log();
  EXPECT_EQ(statusOnce([](const StatusDTO&) { return true; })->captureMode, "session");

  // A program nobody started with run, connecting from the session.
  const auto fromSession = [&] {
    const Visit visit(apps, cgroup->cgroup());
    return run({"run", "--", "bash", "-c",
                "exec 3<>/dev/tcp/10.77.0.1/" + std::to_string(destination->port()) +
                    " && read -r line <&3 && echo \"$line\""})
        .out;
  };
  EXPECT_EQ(fromSession(), "10.77.0.2\n") << daemon->log();
  // velmorad's own connection out is not captured again: direct reaches the destination.
  ASSERT_EQ(run({"route", "set", "bash", "direct"}).status, 0);
  EXPECT_EQ(fromSession(), "10.77.0.1\n") << daemon->log();
  const RunResult logs = run({"logs", "--app", "bash", "--json"});
  EXPECT_EQ(logs.out.find("\"failed\""), std::string::npos) << logs.out;

  ASSERT_EQ(run({"route", "set", "bash", "proxy:upstream"}).status, 0);
  ASSERT_EQ(run({"capture", "off"}).status, 0);
  EXPECT_EQ(fromSession(), "10.77.0.1\n");
  // velmorad ends before the cgroup it runs in goes.
  daemon.reset();
}

TEST_F(TransparentCapture, NamesAreDecidedByHostRulesAndCarriedByNameAcrossARestart) {
  // The namespace's resolver knows every name, at the destination's address.
  const std::unique_ptr<testing::TinyResolver> resolver = standInResolver("10.77.0.1");
  if (!resolver) GTEST_SKIP() << "/etc/resolv.conf names no IPv4 resolver to stand in for";

  // One name is left to the machine's resolvers; a host rule sends another to the upstream.
  const std::filesystem::path profileFile =
      std::filesystem::directory_iterator(store() / "profiles")->path();
  json::Value profile = json::parse(readFile(profileFile));
  profile["dns"]["exclusions"].push_back("direct.velmora.test");
  std::ofstream(profileFile) << json::pretty(profile);
  ASSERT_EQ(run({"route", "set", "bash", "direct"}).status, 0);
  ASSERT_EQ(run({"rule", "add", "web", "--app", "*", "--host", "*.web.velmora.test", "--action",
                 "proxy:upstream"})
                .status,
            0);
  ASSERT_EQ(run({"rule", "move", "web", "--top"}).status, 0);

  const std::string port = std::to_string(destination->port());
  const auto connectTo = [&](const std::string& host) {
    return run({"run", "--transparent", "--", "bash", "-c",
                "exec 3<>/dev/tcp/" + host + "/" + port +
                    " && read -r line <&3 && echo \"$line\" || echo refused"})
        .out;
  };
  const auto addressOf = [&](const std::string& host) {
    return run({"run", "--transparent", "--", "getent", "ahostsv4", host}).out;
  };
  EXPECT_EQ(connectTo("a.web.velmora.test"), "10.77.0.2\n") << daemon->log();
  EXPECT_NE(readFile(upstreamLog).find("connected to a.web.velmora.test:" + port),
            std::string::npos)
      << readFile(upstreamLog);
  const std::string fake = addressOf("a.web.velmora.test");
  EXPECT_TRUE(fake.starts_with("198.18.")) << fake;
  EXPECT_TRUE(addressOf("direct.velmora.test").starts_with("10.77.0.1 "));
  EXPECT_EQ(connectTo("direct.velmora.test"), "10.77.0.1\n");
  const std::vector<std::string> asked = resolver->asked();
  EXPECT_NE(std::ranges::find(asked, "direct.velmora.test."), asked.end());
  // A program that asks later from the port a captured program asked from is not redirected with
  // that program's flow: the captured flows are tracked apart.
  const std::string fromPort = "dig +short +time=2 +tries=1 -b 0.0.0.0#40053 a.web.velmora.test";
  EXPECT_TRUE(run({"run", "--transparent", "--", "sh", "-c", fromPort}).out.starts_with("198.18."));
  EXPECT_EQ(outputOf(fromPort), "10.77.0.1\n");

  // The program keeps the address it was given; a new velmorad still knows its name.
  daemon.reset();
  startDaemon();
  const std::string held = fake.substr(0, fake.find(' '));
  EXPECT_EQ(connectTo(held), "10.77.0.2\n") << daemon->log();
  EXPECT_EQ(connectTo("198.19.255.254"), "refused\n");
  const RunResult logs = run({"logs", "--app", "bash", "--json"});
  std::map<std::string, std::string> outcomes;
  for (const ConnectionEvent& event : DTOCoding::decodeArray(logs.out, connectionEventFromJSON)) {
    if (event.phase == ConnectionEvent::Phase::close) outcomes[event.host] = event.route;
    if (event.phase == ConnectionEvent::Phase::failed)
      outcomes[event.host] = event.errorDescription.value_or("");
  }
  EXPECT_EQ(outcomes["a.web.velmora.test"], "proxy upstream (127.0.0.1:1081 socks5)") << logs.out;
  EXPECT_TRUE(outcomes["198.19.255.254"].starts_with("198.19.255.254 是假地址")) << logs.out;
}

/// A captured program that connects once velmorad has been killed, and again once a new
/// velmorad runs.
/// Captured UDP: destinations in a second namespace behind a veth link, where a UDP echo answers
/// with the address each datagram came from; dante, the upstream that carries UDP, goes out from
/// 198.51.100.2, a second dante from 198.51.100.3, and velmorad directly from 198.51.100.1 (over
/// IPv6 from 2001:db8:7::1).
class CapturedUdp : public TransparentCapture {
 protected:
  void SetUp() override {
    TransparentCapture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(far.available());
    ASSERT_TRUE(network.ip(
        {"link", "add", "u0", "type", "veth", "peer", "name", "u1", "netns", far.name()}));
    ASSERT_TRUE(network.ip({"addr", "add", "198.51.100.1/24", "dev", "u0"}));
    ASSERT_TRUE(network.ip({"addr", "add", "198.51.100.2/24", "dev", "u0"}));
    ASSERT_TRUE(network.ip({"addr", "add", "198.51.100.3/24", "dev", "u0"}));
    ASSERT_TRUE(network.ip({"link", "set", "u0", "up"}));
    ASSERT_TRUE(far.ip({"addr", "add", "198.51.100.7/24", "dev", "u1"}));
    ASSERT_TRUE(network.ip({"-6", "addr", "add", "2001:db8:7::1/64", "dev", "u0", "nodad"}));
    ASSERT_TRUE(far.ip({"-6", "addr", "add", "2001:db8:7::7/64", "dev", "u1", "nodad"}));
    ASSERT_TRUE(far.ip({"link", "set", "u1", "up"}));
    {
      const InsideNamespace there(far.name());
      echo = std::make_unique<testing::UdpPeerEcho>("198.51.100.7", 7000);
      quic = std::make_unique<testing::UdpPeerEcho>("198.51.100.7", 443);
      echo6 = std::make_unique<testing::UdpPeerEcho>("2001:db8:7::7", 7000);
    }
    std::filesystem::create_directories(home.path() / "dante");
    std::filesystem::create_directories(home.path() / "second");
    dante = std::make_unique<testing::Dante>(1082, "198.51.100.2", home.path() / "dante");
    secondDante = std::make_unique<testing::Dante>(1083, "198.51.100.3", home.path() / "second");
    ASSERT_EQ(run({"proxy", "add", "dante", "127.0.0.1", "1082"}).status, 0);
    ASSERT_EQ(run({"proxy", "add", "second", "127.0.0.1", "1083"}).status, 0);
    ASSERT_EQ(run({"chain", "add", "pair", "dante", "second"}).status, 0);
  }
  void TearDown() override {
    dante.reset();
    secondDante.reset();
    echo.reset();
    echo6.reset();
    quic.reset();
    TransparentCapture::TearDown();
  }

  /// What a captured program (perl: one process, which alone holds its socket) hears back for
  /// one datagram to address:port, sent up to three times a second apart: the address the
  /// echo saw, "" when nothing came back, or "refused" when a send or a receive failed at once.
  std::string datagramFromPerl(std::uint16_t port, const std::string& address = "198.51.100.7") {
    const std::string script =
        "use IO::Socket::IP; my $s = IO::Socket::IP->new(PeerHost => '" + address +
        "', PeerPort => " + std::to_string(port) +
        ", Proto => 'udp') or exit 1; for (1 .. 3) { $s->send('q') or do { print "
        "\"refused\\n\"; exit }; my $answer = ''; my $failed = 0; eval { local $SIG{ALRM} = "
        "sub { die \"late\\n\" }; alarm 1; $failed = !defined $s->recv($answer, 512) && "
        "!$!{EINTR}; alarm 0 "
        "}; if ($failed) { print \"refused\\n\"; exit } if ($answer ne '') { print "
        "((split /\\n/, $answer)[0], \"\\n\"); exit } }";
    return run({"run", "--transparent", "--", "perl", "-e", script}).out;
  }
  /// What a captured perl reads first from a TCP connection to the destination.
  std::string connectionFromPerl() {
    return run({"run", "--transparent", "--", "perl", "-e",
                "use IO::Socket::INET; my $s = IO::Socket::INET->new(PeerAddr => '10.77.0.1:" +
                    std::to_string(destination->port()) +
                    "', Timeout => 5) or exit 1; my $line = <$s>; print $line if defined $line"})
        .out;
  }
  /// What the connection log says of perl's UDP to port: the route of its last open, blocked
  /// or failed event, with the error where there is one.
  std::string loggedRoute(std::uint16_t port) {
    const RunResult logs = run({"logs", "--app", "perl", "--json"});
    std::string found = "none";
    for (const ConnectionEvent& event : DTOCoding::decodeArray(logs.out, connectionEventFromJSON)) {
      if (event.port != port || event.transport != FlowTransport::udp ||
          event.phase == ConnectionEvent::Phase::close)
        continue;
      found = event.route + (event.errorDescription ? " " + *event.errorDescription : "");
    }
    return found;
  }

  NetworkNamespace far;
  std::unique_ptr<testing::UdpPeerEcho> echo;
  std::unique_ptr<testing::UdpPeerEcho> quic;
  std::unique_ptr<testing::UdpPeerEcho> echo6;
  std::unique_ptr<testing::Dante> dante;
  std::unique_ptr<testing::Dante> secondDante;
};

TEST_F(CapturedUdp, DatagramsGoByTheRulesAndAnswersComeBackFromTheDestination) {
  ASSERT_TRUE(daemon->waitForLog("被捕获程序的 UDP 经端口")) << daemon->log();
  const struct {
    std::string route;
    std::string heard;
  } cases[] = {
      {"proxy:dante", "198.51.100.2\n"},
      // Through the first dante's association to the second's, which sends it on.
      {"chain:pair", "198.51.100.3\n"},
      {"direct", "198.51.100.1\n"},
      {"block", ""},
      // microsocks does not carry UDP: the flow fails, and says why.
      {"proxy:upstream", ""},
  };
  ASSERT_EQ(run({"route", "set", "perl", "direct"}).status, 0);
  for (const auto& c : cases) {
    ASSERT_EQ(run({"rule", "set", "App: perl", "--action", c.route}).status, 0);
    EXPECT_EQ(datagramFromPerl(7000), c.heard) << c.route << "\n" << daemon->log();
  }
  EXPECT_EQ(loggedRoute(7000),
            "proxy upstream (127.0.0.1:1081 socks5) 代理「upstream」拒绝转发 UDP（SOCKS5 应答 7）");
  // IPv6 the same way: through the helper's socket on ::1, answered from the destination.
  ASSERT_EQ(run({"rule", "set", "App: perl", "--action", "block"}).status, 0);
  EXPECT_EQ(datagramFromPerl(7000, "2001:db8:7::7"), "");
  ASSERT_EQ(run({"rule", "set", "App: perl", "--action", "direct"}).status, 0);
  EXPECT_EQ(datagramFromPerl(7000, "2001:db8:7::7"), "2001:db8:7::1\n") << daemon->log();

  // A rule for UDP alone leaves TCP to the next rule, and the reverse.
  ASSERT_EQ(run({"route", "set", "perl", "block"}).status, 0);
  ASSERT_EQ(run({"rule", "set", "App: perl", "--transport", "udp"}).status, 0);
  EXPECT_EQ(datagramFromPerl(7000), "");
  EXPECT_EQ(connectionFromPerl(), "10.77.0.1\n");
  ASSERT_EQ(run({"rule", "set", "App: perl", "--transport", "tcp"}).status, 0);
  EXPECT_EQ(datagramFromPerl(7000), "198.51.100.1\n");
  EXPECT_EQ(connectionFromPerl(), "");

  // QUIC by the rule's policy: through the proxy, directly, or refused so that the program
  // falls back to TCP.
  ASSERT_EQ(run({"route", "set", "perl", "proxy:dante"}).status, 0);
  ASSERT_EQ(run({"rule", "set", "App: perl", "--transport", "any"}).status, 0);
  const std::pair<std::string, std::string> policies[] = {
      {"proxy", "198.51.100.2\n"}, {"direct", "198.51.100.1\n"}, {"fallback", "refused\n"}};
  for (const auto& [policy, heard] : policies) {
    ASSERT_EQ(run({"rule", "set", "App: perl", "--quic", policy}).status, 0);
    EXPECT_EQ(datagramFromPerl(443), heard) << policy << "\n" << daemon->log();
  }
  EXPECT_EQ(loggedRoute(443), "proxy dante (127.0.0.1:1082 socks5) QUIC 按规则回退到 TCP，不转发");

  // One process sending to ever new destinations is bounded; another's flows go on.
  ASSERT_EQ(run({"route", "set", "perl", "direct"}).status, 0);
  ASSERT_EQ(run({"run", "--transparent", "--", "perl", "-e",
                 "use IO::Socket::INET; use Socket; my $s = IO::Socket::INET->new(Proto => "
                 "'udp') or exit 1; my $to = inet_aton('198.51.100.7'); $s->send('f', 0, "
                 "pack_sockaddr_in($_, $to)) for 10000 .. 10599; sleep 1"})
                .status,
            0);
  EXPECT_TRUE(daemon->waitForLog("的 UDP 流已达上限 512，新的流被丢弃")) << daemon->log();
  EXPECT_EQ(datagramFromPerl(7000), "198.51.100.1\n");
}

TEST_F(CapturedUdp, DatagramsToAFakeAddressGoByItsName) {
  const std::unique_ptr<testing::TinyResolver> resolver = standInResolver("198.51.100.7");
  if (!resolver) GTEST_SKIP() << "/etc/resolv.conf names no IPv4 resolver to stand in for";
  ASSERT_EQ(run({"route", "set", "perl", "direct"}).status, 0);
  ASSERT_EQ(run({"rule", "add", "echo", "--app", "*", "--host", "echo.velmora.test", "--action",
                 "proxy:dante"})
                .status,
            0);
  ASSERT_EQ(run({"rule", "move", "echo", "--top"}).status, 0);

  // The program asks velmorad's responder and gets a fake address; its datagrams to it are
  // decided by the name, and dante is given the name to resolve.
  EXPECT_EQ(datagramFromPerl(7000, "echo.velmora.test"), "198.51.100.2\n") << daemon->log();
  const RunResult logs = run({"logs", "--app", "perl", "--json"});
  bool byName = false;
  for (const ConnectionEvent& event : DTOCoding::decodeArray(logs.out, connectionEventFromJSON)) {
    byName |= event.transport == FlowTransport::udp && event.host == "echo.velmora.test" &&
              event.route == "proxy dante (127.0.0.1:1082 socks5)";
  }
  EXPECT_TRUE(byName) << logs.out;
}

class CrashOfVelmorad : public TransparentCapture, public ::testing::WithParamInterface<bool> {};

TEST_P(CrashOfVelmorad, FollowsFailsafeOnCrash) {
  const bool failsafe = GetParam();
  for (const auto& entry :
       std::filesystem::directory_iterator(home.path() / ".config/Velmora/profiles")) {
    const std::string text = readFile(entry.path());
    std::ofstream(entry.path()) << std::regex_replace(
        text, std::regex(R"("failsafeOnCrash"\s*:\s*true)"),
        failsafe ? R"("failsafeOnCrash" : true)" : R"("failsafeOnCrash" : false)");
  }
  // A change through the tool returns once velmorad has read the files again.
  ASSERT_EQ(run({"route", "set", "bash", "proxy:upstream"}).status, 0);

  startWaitingProgram();

  kill(daemon->pid(), SIGKILL);
  ASSERT_TRUE(daemon->waitForExit());
  EXPECT_EQ(waitingProgramConnects(1), failsafe ? "10.77.0.1\n" : "refused\n");

  // A new velmorad takes over what the helper kept refusing; after a failsafe crash the program
  // was released and stays direct.
  startDaemon();
  if (!failsafe) {
    ASSERT_TRUE(daemon->waitForLog("接手了 1 个")) << daemon->log();
    ASSERT_TRUE(statusOnce([](const StatusDTO& status) { return status.capturedPrograms == 1; }));
  }
  EXPECT_EQ(waitingProgramConnects(2), failsafe ? "10.77.0.1\n" : "10.77.0.2\n");
}

INSTANTIATE_TEST_SUITE_P(Both, CrashOfVelmorad, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "failsafe" : "holding";
                         });

}  // namespace
}  // namespace velmora
