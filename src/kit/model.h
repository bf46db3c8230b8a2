// The profile document: proxies, chains, rules and their actions, network environments, DNS and
// general settings, with their JSON forms and the operations on a profile.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json_text.h"
#include "uuid.h"

namespace velmora {

/// The texts of a string-valued enumeration, in declaration order; specialised per type.
template <typename E>
struct EnumTexts;

/// The string value of a case.
template <typename E>
constexpr std::string_view rawValue(E value) {
  for (const auto& [candidate, text] : EnumTexts<E>::cases) {
    if (candidate == value) return text;
  }
  return {};
}

/// The case with this exact string value (case included), or nothing.
template <typename E>
constexpr std::optional<E> fromRawValue(std::string_view text) {
  for (const auto& [candidate, candidateText] : EnumTexts<E>::cases) {
    if (candidateText == text) return candidate;
  }
  return std::nullopt;
}

/// Reads a string-valued enumeration; any other string is an invalid value.
template <typename E>
E enumFromJSON(const json::Reader& reader) {
  return reader.enumeration([](std::string_view text) { return fromRawValue<E>(text); });
}

/// Every case, in declaration order.
template <typename E>
constexpr auto allCases() {
  std::array<E, EnumTexts<E>::cases.size()> result{};
  for (std::size_t i = 0; i < result.size(); ++i) result[i] = EnumTexts<E>::cases[i].first;
  return result;
}

/// The protocol spoken to an upstream proxy.
enum class ProxyProtocol { socks5, http };
template <>
struct EnumTexts<ProxyProtocol> {
  static constexpr std::array<std::pair<ProxyProtocol, std::string_view>, 2> cases{
      {{ProxyProtocol::socks5, "socks5"}, {ProxyProtocol::http, "http"}}};
};

/// How QUIC traffic of a matching connection is treated by the host application.
enum class QUICPolicy { proxy, fallback, direct };
template <>
struct EnumTexts<QUICPolicy> {
  static constexpr std::array<std::pair<QUICPolicy, std::string_view>, 3> cases{
      {{QUICPolicy::proxy, "proxy"},
       {QUICPolicy::fallback, "fallback"},
       {QUICPolicy::direct, "direct"}}};
};

/// The transport a rule applies to; any places no limit.
enum class FlowTransport { tcp, udp, any };
template <>
struct EnumTexts<FlowTransport> {
  static constexpr std::array<std::pair<FlowTransport, std::string_view>, 3> cases{
      {{FlowTransport::tcp, "tcp"}, {FlowTransport::udp, "udp"}, {FlowTransport::any, "any"}}};
};

/// User name and password of a proxy; stored in clear text in the profile file.
struct ProxyCredentials {
  std::string username;
  std::string password;

  bool operator==(const ProxyCredentials&) const = default;
};

/// One upstream proxy.
struct ProxyServer {
  UUID id = UUID::random();
  std::string name;
  std::string address;
  std::uint16_t port = 0;
  ProxyProtocol proto = ProxyProtocol::socks5;
  std::optional<ProxyCredentials> credentials;

  /// "address:port", nothing added (no brackets around IPv6, no scheme).
  std::string endpointDescription() const;

  bool operator==(const ProxyServer&) const = default;
};

/// An ordered list of proxies a connection passes through; references may dangle.
struct ProxyChain {
  UUID id;
  std::string name;
  std::vector<UUID> proxyIDs;

  bool operator==(const ProxyChain&) const = default;
};

/// What happens to a matching connection. Proxies and chains are referred to by id, so renaming
/// them breaks no rule.
struct RuleAction {
  enum class Kind { direct, block, proxy, chain, interface };

  Kind kind = Kind::direct;
  UUID id;                    // proxy and chain
  std::string interfaceName;  // interface

  static RuleAction direct() { return {}; }
  static RuleAction block() { return {Kind::block, {}, {}}; }
  static RuleAction proxy(const UUID& id) { return {Kind::proxy, id, {}}; }
  static RuleAction chain(const UUID& id) { return {Kind::chain, id, {}}; }
  static RuleAction interface(std::string name) { return {Kind::interface, {}, std::move(name)}; }

  bool operator==(const RuleAction&) const = default;
};

/// One routing rule. Empty apps, hosts or ports place no condition on that field.
struct Rule {
  UUID id;
  std::string name;
  bool enabled = true;
  std::vector<std::string> apps;
  std::vector<std::string> hosts;
  std::vector<std::string> ports;
  FlowTransport transport = FlowTransport::any;
  RuleAction action;
  QUICPolicy quicPolicy = QUICPolicy::fallback;
  bool locked = false;
  std::vector<std::string> tags;

  /// The fields a copy replaces; id and locked are always kept.
  struct Changes {
    std::optional<std::string> name;
    std::optional<bool> enabled;
    std::optional<std::vector<std::string>> apps;
    std::optional<std::vector<std::string>> hosts;
    std::optional<std::vector<std::string>> ports;
    std::optional<FlowTransport> transport;
    std::optional<RuleAction> action;
    std::optional<QUICPolicy> quicPolicy;
    std::optional<std::vector<std::string>> tags;
  };
  Rule with(Changes changes) const;

  bool operator==(const Rule&) const = default;
};

/// DNS behaviour of a profile.
struct DNSSettings {
  bool resolveViaProxy = true;
  std::vector<std::string> exclusions;

  static const std::vector<std::string>& defaultExclusions();

  bool operator==(const DNSSettings&) const = default;
};

/// General switches of a profile.
struct GeneralSettings {
  bool loopDetection = true;
  bool failsafeOnCrash = true;

  bool operator==(const GeneralSettings&) const = default;
};

/// A network the machine can be on: a Wi-Fi network by SSID, or a wired one by its gateway's
/// hardware address and its subnet.
struct NetworkEnvironment {
  struct Kind {
    enum class Type { wifi, wired };

    Type type = Type::wifi;
    std::string ssid;                       // wifi
    std::optional<std::string> gatewayMAC;  // wired
    std::optional<std::string> subnet;      // wired

    static Kind wifi(std::string ssid) { return {Type::wifi, std::move(ssid), {}, {}}; }
    static Kind wired(std::optional<std::string> gatewayMAC, std::optional<std::string> subnet) {
      return {Type::wired, {}, std::move(gatewayMAC), std::move(subnet)};
    }

    bool operator==(const Kind&) const = default;
  };

  /// The observed current network.
  struct Fingerprint {
    enum class InterfaceType { wifi, wired, other };

    InterfaceType interfaceType = InterfaceType::other;
    std::optional<std::string> ssid;
    std::optional<std::string> gatewayMAC;
    std::optional<std::string> subnet;

    bool operator==(const Fingerprint&) const = default;
  };

  UUID id;
  std::string name;
  Kind kind;

  bool matches(const Fingerprint& fingerprint) const;

  bool operator==(const NetworkEnvironment&) const = default;
};

template <>
struct EnumTexts<NetworkEnvironment::Fingerprint::InterfaceType> {
  using T = NetworkEnvironment::Fingerprint::InterfaceType;
  static constexpr std::array<std::pair<T, std::string_view>, 3> cases{
      {{T::wifi, "wifi"}, {T::wired, "wired"}, {T::other, "other"}}};
};

/// One complete, named routing configuration.
struct Profile {
  static constexpr std::int64_t currentSchemaVersion = 1;

  std::int64_t schemaVersion = currentSchemaVersion;
  UUID id;
  std::string name;
  std::vector<ProxyServer> proxies;
  std::vector<ProxyChain> chains;
  std::vector<Rule> rules;
  DNSSettings dns;
  GeneralSettings general;
  std::vector<NetworkEnvironment> environments;

  /// A new profile: two built-in rules, default DNS and general settings, nothing else.
  static Profile makeDefault(std::string name);
  /// The built-in rule that keeps local traffic direct; always evaluated first.
  static Rule localhostGuardRule();
  /// The built-in rule that catches whatever no other rule took; always evaluated last.
  static Rule defaultFallbackRule();

  const ProxyServer* proxy(const UUID& id) const;
  const ProxyChain* chain(const UUID& id) const;
  const Rule* rule(const UUID& id) const;

  /// The evaluation order: locked "Localhost" rules, the unlocked rules, locked "Default" rules.
  /// Locked rules with other names take no part.
  std::vector<Rule> orderedRules() const;
  /// The same order, as the profile's own rules.
  std::vector<const Rule*> evaluationOrder() const;

  /// A copy in which the rule "App: <app>" carries the action, created when it does not exist.
  Profile settingRoute(const std::string& app, const RuleAction& action) const;

  /// The fields a copy replaces; schemaVersion and id are always kept.
  struct Changes {
    std::optional<std::string> name;
    std::optional<std::vector<ProxyServer>> proxies;
    std::optional<std::vector<ProxyChain>> chains;
    std::optional<std::vector<Rule>> rules;
    std::optional<DNSSettings> dns;
    std::optional<GeneralSettings> general;
    std::optional<std::vector<NetworkEnvironment>> environments;
  };
  Profile with(Changes changes) const;

  bool operator==(const Profile&) const = default;
};

// JSON forms. Reading is strict: a missing key, a null or a value of the wrong type or range
// throws json::DecodingError naming the place; unknown keys are ignored.
json::Value toJSON(const ProxyServer& proxy);
json::Value toJSON(const ProxyChain& chain);
json::Value toJSON(const RuleAction& action);
json::Value toJSON(const Rule& rule);
json::Value toJSON(const NetworkEnvironment& environment);
json::Value toJSON(const NetworkEnvironment::Fingerprint& fingerprint);
json::Value toJSON(const Profile& profile);

ProxyServer proxyServerFromJSON(const json::Reader& reader);
ProxyChain proxyChainFromJSON(const json::Reader& reader);
RuleAction ruleActionFromJSON(const json::Reader& reader);
Rule ruleFromJSON(const json::Reader& reader);
NetworkEnvironment networkEnvironmentFromJSON(const json::Reader& reader);
NetworkEnvironment::Fingerprint fingerprintFromJSON(const json::Reader& reader);
Profile profileFromJSON(const json::Reader& reader);

}  // namespace velmora
