// velmorad end to end: the built daemon on a private bus with a scratch home, driven by the built
// velmoractl, as a user would drive it.
#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

#include "daemon_support.h"
#include "kit/automation_protocol.h"
#include "kit/daemon_settings.h"
#include "kit/profile_store.h"
#include "test_support.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::BusKind;
using testing::NetworkNamespace;
using testing::PrivateBus;
using testing::RunningDaemon;
using testing::RunResult;
using testing::ScratchDirectory;

const std::string notRunning =
    "错误：Velmora 没有在运行 — 这个命令要用到它：先启动 velmorad（systemctl --user start "
    "velmorad）\n";
const std::string writesRefused =
    "错误：自动化写操作未开启 — 在 Velmora 设置里打开「允许自动化修改配置」\n";

/// Whether run() printed out exactly, with nothing on standard error and status 0.
::testing::AssertionResult printed(const RunResult& result, const std::string& out) {
  if (result.status == 0 && result.err.empty() && result.out == out)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "status " << result.status << "\nout: " << result.out << "\nerr: " << result.err;
}

class Daemon : public ::testing::Test {
 protected:
  std::filesystem::path store() const { return home.path() / ".config" / "Velmora"; }

  std::unique_ptr<RunningDaemon> start(std::optional<std::string> netns = std::nullopt) {
    auto daemon = std::make_unique<RunningDaemon>(RunningDaemon::Options{
        .home = home.path(),
        .sessionBus = bus.address(),
        .systemBus = systemBus ? std::optional(systemBus->address()) : std::nullopt,
        .networkNamespace = std::move(netns)});
    EXPECT_TRUE(daemon->waitUntilReady()) << daemon->log();
    return daemon;
  }

  RunResult run(const std::vector<std::string>& arguments,
                std::optional<std::chrono::milliseconds> interruptAfter = std::nullopt) {
    return testing::runVelmoractl(arguments, home.path(), {.interruptAfter = interruptAfter});
  }

  /// Runs the command until its output contains text, or the time runs out; the last result.
  RunResult runUntil(const std::vector<std::string>& arguments, std::string_view text) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    RunResult result = run(arguments);
    while (result.out.find(text) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
      result = run(arguments);
    return result;
  }

  /// Feeds one connection event through the daemon's test hook.
  void record(const ConnectionEvent& event) {
    const auto connection = sdbus::createSessionBusConnection();
    const auto hooks =
        sdbus::createProxy(*connection, "io.velmora.Automation", "/io/velmora/Testing");
    hooks->callMethod("RecordEvent")
        .onInterface("io.velmora.Testing1")
        .withArguments(DTOCoding::encode(event));
  }

  ScratchDirectory home;
  PrivateBus bus;
  std::optional<PrivateBus> systemBus;
};

ConnectionEvent event(std::string app, std::string host, ConnectionEvent::Phase phase,
                      std::uint64_t sent = 0, std::uint64_t received = 0) {
  return ConnectionEvent{
      .id = UUID::random(),
      .date = std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now()),
      .app = std::move(app),
      .host = std::move(host),
      .port = 443,
      .phase = phase,
      .ruleName = "Default",
      .route = "direct",
      .bytesSent = sent,
      .bytesReceived = received};
}

TEST_F(Daemon, StatusShowsTheLiveStateAndCounters) {
  // A port nobody holds now, rather than the default one another daemon of a parallel test holds;
  // the transparent listener at a port of the kernel's choice for the same reason.
  std::uint16_t port = 0;
  std::uint16_t dashboardPort = 0;
  {
    const testing::PeerEchoServer probe("127.0.0.1");
    const testing::PeerEchoServer another("127.0.0.1");
    port = probe.port();
    dashboardPort = another.port();
  }
  std::filesystem::create_directories(store());
  DaemonSettings settings;
  settings.proxyPort = port;
  settings.transparentPort = 0;
  settings.dashboardPort = dashboardPort;
  settings.save(DaemonSettings::fileIn(store()));
  const auto daemon = start();
  EXPECT_TRUE(printed(run({"status"}),
                      "状态      : 已停止\n"
                      "当前 profile: Default\n"
                      "本地代理  : 127.0.0.1:" +
                          std::to_string(port) +
                          "\n"
                          "控制面板  : http://127.0.0.1:" +
                          std::to_string(dashboardPort) +
                          "/\n"
                          "捕获范围  : programs（只有 run --transparent 启动的程序）\n"
                          "透明捕获  : 不可用（连不上 velmora-netd（" +
                          (home.path() / "no-netd.sock").string() +
                          "）：No such file or directory）\n"
                          "连接      : 总 0 · 活跃 0 · 失败 0\n"
                          "流量      : ↑ 0 B  ↓ 0 B\n"))
      << daemon->log();
  record(event("Safari", "apple.com", ConnectionEvent::Phase::open));
  record(event("Safari", "apple.com", ConnectionEvent::Phase::close, 2048, 1536));
  record(event("curl", "example.com", ConnectionEvent::Phase::failed));
  const RunResult json = run({"status", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  const StatusDTO status = DTOCoding::decode(json.out, statusDTOFromJSON);
  EXPECT_FALSE(status.enabled);
  // Transparent capture needs velmora-netd, which this test does not run.
  EXPECT_FALSE(status.extensionInstalled);
  EXPECT_TRUE(status.automationWritesAllowed);
  EXPECT_EQ(status.stats.totalConnections, 2u);
  EXPECT_EQ(status.stats.activeConnections, 0u);
  EXPECT_EQ(status.stats.failedConnections, 1u);
  EXPECT_EQ(status.stats.bytesSent, 2048u);
  EXPECT_EQ(status.stats.perApp.at("Safari").bytesReceived, 1536u);
}

TEST_F(Daemon, TheSwitchSurvivesARestartInAFileOnlyTheUserReads) {
  auto daemon = start();
  EXPECT_TRUE(printed(run({"on"}), "已开启\n"));
  EXPECT_EQ(daemon->stop(), 0);
  EXPECT_NE(daemon->log().find("已退出"), std::string::npos);

  daemon = start();
  EXPECT_NE(run({"status"}).out.find("状态      : 运行中\n"), std::string::npos);
  struct stat info {};
  ASSERT_EQ(stat((store() / "velmorad.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_TRUE(printed(run({"off"}), "已停止\n"));
  EXPECT_EQ(daemon->stop(), 0);

  daemon = start();
  EXPECT_NE(run({"status"}).out.find("状态      : 已停止\n"), std::string::npos);
}

TEST_F(Daemon, ProfilesAreListedSwitchedAndCreatedThroughIt) {
  const auto daemon = start();
  EXPECT_TRUE(printed(run({"profile", "create", "Work"}), "已创建「Work」\n"));
  EXPECT_TRUE(printed(run({"profile", "switch", "work"}), "已切换到「work」\n"));
  EXPECT_TRUE(printed(run({"profile"}),
                      "  Default  (2 条规则, 0 个代理)\n"
                      "▸ Work  (2 条规则, 0 个代理)\n"));
  EXPECT_NE(run({"status"}).out.find("当前 profile: Work\n"), std::string::npos);

  const struct {
    std::vector<std::string> arguments;
    std::string error;
  } failures[] = {
      {{"profile", "create", "WORK"}, "错误：已存在同名 profile「WORK」\n"},
      {{"profile", "switch", "Nope"}, "错误：找不到 profile「Nope」\n"},
  };
  for (const auto& failure : failures) {
    const RunResult result = run(failure.arguments);
    EXPECT_EQ(result.status, 1) << failure.arguments[1];
    EXPECT_EQ(result.err, failure.error);
  }
  EXPECT_NE(daemon->log().find("当前 profile：「Work」"), std::string::npos);
}

TEST_F(Daemon, PicksUpWhatTheToolChangesInTheFiles) {
  const auto daemon = start();
  ASSERT_EQ(run({"proxy", "add", "Home", "127.0.0.1", "1080"}).status, 0);
  ASSERT_EQ(run({"route", "set", "Safari", "proxy:Home"}).status, 0);
  EXPECT_TRUE(daemon->waitForLog("profile「Default」已更新"));
  const RunResult route = run({"test", "Safari", "apple.com"});
  EXPECT_NE(route.out.find("结果: proxy Home"), std::string::npos) << route.out << route.err;
  EXPECT_NE(run({"rule", "list"}).out.find("✓ App: Safari  应用=Safari  → proxy:Home\n"),
            std::string::npos);

  // A profile made and made active behind the daemon's back.
  ASSERT_EQ(run({"profile", "create", "Travel", "--offline"}).status, 0);
  ASSERT_EQ(run({"profile", "switch", "Travel", "--offline"}).status, 0);
  EXPECT_NE(runUntil({"status"}, "当前 profile: Travel").out.find("当前 profile: Travel"),
            std::string::npos);
  EXPECT_TRUE(daemon->waitForLog("新增 profile「Travel」"));

  // A damaged file is reported and left alone, also when the daemon writes other profiles.
  const std::filesystem::path damaged = store() / "profiles" / (UUID::random().string() + ".json");
  std::ofstream(damaged) << "{ not json";
  EXPECT_TRUE(daemon->waitForLog("无法读取，不载入也不改写"));
  ASSERT_EQ(run({"profile", "create", "Later"}).status, 0);
  std::ifstream reread(damaged);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(reread), {}), "{ not json");

  const Profile travel = ProfileStore(store()).find("Travel");
  std::filesystem::remove(store() / "profiles" / (travel.id.string() + ".json"));
  EXPECT_TRUE(daemon->waitForLog("profile「Travel」已删除"));
}

TEST_F(Daemon, LogsShowsRecordedEventsOnceAndFollowsNewOnes) {
  const auto daemon = start();
  const ConnectionEvent first = event("Safari", "apple.com", ConnectionEvent::Phase::open);
  const ConnectionEvent second = event("curl", "example.com", ConnectionEvent::Phase::blocked);
  record(first);
  record(second);

  const RunResult all = run({"logs", "--json"});
  ASSERT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(DTOCoding::decodeArray(all.out, connectionEventFromJSON),
            (std::vector<ConnectionEvent>{first, second}));
  const RunResult filtered = run({"logs", "--app", "SAFARI", "--json"});
  EXPECT_EQ(DTOCoding::decodeArray(filtered.out, connectionEventFromJSON),
            (std::vector<ConnectionEvent>{first}));
  const RunResult newest = run({"logs", "--limit", "1"});
  EXPECT_NE(newest.out.find("curl - example.com:443 blocked  [Default → direct]\n"),
            std::string::npos)
      << newest.out;
  EXPECT_EQ(newest.out.find("Safari"), std::string::npos);

  // Whether the third event lands in the first fetch or a later one, it is shown exactly once.
  const ConnectionEvent third = event("Mail", "imap.example.com", ConnectionEvent::Phase::direct);
  RunResult followed;
  std::thread follower([&] { followed = run({"logs", "--follow"}, 2500ms); });
  record(third);
  follower.join();
  const auto count = [&](std::string_view text) {
    std::size_t n = 0;
    for (std::size_t at = followed.out.find(text); at != std::string::npos;
         at = followed.out.find(text, at + 1))
      ++n;
    return n;
  };
  EXPECT_EQ(count("— 实时跟随中，Ctrl-C 退出 —"), 1u) << followed.out;
  EXPECT_EQ(count("Safari - apple.com:443 open"), 1u) << followed.out;
  EXPECT_EQ(count("Mail - imap.example.com:443 direct"), 1u) << followed.out;
}

TEST_F(Daemon, RefusesChangesWhenAutomationWritesAreOff) {
  std::filesystem::create_directories(store());
  std::ofstream(store() / "velmorad.json") << R"({"automationWritesAllowed": false})";
  const auto daemon = start();
  for (const std::vector<std::string>& change : {std::vector<std::string>{"on"},
                                                 {"profile", "create", "Work"},
                                                 {"env", "bind", "Default"}}) {
    const RunResult result = run(change);
    EXPECT_EQ(result.status, 1) << change[0];
    EXPECT_EQ(result.err, writesRefused) << change[0];
  }
  EXPECT_NE(run({"status", "--json"}).out.find("\"automationWritesAllowed\" : false"),
            std::string::npos);
  EXPECT_TRUE(printed(run({"profile"}), "▸ Default  (2 条规则, 0 个代理)\n"));

  // Allowing it in the settings file takes effect without a restart.
  std::ofstream(store() / "velmorad.json") << R"({"automationWritesAllowed": true})";
  EXPECT_TRUE(daemon->waitForLog("已允许自动化修改配置"));
  EXPECT_TRUE(printed(run({"on"}), "已开启\n"));
}

TEST_F(Daemon, ASecondDaemonFindsTheNameTaken) {
  const auto first = start();
  RunningDaemon second({.home = home.path(), .sessionBus = bus.address()});
  EXPECT_EQ(second.waitForExit(), 1);
  EXPECT_NE(second.log().find("已被占用"), std::string::npos) << second.log();
  EXPECT_NE(run({"status"}).out.find("当前 profile: Default"), std::string::npos);
}

TEST_F(Daemon, TheTestHookExistsOnlyWhenAskedFor) {
  RunningDaemon daemon({.home = home.path(), .sessionBus = bus.address(), .testHooks = false});
  ASSERT_TRUE(daemon.waitUntilReady()) << daemon.log();
  EXPECT_THROW(record(event("Safari", "apple.com", ConnectionEvent::Phase::open)), sdbus::Error);
  EXPECT_TRUE(printed(run({"logs"}), ""));
}

TEST_F(Daemon, StopsCleanlyOnSigtermWithRequestsInFlight) {
  auto daemon = start();
  // Clients keep asking until the daemon is gone; the signal comes once answers are flowing.
  int answered = 0;
  std::atomic<bool> stopped = false;
  std::mutex mutex;
  std::condition_variable progress;
  std::vector<RunResult> results;
  std::vector<std::thread> clients;
  for (int i = 0; i < 3; ++i) {
    clients.emplace_back([&] {
      for (bool last = false; !last;) {
        last = stopped;
        RunResult result = run({"rule", "list", "--json"});
        std::lock_guard lock(mutex);
        if (result.status == 0) ++answered;
        results.push_back(std::move(result));
        progress.notify_all();
      }
    });
  }
  {
    std::unique_lock lock(mutex);
    progress.wait_for(lock, 10s, [&] { return answered >= 3; });
  }
  EXPECT_EQ(daemon->stop(), 0) << daemon->log();
  stopped = true;
  for (std::thread& client : clients) client.join();
  EXPECT_NE(daemon->log().find("收到 SIGTERM，正在退出"), std::string::npos) << daemon->log();
  // Each request was answered before the end, or found nobody there; none saw anything else.
  for (const RunResult& result : results) {
    if (result.status == 0) {
      EXPECT_EQ(DTOCoding::decodeArray(result.out, ruleDTOFromJSON).size(), 2u);
    } else {
      EXPECT_EQ(result.status, 1);
      EXPECT_EQ(result.err, notRunning);
    }
  }
  // The name was given back: the next daemon gets it.
  daemon = start();
  EXPECT_NE(run({"status"}).out.find("当前 profile: Default"), std::string::npos);
}

/// A wired network inside a namespace of the test's own: a veth pair with an address, two
/// gateways with permanent neighbour entries, and a default route through the first.
class WiredNetwork : public Daemon {
 protected:
  void SetUp() override {
    if (!netns.available())
      GTEST_SKIP() << "cannot create a network namespace here (needs root and iproute2)";
    ASSERT_TRUE(netns.ip({"link", "add", "vm0", "type", "veth", "peer", "name", "vm1"}));
    ASSERT_TRUE(netns.ip({"link", "set", "vm0", "up"}));
    ASSERT_TRUE(netns.ip({"link", "set", "vm1", "up"}));
    ASSERT_TRUE(netns.ip({"address", "add", "10.77.0.2/24", "dev", "vm0"}));
    ASSERT_TRUE(netns.ip({"neigh", "replace", "10.77.0.1", "lladdr", "02:00:00:00:00:01", "dev",
                          "vm0", "nud", "permanent"}));
    ASSERT_TRUE(netns.ip({"neigh", "replace", "10.77.0.254", "lladdr", "02:00:00:00:00:FE", "dev",
                          "vm0", "nud", "permanent"}));
    ASSERT_TRUE(netns.ip({"route", "add", "default", "via", "10.77.0.1", "dev", "vm0"}));
  }

  bool routeVia(const std::string& gateway) {
    return netns.ip({"route", "replace", "default", "via", gateway, "dev", "vm0"});
  }

  NetworkNamespace netns;
};

TEST_F(WiredNetwork, ABoundGatewaySwitchesTheProfileWhenTheNetworkChanges) {
  const auto daemon = start(netns.name());
  const std::string office = "有线 10.77.0.0/24（网关 02:00:00:00:00:01）";
  const std::string lab = "有线 10.77.0.0/24（网关 02:00:00:00:00:fe）";
  EXPECT_TRUE(daemon->waitForLog("网络环境：" + office)) << daemon->log();
  ASSERT_EQ(run({"profile", "create", "Office"}).status, 0);
  ASSERT_EQ(run({"profile", "create", "Lab"}).status, 0);
  EXPECT_TRUE(printed(run({"env", "bind", "Office"}),
                      "已把当前网络环境绑定到「Office」— 下次回到这个网络会自动切过去\n"));
  EXPECT_TRUE(printed(run({"env", "list"}), "Office ← " + office + "\n"));
  EXPECT_NE(run({"status"}).out.find("网络环境  : " + office + "\n"), std::string::npos);

  // Another gateway on the same subnet is another network, bound to nothing yet.
  ASSERT_EQ(run({"profile", "switch", "Lab"}).status, 0);
  ASSERT_TRUE(routeVia("10.77.0.254"));
  EXPECT_TRUE(daemon->waitForLog("网络环境：" + lab));
  EXPECT_TRUE(printed(run({"env", "bind", "Lab"}),
                      "已把当前网络环境绑定到「Lab」— 下次回到这个网络会自动切过去\n"));

  ASSERT_TRUE(routeVia("10.77.0.1"));
  EXPECT_NE(runUntil({"status"}, "当前 profile: Office").out.find("网络环境  : " + office),
            std::string::npos);
  ASSERT_TRUE(routeVia("10.77.0.254"));
  EXPECT_NE(runUntil({"status"}, "当前 profile: Lab").out.find("网络环境  : " + lab),
            std::string::npos);
  EXPECT_TRUE(daemon->waitForLog("这个网络绑定了「Lab」，已切换过去"));
}

/// Just enough of NetworkManager on the test's own system bus: a primary connection that is a
/// Wi-Fi one, on an access point whose SSID the test sets.
class FakeNetworkManager {
 public:
  explicit FakeNetworkManager(std::string ssid)
      : connection_(sdbus::createSystemBusConnection("org.freedesktop.NetworkManager")),
        ssid_(std::move(ssid)) {
    const std::string manager = "org.freedesktop.NetworkManager";
    root_ = sdbus::createObject(*connection_, "/org/freedesktop/NetworkManager");
    root_->registerProperty("PrimaryConnection").onInterface(manager).withGetter([] {
      return sdbus::ObjectPath("/org/freedesktop/NetworkManager/ActiveConnection/1");
    });
    root_->finishRegistration();
    active_ =
        sdbus::createObject(*connection_, "/org/freedesktop/NetworkManager/ActiveConnection/1");
    active_->registerProperty("Type").onInterface(manager + ".Connection.Active").withGetter([] {
      return std::string("802-11-wireless");
    });
    active_->registerProperty("SpecificObject")
        .onInterface(manager + ".Connection.Active")
        .withGetter(
            [] { return sdbus::ObjectPath("/org/freedesktop/NetworkManager/AccessPoint/1"); });
    active_->finishRegistration();
    point_ = sdbus::createObject(*connection_, "/org/freedesktop/NetworkManager/AccessPoint/1");
    point_->registerProperty("Ssid").onInterface(manager + ".AccessPoint").withGetter([this] {
      std::lock_guard lock(mutex_);
      return std::vector<std::uint8_t>(ssid_.begin(), ssid_.end());
    });
    point_->finishRegistration();
    connection_->enterEventLoopAsync();
  }
  ~FakeNetworkManager() { connection_->leaveEventLoop(); }

  /// Moves to another access point and announces it, as NetworkManager does.
  void join(std::string ssid) {
    {
      std::lock_guard lock(mutex_);
      ssid_ = std::move(ssid);
    }
    point_->emitPropertiesChangedSignal("org.freedesktop.NetworkManager.AccessPoint", {"Ssid"});
  }

 private:
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<sdbus::IObject> root_;
  std::unique_ptr<sdbus::IObject> active_;
  std::unique_ptr<sdbus::IObject> point_;
  std::mutex mutex_;
  std::string ssid_;
};

TEST_F(Daemon, TheWifiSsidComesFromNetworkManager) {
  systemBus.emplace(BusKind::system);
  FakeNetworkManager networkManager("HomeNet");
  // Inside an empty namespace the kernel has no route, so only NetworkManager describes the
  // network; elsewhere the SSID takes precedence over the wired side anyway.
  NetworkNamespace empty;
  const auto daemon = start(empty.available() ? std::optional(empty.name()) : std::nullopt);
  EXPECT_TRUE(daemon->waitForLog("网络环境：Wi-Fi「HomeNet」")) << daemon->log();
  ASSERT_EQ(run({"profile", "create", "Home"}).status, 0);
  ASSERT_EQ(run({"profile", "create", "Cafe"}).status, 0);
  ASSERT_EQ(run({"env", "bind", "Home"}).status, 0);
  EXPECT_TRUE(printed(run({"env", "list"}), "Home ← HomeNet\n"));

  ASSERT_EQ(run({"profile", "switch", "Cafe"}).status, 0);
  networkManager.join("CafeNet");
  EXPECT_TRUE(daemon->waitForLog("网络环境：Wi-Fi「CafeNet」"));
  ASSERT_EQ(run({"env", "bind", "Cafe"}).status, 0);
  networkManager.join("homenet");
  const RunResult status = runUntil({"status"}, "当前 profile: Home");
  EXPECT_NE(status.out.find("网络环境  : HomeNet\n"), std::string::npos) << status.out;

  // One network leads to one profile: binding it elsewhere moves the binding.
  ASSERT_EQ(run({"env", "bind", "Cafe"}).status, 0);
  EXPECT_TRUE(printed(run({"env", "list"}), "Cafe ← CafeNet\nCafe ← homenet\n"));
}

TEST_F(Daemon, BindingNeedsANetworkToBind) {
  NetworkNamespace empty;
  if (!empty.available())
    GTEST_SKIP() << "cannot create a network namespace here (needs root and iproute2)";
  const auto daemon = start(empty.name());
  const RunResult result = run({"env", "bind", "Default"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "错误：认不出当前的网络环境 — 连上 Wi-Fi 或有线网络后再绑定\n");
  EXPECT_TRUE(printed(run({"env", "list", "--json"}), "[]\n"));
}

}  // namespace
}  // namespace velmora
