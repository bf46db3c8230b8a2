#include "automation_protocol.h"

#include "error.h"
#include "import_error.h"
#include "localize.h"
#include "matchers.h"
#include "profile_store.h"
#include "unicode.h"

namespace velmora {

TestRouteDTO TestRouteDTO::fromVerdict(const Verdict& verdict) {
  TestRouteDTO record{
      .action = verdict.actionDescription(), .matchedRule = std::nullopt, .trace = {}};
  if (verdict.matchedRule) record.matchedRule = verdict.matchedRule->name;
  record.trace.reserve(verdict.trace.size());
  // The frames are fixed text; the reasons inside them were localised when the trace was made.
  for (const Verdict::TraceEntry& entry : verdict.trace) {
    record.trace.push_back(entry.matched ? "命中「" + entry.ruleName + "」"
                                         : "跳过「" + entry.ruleName + "」：" + entry.reason);
  }
  return record;
}

RuleDTO RuleDTO::fromRule(const Rule& rule, const Profile& profile) {
  std::string action;
  switch (rule.action.kind) {
    case RuleAction::Kind::direct:
      action = "direct";
      break;
    case RuleAction::Kind::block:
      action = "block";
      break;
    case RuleAction::Kind::proxy: {
      const ProxyServer* proxy = profile.proxy(rule.action.id);
      action = "proxy:" + (proxy ? proxy->name : "?");
      break;
    }
    case RuleAction::Kind::chain: {
      const ProxyChain* chain = profile.chain(rule.action.id);
      action = "chain:" + (chain ? chain->name : "?");
      break;
    }
    case RuleAction::Kind::interface:
      action = "interface:" + rule.action.interfaceName;
      break;
  }
  return RuleDTO{.name = rule.name,
                 .enabled = rule.enabled,
                 .apps = rule.apps,
                 .hosts = rule.hosts,
                 .ports = rule.ports,
                 .action = std::move(action),
                 .locked = rule.locked};
}

RuleAction parseActionText(std::string_view text, const Profile& profile) {
  // Only the word is compared ignoring case; a name is cut from the text as the user wrote it.
  const std::string lowered = unicode::lowercased(text);
  const auto rest = [&](std::string_view prefix) {
    return std::string(text.substr(prefix.size()));
  };
  if (lowered == "direct") return RuleAction::direct();
  if (lowered == "block") return RuleAction::block();
  if (lowered.starts_with("proxy:")) {
    const std::string name = rest("proxy:");
    for (const ProxyServer& proxy : profile.proxies) {
      if (unicode::equalsIgnoringCase(proxy.name, name)) return RuleAction::proxy(proxy.id);
    }
    throw ProfileStore::Error::notFound(name, ProfileStore::Error::Subject::proxy);
  }
  if (lowered.starts_with("chain:")) {
    const std::string name = rest("chain:");
    for (const ProxyChain& chain : profile.chains) {
      if (unicode::equalsIgnoringCase(chain.name, name)) return RuleAction::chain(chain.id);
    }
    throw ProfileStore::Error::notFound(name, ProfileStore::Error::Subject::chain);
  }
  if (lowered.starts_with("interface:")) {
    const std::string name(trimmedSpacesAndTabs(rest("interface:")));
    if (name.empty())
      throw ImportError::malformed(VL("interface: 后面要跟网卡名，例如 interface:utun4"));
    return RuleAction::interface(name);
  }
  throw ImportError::malformed(
      VL("未知 action「%@」，应为 direct / block / proxy:<名称> / interface:<网卡名>",
         std::string(text)));
}

std::uint16_t portNumber(std::string_view text) {
  const auto port = parsePort(text);
  if (!port || *port == 0)
    throw Error(VL("端口「%@」无效：应为 1 到 65535 之间的数", std::string(text)));
  return *port;
}

ProxyProtocol proxyProtocolNamed(std::string_view text) {
  const auto proto = fromRawValue<ProxyProtocol>(unicode::lowercased(text));
  if (!proto) throw Error(VL("代理类型「%@」无效：应为 socks5 或 http", std::string(text)));
  return *proto;
}

void requireRulePorts(const std::vector<std::string>& ports) {
  for (const std::string& port : ports) {
    const auto pattern = PortPattern::parse(port);
    if (!pattern || pattern->low == 0) {
      throw Error(VL(
          "端口「%@」无效：应为 1 到 65535 之间的端口，或低不大于高的范围，例如 8000-8080", port));
    }
  }
}

void requireRuleHosts(const std::vector<std::string>& hosts) {
  for (const std::string& host : hosts) {
    const HostPattern pattern(host);
    // Anything with a slash, or made of digits, dots and a dash, can only mean IPv4: it must
    // have compiled as an address, a range or a network rather than as a plain name.
    const bool numeric = host.find_first_not_of("0123456789.-") == std::string::npos;
    const bool meantAsIPv4 = host.find('/') != std::string::npos || numeric;
    const bool isIPv4 = pattern.kind == HostPattern::Kind::cidr ||
                        pattern.kind == HostPattern::Kind::range || IPv4::parse(host);
    if (meantAsIPv4 && !isIPv4) {
      throw Error(VL("主机「%@」无效：IPv4 地址应为四个 0 到 255 的数，网段的前缀不超过 32", host));
    }
  }
}

Rule RuleDTO::makeRule(const Profile& profile) const {
  requireRulePorts(ports);
  requireRuleHosts(hosts);
  return Rule{.id = UUID::random(),
              .name = name,
              .enabled = enabled,
              .apps = apps,
              .hosts = hosts,
              .ports = ports,
              .transport = FlowTransport::any,
              .action = parseActionText(action, profile),
              .quicPolicy = QUICPolicy::fallback,
              .locked = false,
              .tags = {}};
}

json::Value toJSON(const StatusDTO& record) {
  json::Value result = {{"enabled", record.enabled},
                        {"extensionInstalled", record.extensionInstalled},
                        {"activeProfile", record.activeProfile},
                        {"stats", toJSON(record.stats)},
                        {"automationWritesAllowed", record.automationWritesAllowed}};
  if (record.currentEnvironment) result["currentEnvironment"] = *record.currentEnvironment;
  if (record.localProxy) result["localProxy"] = *record.localProxy;
  if (record.localProxyProblem) result["localProxyProblem"] = *record.localProxyProblem;
  if (record.capturedPrograms) result["capturedPrograms"] = *record.capturedPrograms;
  if (record.captureProblem) result["captureProblem"] = *record.captureProblem;
  if (record.captureMode) result["captureMode"] = *record.captureMode;
  if (record.dashboard) result["dashboard"] = *record.dashboard;
  if (record.dashboardProblem) result["dashboardProblem"] = *record.dashboardProblem;
  return result;
}

json::Value toJSON(const ProfileSummaryDTO& record) {
  return {{"name", record.name},
          {"isActive", record.isActive},
          {"ruleCount", record.ruleCount},
          {"proxyCount", record.proxyCount},
          {"boundEnvironments", record.boundEnvironments}};
}

json::Value toJSON(const TestRouteDTO& record) {
  json::Value result = {{"action", record.action}, {"trace", record.trace}};
  if (record.matchedRule) result["matchedRule"] = *record.matchedRule;
  return result;
}

json::Value toJSON(const ConnectionQueryDTO& record) {
  json::Value result = json::Value::object();
  if (record.app) result["app"] = *record.app;
  if (record.host) result["host"] = *record.host;
  if (record.sinceMinutes) result["sinceMinutes"] = *record.sinceMinutes;
  if (record.limit) result["limit"] = *record.limit;
  return result;
}

json::Value toJSON(const RuleDTO& record) {
  return {{"name", record.name},    {"enabled", record.enabled}, {"apps", record.apps},
          {"hosts", record.hosts},  {"ports", record.ports},     {"action", record.action},
          {"locked", record.locked}};
}

namespace {

/// The integer under key, or nothing when it is missing or null.
std::optional<std::int64_t> optionalInteger(const json::Reader& reader, std::string_view key) {
  if (const auto member = reader.optional(key)) return member->integer();
  return std::nullopt;
}

}  // namespace

StatusDTO statusDTOFromJSON(const json::Reader& reader) {
  return StatusDTO{.enabled = reader["enabled"].boolean(),
                   .extensionInstalled = reader["extensionInstalled"].boolean(),
                   .activeProfile = reader["activeProfile"].string(),
                   .currentEnvironment = reader.optionalString("currentEnvironment"),
                   .stats = statsSnapshotFromJSON(reader["stats"]),
                   .automationWritesAllowed = reader["automationWritesAllowed"].boolean(),
                   .localProxy = reader.optionalString("localProxy"),
                   .localProxyProblem = reader.optionalString("localProxyProblem"),
                   .capturedPrograms = optionalInteger(reader, "capturedPrograms"),
                   .captureProblem = reader.optionalString("captureProblem"),
                   .captureMode = reader.optionalString("captureMode"),
                   .dashboard = reader.optionalString("dashboard"),
                   .dashboardProblem = reader.optionalString("dashboardProblem")};
}

ProfileSummaryDTO profileSummaryDTOFromJSON(const json::Reader& reader) {
  return ProfileSummaryDTO{.name = reader["name"].string(),
                           .isActive = reader["isActive"].boolean(),
                           .ruleCount = reader["ruleCount"].integer(),
                           .proxyCount = reader["proxyCount"].integer(),
                           .boundEnvironments = reader["boundEnvironments"].strings()};
}

TestRouteDTO testRouteDTOFromJSON(const json::Reader& reader) {
  return TestRouteDTO{.action = reader["action"].string(),
                      .matchedRule = reader.optionalString("matchedRule"),
                      .trace = reader["trace"].strings()};
}

ConnectionQueryDTO connectionQueryDTOFromJSON(const json::Reader& reader) {
  return ConnectionQueryDTO{.app = reader.optionalString("app"),
                            .host = reader.optionalString("host"),
                            .sinceMinutes = optionalInteger(reader, "sinceMinutes"),
                            .limit = optionalInteger(reader, "limit")};
}

RuleDTO ruleDTOFromJSON(const json::Reader& reader) {
  return RuleDTO{.name = reader["name"].string(),
                 .enabled = reader["enabled"].boolean(),
                 .apps = reader["apps"].strings(),
                 .hosts = reader["hosts"].strings(),
                 .ports = reader["ports"].strings(),
                 .action = reader["action"].string(),
                 .locked = reader["locked"].boolean()};
}

}  // namespace velmora
