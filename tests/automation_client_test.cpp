// The automation client against an application served on a private session bus: what reaches the
// application, what comes back, how failures read, and how long absence takes to notice.
#include "automation_client.h"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kit/automation_protocol.h"
#include "kit/automation_service.h"
#include "kit/events.h"
#include "kit/profile_store.h"
#include "served_application.h"
#include "test_support.h"

namespace velmora::cli {
namespace {

using namespace std::chrono_literals;
using Kind = AutomationClient::Error::Kind;
using velmora::testing::EventLoop;
using velmora::testing::PrivateBus;
using velmora::testing::RecordingApplication;
using velmora::testing::ServedApplication;
using velmora::testing::ScopedEnvironmentVariable;
using velmora::testing::ScratchDirectory;

const std::string notRunningText = "Velmora 没有在运行 — 打开它，或用 --offline 直接改配置文件";

json::Date at(std::string_view text) {
  return *json::parseISO8601(text);
}

/// The AutomationClient::Error that running body throws, or nothing when it throws none.
std::optional<AutomationClient::Error> clientError(const std::function<void()>& body) {
  try {
    body();
  } catch (const AutomationClient::Error& error) {
    return error;
  }
  return std::nullopt;
}

/// How long body took.
std::chrono::milliseconds timed(const std::function<void()>& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start);
}

class AutomationClientOnBus : public ::testing::Test {
 protected:
  PrivateBus bus;
  RecordingApplication app;
};

// What the tool asks for and gets back.

TEST_F(AutomationClientOnBus, StatusArrivesAndDecodesWithItsCounters) {
  StatsSnapshot stats{.startedAt = at("2025-03-01T08:30:00Z"),
                      .totalConnections = 42,
                      .activeConnections = 3,
                      .failedConnections = 2,
                      .blockedConnections = 5,
                      .bytesSent = 1ull << 40,
                      .bytesReceived = 123456789};
  stats.perApp["Safari"] = {.connections = 40, .bytesSent = 1000, .bytesReceived = 2000};
  const StatusDTO status{.enabled = true,
                         .extensionInstalled = true,
                         .activeProfile = "工作",
                         .currentEnvironment = "家里 Wi-Fi",
                         .stats = stats,
                         .automationWritesAllowed = false};
  app.answer("GetStatus", DTOCoding::encode(status));
  ServedApplication served(app);

  AutomationClient client;
  EXPECT_TRUE(client.isAppRunning());
  EXPECT_EQ(DTOCoding::decode(client.getStatus(), statusDTOFromJSON), status);
}

TEST_F(AutomationClientOnBus, ProfileListDecodesInOrder) {
  const std::vector<ProfileSummaryDTO> profiles = {{.name = "Default",
                                                    .isActive = false,
                                                    .ruleCount = 2,
                                                    .proxyCount = 0,
                                                    .boundEnvironments = {}},
                                                   {.name = "工作",
                                                    .isActive = true,
                                                    .ruleCount = 7,
                                                    .proxyCount = 3,
                                                    .boundEnvironments = {"办公室", "VPN"}}};
  app.answer("ListProfiles", DTOCoding::encode(profiles));
  ServedApplication served(app);

  AutomationClient client;
  EXPECT_EQ(DTOCoding::decodeArray(client.listProfiles(), profileSummaryDTOFromJSON), profiles);
}

TEST_F(AutomationClientOnBus, RuleListSendsTheSearchWordOrNone) {
  const std::vector<RuleDTO> rules = {{.name = "SSH 直连",
                                       .enabled = true,
                                       .apps = {"ssh"},
                                       .hosts = {"*.example.com"},
                                       .ports = {"22"},
                                       .action = "direct",
                                       .locked = false}};
  app.answer("ListRules", DTOCoding::encode(rules));
  ServedApplication served(app);

  AutomationClient client;
  EXPECT_EQ(DTOCoding::decodeArray(client.listRules(std::nullopt), ruleDTOFromJSON), rules);
  EXPECT_EQ(DTOCoding::decodeArray(client.listRules("ssh"), ruleDTOFromJSON), rules);
  EXPECT_EQ(app.requests(), (std::vector<std::string>{"ListRules(none)", "ListRules(\"ssh\")"}));
}

TEST_F(AutomationClientOnBus, TestRouteCarriesApplicationHostAndPort) {
  app.route = [](const std::string& application, const std::string& host, std::uint16_t port) {
    return DTOCoding::encode(
        TestRouteDTO{.action = "proxy " + application,
                     .matchedRule = host + ":" + std::to_string(port),
                     .trace = {"跳过「Localhost」：主机不匹配", "命中「" + host + "」"}});
  };
  ServedApplication served(app);

  AutomationClient client;
  const TestRouteDTO answer =
      DTOCoding::decode(client.testRoute("Safari", "10.1.2.3", 443), testRouteDTOFromJSON);
  EXPECT_EQ(answer, (TestRouteDTO{.action = "proxy Safari",
                                  .matchedRule = "10.1.2.3:443",
                                  .trace = {"跳过「Localhost」：主机不匹配", "命中「10.1.2.3」"}}));
  // The whole port range travels unsigned.
  EXPECT_EQ(DTOCoding::decode(client.testRoute("curl", "example.com", 65535), testRouteDTOFromJSON)
                .matchedRule,
            "example.com:65535");
}

TEST_F(AutomationClientOnBus, QueryConnectionsCarriesTheFilterAndDecodesEvents) {
  const ConnectionEvent event{.id = UUID::random(),
                              .date = at("2025-03-01T08:30:00Z"),
                              .app = "Safari",
                              .bundleID = "com.example.safari",
                              .host = "example.com",
                              .port = 443,
                              .transport = FlowTransport::tcp,
                              .phase = ConnectionEvent::Phase::close,
                              .ruleName = "工作代理",
                              .route = "proxy 家里",
                              .bytesSent = 1200,
                              .bytesReceived = 34000,
                              .lifetime = 2.5};
  // Written on the bus thread, read here.
  std::mutex receivedMutex;
  std::optional<ConnectionQueryDTO> received;
  app.connections = [&](const std::string& filterJSON) {
    const std::lock_guard lock(receivedMutex);
    received = DTOCoding::decode(filterJSON, connectionQueryDTOFromJSON);
    return DTOCoding::encode(std::vector<ConnectionEvent>{event, event});
  };
  ServedApplication served(app);

  AutomationClient client;
  const ConnectionQueryDTO filter{.app = "Safari", .sinceMinutes = 30, .limit = 2};
  EXPECT_EQ(DTOCoding::decodeArray(client.queryConnections(DTOCoding::encode(filter)),
                                   connectionEventFromJSON),
            (std::vector<ConnectionEvent>{event, event}));
  const std::lock_guard lock(receivedMutex);
  EXPECT_EQ(received, filter);
}

TEST_F(AutomationClientOnBus, EveryOperationReachesItsOwnMethodWithItsArguments) {
  ServedApplication served(app);
  AutomationClient client;

  // Each data answer names its method, so an answer handed to the wrong operation shows.
  EXPECT_EQ(client.getStatus(), R"(["GetStatus"])");
  client.setEnabled(true);
  client.setEnabled(false);
  EXPECT_EQ(client.listProfiles(), R"(["ListProfiles"])");
  client.switchProfile("工作");
  client.createProfile("新配置");
  EXPECT_EQ(client.listEnvironments(), R"(["ListEnvironments"])");
  client.bindCurrentEnvironment("工作");
  EXPECT_EQ(client.listRules("git"), R"(["ListRules"])");
  client.addRule(R"({"name":"a"})");
  client.updateRule(R"({"name":"b"})");
  client.removeRule("c");
  client.setRuleEnabled("d", false);
  client.setRuleEnabled("e", true);
  EXPECT_EQ(client.listProxies(), R"(["ListProxies"])");
  client.addProxy(R"({"name":"p"})");
  client.setRoute("Safari", "proxy:家里");
  EXPECT_EQ(client.testRoute("Safari", "example.com", 80), R"(["TestRoute"])");
  EXPECT_EQ(client.queryConnections("{}"), R"(["QueryConnections"])");
  EXPECT_EQ(client.exportProfile("工作"), R"(["ExportProfile"])");
  client.importProfile(R"({"name":"导入"})");

  EXPECT_EQ(app.requests(), (std::vector<std::string>{
                                "GetStatus()",
                                "SetEnabled(true)",
                                "SetEnabled(false)",
                                "ListProfiles()",
                                "SwitchProfile(工作)",
                                "CreateProfile(新配置)",
                                "ListEnvironments()",
                                "BindCurrentEnvironment(工作)",
                                "ListRules(\"git\")",
                                R"(AddRule({"name":"a"}))",
                                R"(UpdateRule({"name":"b"}))",
                                "RemoveRule(c)",
                                "SetRuleEnabled(d, false)",
                                "SetRuleEnabled(e, true)",
                                "ListProxies()",
                                R"(AddProxy({"name":"p"}))",
                                "SetRoute(Safari, proxy:家里)",
                                "TestRoute(Safari, example.com, 80)",
                                "QueryConnections({})",
                                "ExportProfile(工作)",
                                R"(ImportProfile({"name":"导入"}))",
                            }));
}

// How failures read.

TEST_F(AutomationClientOnBus, ApplicationErrorsSurfaceWithExactlyTheirText) {
  app.fail("SwitchProfile", velmora::Error("没有名为「工作」的配置"));
  app.fail("ListProfiles", ProfileStore::Error::notFound("配置「x」"));
  app.fail("CreateProfile", std::runtime_error("无法写入「/tmp/p.json」：No space left on device"));
  ServedApplication served(app);
  AutomationClient client;

  const auto switched = clientError([&] { client.switchProfile("工作"); });
  ASSERT_TRUE(switched);
  EXPECT_EQ(switched->kind(), Kind::remote);
  EXPECT_EQ(switched->description(), "没有名为「工作」的配置");

  const auto listed = clientError([&] { client.listProfiles(); });
  ASSERT_TRUE(listed);
  EXPECT_EQ(listed->kind(), Kind::remote);
  EXPECT_EQ(listed->description(), ProfileStore::Error::notFound("配置「x」").description());

  // A failure that is not one of the application's own kinds still reaches the user, and the
  // serving side lives on.
  const auto created = clientError([&] { client.createProfile("p"); });
  ASSERT_TRUE(created);
  EXPECT_EQ(created->kind(), Kind::remote);
  EXPECT_EQ(created->description(), "无法写入「/tmp/p.json」：No space left on device");

  EXPECT_EQ(client.getStatus(), R"(["GetStatus"])");
}

TEST_F(AutomationClientOnBus, EmptyBodyIsTheEmptyReplyAndNotARunningApplication) {
  app.answer("GetStatus", "");
  app.answer("ListRules", "");
  ServedApplication served(app);
  AutomationClient client;

  for (const auto& request : std::vector<std::function<void()>>{
           [&] { client.getStatus(); }, [&] { client.listRules(std::nullopt); }}) {
    const auto failure = clientError(request);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Kind::remote);
    EXPECT_EQ(failure->description(), "空响应");
  }
  EXPECT_FALSE(client.isAppRunning());
}

TEST_F(AutomationClientOnBus, UndecodableBodyGivesTheDecodersErrorNotARemoteOne) {
  // A status without automationWritesAllowed.
  const std::string body =
      R"({"activeProfile":"A","enabled":true,"extensionInstalled":true,"stats":)" +
      DTOCoding::encode(StatsSnapshot{.startedAt = at("2025-01-01T00:00:00Z")}) + "}";
  app.answer("GetStatus", body);
  ServedApplication served(app);
  AutomationClient client;

  // A body is an answer: the probe does not decode it.
  EXPECT_TRUE(client.isAppRunning());
  const std::string received = client.getStatus();
  EXPECT_EQ(received, body);
  EXPECT_THROW(DTOCoding::decode(received, statusDTOFromJSON), json::DecodingError);
}

TEST_F(AutomationClientOnBus, ApplicationRefusingTheProbeIsNotRunning) {
  app.fail("GetStatus", velmora::Error("正在退出"));
  ServedApplication served(app);
  AutomationClient client;
  EXPECT_FALSE(client.isAppRunning());
}

// Noticing absence.

TEST_F(AutomationClientOnBus, NobodyOwningTheNameIsAnsweredAtOnce) {
  AutomationClient client;
  bool running = true;
  EXPECT_LT(timed([&] { running = client.isAppRunning(); }), 1s);
  EXPECT_FALSE(running);

  std::optional<AutomationClient::Error> failure;
  EXPECT_LT(timed([&] { failure = clientError([&] { client.getStatus(); }); }), 1s);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), Kind::appNotRunning);
  EXPECT_EQ(failure->description(), notRunningText);

  EXPECT_LT(timed([&] { failure = clientError([&] { client.setEnabled(true); }); }), 1s);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), Kind::appNotRunning);
}

TEST_F(AutomationClientOnBus, OwnerWithoutTheInterfaceIsNotRunning) {
  // Some other program holding the name, exporting nothing at the interface's path.
  const auto other =
      sdbus::createSessionBusConnection(std::string(SharedPaths::automationMachService));
  other->enterEventLoopAsync();
  AutomationClient client;

  EXPECT_FALSE(client.isAppRunning());
  const auto failure = clientError([&] { client.listProfiles(); });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), Kind::appNotRunning);
  other->leaveEventLoop();
}

TEST_F(AutomationClientOnBus, ApplicationComingAndGoingIsSeenBySameClient) {
  AutomationClient client;
  EXPECT_FALSE(client.isAppRunning());
  {
    ServedApplication served(app);
    EXPECT_TRUE(client.isAppRunning());
    EXPECT_EQ(client.listProfiles(), R"(["ListProfiles"])");
  }
  std::optional<AutomationClient::Error> failure;
  EXPECT_LT(timed([&] { failure = clientError([&] { client.listProfiles(); }); }), 1s);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), Kind::appNotRunning);
}

TEST_F(AutomationClientOnBus, SilentOwnerCostsTheFullLimit) {
  ServedApplication silent(app, EventLoop::stopped);
  AutomationClient client({.probe = 300ms, .call = 500ms});

  bool running = true;
  const auto probe = timed([&] { running = client.isAppRunning(); });
  EXPECT_FALSE(running);
  EXPECT_GE(probe, 300ms);
  EXPECT_LT(probe, 2300ms);

  std::optional<AutomationClient::Error> failure;
  const auto call = timed([&] { failure = clientError([&] { client.getStatus(); }); });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), Kind::appNotRunning);
  EXPECT_EQ(failure->description(), notRunningText);
  EXPECT_GE(call, 500ms);
  EXPECT_LT(call, 2500ms);

  failure = std::nullopt;
  EXPECT_GE(timed([&] { failure = clientError([&] { client.setEnabled(false); }); }), 500ms);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), Kind::appNotRunning);
}

TEST(AutomationClientActivation, NeverAsksTheBusToStartTheApplication) {
  // A bus that knows how to start "the application": a program that leaves a mark and fails, so
  // that the bus answers as soon as it has run.
  ScratchDirectory scratch;
  const std::filesystem::path mark = scratch.path() / "started";
  std::filesystem::create_directories(scratch.path() / "dbus-1" / "services");
  std::ofstream(scratch.path() / "dbus-1" / "services" / "io.velmora.Automation.service")
      << "[D-BUS Service]\nName=" << SharedPaths::automationMachService
      << "\nExec=/bin/sh -c 'touch " << mark.string() << "; exit 1'\n";
  const ScopedEnvironmentVariable dataHome("XDG_DATA_HOME", scratch.path().string());
  PrivateBus bus;

  AutomationClient client;
  EXPECT_FALSE(client.isAppRunning());
  const auto failure = clientError([&] { client.getStatus(); });
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->kind(), Kind::appNotRunning);
  EXPECT_FALSE(std::filesystem::exists(mark));

  // The arrangement is live: a request to the name that allows starting does start the program.
  const auto connection = sdbus::createSessionBusConnection();
  const auto proxy =
      sdbus::createProxy(*connection, std::string(SharedPaths::automationMachService),
                         std::string(AutomationBus::objectPath));
  EXPECT_THROW(
      proxy->callMethod(
          proxy->createMethodCall(std::string(AutomationBus::interfaceName), "GetStatus"), 5s),
      sdbus::Error);
  EXPECT_TRUE(std::filesystem::exists(mark));
}

TEST(AutomationClientWithoutBus, AnswersNotRunningAtOnce) {
  ScratchDirectory scratch;
  struct Case {
    const char* name;
    std::optional<std::string> address;
  };
  // Without any address sd-bus would look under XDG_RUNTIME_DIR; with that gone too there is no
  // session bus to find at all.
  const ScopedEnvironmentVariable noRuntimeDirectory("XDG_RUNTIME_DIR", std::nullopt);
  for (const Case& test :
       {Case{"address of nothing", "unix:path=" + (scratch.path() / "no-bus").string()},
        Case{"no address", std::nullopt}}) {
    SCOPED_TRACE(test.name);
    const ScopedEnvironmentVariable address("DBUS_SESSION_BUS_ADDRESS", test.address);
    AutomationClient client;
    bool running = true;
    EXPECT_LT(timed([&] { running = client.isAppRunning(); }), 1s);
    EXPECT_FALSE(running);

    std::optional<AutomationClient::Error> failure;
    EXPECT_LT(timed([&] { failure = clientError([&] { client.getStatus(); }); }), 1s);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Kind::appNotRunning);
    EXPECT_EQ(failure->description(), notRunningText);
  }
}

TEST(AutomationClientError, WritesNotAllowedTellsWhereToAllowThem) {
  const AutomationClient::Error error = AutomationClient::Error::writesNotAllowed();
  EXPECT_EQ(error.kind(), Kind::writesNotAllowed);
  EXPECT_EQ(error.description(),
            "自动化写操作未开启 — 在 Velmora 设置里打开「允许自动化修改配置」");
}

}  // namespace
}  // namespace velmora::cli
