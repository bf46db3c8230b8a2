// The running application behind the automation interface: the profile store through the
// shared offline operations, the application's own settings, the live state and the network
// environment it is on.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "kit/automation_protocol.h"
#include "kit/daemon_settings.h"
#include "kit/offline_operations.h"
#include "kit/profile_store.h"
#include "live_state.h"

namespace velmora::daemon {

/// Serves the nineteen automation requests. The profile files stay the truth: configuration
/// requests go to the files through OfflineOperations, and refresh() brings the daemon's own
/// view (the active profile, the settings, the current environment) up to date after any
/// change on disk, whoever made it. Used from the daemon's one thread.
class Application : public AutomationXPCProtocol {
 public:
  using Clock = std::function<json::Date()>;

  Application(ProfileStore& store, LiveState& live, Clock clock);

  /// Re-reads the settings, the profile files and the active marker, and logs what changed. A
  /// file that cannot be read is logged once and left as it is; the last readable version of
  /// the active profile stays in use.
  void refresh();

  /// The machine is on another network now: when a profile is bound to it, that profile
  /// becomes the active one.
  void networkChanged(const NetworkEnvironment::Fingerprint& fingerprint);

  /// The active profile as last read; nothing before the first readable version.
  const std::optional<Profile>& activeProfile() const { return active_; }
  const DaemonSettings& settings() const { return settings_; }

  /// Where the local proxy listens, why not where the settings ask for, where its
  /// transparent listener listens, and where the dashboard does ("127.0.0.1:11090"; on ::1 too, at the same port, where the
  /// host has IPv6).
  struct LocalProxy {
    std::optional<std::string> listening;
    std::optional<std::string> problem;
    std::optional<std::string> transparent;
    /// Where the dashboard listens ("http://127.0.0.1:11070/"), and why not where the settings
    /// ask for.
    std::optional<std::string> dashboard;
    std::optional<std::string> dashboardProblem;
  };
  /// The local proxy follows from now on: changed runs after every refresh and switch change,
  /// so that the proxy follows the settings, the active profile and the switch, and returns
  /// where it listens then, for the status.
  void dataPlaneStarted(std::function<LocalProxy()> changed);

  /// Whether transparent capture works, and how many programs it redirects now.
  struct Capture {
    std::optional<std::string> problem;
    std::size_t programs = 0;
  };
  /// The status asks state how transparent capture is from now on.
  void captureStarted(std::function<Capture()> state) { captureState_ = std::move(state); }

  std::string getStatus() override;
  void setEnabled(bool enabled) override;
  std::string listProfiles() override;
  void switchProfile(const std::string& name) override;
  void createProfile(const std::string& name) override;
  std::string listEnvironments() override;
  void bindCurrentEnvironment(const std::string& profileName) override;
  std::string listRules(const std::optional<std::string>& search) override;
  void addRule(const std::string& ruleJSON) override;
  void updateRule(const std::string& ruleJSON) override;
  void removeRule(const std::string& name) override;
  void setRuleEnabled(const std::string& name, bool enabled) override;
  std::string listProxies() override;
  void addProxy(const std::string& proxyJSON) override;
  void setRoute(const std::string& app, const std::string& target) override;
  std::string testRoute(const std::string& app, const std::string& host,
                        std::uint16_t port) override;
  std::string queryConnections(const std::string& filterJSON) override;
  std::string exportProfile(const std::string& name) override;
  void importProfile(const std::string& profileJSON) override;

 private:
  /// One profile file as last read: its text, and the profile or why it could not be read.
  struct ProfileFile {
    std::string text;
    std::optional<Profile> profile;
    std::string damage;
  };

  /// Has the local proxy follow the settings, the active profile and the switch as they are now.
  void followLocalProxy();
  /// Refuses a changing request when the settings do not allow automation writes.
  void requireWrites() const;
  void refreshSettings();
  void refreshProfiles();
  void refreshActive();
  /// The name of the first bound environment matching the current network, in the order the
  /// store chooses profiles by.
  std::optional<std::string> currentEnvironment() const;

  ProfileStore& store_;
  OfflineOperations operations_;
  LiveState& live_;
  Clock clock_;
  const std::filesystem::path settingsFile_;
  DaemonSettings settings_;
  std::string settingsDamage_;
  std::map<UUID, ProfileFile> files_;
  std::optional<UUID> activeID_;
  std::string activeDamage_;
  std::optional<Profile> active_;
  NetworkEnvironment::Fingerprint fingerprint_;
  std::optional<std::string> currentEnvironment_;
  bool loaded_ = false;
  std::function<LocalProxy()> dataPlaneChanged_;
  LocalProxy localProxy_;
  std::function<Capture()> captureState_;
};

}  // namespace velmora::daemon
