// The fifteen tools of the MCP server: their descriptors, how each reads its arguments, which
// backend operation it calls, and the text it answers with.
#include <cstdint>
#include <limits>

#include "automation_client.h"
#include "kit/localize.h"
#include "mcp_server.h"

namespace velmora::cli {
namespace {

/// The arguments of one call. An argument is present only when it has the type its schema
/// names; a value of any other type counts as absent.
class Arguments {
 public:
  explicit Arguments(const json::Value& values) : values_(values) {}

  std::optional<std::string> string(const char* name) const {
    const json::Value* value = find(name);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
  }
  std::optional<bool> boolean(const char* name) const {
    const json::Value* value = find(name);
    if (!value || !value->is_boolean()) return std::nullopt;
    return value->get<bool>();
  }
  /// A whole number; a float with no fraction counts as one.
  std::optional<std::int64_t> integer(const char* name) const {
    const json::Value* value = find(name);
    if (!value) return std::nullopt;
    if (value->is_number_unsigned()) {
      const auto number = value->get<std::uint64_t>();
      if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return std::nullopt;
      return static_cast<std::int64_t>(number);
    }
    if (value->is_number_integer()) return value->get<std::int64_t>();
    if (value->is_number_float()) {
      const double number = value->get<double>();
      if (number >= -9.2e18 && number <= 9.2e18 &&
          number == static_cast<double>(static_cast<std::int64_t>(number)))
        return static_cast<std::int64_t>(number);
    }
    return std::nullopt;
  }
  std::optional<std::vector<std::string>> strings(const char* name) const {
    const json::Value* value = find(name);
    if (!value || !value->is_array()) return std::nullopt;
    std::vector<std::string> result;
    for (const json::Value& element : *value) {
      if (!element.is_string()) return std::nullopt;
      result.push_back(element.get<std::string>());
    }
    return result;
  }

 private:
  const json::Value* find(const char* name) const {
    const auto found = values_.find(name);
    return found == values_.end() ? nullptr : &*found;
  }
  const json::Value& values_;
};

[[noreturn]] void argumentError(std::string_view message) {
  throw ClientErrorMessage(VL(message));
}

/// A port in a dry run: 443 when absent, else a whole number the port range holds.
std::uint16_t dryRunPort(const Arguments& arguments, std::string_view tool) {
  const auto port = arguments.integer("port");
  if (!port) return 443;
  if (*port < 0 || *port > 65535)
    throw ClientErrorMessage(VL("%@ 的 port 必须是 0 到 65535 之间的整数", tool));
  return static_cast<std::uint16_t>(*port);
}

std::string rendered(const json::Value& value) {
  return json::pretty(value);
}

/// "· host:port phase via route ⚠︎ error"
std::string eventLine(const ConnectionEvent& event) {
  std::string line = "  · " + event.host + ":" + std::to_string(event.port) + " " +
                     std::string(rawValue(event.phase)) + " via " + event.route;
  if (event.errorDescription) line += " \u26A0\uFE0E " + *event.errorDescription;
  return line;
}

json::Value descriptor(const char* name, const char* description,
                       std::initializer_list<std::pair<const char*, const json::Value*>> properties,
                       std::initializer_list<const char*> required) {
  json::Value schemaProperties = json::Value::object();
  for (const auto& [property, schema] : properties) schemaProperties[property] = *schema;
  json::Value requiredNames = json::Value::array();
  for (const char* property : required) requiredNames.push_back(property);
  return {{"name", name},
          {"description", description},
          {"inputSchema",
           {{"type", "object"}, {"properties", schemaProperties}, {"required", requiredNames}}}};
}

}  // namespace

const json::Value& MCPServer::toolDefinitions() {
  static const json::Value definitions = [] {
    const json::Value string = {{"type", "string"}};
    const json::Value integer = {{"type", "integer"}};
    const json::Value boolean = {{"type", "boolean"}};
    const json::Value stringArray = {{"type", "array"}, {"items", {{"type", "string"}}}};
    return json::Value::array({
        descriptor("get_status",
                   "查询 Velmora 运行状态：是否开启、当前 profile、当前网络环境、连接与流量统计",
                   {}, {}),
        descriptor("list_profiles", "列出所有 profile 及其规则数、代理数、绑定的网络环境", {}, {}),
        descriptor("switch_profile", "切换到指定 profile（已有连接不中断）", {{"name", &string}},
                   {"name"}),
        descriptor("list_envs", "列出 profile 与网络环境（Wi-Fi SSID / 有线网关指纹）的绑定关系",
                   {}, {}),
        descriptor("bind_env", "把当前所处的网络环境绑定到指定 profile，之后回到这个网络会自动切换",
                   {{"profile", &string}}, {"profile"}),
        descriptor("list_rules", "列出当前 profile 的规则（按求值顺序），可按关键词搜索",
                   {{"search", &string}}, {}),
        descriptor("add_rule", "新增一条规则。action 为 direct / block / proxy:<代理名称>",
                   {{"name", &string},
                    {"apps", &stringArray},
                    {"hosts", &stringArray},
                    {"ports", &stringArray},
                    {"action", &string},
                    {"enabled", &boolean}},
                   {"name", "action"}),
        descriptor("update_rule", "启用或停用一条规则", {{"name", &string}, {"enabled", &boolean}},
                   {"name", "enabled"}),
        descriptor("remove_rule", "删除一条规则（内置的 Localhost 保护规则不可删除）",
                   {{"name", &string}}, {"name"}),
        descriptor("list_proxies", "列出当前 profile 配置的上游代理", {}, {}),
        descriptor("add_proxy", "新增一个上游代理。type 为 socks5 或 http",
                   {{"name", &string},
                    {"address", &string},
                    {"port", &integer},
                    {"type", &string},
                    {"username", &string},
                    {"password", &string}},
                   {"name", "address", "port"}),
        descriptor("set_route",
                   "一步设置「某个应用 → 去向」。target 为 direct / block / proxy:<代理名称> / "
                   "interface:<网卡名，如 utun4，把流量钉在某条 VPN 隧道上>",
                   {{"app", &string}, {"target", &string}}, {"app", "target"}),
        descriptor("test_route",
                   "试算：某个应用访问某个主机端口时，会命中哪条规则、最终走哪（不发起真实连接）",
                   {{"app", &string}, {"host", &string}, {"port", &integer}}, {"app", "host"}),
        descriptor(
            "query_connections",
            "查询最近的实际连接记录（应用、目标、走了哪个代理、收发字节、错误）",
            {{"app", &string}, {"host", &string}, {"since_minutes", &integer}, {"limit", &integer}},
            {}),
        descriptor("explain_connection",
                   "解释某个应用访问某个主机时的完整规则轨迹，并附上最近的真实连接记录 —— "
                   "回答「为什么它没走代理」",
                   {{"app", &string}, {"host", &string}, {"port", &integer}}, {"app", "host"}),
    });
  }();
  return definitions;
}

std::string MCPServer::invoke(const std::string& tool, const json::Value& given) {
  // One answer of the application decides the side of the whole call, before the name is read.
  Backend backend = backends_.choosingNow();
  const bool running = backend.choice() == Backend::Choice::application;
  const Arguments arguments(given);
  // Changing tools ask the running application's permission before reading any argument.
  const auto requireWritePermission = [&] {
    if (running && !backend.applicationStatus().automationWritesAllowed)
      throw AutomationClient::Error::writesNotAllowed();
  };

  if (tool == "get_status") return rendered(toJSON(backend.status()));
  if (tool == "list_profiles") return rendered(json::arrayOf(backend.profilesFromFiles()));
  if (tool == "switch_profile") {
    requireWritePermission();
    const auto name = arguments.string("name");
    if (!name) argumentError("需要 name 参数");
    backend.switchProfile(*name);
    return "已切换到 profile「" + *name + "」";
  }
  if (tool == "list_envs") return rendered(backend.environments());
  if (tool == "bind_env") {
    requireWritePermission();
    if (!running) argumentError("绑定网络环境需要 Velmora 正在运行");
    const auto profile = arguments.string("profile");
    if (!profile) argumentError("需要 profile 参数");
    backend.bindCurrentEnvironment(*profile);
    return "已把当前网络环境绑定到「" + *profile + "」";
  }
  if (tool == "list_rules") {
    return rendered(json::arrayOf(backend.rulesFromFiles(arguments.string("search"))));
  }
  if (tool == "add_rule") {
    requireWritePermission();
    const auto name = arguments.string("name");
    const auto action = arguments.string("action");
    if (!name || !action)
      argumentError("add_rule 需要 name 和 action（direct/block/proxy:<代理名>）");
    backend.addRule(
        RuleDTO{.name = *name,
                .enabled = arguments.boolean("enabled").value_or(true),
                .apps = arguments.strings("apps").value_or(std::vector<std::string>{}),
                .hosts = arguments.strings("hosts").value_or(std::vector<std::string>{}),
                .ports = arguments.strings("ports").value_or(std::vector<std::string>{}),
                .action = *action,
                .locked = false});
    return "已添加规则「" + *name + "」";
  }
  if (tool == "update_rule") {
    requireWritePermission();
    const auto name = arguments.string("name");
    if (!name) argumentError("需要 name 参数");
    const auto enabled = arguments.boolean("enabled");
    if (!enabled)
      argumentError("update_rule 目前支持 enabled 字段；改内容请用 remove_rule + add_rule");
    backend.setRuleEnabled(*name, *enabled);
    return "规则「" + *name + "」已" + (*enabled ? "启用" : "停用");
  }
  if (tool == "remove_rule") {
    requireWritePermission();
    const auto name = arguments.string("name");
    if (!name) argumentError("需要 name 参数");
    backend.removeRule(*name);
    return "已删除规则「" + *name + "」";
  }
  if (tool == "list_proxies") return rendered(json::arrayOf(backend.proxies()));
  if (tool == "add_proxy") {
    requireWritePermission();
    const auto name = arguments.string("name");
    const auto address = arguments.string("address");
    const auto port = arguments.integer("port");
    if (!name || !address || !port || *port < 0 || *port > 65535)
      argumentError("add_proxy 需要 name、address、port");
    const auto type = arguments.string("type");
    const auto username = arguments.string("username");
    const auto password = arguments.string("password");
    const ProxyServer proxy{
        .id = UUID::random(),
        .name = *name,
        .address = *address,
        .port = static_cast<std::uint16_t>(*port),
        .proto = type ? proxyProtocolNamed(*type) : ProxyProtocol::socks5,
        .credentials = username && password ? std::optional(ProxyCredentials{*username, *password})
                                            : std::nullopt};
    backend.addProxy(proxy);
    return "已添加代理「" + proxy.name + "」" + proxy.address + ":" + std::to_string(proxy.port);
  }
  if (tool == "set_route") {
    requireWritePermission();
    const auto app = arguments.string("app");
    const auto target = arguments.string("target");
    if (!app || !target)
      argumentError(
          "set_route 需要 app 和 target（direct/block/proxy:<代理名>/interface:<网卡名>）");
    backend.setRoute(*app, *target);
    return "「" + *app + "」→ " + *target;
  }
  if (tool == "test_route") {
    const auto app = arguments.string("app");
    const auto host = arguments.string("host");
    if (!app || !host) argumentError("test_route 需要 app 和 host 参数");
    const std::uint16_t port = dryRunPort(arguments, tool);
    return rendered(toJSON(backend.testRouteFromFiles(*app, *host, port)));
  }
  if (tool == "query_connections") {
    if (!running) argumentError("Velmora 未运行，没有实时连接数据可查");
    const ConnectionQueryDTO query{.app = arguments.string("app"),
                                   .host = arguments.string("host"),
                                   .sinceMinutes = arguments.integer("since_minutes"),
                                   .limit = arguments.integer("limit").value_or(50)};
    return rendered(json::arrayOf(backend.connections(query)));
  }
  if (tool == "explain_connection") {
    const auto app = arguments.string("app");
    const auto host = arguments.string("host");
    if (!app || !host) argumentError("explain_connection 需要 app 和 host 参数");
    const std::uint16_t port = dryRunPort(arguments, tool);
    const TestRouteDTO route = backend.testRouteFromFiles(*app, *host, port);
    std::string text = *app + " → " + *host + ":" + std::to_string(port) + "\n\n规则轨迹：\n";
    for (std::size_t i = 0; i < route.trace.size(); ++i) {
      if (i > 0) text += "\n";
      text += "  · " + route.trace[i];
    }
    text += "\n\n结果：" + route.action;
    if (route.matchedRule) text += "\n命中规则：" + *route.matchedRule;
    if (!running) return text;
    std::vector<ConnectionEvent> events;
    try {
      events = backend.connections(
          ConnectionQueryDTO{.app = *app, .host = *host, .sinceMinutes = 60, .limit = 5});
    } catch (const std::exception&) {
      return text;  // the recent connections are a bonus; without them the trace stands
    }
    if (events.empty()) return text;
    text += "\n\n最近实际连接（" + std::to_string(events.size()) + " 条）：\n";
    const std::size_t first = events.size() > 5 ? events.size() - 5 : 0;
    for (std::size_t i = first; i < events.size(); ++i) {
      if (i > first) text += "\n";
      text += eventLine(events[i]);
    }
    return text;
  }
  throw ClientErrorMessage(VL("未知工具「%@」", tool));
}

}  // namespace velmora::cli
