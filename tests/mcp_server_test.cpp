// velmoractl mcp serve driven through its standard input as an MCP client drives it: the
// protocol's silences and replies, every tool's argument errors, the tools over the profile
// files, and the tools against an application on a private bus.
#include <gtest/gtest.h>

#include "kit/events.h"
#include "kit/profile_store.h"
#include "served_application.h"
#include "test_support.h"

namespace velmora {
namespace {

using testing::PrivateBus;
using testing::RecordingApplication;
using testing::ScratchDirectory;
using testing::ServedApplication;

/// One tools/call request line.
std::string call(int id, const std::string& tool, const json::Value& arguments) {
  return json::compact({{"jsonrpc", "2.0"},
                        {"id", id},
                        {"method", "tools/call"},
                        {"params", {{"name", tool}, {"arguments", arguments}}}});
}

class MCPServe : public ::testing::Test {
 protected:
  /// Runs the server over the lines and returns its reply lines, parsed; nothing but reply
  /// lines may reach standard output, and nothing standard error.
  std::vector<json::Value> serve(const std::vector<std::string>& lines) {
    std::string input;
    for (const std::string& line : lines) input += line + "\n";
    const auto result = testing::runVelmoractl({"mcp", "serve"}, home_.path(), {.input = input});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    std::vector<json::Value> replies;
    std::size_t start = 0;
    while (start < result.out.size()) {
      const std::size_t end = result.out.find('\n', start);
      EXPECT_NE(end, std::string::npos) << "a reply without its line end";
      if (end == std::string::npos) break;
      replies.push_back(json::parse(std::string_view(result.out).substr(start, end - start)));
      start = end + 1;
    }
    return replies;
  }

  /// The result of one tool call: its text, and whether it is marked as an error.
  std::pair<std::string, bool> tool(const std::string& name, const json::Value& arguments = {}) {
    const auto replies =
        serve({call(1, name, arguments.is_null() ? json::Value::object() : arguments)});
    EXPECT_EQ(replies.size(), 1u);
    if (replies.size() != 1) return {};
    const json::Value& result = replies[0]["result"];
    return {result["content"][0]["text"].get<std::string>(), result["isError"].get<bool>()};
  }

  Profile active() { return ProfileStore(home_.path() / ".config" / "Velmora").activeProfile(); }
  std::string activeFile() {
    ProfileStore store(home_.path() / ".config" / "Velmora");
    return readFile(home_.path() / ".config" / "Velmora" / "profiles" /
                    (store.activeID().string() + ".json"));
  }

  ScratchDirectory home_;
};

TEST_F(MCPServe, AnswersRequestsAndStaysSilentForEverythingElse) {
  const auto replies = serve({
      "",
      "[]",
      "{}",
      "plain words",
      "   ",
      R"({"jsonrpc":"2.0","id":1})",  // no method
      R"({"jsonrpc":"2.0","id":7,"method":"initialize","params":{"protocolVersion":"2025-03-26"}})",
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
      R"({"jsonrpc":"2.0","id":"a","method":"ping"})",
      R"({"jsonrpc":"2.0","method":"frobnicate"})",
      R"({"jsonrpc":"2.0","id":null,"method":"tools/call","params":{}})",
      "{\"jsonrpc\":\"2.0\",\"id\":[1,{\"x\":2.5}],\"method\":\"ping\"}\r",
      R"({"jsonrpc":"2.0","id":9,"method":"tools/list","params":"not an object"})",
  });
  ASSERT_EQ(replies.size(), 6u);
  EXPECT_EQ(replies[0], json::parse(R"({"jsonrpc":"2.0","id":7,"result":{
      "protocolVersion":"2024-11-05","capabilities":{"tools":{}},
      "serverInfo":{"name":"velmora","version":"1.0.0"}}})"));
  EXPECT_EQ(replies[1], json::parse(R"({"jsonrpc":"2.0","id":"a","result":{}})"));
  EXPECT_EQ(replies[2], json::parse(R"({"jsonrpc":"2.0",
      "error":{"code":-32601,"message":"Method not found: frobnicate"}})"));
  EXPECT_EQ(replies[3], json::parse(R"({"jsonrpc":"2.0","id":null,"result":{
      "content":[{"type":"text","text":"错误：未知工具「」"}],"isError":true}})"));
  EXPECT_EQ(replies[4]["id"], json::parse("[1,{\"x\":2.5}]"));
  const json::Value& tools = replies[5]["result"]["tools"];
  ASSERT_EQ(tools.size(), 15u);
  EXPECT_EQ(tools[0]["name"], "get_status");
  EXPECT_EQ(tools[14]["name"], "explain_connection");
  EXPECT_EQ(tools[10]["inputSchema"]["required"], json::parse(R"(["name","address","port"])"));
  EXPECT_EQ(tools[6]["inputSchema"]["properties"]["apps"],
            json::parse(R"({"type":"array","items":{"type":"string"}})"));
}

TEST_F(MCPServe, EveryToolRefusesMissingOrMistypedArgumentsAndChangesNothing) {
  const std::string before = activeFile();
  const struct {
    std::string tool;
    std::string arguments;
    std::string message;
  } cases[] = {
      {"switch_profile", "{}", "需要 name 参数"},
      {"switch_profile", R"({"name":7})", "需要 name 参数"},
      {"bind_env", R"({"profile":"Default"})", "绑定网络环境需要 Velmora 正在运行"},
      {"add_rule", R"({"name":"x"})",
       "add_rule 需要 name 和 action（direct/block/proxy:<代理名>）"},
      {"add_rule", R"({"action":"direct"})",
       "add_rule 需要 name 和 action（direct/block/proxy:<代理名>）"},
      {"add_rule", R"({"name":"x","action":"proxy:nobody"})", "找不到代理「nobody」"},
      {"update_rule", R"({"enabled":true})", "需要 name 参数"},
      {"update_rule", R"({"name":"Default","enabled":"yes"})",
       "update_rule 目前支持 enabled 字段；改内容请用 remove_rule + add_rule"},
      {"remove_rule", "{}", "需要 name 参数"},
      {"remove_rule", R"({"name":"Localhost"})",
       "「Localhost」是内置保护规则，不能删除（它防止本机 localhost 流量被误代理）"},
      {"remove_rule", R"({"name":"nothing"})", "找不到规则「nothing」"},
      {"add_proxy", R"({"name":"P","address":"127.0.0.1"})", "add_proxy 需要 name、address、port"},
      {"add_proxy", R"({"name":"P","address":"127.0.0.1","port":65536})",
       "add_proxy 需要 name、address、port"},
      {"add_proxy", R"({"name":"P","address":"127.0.0.1","port":"1080"})",
       "add_proxy 需要 name、address、port"},
      {"add_proxy", R"({"name":"P","address":"127.0.0.1","port":0})",
       "端口「0」无效：应为 1 到 65535 之间的数"},
      {"add_proxy", R"({"name":"P","address":"127.0.0.1","port":1080,"type":"https"})",
       "代理类型「https」无效：应为 socks5 或 http"},
      {"set_route", R"({"app":"Safari"})",
       "set_route 需要 app 和 target（direct/block/proxy:<代理名>/interface:<网卡名>）"},
      {"set_route", R"({"app":"Safari","target":"interface:"})",
       "interface: 后面要跟网卡名，例如 interface:utun4"},
      {"test_route", R"({"app":"Safari"})", "test_route 需要 app 和 host 参数"},
      {"test_route", R"({"app":"Safari","host":"a","port":70000})",
       "test_route 的 port 必须是 0 到 65535 之间的整数"},
      {"explain_connection", R"({"host":"a"})", "explain_connection 需要 app 和 host 参数"},
      {"query_connections", R"({"limit":"many"})", "Velmora 未运行，没有实时连接数据可查"},
      {"no_such_tool", "{}", "未知工具「no_such_tool」"},
  };
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    lines.push_back(call(static_cast<int>(i), cases[i].tool, json::parse(cases[i].arguments)));
  }
  const auto replies = serve(lines);
  ASSERT_EQ(replies.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(replies[i]["id"], static_cast<int>(i));
    EXPECT_EQ(replies[i]["result"]["isError"], true) << cases[i].tool;
    EXPECT_EQ(replies[i]["result"]["content"][0]["text"], "错误：" + cases[i].message)
        << cases[i].tool << " " << cases[i].arguments;
  }
  EXPECT_EQ(activeFile(), before);
}

TEST_F(MCPServe, ToolsChangeAndReadTheFilesWhenTheApplicationIsAway) {
  const auto added = tool("add_proxy", {{"name", "Corp"},
                                        {"address", "10.0.0.1"},
                                        {"port", 3128},
                                        {"type", "HTTP"},
                                        {"username", "me"}});
  EXPECT_EQ(added, std::make_pair(std::string("已添加代理「Corp」10.0.0.1:3128"), false));
  EXPECT_EQ(tool("add_rule", {{"name", "Web"}, {"action", "proxy:corp"}}).first,
            "已添加规则「Web」");
  EXPECT_EQ(tool("update_rule", {{"name", "web"}, {"enabled", false}}).first, "规则「web」已停用");
  EXPECT_EQ(tool("set_route", {{"app", "Mail"}, {"target", "block"}}).first, "「Mail」→ block");
  const Profile profile = active();
  ASSERT_EQ(profile.proxies.size(), 1u);
  EXPECT_EQ(profile.proxies[0].proto, ProxyProtocol::http);  // the type in any case
  EXPECT_FALSE(profile.proxies[0].credentials);              // a user name alone is not enough
  EXPECT_EQ(profile.rules[1].name, "Web");
  EXPECT_FALSE(profile.rules[1].enabled);
  EXPECT_TRUE(profile.rules[1].apps.empty());
  EXPECT_EQ(profile.rules[1].action, RuleAction::proxy(profile.proxies[0].id));

  const json::Value status = json::parse(tool("get_status").first);
  EXPECT_EQ(status["enabled"], false);
  EXPECT_EQ(status["automationWritesAllowed"], true);
  EXPECT_EQ(json::parse(tool("list_rules", {{"search", "mail"}}).first).size(), 1u);
  EXPECT_EQ(json::parse(tool("list_proxies").first)[0]["name"], "Corp");
  EXPECT_EQ(json::parse(tool("list_profiles").first)[0]["isActive"], true);
  EXPECT_EQ(json::parse(tool("list_envs").first), json::Value::array());
  // A port given as text is no port: 443 is used.
  const json::Value route =
      json::parse(tool("test_route", {{"app", "Mail"}, {"host", "x.org"}, {"port", "80"}}).first);
  EXPECT_EQ(route["action"], "block");
  EXPECT_EQ(
      tool("explain_connection", {{"app", "Mail"}, {"host", "x.org"}, {"port", 25}}).first,
      "Mail → x.org:25\n\n规则轨迹：\n  · 跳过「Localhost」：目标主机不匹配（x.org）\n"
      "  · 跳过「Web」：规则已停用\n  · 命中「App: Mail」\n\n结果：block\n命中规则：App: Mail");
  EXPECT_EQ(tool("remove_rule", {{"name", "Web"}}).first, "已删除规则「Web」");
  EXPECT_EQ(tool("switch_profile", {{"name", "default"}}).first, "已切换到 profile「default」");
}

class MCPServeWithApplication : public MCPServe {
 protected:
  MCPServeWithApplication() { allowWrites(true); }
  void allowWrites(bool allowed) {
    app.answer("GetStatus", DTOCoding::encode(StatusDTO{.enabled = true,
                                                        .extensionInstalled = true,
                                                        .activeProfile = "Work",
                                                        .currentEnvironment = std::nullopt,
                                                        .stats = StatsSnapshot::empty(),
                                                        .automationWritesAllowed = allowed}));
  }

  PrivateBus bus;
  RecordingApplication app;
};

TEST_F(MCPServeWithApplication, ChangingToolsRespectTheApplicationsWriteGate) {
  allowWrites(false);
  ServedApplication served(app);
  const std::string before = activeFile();
  const std::string refused =
      "错误：自动化写操作未开启 — 在 Velmora 设置里打开「允许自动化修改配置」";
  for (const auto& [name, arguments] : std::vector<std::pair<std::string, json::Value>>{
           {"switch_profile", {{"name", "Default"}}},
           {"bind_env", json::Value::object()},  // refused before its arguments are read
           {"add_rule", {{"name", "x"}, {"action", "direct"}}},
           {"update_rule", {{"name", "Default"}, {"enabled", false}}},
           {"remove_rule", {{"name", "Default"}}},
           {"add_proxy", {{"name", "P"}, {"address", "a"}, {"port", 1}}},
           {"set_route", {{"app", "A"}, {"target", "direct"}}}}) {
    EXPECT_EQ(tool(name, arguments), std::pair(refused, true)) << name;
  }
  EXPECT_EQ(activeFile(), before);
  for (const std::string& request : app.requests()) EXPECT_EQ(request, "GetStatus()");
}

TEST_F(MCPServeWithApplication, ConnectionToolsAskTheApplicationAndTheDryRunReadsTheFiles) {
  const json::Date now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
  std::vector<ConnectionEvent> events;
  for (int i = 0; i < 7; ++i) {
    events.push_back(ConnectionEvent{.id = UUID::random(),
                                     .date = now,
                                     .app = "Safari",
                                     .host = "h" + std::to_string(i) + ".example",
                                     .port = 443,
                                     .transport = FlowTransport::tcp,
                                     .phase = ConnectionEvent::Phase::failed,
                                     .route = "direct",
                                     .errorDescription = "refused"});
  }
  app.connections = [&](const std::string&) { return DTOCoding::encode(events); };
  ServedApplication served(app);

  const json::Value listed =
      json::parse(tool("query_connections", {{"app", "Safari"}, {"since_minutes", 5}}).first);
  EXPECT_EQ(listed.size(), 7u);
  EXPECT_EQ(listed[0]["date"], json::formatISO8601(now));
  EXPECT_EQ(json::parse(app.requests().back().substr(17, app.requests().back().size() - 18)),
            json::parse(R"({"app":"Safari","limit":50,"sinceMinutes":5})"));

  const std::string explained =
      tool("explain_connection", {{"app", "Safari"}, {"host", "h.example"}}).first;
  EXPECT_TRUE(explained.ends_with(
      "命中规则：Default\n\n最近实际连接（7 条）：\n  · h2.example:443 failed "
      "via direct ⚠︎ refused\n"
      "  · h3.example:443 failed via direct ⚠︎ refused\n  · h4.example:443 "
      "failed via direct ⚠︎ refused\n"
      "  · h5.example:443 failed via direct ⚠︎ refused\n  · h6.example:443 "
      "failed via direct ⚠︎ refused"))
      << explained;
  // The dry run never asks the application.
  tool("test_route", {{"app", "Safari"}, {"host", "h.example"}});
  for (const std::string& request : app.requests()) {
    EXPECT_FALSE(request.starts_with("TestRoute")) << request;
  }
}

}  // namespace
}  // namespace velmora
