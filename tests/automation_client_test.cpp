// The automation client against an application served on a private session bus: what reaches the
// application, what comes back, how failures read, and how long absence takes to notice.
#include "automation_client.h"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "kit/automation_protocol.h"
#include "kit/automation_service.h"
#include "kit/events.h"
#include "served_application.h"
#include "test_support.h"

namespace velmora::cli {
namespace {

using namespace std::chrono_literals;
using Kind = AutomationClient::Error::Kind;
using velmora::testing::EventLoop;
using velmora::testing::PrivateBus;
using velmora::testing::RecordingApplication;
using velmora::testing::ScopedEnvironmentVariable;
using velmora::testing::ScratchDirectory;
using velmora::testing::ServedApplication;

const std::string notRunningText =
    "Velmora 没有在运行 — 这个命令要用到它：先启动 velmorad（systemctl --user start velmorad）";

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

/// Expects the client to find the application absent at once: the probe says no, and a data and a
/// status request fail with the not-running text.
void expectAbsentAtOnce(AutomationClient& client) {
  bool running = true;
  EXPECT_LT(timed([&] { running = client.isAppRunning(); }), 1s);
  EXPECT_FALSE(running);
  for (const auto& request : std::vector<std::function<void()>>{[&] { client.getStatus(); },
                                                                [&] { client.setEnabled(true); }}) {
    std::optional<AutomationClient::Error> failure;
    EXPECT_LT(timed([&] { failure = clientError(request); }), 1s);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Kind::appNotRunning);
    EXPECT_EQ(failure->description(), notRunningText);
  }
}

class AutomationClientOnBus : public ::testing::Test {
 protected:
  PrivateBus bus;
  RecordingApplication app;
};

// What the tool asks for and gets back.

TEST_F(AutomationClientOnBus, StatusBodyIsPassedOnAsItCameEvenOneThatWouldNotDecode) {
  // A status missing nearly everything; the records' own tests hold the decoding.
  const std::string body = R"({"activeProfile":"工作","stats":{"bytesSent":1099511627776}})";
  app.answer("GetStatus", body);
  ServedApplication served(app);
  AutomationClient client;
  // A body is an answer: the probe does not decode it, and the caller's decoder meets it.
  EXPECT_TRUE(client.isAppRunning());
  EXPECT_EQ(client.getStatus(), body);
}

TEST_F(AutomationClientOnBus, EveryOperationReachesItsOwnMethodWithItsArguments) {
  ServedApplication served(app);
  AutomationClient client;
  // Each operation and the request the application sees; the on, off, profile and env bind
  // commands check theirs. The whole port range travels unsigned, and no search word arrives as
  // none.
  const std::vector<std::pair<std::function<std::string()>, std::string>> dataRequests = {
      {[&] { return client.getStatus(); }, "GetStatus()"},
      {[&] { return client.listProfiles(); }, "ListProfiles()"},
      {[&] { return client.listEnvironments(); }, "ListEnvironments()"},
      {[&] { return client.listRules("git"); }, "ListRules(\"git\")"},
      {[&] { return client.listRules(std::nullopt); }, "ListRules(none)"},
      {[&] { return client.listProxies(); }, "ListProxies()"},
      {[&] { return client.testRoute("Safari", "a.example", 65535); },
       "TestRoute(Safari, a.example, 65535)"},
      {[&] { return client.queryConnections("{}"); }, "QueryConnections({})"},
      {[&] { return client.exportProfile("工作"); }, "ExportProfile(工作)"},
  };
  const std::vector<std::pair<std::function<void()>, std::string>> statusRequests = {
      {[&] { client.addRule(R"({"name":"a"})"); }, R"(AddRule({"name":"a"}))"},
      {[&] { client.updateRule(R"({"name":"b"})"); }, R"(UpdateRule({"name":"b"}))"},
      {[&] { client.removeRule("c"); }, "RemoveRule(c)"},
      {[&] { client.setRuleEnabled("d", false); }, "SetRuleEnabled(d, false)"},
      {[&] { client.setRuleEnabled("e", true); }, "SetRuleEnabled(e, true)"},
      {[&] { client.addProxy(R"({"name":"p"})"); }, R"(AddProxy({"name":"p"}))"},
      {[&] { client.setRoute("Safari", "proxy:家里"); }, "SetRoute(Safari, proxy:家里)"},
      {[&] { client.importProfile(R"({"name":"导入"})"); }, R"(ImportProfile({"name":"导入"}))"},
  };

  std::vector<std::string> expected;
  for (const auto& [ask, request] : dataRequests) {
    // Each data answer names its method, so an answer handed to the wrong operation shows.
    EXPECT_EQ(ask(), "[\"" + request.substr(0, request.find('(')) + "\"]") << request;
    expected.push_back(request);
  }
  for (const auto& [tell, request] : statusRequests) {
    tell();
    expected.push_back(request);
  }
  EXPECT_EQ(app.requests(), expected);
}

// How failures read.

TEST_F(AutomationClientOnBus, ApplicationErrorsAndEmptyBodiesSurfaceWithExactlyTheirText) {
  app.fail("SwitchProfile", velmora::Error("没有名为「工作」的配置"));
  // A failure that is not one of the application's own kinds still reaches the user.
  app.fail("CreateProfile", std::runtime_error("无法写入「/tmp/p.json」：No space left on device"));
  app.fail("GetStatus", velmora::Error("正在退出"));
  app.answer("ListRules", "");
  ServedApplication served(app);
  AutomationClient client;

  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { client.switchProfile("工作"); }, "没有名为「工作」的配置"},
      {[&] { client.createProfile("p"); }, "无法写入「/tmp/p.json」：No space left on device"},
      {[&] { client.listRules(std::nullopt); }, "空响应"}};
  for (const auto& [request, text] : cases) {
    const auto failure = clientError(request);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Kind::remote);
    EXPECT_EQ(failure->description(), text);
  }
  // An application refusing the probe is not running; the serving side lives on.
  EXPECT_FALSE(client.isAppRunning());
  EXPECT_EQ(client.listProfiles(), R"(["ListProfiles"])");
}

// Noticing absence.

TEST_F(AutomationClientOnBus, NobodyOwningTheNameOrAnOwnerWithoutTheInterfaceIsNotRunning) {
  AutomationClient client;
  expectAbsentAtOnce(client);
  // Some other program holding the name, exporting nothing at the interface's path.
  const auto other =
      sdbus::createSessionBusConnection(std::string(SharedPaths::automationMachService));
  other->enterEventLoopAsync();
  expectAbsentAtOnce(client);
  other->leaveEventLoop();
}

TEST_F(AutomationClientOnBus, SilentOwnerCostsTheFullLimit) {
  ServedApplication silent(app, EventLoop::stopped);
  AutomationClient client({.probe = 300ms, .call = 500ms});

  bool running = true;
  const auto probe = timed([&] { running = client.isAppRunning(); });
  EXPECT_FALSE(running);
  EXPECT_GE(probe, 300ms);
  EXPECT_LT(probe, 2300ms);

  for (const auto& request : std::vector<std::function<void()>>{
           [&] { client.getStatus(); }, [&] { client.setEnabled(false); }}) {
    std::optional<AutomationClient::Error> failure;
    const auto call = timed([&] { failure = clientError(request); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->kind(), Kind::appNotRunning);
    EXPECT_EQ(failure->description(), notRunningText);
    EXPECT_GE(call, 500ms);
    EXPECT_LT(call, 2500ms);
  }
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
  // Without any address sd-bus would look under XDG_RUNTIME_DIR; with that gone too there is no
  // session bus to find at all.
  const ScopedEnvironmentVariable noRuntimeDirectory("XDG_RUNTIME_DIR", std::nullopt);
  for (const std::optional<std::string>& address :
       {std::optional<std::string>("unix:path=" + (scratch.path() / "no-bus").string()),
        std::optional<std::string>()}) {
    SCOPED_TRACE(address.value_or("no address"));
    const ScopedEnvironmentVariable variable("DBUS_SESSION_BUS_ADDRESS", address);
    AutomationClient client;
    expectAbsentAtOnce(client);
  }
}

}  // namespace
}  // namespace velmora::cli
