// The commands that show and change configuration: status, on/off, profile, env, rule, proxy,
// chain, route.
#include <net/if.h>

#include <string>
#include <vector>

#include "commands.h"
#include "kit/daemon_settings.h"
#include "kit/localize.h"
#include "kit/matchers.h"
#include "kit/unicode.h"
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

/// The operand at index i, or the usage error when the command line ends before it.
const std::string& operand(const CommandContext& context, std::size_t i, std::string_view usage) {
  if (context.args.positional.size() <= i) usageError(usage);
  return context.word(i);
}

/// An option's list value ("a; b"), or nothing when the option is not given.
std::optional<std::vector<std::string>> listOption(const CommandContext& context,
                                                   std::string_view name) {
  const auto value = context.args.flag({name});
  if (!value) return std::nullopt;
  return splitList(*value);
}

/// User name and password come together or not at all.
std::optional<ProxyCredentials> credentials(const CommandContext& context) {
  const auto user = context.args.flag({"--user"});
  const auto password = context.args.flag({"--pass"});
  if (user && !password)
    throw Error(VL("给了 --user「%@」却没有 --pass：用户名和密码要一起给", *user));
  // The password itself is not repeated on the screen.
  if (password && !user) throw Error(VL("给了 --pass 却没有 --user：用户名和密码要一起给"));
  if (!user) return std::nullopt;
  return ProxyCredentials{*user, *password};
}

/// An interface may come up later, so a route to one that is not there now still goes in, with
/// a word to the user.
void noteMissingInterface(std::string_view action) {
  if (!unicode::lowercased(action).starts_with("interface:")) return;
  const std::string name(trimmedSpacesAndTabs(action.substr(10)));
  if (!name.empty() && ::if_nametoindex(name.c_str()) == 0)
    reportNote(VL("网卡「%@」现在不存在，它出现后这条路由才会生效", name));
}

std::string ruleLine(const RuleDTO& rule) {
  std::vector<std::string> conditions;
  if (!rule.apps.empty()) conditions.push_back("应用=" + joined(rule.apps, ";"));
  if (!rule.hosts.empty()) conditions.push_back("主机=" + joined(rule.hosts, ";"));
  if (!rule.ports.empty()) conditions.push_back("端口=" + joined(rule.ports, ";"));
  return std::string(rule.enabled ? "✓" : "✗") + " " + rule.name + (rule.locked ? " 🔒" : "") +
         "  " + (conditions.empty() ? "任意" : joined(conditions, " ")) + "  → " + rule.action;
}

/// An enumeration's value as typed, in any case; the error names the option and its choices.
template <typename E>
std::optional<E> enumOption(const CommandContext& context, std::string_view name) {
  const auto value = context.args.flag({name});
  if (!value) return std::nullopt;
  if (const auto parsed = fromRawValue<E>(unicode::lowercased(*value))) return parsed;
  std::string choices;
  for (const E candidate : allCases<E>()) {
    if (!choices.empty()) choices += " / ";
    choices += rawValue(candidate);
  }
  throw Error(VL("%@ 的值「%@」无效：应为 %@", std::string(name), *value, choices));
}

/// What a capture mode means, in a few words.
std::string captureText(std::string_view mode) {
  if (mode == "session") return "session（整个会话，velmorad 自己除外）";
  if (mode == "off") return "off（不捕获）";
  return "programs（只有 run --transparent 启动的程序）";
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
  if (!fromFiles && (status.localProxy || status.localProxyProblem))
    context.out.emit("本地代理  : " + status.localProxy.value_or("未监听") +
                     (status.localProxyProblem ? "（" + *status.localProxyProblem + "）" : ""));
  if (!fromFiles && (status.dashboard || status.dashboardProblem))
    context.out.emit("控制面板  : " + status.dashboard.value_or("未监听") +
                     (status.dashboardProblem ? "（" + *status.dashboardProblem + "）" : ""));
  if (status.captureMode) context.out.emit("捕获范围  : " + captureText(*status.captureMode));
  if (!fromFiles) {
    if (status.captureProblem) {
      context.out.emit("透明捕获  : 不可用（" + *status.captureProblem + "）");
    } else if (status.capturedPrograms) {
      context.out.emit("透明捕获  : 可用 · 捕获着 " + std::to_string(*status.capturedPrograms) +
                       " 个程序");
    }
    const StatsSnapshot& stats = status.stats;
    context.out.emit("连接      : 总 " + std::to_string(stats.totalConnections) + " · 活跃 " +
                     std::to_string(stats.activeConnections) + " · 失败 " +
                     std::to_string(stats.failedConnections));
    context.out.emit("流量      : ↑ " + humanBytes(stats.bytesSent) + "  ↓ " +
                     humanBytes(stats.bytesReceived));
  }
}

void runCapture(CommandContext& context) {
  if (context.word(1).empty()) {
    const std::string_view mode = captureWord(context.backend.captureMode());
    if (context.json()) {
      context.out.emitJSON({{"capture", std::string(mode)}});
    } else {
      context.out.emit(captureText(mode));
    }
    return;
  }
  const std::optional<DaemonSettings::Capture> mode = captureNamed(context.word(1));
  if (!mode) {
    throw Error(VL("捕获范围「%@」无效：应为 session、programs 或 off", context.word(1)));
  }
  context.backend.setCaptureMode(*mode);
  context.out.emit("透明捕获：" + captureText(captureWord(*mode)));
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
  if (sub == "rename") {
    const std::string usage = "用法: profile rename <名称> <新名称>";
    const std::string& name = operand(context, 2, usage);
    const std::string& newName = operand(context, 3, usage);
    context.backend.renameProfile(name, newName);
    context.out.emit("已把「" + name + "」改名为「" + newName + "」");
    return;
  }
  if (sub != "switch" && sub != "create" && sub != "rm") unknownSubcommand(context);
  const std::string& name = operand(context, 2, "请指定 profile 名称");
  if (sub == "switch") {
    context.backend.switchProfile(name);
    context.out.emit("已切换到「" + name + "」");
  } else if (sub == "create") {
    context.backend.createProfile(name);
    context.out.emit("已创建「" + name + "」");
  } else {
    context.backend.removeProfile(name);
    context.out.emit("已删除 profile「" + name + "」");
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
  if (sub == "unbind") {
    if (context.args.positional.size() < 3) {
      const std::string environment = context.backend.unbindCurrentEnvironment();
      context.out.emit("已解除当前网络环境「" + environment + "」的绑定");
      return;
    }
    const std::size_t count = context.backend.unbindEnvironments(context.word(2));
    context.out.emit("已解除「" + context.word(2) + "」的 " + std::to_string(count) +
                     " 个网络环境绑定");
    return;
  }
  if (sub != "bind") unknownSubcommand(context);
  const std::string& name = operand(context, 2, "请指定 profile 名称");
  context.backend.bindCurrentEnvironment(name);
  context.out.emit("已把当前网络环境绑定到「" + name + "」— 下次回到这个网络会自动切过去");
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
    for (const RuleDTO& rule : rules) context.out.emit(ruleLine(rule));
    return;
  }
  if (sub == "add") {
    const std::optional<std::string> action = context.args.flag({"--action", "-a"});
    if (context.args.positional.size() < 3 || !action) {
      usageError("用法: rule add <名称> --app <应用> --action <direct|block|proxy:名称>");
    }
    const std::string& name = context.word(2);
    context.backend.addRule(RuleDTO{.name = name,
                                    .enabled = true,
                                    .apps = splitList(context.args.flag({"--app"}).value_or("")),
                                    .hosts = splitList(context.args.flag({"--host"}).value_or("")),
                                    .ports = splitList(context.args.flag({"--port"}).value_or("")),
                                    .action = *action,
                                    .locked = false});
    context.out.emit("已添加规则「" + name + "」");
    noteMissingInterface(*action);
    return;
  }
  if (sub == "set") {
    const std::string& name = operand(context, 2, "用法: rule set <名称> [--name <新名称>] …");
    const RuleEdit edit{.name = context.args.flag({"--name"}),
                        .apps = listOption(context, "--app"),
                        .hosts = listOption(context, "--host"),
                        .ports = listOption(context, "--port"),
                        .action = context.args.flag({"--action", "-a"}),
                        .transport = enumOption<FlowTransport>(context, "--transport"),
                        .quicPolicy = enumOption<QUICPolicy>(context, "--quic")};
    context.backend.setRule(name, edit);
    context.out.emit("已修改规则「" + edit.name.value_or(name) + "」");
    if (edit.action) noteMissingInterface(*edit.action);
    return;
  }
  if (sub == "move") {
    const std::string usage =
        "用法: rule move <名称> --before <规则> | --after <规则> | --top | --bottom";
    const std::string& name = operand(context, 2, usage);
    const auto before = context.args.flag({"--before"});
    const auto after = context.args.flag({"--after"});
    const bool top = context.args.hasFlag("--top");
    const bool bottom = context.args.hasFlag("--bottom");
    if (int(before.has_value()) + int(after.has_value()) + int(top) + int(bottom) != 1)
      usageError(usage);
    using Where = RulePlacement::Where;
    const RulePlacement placement = before  ? RulePlacement{Where::before, *before}
                                    : after ? RulePlacement{Where::after, *after}
                                            : RulePlacement{top ? Where::top : Where::bottom, {}};
    context.backend.moveRule(name, placement);
    context.out.emit("已移动规则「" + name + "」");
    return;
  }
  if (sub != "enable" && sub != "disable" && sub != "rm" && sub != "remove")
    unknownSubcommand(context);
  const std::string& name = operand(context, 2, "请指定规则名称");
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
  if (sub == "rm") {
    const std::string& name = operand(context, 2, "请指定代理名称");
    context.backend.removeProxy(name);
    context.out.emit("已删除代理「" + name + "」");
    return;
  }
  const auto type = context.args.flag({"--type"});
  const std::optional<ProxyProtocol> proto =
      type ? std::optional(proxyProtocolNamed(*type)) : std::nullopt;
  if (sub == "set") {
    const std::string& name = operand(
        context, 2,
        "用法: proxy set <名称> [--name <新名称>] [--address <地址>] [--port <端口>] [--type "
        "socks5|http] [--user <用户名> --pass <密码> | --no-auth]");
    const auto port = context.args.flag({"--port"});
    ProxyEdit edit{.name = context.args.flag({"--name"}),
                   .address = context.args.flag({"--address"}),
                   .port = port ? std::optional(portNumber(*port)) : std::nullopt,
                   .proto = proto,
                   .credentials = std::nullopt};
    if (const auto given = credentials(context)) edit.credentials = given;
    if (context.args.hasFlag("--no-auth")) {
      if (edit.credentials) throw Error(VL("--no-auth 不能和 --user、--pass 一起用"));
      edit.credentials = std::optional<ProxyCredentials>();
    }
    context.backend.setProxy(name, edit);
    context.out.emit("已修改代理「" + edit.name.value_or(name) + "」");
    return;
  }
  if (sub != "add") unknownSubcommand(context);
  const std::string usage = "用法: proxy add <名称> <地址> <端口> [--type socks5|http]";
  const ProxyServer proxy{.id = UUID::random(),
                          .name = operand(context, 2, usage),
                          .address = operand(context, 3, usage),
                          .port = portNumber(operand(context, 4, usage)),
                          .proto = proto.value_or(ProxyProtocol::socks5),
                          .credentials = credentials(context)};
  context.backend.addProxy(proxy);
  context.out.emit("已添加代理「" + proxy.name + "」" + proxy.address + ":" +
                   std::to_string(proxy.port) + " " + std::string(rawValue(proxy.proto)));
}

void runChain(CommandContext& context) {
  const std::string sub = subcommand(context);
  if (sub == "list") {
    const std::vector<ChainSummary> chains = context.backend.chains();
    if (context.json()) {
      context.out.emitJSON(json::arrayOf(chains));
    } else if (chains.empty()) {
      context.out.emit(
          "还没有代理链。用 `velmoractl chain add <名称> <代理> <代理>…` 把几个代理串起来。");
    } else {
      for (const ChainSummary& chain : chains)
        context.out.emit(chain.name + "  " + joined(chain.proxies, " → "));
    }
    return;
  }
  if (sub == "add") {
    if (context.args.positional.size() < 5) usageError("用法: chain add <名称> <代理> <代理>…");
    const std::string& name = context.word(2);
    const std::vector<std::string> proxies(context.args.positional.begin() + 3,
                                           context.args.positional.end());
    context.backend.addChain(name, proxies);
    context.out.emit("已添加代理链「" + name + "」" + joined(proxies, " → "));
    return;
  }
  if (sub != "rm") unknownSubcommand(context);
  const std::string& name = operand(context, 2, "请指定代理链名称");
  context.backend.removeChain(name);
  context.out.emit("已删除代理链「" + name + "」");
}

void runRoute(CommandContext& context) {
  const std::string& sub = context.word(1);
  if (sub == "rm" && context.args.positional.size() >= 3) {
    context.backend.removeRoute(context.word(2));
    context.out.emit("已删除「" + context.word(2) + "」的路由");
    return;
  }
  if (context.args.positional.size() < 4 || sub != "set") {
    usageError("用法: route set <应用> <direct|block|proxy:名称> | route rm <应用>");
  }
  context.backend.setRoute(context.word(2), context.word(3));
  context.out.emit("「" + context.word(2) + "」→ " + context.word(3));
  noteMissingInterface(context.word(3));
}

}  // namespace velmora::cli
