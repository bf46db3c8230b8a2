// The file backend: every configuration operation done directly on the profile files, returning
// the same records the running application answers with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "automation_protocol.h"
#include "error.h"
#include "importers.h"
#include "profile_store.h"

namespace velmora {

/// A message the offline operations compose themselves, shown as it stands.
class ClientErrorMessage : public Error {
 public:
  using Error::Error;
};

/// A chain as people read it: its name and its proxies by name ("?" for one that is gone).
struct ChainSummary {
  std::string name;
  std::vector<std::string> proxies;

  bool operator==(const ChainSummary&) const = default;
};
json::Value toJSON(const ChainSummary& chain);

/// The fields a rule edit replaces; the rest of the rule stays.
struct RuleEdit {
  std::optional<std::string> name;
  std::optional<std::vector<std::string>> apps;
  std::optional<std::vector<std::string>> hosts;
  std::optional<std::vector<std::string>> ports;
  std::optional<std::string> action;  // as in RuleDTO
  std::optional<FlowTransport> transport;
  std::optional<QUICPolicy> quicPolicy;
};

/// Where a moved rule goes among the rules between the two guards.
struct RulePlacement {
  enum class Where { before, after, top, bottom };
  Where where;
  std::string rule;  // before and after: the rule it goes next to
};

/// The fields a proxy edit replaces; credentials hold nothing to remove them.
struct ProxyEdit {
  std::optional<std::string> name;
  std::optional<std::string> address;
  std::optional<std::uint16_t> port;
  std::optional<ProxyProtocol> proto;
  std::optional<std::optional<ProxyCredentials>> credentials;
};

/// Load, check, change, save: each operation reads the profiles afresh and, when it changes
/// something, writes the whole profile back once, after every check has passed.
class OfflineOperations {
 public:
  explicit OfflineOperations(ProfileStore& store) : store_(store) {}

  std::vector<ProfileSummaryDTO> profiles() const;
  void switchProfile(std::string_view name);
  void createProfile(const std::string& name);
  /// Any profile but the active one.
  void removeProfile(std::string_view name);
  void renameProfile(std::string_view name, const std::string& newName);
  /// "profile ← environment" for every binding of every profile, in name order.
  std::vector<std::string> environments() const;
  /// Removes every binding of the profile; how many there were.
  std::size_t unbindEnvironments(std::string_view profileName);
  /// Removes the bindings of the network known by this name from every profile.
  void unbindEnvironmentNamed(const std::string& environment);
  /// The active profile's rules in evaluation order; a search word keeps the rules that mention
  /// it, ignoring case, in their name, applications, hosts or tags.
  std::vector<RuleDTO> rules(const std::optional<std::string>& search) const;
  /// Rule, proxy and chain names are unique within a profile, ignoring case.
  void addRule(const RuleDTO& rule);
  /// Of a locked rule only the fallback's action may change.
  void setRule(std::string_view name, const RuleEdit& edit);
  /// Moves an unlocked rule, never past the guards that open and close the order.
  void moveRule(std::string_view name, const RulePlacement& placement);
  void removeRule(std::string_view name);
  void setRuleEnabled(std::string_view name, bool enabled);
  void addProxy(const ProxyServer& proxy);
  void setProxy(std::string_view name, const ProxyEdit& edit);
  /// Refused while a rule or chain still goes through the proxy.
  void removeProxy(std::string_view name);
  std::vector<ProxyServer> proxies() const;
  void addChain(const std::string& name, const std::vector<std::string>& proxyNames);
  /// Refused while a rule still goes through the chain.
  void removeChain(std::string_view name);
  std::vector<ChainSummary> chains() const;
  void setRoute(const std::string& app, std::string_view target);
  /// Removes the rule setRoute made for the application.
  void removeRoute(const std::string& app);
  /// The dry run of the application a user names by one word (AppDescriber::named).
  TestRouteDTO testRoute(const std::string& app, std::string_view host, std::uint16_t port) const;
  /// The dry run of an application already described, such as a running process.
  TestRouteDTO testRoute(const AppIdentity& app, std::string_view host, std::uint16_t port) const;
  /// The dry run on a profile already read: the one a running application routes by.
  static TestRouteDTO testRoute(const Profile& profile, const AppIdentity& app,
                                std::string_view host, std::uint16_t port);
  /// The named profile (ignoring case), or the active one, as a pretty profile document.
  std::string exportProfile(const std::optional<std::string>& name) const;
  /// Stores a profile document as it is, or merges a Proxifier profile into the active profile
  /// and reports what it carried over; nothing to report for a profile document.
  std::optional<ImportReport> importProfile(std::string_view data);

  /// "direct", "block", "interface:<name>", "proxy:<name>" or a bare proxy name.
  static RuleAction parseTarget(std::string_view target, const Profile& profile);

 private:
  ProfileStore& store_;
};

}  // namespace velmora
