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

/// Load, check, change, save: each operation reads the profiles afresh and, when it changes
/// something, writes the whole profile back once, after every check has passed.
class OfflineOperations {
 public:
  explicit OfflineOperations(ProfileStore& store) : store_(store) {}

  std::vector<ProfileSummaryDTO> profiles() const;
  void switchProfile(std::string_view name);
  void createProfile(const std::string& name);
  /// "profile ← environment" for every binding of every profile, in name order.
  std::vector<std::string> environments() const;
  /// The active profile's rules in evaluation order; a search word keeps the rules that mention
  /// it, ignoring case, in their name, applications, hosts or tags.
  std::vector<RuleDTO> rules(const std::optional<std::string>& search) const;
  void addRule(const RuleDTO& rule);
  void removeRule(std::string_view name);
  void setRuleEnabled(std::string_view name, bool enabled);
  void addProxy(const ProxyServer& proxy);
  std::vector<ProxyServer> proxies() const;
  void setRoute(const std::string& app, std::string_view target);
  TestRouteDTO testRoute(const std::string& app, std::string_view host, std::uint16_t port) const;
  /// The dry run on a profile already read: the one a running application routes by.
  static TestRouteDTO testRoute(const Profile& profile, const std::string& app,
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
