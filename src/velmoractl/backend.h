// The one place that knows which side serves each operation: the running application over the
// session bus, or the profile files. Commands and MCP tools call it and get typed records; none
// of them chooses a side itself.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "application.h"
#include "kit/automation_protocol.h"
#include "kit/daemon_settings.h"
#include "kit/importers.h"
#include "kit/offline_operations.h"
#include "kit/profile_store.h"

namespace velmora::cli {

/// The operations of the tool over the application or the files. Operations that both sides can
/// serve go to the side chosen when the backend is made; the others always go to their one side,
/// and the few whose side differs between the command line and the MCP tools say so by name.
class Backend {
 public:
  /// Which side serves the operations that both sides can serve.
  enum class Choice { application, files };

  /// store opens the profile store when first needed, so that runs served by the application
  /// alone never touch the files.
  Backend(Application& application, std::function<ProfileStore&()> store, Choice choice)
      : application_(application), store_(std::move(store)), choice_(choice) {}

  Choice choice() const { return choice_; }
  /// The same two sides, with the choice made by asking the application now.
  Backend choosingNow() const;
  /// Opens the profile store at once, so that its failure comes before anything else.
  void openFiles() { store_(); }

  // The chosen side.
  /// From the files: the active profile's name, everything else stopped and empty.
  StatusDTO status();
  std::vector<ProfileSummaryDTO> profiles();
  void switchProfile(const std::string& name);
  /// Which programs transparent capture takes, from velmorad.json.
  DaemonSettings::Capture captureMode();
  /// Writes the mode into velmorad.json, then has the running application take it up.
  void setCaptureMode(DaemonSettings::Capture mode);
  void createProfile(const std::string& name);
  std::vector<RuleDTO> rules(const std::optional<std::string>& search);
  TestRouteDTO testRoute(const std::string& app, const std::string& host, std::uint16_t port);

  // Always the application.
  StatusDTO applicationStatus();
  void setEnabled(bool enabled);
  void bindCurrentEnvironment(const std::string& profileName);
  /// The application names the network the machine is on; its bindings go from the files.
  /// Returns that network's name.
  std::string unbindCurrentEnvironment();
  std::vector<ConnectionEvent> connections(const ConnectionQueryDTO& query);
  /// Returns once the application has the cgroup's connections redirected to it.
  void captureCgroup(const std::string& cgroup);

  // Always the files.
  /// The settings in velmorad.json.
  DaemonSettings settings();
  std::vector<ProfileSummaryDTO> profilesFromFiles();
  void removeProfile(const std::string& name);
  void renameProfile(const std::string& name, const std::string& newName);
  std::vector<std::string> environments();
  /// Every binding of the profile; how many there were.
  std::size_t unbindEnvironments(const std::string& profileName);
  std::vector<RuleDTO> rulesFromFiles(const std::optional<std::string>& search);
  void addRule(const RuleDTO& rule);
  void setRule(const std::string& name, const RuleEdit& edit);
  void moveRule(const std::string& name, const RulePlacement& placement);
  void setRuleEnabled(const std::string& name, bool enabled);
  void removeRule(const std::string& name);
  std::vector<ProxyServer> proxies();
  void addProxy(const ProxyServer& proxy);
  void setProxy(const std::string& name, const ProxyEdit& edit);
  void removeProxy(const std::string& name);
  std::vector<ChainSummary> chains();
  void addChain(const std::string& name, const std::vector<std::string>& proxyNames);
  void removeChain(const std::string& name);
  void setRoute(const std::string& app, const std::string& target);
  void removeRoute(const std::string& app);
  /// The dry run on the files even while the application runs: nothing is connected.
  TestRouteDTO testRouteFromFiles(const std::string& app, const std::string& host,
                                  std::uint16_t port);
  /// The dry run of an application already described (a running process) on the files: the
  /// bus carries an application as one word only.
  TestRouteDTO testRouteFromFiles(const AppIdentity& app, const std::string& host,
                                  std::uint16_t port);
  std::string exportProfile(const std::optional<std::string>& name);
  /// The report of a foreign import; nothing for a profile document.
  std::optional<ImportReport> importProfile(std::string_view data);

 private:
  bool fromApplication() const { return choice_ == Choice::application; }
  OfflineOperations files() { return OfflineOperations(store_()); }
  /// Runs a change of the profile files, then has the running application act on it, so that
  /// the command returns only once connections are routed by the change.
  template <typename Change>
  auto changeFiles(Change change) {
    if constexpr (std::is_void_v<decltype(change(files()))>) {
      change(files());
      applicationTakesUp();
    } else {
      auto result = change(files());
      applicationTakesUp();
      return result;
    }
  }
  /// Asks the running application to take up a change of the files; a silence is a note on
  /// standard error, never a failure, since the change is written.
  void applicationTakesUp();

  Application& application_;
  std::function<ProfileStore&()> store_;
  Choice choice_;
};

}  // namespace velmora::cli
