// The contract between velmoractl and the running application: the requests, the records that
// travel in their bodies, and the one compact JSON coding both sides use.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "events.h"
#include "json_text.h"
#include "model.h"
#include "rule_engine.h"

namespace velmora {

/// The answer to a status request.
struct StatusDTO {
  bool enabled = false;
  bool extensionInstalled = false;
  std::string activeProfile;
  std::optional<std::string> currentEnvironment;
  StatsSnapshot stats;
  bool automationWritesAllowed = false;
  /// Where the application's local proxy listens ("127.0.0.1:11080"); absent when it does not.
  std::optional<std::string> localProxy;
  /// Why the local proxy is not where the settings ask for, when it is not.
  std::optional<std::string> localProxyProblem;
  /// How many programs transparent capture redirects to the application now; absent when it
  /// cannot capture.
  std::optional<std::int64_t> capturedPrograms;
  /// Why transparent capture is not available, when it is not.
  std::optional<std::string> captureProblem;
  /// Which programs transparent capture takes: "programs", "session" or "off".
  std::optional<std::string> captureMode;
  /// Where the dashboard listens ("http://127.0.0.1:11070/"); absent when it does not.
  std::optional<std::string> dashboard;
  /// Why the dashboard does not listen where the settings ask for, when it does not.
  std::optional<std::string> dashboardProblem;

  bool operator==(const StatusDTO&) const = default;
};

/// One profile in the answer to a profile listing.
struct ProfileSummaryDTO {
  std::string name;
  bool isActive = false;
  std::int64_t ruleCount = 0;
  std::int64_t proxyCount = 0;
  std::vector<std::string> boundEnvironments;

  bool operator==(const ProfileSummaryDTO&) const = default;
};

/// The answer to a dry-run route test: where the connection would go and the rule trace.
struct TestRouteDTO {
  std::string action;
  std::optional<std::string> matchedRule;
  std::vector<std::string> trace;

  /// "命中「rule」" for matched entries, "跳过「rule」：reason" for every other.
  static TestRouteDTO fromVerdict(const Verdict& verdict);

  bool operator==(const TestRouteDTO&) const = default;
};

/// The filter of a connection-log query; every criterion is optional.
struct ConnectionQueryDTO {
  std::optional<std::string> app;
  std::optional<std::string> host;
  std::optional<std::int64_t> sinceMinutes;
  std::optional<std::int64_t> limit;

  bool operator==(const ConnectionQueryDTO&) const = default;
};

/// A rule as automation clients see it: the action as text, proxies and chains by name.
struct RuleDTO {
  std::string name;
  bool enabled = true;
  std::vector<std::string> apps;
  std::vector<std::string> hosts;
  std::vector<std::string> ports;
  std::string action;
  bool locked = false;

  /// The action becomes "direct", "block", "proxy:<name>", "chain:<name>" ("?" for a dangling
  /// reference) or "interface:<name>".
  static RuleDTO fromRule(const Rule& rule, const Profile& profile);
  /// A new unlocked rule whose action text is resolved against the profile's proxies and chains.
  /// Throws ProfileStore::Error::notFound for an unknown name, ImportError for an unknown action,
  /// Error for a port or host no connection could match as meant.
  Rule makeRule(const Profile& profile) const;

  bool operator==(const RuleDTO&) const = default;
};

/// Reads an action text ("direct", "block", "proxy:<name>", "chain:<name>", "interface:<name>"),
/// ignoring the case of the word; names are looked up ignoring case.
RuleAction parseActionText(std::string_view text, const Profile& profile);

// Values as people type them, checked before they reach a profile. Each refusal is an Error
// whose message quotes the value.

/// A port of 1 to 65535.
std::uint16_t portNumber(std::string_view text);
/// "socks5" or "http", in any case.
ProxyProtocol proxyProtocolNamed(std::string_view text);
/// Rule ports: single ports or "low-high" ranges within 1 to 65535, low not above high.
void requireRulePorts(const std::vector<std::string>& ports);
/// Rule hosts: an entry written as an IPv4 address, range or network must be a valid one (four
/// numbers up to 255, a prefix up to 32); names and wildcards pass.
void requireRuleHosts(const std::vector<std::string>& hosts);

json::Value toJSON(const StatusDTO& record);
json::Value toJSON(const ProfileSummaryDTO& record);
json::Value toJSON(const TestRouteDTO& record);
json::Value toJSON(const ConnectionQueryDTO& record);
json::Value toJSON(const RuleDTO& record);
StatusDTO statusDTOFromJSON(const json::Reader& reader);
ProfileSummaryDTO profileSummaryDTOFromJSON(const json::Reader& reader);
TestRouteDTO testRouteDTOFromJSON(const json::Reader& reader);
ConnectionQueryDTO connectionQueryDTOFromJSON(const json::Reader& reader);
RuleDTO ruleDTOFromJSON(const json::Reader& reader);

/// The coding of every body on the wire: compact, keys sorted, dates as ISO 8601 text.
namespace DTOCoding {

template <typename T>
std::string encode(const T& record) {
  return json::compact(toJSON(record));
}

template <typename T>
std::string encode(const std::vector<T>& records) {
  return json::compact(json::arrayOf(records));
}

/// Decodes one record with read (for example statusDTOFromJSON); nothing partial is returned.
template <typename Read>
auto decode(std::string_view body, Read read) {
  const json::Value value = json::parse(body);
  return read(json::Reader(value));
}

/// Decodes an array of records with read.
template <typename Read>
auto decodeArray(std::string_view body, Read read) {
  const json::Value value = json::parse(body);
  std::vector<decltype(read(json::Reader(value)))> result;
  for (const json::Reader& element : json::Reader(value).elements())
    result.push_back(read(element));
  return result;
}

}  // namespace DTOCoding

/// The requests of the automation interface. Data requests return the JSON body of their answer;
/// status requests return nothing; a failure is thrown as a velmora::Error carrying the
/// application's own message.
class AutomationXPCProtocol {
 public:
  virtual ~AutomationXPCProtocol() = default;

  virtual std::string getStatus() = 0;
  virtual void setEnabled(bool enabled) = 0;
  virtual std::string listProfiles() = 0;
  virtual void switchProfile(const std::string& name) = 0;
  virtual void createProfile(const std::string& name) = 0;
  virtual std::string listEnvironments() = 0;
  virtual void bindCurrentEnvironment(const std::string& profileName) = 0;
  /// No search word lists every rule.
  virtual std::string listRules(const std::optional<std::string>& search) = 0;
  virtual void addRule(const std::string& ruleJSON) = 0;
  virtual void updateRule(const std::string& ruleJSON) = 0;
  virtual void removeRule(const std::string& name) = 0;
  virtual void setRuleEnabled(const std::string& name, bool enabled) = 0;
  virtual std::string listProxies() = 0;
  virtual void addProxy(const std::string& proxyJSON) = 0;
  virtual void setRoute(const std::string& app, const std::string& target) = 0;
  virtual std::string testRoute(const std::string& app, const std::string& host,
                                std::uint16_t port) = 0;
  virtual std::string queryConnections(const std::string& filterJSON) = 0;
  virtual std::string exportProfile(const std::string& name) = 0;
  virtual void importProfile(const std::string& profileJSON) = 0;
};

}  // namespace velmora
