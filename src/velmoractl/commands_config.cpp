// The commands that show and change configuration: status, on/off, profile, env, rule, proxy,
// route.
#include <string>
#include <vector>

#include "commands.h"
#include "kit/localize.h"
#include "kit/matchers.h"
#include "output.h"

namespace velmora::cli {
namespace {

/// A usage error, reported before any backend is used.
[[noreturn]] void usageError(std::string_view message) {
  throw Error(VL(message));
}

std::string joined(const std::vector<std::string>& items, std::string_view separator) {
  std::string text;
  for (const std::string& item : items) {
    if (!text.empty()) text += separator;
    text += item;
  }
  return text;
}

/// The subcommand, with "list" standing in for a missing one.
std::string subcommand(const CommandContext& context) {
  return context.args.positional.size() < 2 ? "list" : context.word(1);
}

[[noreturn]] void unknownSubcommand(const CommandContext& context) {
  throw Error(VL("未知子命令 %@ %@", context.word(0), context.word(1)));
}

}  // namespace

void runStatus(CommandContext& context) {
  const StatusDTO status = context.backend.status();
  const bool fromFiles = context.backend.choice() == Backend::Choice::files;
  if (context.json()) {
    context.out.emitJSON(toJSON(status));
    return;
  }
  context.out.emit("状态      : " + std::string(status.enabled ? "运行中" : "已停止") +
                   (fromFiles ? "（应用未运行，读取的是配置文件）" : ""));
  context.out.emit("当前 profile: " + status.activeProfile);
  if (status.currentEnvironment) context.out.emit("网络环境  : " + *status.currentEnvironment);
  if (!fromFiles) {
    if (status.localProxy || status.localProxyProblem)
      context.out.emit("本地代理  : " + status.localProxy.value_or("未监听") +
                       (status.localProxyProblem ? "（" + *status.localProxyProblem + "）" : ""));
    const StatsSnapshot& stats = status.stats;
    context.out.emit("连接      : 总 " + std::to_string(stats.totalConnections) + " · 活跃 " +
                     std::to_string(stats.activeConnections) + " · 失败 " +
                     std::to_string(stats.failedConnections));
    context.out.emit("流量      : ↑ " + humanBytes(stats.bytesSent) + "  ↓ " +
                     humanBytes(stats.bytesReceived));
  }
}

void runSwitch(CommandContext& context) {
  const bool on = context.word(0) == "on";
  context.backend.setEnabled(on);
  context.out.emit(on ? "已开启" : "已停止");
}

void runProfile(CommandContext& context) {
  const std::string sub = subcommand(context);
  if (sub == "list") {
    const std::vector<ProfileSummaryDTO> profiles = context.backend.profiles();
    if (context.json()) {
      context.out.emitJSON(json::arrayOf(profiles));
      return;
    }
    for (const ProfileSummaryDTO& profile : profiles) {
      std::string line = std::string(profile.isActive ? "▸" : " ") + " " + profile.name + "  (" +
                         std::to_string(profile.ruleCount) + " 条规则, " +
                         std::to_string(profile.proxyCount) + " 个代理)";
      if (!profile.boundEnvironments.empty())
        line += "  ← " + joined(profile.boundEnvironments, ", ");
      context.out.emit(line);
    }
    return;
  }
  if (sub != "switch" && sub != "create") unknownSubcommand(context);
  if (context.args.positional.size() < 3) usageError("请指定 profile 名称");
  const std::string& name = context.word(2);
  if (sub == "switch") {
    context.backend.switchProfile(name);
    context.out.emit("已切换到「" + name + "」");
  } else {
    context.backend.createProfile(name);
    context.out.emit("已创建「" + name + "」");
  }
}

void runEnv(CommandContext& context) {
  const std::string sub = subcommand(context);
  if (sub == "list") {
    const std::vector<std::string> bindings = context.backend.environments();
    if (context.json()) {
      context.out.emitJSON(bindings);
    } else if (bindings.empty()) {
      context.out.emit(
          "还没有 profile 绑定网络环境。用 `velmoractl env bind <profile>` 把当前网络绑上去。");
    } else {
      for (const std::string& line : bindings) context.out.emit(line);
    }
    return;
  }
  if (sub != "bind") unknownSubcommand(context);
  if (context.args.positional.size() < 3) usageError("请指定 profile 名称");
  context.backend.bindCurrentEnvironment(context.word(2));
  context.out.emit("已把当前网络环境绑定到「" + context.word(2) +
                   "」— 下次回到这个网络会自动切过去");
}

void runRule(CommandContext& context) {
  const std::string sub = subcommand(context);
  if (sub == "list") {
    const std::optional<std::string> search = context.args.flag({"--search", "-s"});
    const std::vector<RuleDTO> rules = context.backend.rules(search);
    if (context.json()) {
      context.out.emitJSON(json::arrayOf(rules));
      return;
    }
    for (const RuleDTO& rule : rules) {
      std::vector<std::string> conditions;
      if (!rule.apps.empty()) conditions.push_back("应用=" + joined(rule.apps, ";"));
      if (!rule.hosts.empty()) conditions.push_back("主机=" + joined(rule.hosts, ";"));
      if (!rule.ports.empty()) conditions.push_back("端口=" + joined(rule.ports, ";"));
      context.out.emit(
          std::string(rule.enabled ? "✓" : "✗") + " " + rule.name + (rule.locked ? " 🔒" : "") +
          "  " + (conditions.empty() ? "任意" : joined(conditions, " ")) + "  → " + rule.action);
    }
    return;
  }
  if (sub != "add" && sub != "enable" && sub != "disable" && sub != "rm" && sub != "remove")
    unknownSubcommand(context);
  const std::string& name = context.word(2);
  if (sub == "add") {
    const std::optional<std::string> action = context.args.flag({"--action", "-a"});
    if (context.args.positional.size() < 3 || !action) {
      usageError("用法: rule add <名称> --app <应用> --action <direct|block|proxy:名称>");
    }
    context.backend.addRule(RuleDTO{.name = name,
                                    .enabled = true,
                                    .apps = splitList(context.args.flag({"--app"}).value_or("")),
                                    .hosts = splitList(context.args.flag({"--host"}).value_or("")),
                                    .ports = splitList(context.args.flag({"--port"}).value_or("")),
                                    .action = *action,
                                    .locked = false});
    context.out.emit("已添加规则「" + name + "」");
    return;
  }
  if (context.args.positional.size() < 3) usageError("请指定规则名称");
  if (sub == "enable" || sub == "disable") {
    const bool enabled = sub == "enable";
    context.backend.setRuleEnabled(name, enabled);
    context.out.emit("规则「" + name + "」已" + (enabled ? "启用" : "停用"));
  } else {
    context.backend.removeRule(name);
    context.out.emit("已删除规则「" + name + "」");
  }
}

void runProxy(CommandContext& context) {
  const std::string sub = subcommand(context);
  if (sub == "list") {
    const std::vector<ProxyServer> proxies = context.backend.proxies();
    if (context.json()) {
      context.out.emitJSON(json::arrayOf(proxies));
    } else if (proxies.empty()) {
      context.out.emit("还没有配置代理。用 `velmoractl proxy add Clash 127.0.0.1 7890` 加一个。");
    } else {
      for (const ProxyServer& proxy : proxies) {
        context.out.emit(proxy.name + "  " + proxy.endpointDescription() + "  " +
                         std::string(rawValue(proxy.proto)));
      }
    }
    return;
  }
  if (sub == "discover") {
    runProxyDiscover(context);
    return;
  }
  if (sub != "add") unknownSubcommand(context);
  const auto port = context.args.positional.size() < 5 ? std::nullopt : parsePort(context.word(4));
  if (!port) usageError("用法: proxy add <名称> <地址> <端口> [--type socks5|http]");
  const auto user = context.args.flag({"--user"});
  const auto password = context.args.flag({"--pass"});
  const ProxyServer proxy{.id = UUID::random(),
                          .name = context.word(2),
                          .address = context.word(3),
                          .port = *port,
                          .proto = context.args.flag({"--type"}) == "http" ? ProxyProtocol::http
                                                                           : ProxyProtocol::socks5,
                          .credentials = user && password
                                             ? std::optional(ProxyCredentials{*user, *password})
                                             : std::nullopt};
  context.backend.addProxy(proxy);
  context.out.emit("已添加代理「" + proxy.name + "」" + proxy.address + ":" +
                   std::to_string(proxy.port) + " " + std::string(rawValue(proxy.proto)));
}

void runRoute(CommandContext& context) {
  if (context.args.positional.size() < 4 || context.word(1) != "set") {
    usageError("用法: route set <应用> <direct|block|proxy:名称>");
  }
  context.backend.setRoute(context.word(2), context.word(3));
  context.out.emit("「" + context.word(2) + "」→ " + context.word(3));
}

}  // namespace velmora::cli
