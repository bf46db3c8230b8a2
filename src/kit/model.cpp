#include "model.h"

#include "unicode.h"

namespace velmora {
namespace {

constexpr std::string_view kLocalhostRuleName = "Localhost";
constexpr std::string_view kDefaultRuleName = "Default";

bool isLocalhostGuard(const Rule& rule) {
  return rule.locked && rule.name == kLocalhostRuleName;
}
bool isDefaultFallback(const Rule& rule) {
  return rule.locked && rule.name == kDefaultRuleName;
}

/// The evaluation order over the guards of `stored` around the unlocked rules of `middle`.
std::vector<const Rule*> evaluationOrderOf(const std::vector<Rule>& stored,
                                           const std::vector<Rule>& middle) {
  std::vector<const Rule*> order;
  order.reserve(stored.size());
  for (const Rule& rule : stored) {
    if (isLocalhostGuard(rule)) order.push_back(&rule);
  }
  for (const Rule& rule : middle) {
    if (!rule.locked) order.push_back(&rule);
  }
  for (const Rule& rule : stored) {
    if (isDefaultFallback(rule)) order.push_back(&rule);
  }
  return order;
}

/// Rebuilds a rule list in evaluation order from the guards of `stored` around `unlocked`.
std::vector<Rule> inEvaluationOrder(const std::vector<Rule>& stored,
                                    const std::vector<Rule>& unlocked) {
  std::vector<Rule> result;
  result.reserve(stored.size());
  for (const Rule* rule : evaluationOrderOf(stored, unlocked)) result.push_back(*rule);
  return result;
}

std::vector<Rule> unlockedRules(const std::vector<Rule>& rules) {
  std::vector<Rule> result;
  for (const Rule& rule : rules) {
    if (!rule.locked) result.push_back(rule);
  }
  return result;
}

template <typename T, typename Read>
std::vector<T> arrayFromJSON(const json::Reader& reader, Read read) {
  std::vector<T> result;
  for (const json::Reader& element : reader.elements()) result.push_back(read(element));
  return result;
}

template <typename T>
void assignIfGiven(T& field, std::optional<T>& change) {
  if (change) field = std::move(*change);
}

}  // namespace

std::string ProxyServer::endpointDescription() const {
  return address + ":" + std::to_string(port);
}

Rule Rule::with(Changes changes) const {
  Rule copy = *this;
  assignIfGiven(copy.name, changes.name);
  assignIfGiven(copy.enabled, changes.enabled);
  assignIfGiven(copy.apps, changes.apps);
  assignIfGiven(copy.hosts, changes.hosts);
  assignIfGiven(copy.ports, changes.ports);
  assignIfGiven(copy.transport, changes.transport);
  assignIfGiven(copy.action, changes.action);
  assignIfGiven(copy.quicPolicy, changes.quicPolicy);
  assignIfGiven(copy.tags, changes.tags);
  return copy;
}

const std::vector<std::string>& DNSSettings::defaultExclusions() {
  static const std::vector<std::string> exclusions = {"localhost", "*.local", "%ComputerName%"};
  return exclusions;
}

bool NetworkEnvironment::matches(const Fingerprint& fingerprint) const {
  using InterfaceType = Fingerprint::InterfaceType;
  switch (kind.type) {
    case Kind::Type::wifi:
      return fingerprint.interfaceType == InterfaceType::wifi && fingerprint.ssid &&
             unicode::equalsIgnoringCase(*fingerprint.ssid, kind.ssid);
    case Kind::Type::wired:
      if (fingerprint.interfaceType != InterfaceType::wired) return false;
      if (kind.gatewayMAC && !kind.gatewayMAC->empty() &&
          !(fingerprint.gatewayMAC &&
            unicode::equalsIgnoringCase(*fingerprint.gatewayMAC, *kind.gatewayMAC))) {
        return false;
      }
      // Subnets are compared exactly: the host application writes them in one canonical form.
      if (!kind.subnet || kind.subnet->empty()) return true;
      return fingerprint.subnet == kind.subnet;
  }
  return false;
}

Profile Profile::makeDefault(std::string name) {
  return Profile{
      .schemaVersion = currentSchemaVersion,
      .id = UUID::random(),
      .name = std::move(name),
      .proxies = {},
      .chains = {},
      .rules = {localhostGuardRule(), defaultFallbackRule()},
      .dns = {.resolveViaProxy = true, .exclusions = DNSSettings::defaultExclusions()},
      .general = {.loopDetection = true, .failsafeOnCrash = true},
      .environments = {},
  };
}

Rule Profile::localhostGuardRule() {
  return Rule{.id = UUID::random(),
              .name = std::string(kLocalhostRuleName),
              .enabled = true,
              .apps = {},
              .hosts = {"localhost", "127.0.0.1", "::1", "%ComputerName%"},
              .ports = {},
              .transport = FlowTransport::any,
              .action = RuleAction::direct(),
              .quicPolicy = QUICPolicy::fallback,
              .locked = true,
              .tags = {}};
}

Rule Profile::defaultFallbackRule() {
  Rule rule = localhostGuardRule();
  rule.id = UUID::random();
  rule.name = std::string(kDefaultRuleName);
  rule.hosts.clear();
  return rule;
}

const ProxyServer* Profile::proxy(const UUID& wanted) const {
  for (const ProxyServer& candidate : proxies) {
    if (candidate.id == wanted) return &candidate;
  }
  return nullptr;
}

const ProxyChain* Profile::chain(const UUID& wanted) const {
  for (const ProxyChain& candidate : chains) {
    if (candidate.id == wanted) return &candidate;
  }
  return nullptr;
}

const Rule* Profile::rule(const UUID& wanted) const {
  for (const Rule& candidate : rules) {
    if (candidate.id == wanted) return &candidate;
  }
  return nullptr;
}

std::vector<Rule> Profile::orderedRules() const {
  return inEvaluationOrder(rules, rules);
}

std::vector<const Rule*> Profile::evaluationOrder() const {
  return evaluationOrderOf(rules, rules);
}

Profile Profile::settingRoute(const std::string& app, const RuleAction& action) const {
  const std::string ruleName = "App: " + app;
  std::vector<Rule> unlocked = unlockedRules(rules);
  bool updated = false;
  for (Rule& rule : unlocked) {
    if (unicode::equalsIgnoringCase(rule.name, ruleName)) {
      rule.action = action;
      updated = true;
      break;
    }
  }
  if (!updated) {
    unlocked.push_back(Rule{.id = UUID::random(),
                            .name = ruleName,
                            .enabled = true,
                            .apps = {app},
                            .hosts = {},
                            .ports = {},
                            .transport = FlowTransport::any,
                            .action = action,
                            .quicPolicy = QUICPolicy::fallback,
                            .locked = false,
                            .tags = {}});
  }
  Profile copy = *this;
  copy.rules = inEvaluationOrder(rules, unlocked);
  return copy;
}

Profile Profile::with(Changes changes) const {
  Profile copy = *this;
  assignIfGiven(copy.name, changes.name);
  assignIfGiven(copy.proxies, changes.proxies);
  assignIfGiven(copy.chains, changes.chains);
  assignIfGiven(copy.rules, changes.rules);
  assignIfGiven(copy.dns, changes.dns);
  assignIfGiven(copy.general, changes.general);
  assignIfGiven(copy.environments, changes.environments);
  return copy;
}

// JSON forms -------------------------------------------------------------------------------------

json::Value toJSON(const ProxyServer& proxy) {
  json::Value result = {{"id", proxy.id.string()},
                        {"name", proxy.name},
                        {"address", proxy.address},
                        {"port", proxy.port},
                        {"proto", rawValue(proxy.proto)}};
  if (proxy.credentials) {
    result["credentials"] = {{"username", proxy.credentials->username},
                             {"password", proxy.credentials->password}};
  }
  return result;
}

json::Value toJSON(const ProxyChain& chain) {
  json::Value ids = json::Value::array();
  for (const UUID& id : chain.proxyIDs) ids.push_back(id.string());
  return {{"id", chain.id.string()}, {"name", chain.name}, {"proxyIDs", ids}};
}

json::Value toJSON(const RuleAction& action) {
  switch (action.kind) {
    case RuleAction::Kind::direct:
      return {{"kind", "direct"}};
    case RuleAction::Kind::block:
      return {{"kind", "block"}};
    case RuleAction::Kind::proxy:
      return {{"kind", "proxy"}, {"id", action.id.string()}};
    case RuleAction::Kind::chain:
      return {{"kind", "chain"}, {"id", action.id.string()}};
    case RuleAction::Kind::interface:
      return {{"kind", "interface"}, {"name", action.interfaceName}};
  }
  return {};
}

json::Value toJSON(const Rule& rule) {
  return {{"id", rule.id.string()},
          {"name", rule.name},
          {"enabled", rule.enabled},
          {"apps", rule.apps},
          {"hosts", rule.hosts},
          {"ports", rule.ports},
          {"transport", rawValue(rule.transport)},
          {"action", toJSON(rule.action)},
          {"quicPolicy", rawValue(rule.quicPolicy)},
          {"locked", rule.locked},
          {"tags", rule.tags}};
}

json::Value toJSON(const NetworkEnvironment& environment) {
  json::Value kind;
  switch (environment.kind.type) {
    case NetworkEnvironment::Kind::Type::wifi:
      kind = {{"type", "wifi"}, {"ssid", environment.kind.ssid}};
      break;
    case NetworkEnvironment::Kind::Type::wired:
      kind = {{"type", "wired"}};
      if (environment.kind.gatewayMAC) kind["gatewayMAC"] = *environment.kind.gatewayMAC;
      if (environment.kind.subnet) kind["subnet"] = *environment.kind.subnet;
      break;
  }
  return {{"id", environment.id.string()}, {"name", environment.name}, {"kind", kind}};
}

json::Value toJSON(const NetworkEnvironment::Fingerprint& fingerprint) {
  json::Value result = {{"interfaceType", rawValue(fingerprint.interfaceType)}};
  if (fingerprint.ssid) result["ssid"] = *fingerprint.ssid;
  if (fingerprint.gatewayMAC) result["gatewayMAC"] = *fingerprint.gatewayMAC;
  if (fingerprint.subnet) result["subnet"] = *fingerprint.subnet;
  return result;
}

json::Value toJSON(const Profile& profile) {
  return {
      {"schemaVersion", profile.schemaVersion},
      {"id", profile.id.string()},
      {"name", profile.name},
      {"proxies", json::arrayOf(profile.proxies)},
      {"chains", json::arrayOf(profile.chains)},
      {"rules", json::arrayOf(profile.rules)},
      {"dns",
       {{"resolveViaProxy", profile.dns.resolveViaProxy}, {"exclusions", profile.dns.exclusions}}},
      {"general",
       {{"loopDetection", profile.general.loopDetection},
        {"failsafeOnCrash", profile.general.failsafeOnCrash}}},
      {"environments", json::arrayOf(profile.environments)}};
}

ProxyServer proxyServerFromJSON(const json::Reader& reader) {
  ProxyServer proxy{.id = reader["id"].uuid(),
                    .name = reader["name"].string(),
                    .address = reader["address"].string(),
                    .port = reader["port"].port(),
                    .proto = enumFromJSON<ProxyProtocol>(reader["proto"]),
                    .credentials = std::nullopt};
  if (const auto credentials = reader.optional("credentials")) {
    proxy.credentials =
        ProxyCredentials{(*credentials)["username"].string(), (*credentials)["password"].string()};
  }
  return proxy;
}

ProxyChain proxyChainFromJSON(const json::Reader& reader) {
  return ProxyChain{.id = reader["id"].uuid(),
                    .name = reader["name"].string(),
                    .proxyIDs = arrayFromJSON<UUID>(
                        reader["proxyIDs"], [](const json::Reader& r) { return r.uuid(); })};
}

RuleAction ruleActionFromJSON(const json::Reader& reader) {
  const json::Reader kind = reader["kind"];
  const std::string text = kind.string();
  if (text == "direct") return RuleAction::direct();
  if (text == "block") return RuleAction::block();
  if (text == "proxy") return RuleAction::proxy(reader["id"].uuid());
  if (text == "chain") return RuleAction::chain(reader["id"].uuid());
  if (text == "interface") return RuleAction::interface(reader["name"].string());
  kind.invalid();
}

Rule ruleFromJSON(const json::Reader& reader) {
  return Rule{.id = reader["id"].uuid(),
              .name = reader["name"].string(),
              .enabled = reader["enabled"].boolean(),
              .apps = reader["apps"].strings(),
              .hosts = reader["hosts"].strings(),
              .ports = reader["ports"].strings(),
              .transport = enumFromJSON<FlowTransport>(reader["transport"]),
              .action = ruleActionFromJSON(reader["action"]),
              .quicPolicy = enumFromJSON<QUICPolicy>(reader["quicPolicy"]),
              .locked = reader["locked"].boolean(),
              .tags = reader["tags"].strings()};
}

NetworkEnvironment networkEnvironmentFromJSON(const json::Reader& reader) {
  NetworkEnvironment environment{
      .id = reader["id"].uuid(), .name = reader["name"].string(), .kind = {}};
  const json::Reader kind = reader["kind"];
  const json::Reader type = kind["type"];
  const std::string text = type.string();
  if (text == "wifi") {
    environment.kind = NetworkEnvironment::Kind::wifi(kind["ssid"].string());
  } else if (text == "wired") {
    environment.kind = NetworkEnvironment::Kind::wired(kind.optionalString("gatewayMAC"),
                                                       kind.optionalString("subnet"));
  } else {
    type.invalid();
  }
  return environment;
}

NetworkEnvironment::Fingerprint fingerprintFromJSON(const json::Reader& reader) {
  return NetworkEnvironment::Fingerprint{
      .interfaceType =
          enumFromJSON<NetworkEnvironment::Fingerprint::InterfaceType>(reader["interfaceType"]),
      .ssid = reader.optionalString("ssid"),
      .gatewayMAC = reader.optionalString("gatewayMAC"),
      .subnet = reader.optionalString("subnet")};
}

Profile profileFromJSON(const json::Reader& reader) {
  const json::Reader dns = reader["dns"];
  const json::Reader general = reader["general"];
  return Profile{.schemaVersion = reader["schemaVersion"].integer(),
                 .id = reader["id"].uuid(),
                 .name = reader["name"].string(),
                 .proxies = arrayFromJSON<ProxyServer>(reader["proxies"], proxyServerFromJSON),
                 .chains = arrayFromJSON<ProxyChain>(reader["chains"], proxyChainFromJSON),
                 .rules = arrayFromJSON<Rule>(reader["rules"], ruleFromJSON),
                 .dns = {.resolveViaProxy = dns["resolveViaProxy"].boolean(),
                         .exclusions = dns["exclusions"].strings()},
                 .general = {.loopDetection = general["loopDetection"].boolean(),
                             .failsafeOnCrash = general["failsafeOnCrash"].boolean()},
                 .environments = arrayFromJSON<NetworkEnvironment>(reader["environments"],
                                                                   networkEnvironmentFromJSON)};
}

}  // namespace velmora
