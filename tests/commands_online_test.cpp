// velmoractl against an application served on a private bus: what each command asks for, what
// it prints, and how the application's failures and silences reach the user.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>

#include "kit/events.h"
#include "kit/profile_store.h"
#include "served_application.h"
#include "test_support.h"

namespace velmora {
namespace {

using namespace std::chrono_literals;
using testing::EventLoop;
using testing::PrivateBus;
using testing::RecordingApplication;
using testing::RunResult;
using testing::ScratchDirectory;
using testing::ServedApplication;

json::Date at(std::string_view text) {
  return *json::parseISO8601(text);
}

std::string statusBody() {
  StatsSnapshot stats{.startedAt = at("2025-03-01T08:00:00Z"),
                      .totalConnections = 1234,
                      .activeConnections = 12,
                      .failedConnections = 3,
                      .blockedConnections = 5,
                      .bytesSent = 1572864,
                      .bytesReceived = 1536};
  return DTOCoding::encode(StatusDTO{.enabled = true,
                                     .extensionInstalled = true,
                                     .activeProfile = "Work",
                                     .currentEnvironment = "Office Wi-Fi",
                                     .stats = stats,
                                     .automationWritesAllowed = false});
}

ConnectionEvent event(std::string host, ConnectionEvent::Phase phase, json::Date date) {
  return ConnectionEvent{.id = UUID::random(),
                         .date = date,
                         .app = "Safari",
                         .host = std::move(host),
                         .port = 443,
                         .transport = FlowTransport::tcp,
                         .phase = phase,
                         .route = "direct"};
}

/// "[MM.dd HH:mm:ss] " in this machine's local time, as the tool prints it.
std::string stamp(json::Date date) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(date);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "[%m.%d %H:%M:%S] ", &local);
  return text;
}

class OnlineCommands : public ::testing::Test {
 protected:
  OnlineCommands() { app.answer("GetStatus", statusBody()); }

  RunResult run(const std::vector<std::string>& arguments,
                std::optional<std::chrono::milliseconds> interruptAfter = std::nullopt) {
    return testing::runVelmoractl(arguments, home_.path(), {.interruptAfter = interruptAfter});
  }

  ProfileStore store() { return ProfileStore(home_.path() / ".config" / "Velmora"); }

  PrivateBus bus;
  RecordingApplication app;

 private:
  ScratchDirectory home_;
};

TEST_F(OnlineCommands, StatusShowsTheApplicationsStateAndCounters) {
  ServedApplication served(app);
  const RunResult result = run({"status"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out,
            "状态      : 运行中\n"
            "当前 profile: Work\n"
            "网络环境  : Office Wi-Fi\n"
            "连接      : 总 1234 · 活跃 12 · 失败 3\n"
            "流量      : ↑ 1.5 MB  ↓ 1.5 KB\n");
  const json::Value status = json::parse(run({"status", "--json"}).out);
  EXPECT_EQ(status["stats"]["blockedConnections"], 5);
  EXPECT_EQ(status["currentEnvironment"], "Office Wi-Fi");
}

TEST_F(OnlineCommands, SwitchProfilesAndRulesGoToTheApplication) {
  app.answer("ListProfiles",
             DTOCoding::encode(std::vector<ProfileSummaryDTO>{
                 {"Home", false, 2, 1, {}}, {"Work", true, 5, 2, {"Office", "Lab"}}}));
  app.answer("ListRules", DTOCoding::encode(std::vector<RuleDTO>{
                              {"Localhost", true, {}, {"localhost"}, {}, "direct", true},
                              {"Mail", false, {"Mail"}, {}, {"993"}, "proxy:Corp", false}}));
  ServedApplication served(app);
  EXPECT_EQ(run({"on"}).out, "已开启\n");
  EXPECT_EQ(run({"off"}).out, "已停止\n");
  EXPECT_EQ(run({"profile"}).out,
            "  Home  (2 条规则, 1 个代理)\n▸ Work  (5 条规则, 2 个代理)  ← Office, Lab\n");
  EXPECT_EQ(run({"profile", "switch", "Home"}).out, "已切换到「Home」\n");
  EXPECT_EQ(run({"profile", "create", "New"}).out, "已创建「New」\n");
  EXPECT_EQ(run({"env", "bind", "Home"}).out,
            "已把当前网络环境绑定到「Home」— 下次回到这个网络会自动切过去\n");
  EXPECT_EQ(run({"rule", "list", "-s", "mail"}).out,
            "✓ Localhost 🔒  主机=localhost  → direct\n✗ Mail  应用=Mail 端口=993  → proxy:Corp\n");

  const std::vector<std::string> requests = app.requests();
  const auto asked = [&](const std::string& request) {
    return std::find(requests.begin(), requests.end(), request) != requests.end();
  };
  EXPECT_TRUE(asked("SetEnabled(true)"));
  EXPECT_TRUE(asked("SetEnabled(false)"));
  EXPECT_TRUE(asked("SwitchProfile(Home)"));
  EXPECT_TRUE(asked("CreateProfile(New)"));
  EXPECT_TRUE(asked("BindCurrentEnvironment(Home)"));
  EXPECT_TRUE(asked("ListRules(\"mail\")"));
}

TEST_F(OnlineCommands, EnvUnbindAsksForTheNetworkAndChangesTheFiles) {
  const auto bound = [](std::string name) {
    return NetworkEnvironment{UUID::random(), std::move(name), NetworkEnvironment::Kind::wifi("x")};
  };
  store().create("Work");
  store().save(store().find("Work").with({.environments = std::vector{bound("Office Wi-Fi")}}));
  store().save(store().activeProfile().with(
      {.environments = std::vector{bound("Office Wi-Fi"), bound("Lab")}}));
  ServedApplication served(app);
  EXPECT_EQ(run({"env", "unbind"}).out, "已解除当前网络环境「Office Wi-Fi」的绑定\n");
  EXPECT_EQ(run({"env", "list"}).out, "Default ← Lab\n");
  EXPECT_EQ(run({"env", "unbind"}).err,
            "错误：当前网络环境「Office Wi-Fi」没有绑定到任何 profile\n");
}

TEST_F(OnlineCommands, TestAsksTheApplication) {
  app.route = [](const std::string& application, const std::string& host, std::uint16_t port) {
    return DTOCoding::encode(TestRouteDTO{
        .action = "proxy P (127.0.0.1:1080 socks5)",
        .matchedRule = "Via P",
        .trace = {"命中「Via P」", application + "|" + host + "|" + std::to_string(port)}});
  };
  ServedApplication served(app);
  EXPECT_EQ(run({"test", "Safari", "example.com:8443"}).out,
            "Safari → example.com:8443\n  命中「Via P」\n  Safari|example.com|8443\n结果: proxy P "
            "(127.0.0.1:1080 socks5)\n");
  // With --offline the same question is answered from the files.
  EXPECT_EQ(run({"test", "Safari", "example.com", "--offline"}).out.substr(0, 27),
            "Safari → example.com:443\n");
}

TEST_F(OnlineCommands, LogsPrintsEachEventOnce) {
  const json::Date base = at("2025-03-01T08:30:00Z");
  ConnectionEvent closed = event("apple.com", ConnectionEvent::Phase::close, base);
  closed.bytesSent = 2048;
  closed.bytesReceived = 1572864;
  closed.ruleName = "Web";
  closed.route = "proxy P";
  ConnectionEvent failed = event("example.org", ConnectionEvent::Phase::failed, base + 1s);
  failed.errorDescription = "connection reset";
  app.answer("QueryConnections", DTOCoding::encode(std::vector{closed, failed}));
  ServedApplication served(app);

  const RunResult once = run({"logs", "--app", "Safari", "--limit", "many"});
  EXPECT_EQ(once.status, 0) << once.err;
  EXPECT_EQ(once.out, stamp(closed.date) +
                          "Safari - apple.com:443 close, ↑2.0 KB ↓1.5 MB  [Web → proxy P]\n" +
                          stamp(failed.date) +
                          "Safari - example.org:443 failed  ⚠︎ connection reset\n");
  EXPECT_EQ(app.requests().back(), R"(QueryConnections({"app":"Safari","limit":100}))");
}

TEST_F(OnlineCommands, LogsFollowPollsForNewEvents) {
  // Every poll answers the newest two events, one more each time.
  std::vector<ConnectionEvent> history;
  std::mutex mutex;
  app.connections = [&](const std::string&) {
    std::lock_guard lock(mutex);
    history.push_back(event("host" + std::to_string(history.size()) + ".test",
                            ConnectionEvent::Phase::open, at("2025-03-01T08:30:00Z")));
    return DTOCoding::encode(std::vector<ConnectionEvent>(
        history.end() - std::min<long>(2, history.size()), history.end()));
  };
  ServedApplication served(app);
  const RunResult result = run({"logs", "--follow"}, 3200ms);
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < result.out.size();) {
    const std::size_t end = result.out.find('\n', start);
    lines.push_back(result.out.substr(start, end - start));
    start = end + 1;
  }
  // The first fetch, the header, and at least one poll even on a slow machine.
  ASSERT_GE(lines.size(), 3u) << result.out;
  EXPECT_NE(lines[0].find("host0.test"), std::string::npos);
  EXPECT_EQ(lines[1], "— 实时跟随中，Ctrl-C 退出 —");
  // Each poll shows only the event it has not shown before, in order.
  for (std::size_t i = 2; i < lines.size(); ++i) {
    EXPECT_NE(lines[i].find("host" + std::to_string(i - 1) + ".test"), std::string::npos)
        << lines[i];
  }

  const RunResult json = run({"logs", "--follow", "--json"}, 2200ms);
  EXPECT_TRUE(json.out.starts_with("[\n  {")) << json.out;
  EXPECT_NE(json.out.find("]\n— 实时跟随中，Ctrl-C 退出 —\n[\n"), std::string::npos) << json.out;
}

TEST_F(OnlineCommands, FileChangesReturnOnceTheApplicationHasTakenThemUp) {
  std::atomic<int> takenUp = 0;
  std::atomic<bool> silent = false;
  ServedApplication served(app, EventLoop::running,
                           {.takeUpChanges =
                                [&] {
                                  ++takenUp;
                                  if (silent) throw Error("忙");
                                },
                            .captureCgroup = [](const std::string&) {}});
  const RunResult confirmed = run({"route", "set", "curl", "block"});
  EXPECT_EQ(confirmed.err, "");
  EXPECT_EQ(takenUp, 1);
  // An application that does not confirm costs a note; the change is written all the same.
  silent = true;
  const RunResult unconfirmed = run({"route", "set", "wget", "block"});
  EXPECT_EQ(unconfirmed.status, 0);
  EXPECT_EQ(unconfirmed.out, "「wget」→ block\n");
  EXPECT_EQ(unconfirmed.err,
            "注意：配置已写入，但 velmorad 没有确认接手（忙）；它察觉文件变化后会按新配置路由\n");
  EXPECT_NE(run({"rule", "list", "--offline"}).out.find("App: wget"), std::string::npos);
  // With --offline the application is not asked.
  EXPECT_EQ(run({"route", "set", "git", "direct", "--offline"}).err, "");
  EXPECT_EQ(takenUp, 2);
}

TEST_F(OnlineCommands, AnAnswerThatDoesNotDecodeIsAFailure) {
  app.answer("ListRules", R"({"not":"an array"})");
  ServedApplication served(app);
  const RunResult undecodable = run({"rule", "list"});
  EXPECT_EQ(undecodable.status, 1);
  EXPECT_TRUE(undecodable.err.starts_with("错误：JSON 数据无效：")) << undecodable.err;
}

TEST_F(OnlineCommands, ASilentApplicationCountsAsAbsent) {
  ServedApplication silent(app, EventLoop::stopped);
  const auto start = std::chrono::steady_clock::now();
  const RunResult result = run({"status"});
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(result.out.starts_with("状态      : 已停止（应用未运行，读取的是配置文件）\n"))
      << result.out;
  EXPECT_GE(waited, 1400ms);  // the probe waited its full limit before giving up
}

}  // namespace
}  // namespace velmora
