// The running application as the tool reaches it: through the bus client in a module of its own,
// loaded only when the session bus can be there at all, so that runs without a bus never load
// the bus library.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "application.h"

namespace velmora::cli {

/// Where the session bus would be: $DBUS_SESSION_BUS_ADDRESS, else the "bus" socket in
/// $XDG_RUNTIME_DIR, the way sd-bus finds it; nothing when neither is set.
std::optional<std::string> sessionBusAddress();

/// False only when every address in the list is a "unix:path=" socket that does not exist, so
/// that connecting to it could not succeed; any other form is left to the bus library to try.
bool sessionBusMayBeReachable(const std::string& address);

/// The application over the session bus. Without a reachable bus every request fails as the bus
/// client fails when it finds none ("not running"), and the bus module is never loaded; with one,
/// the module is loaded on first use and the client in it serves every request.
class SessionBusApplication : public Application {
 public:
  SessionBusApplication();
  ~SessionBusApplication() override;
  SessionBusApplication(const SessionBusApplication&) = delete;
  SessionBusApplication& operator=(const SessionBusApplication&) = delete;

  bool isAppRunning() override;
  void takeUpChanges() override;
  void captureCgroup(const std::string& cgroup) override;
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
  /// The client in the module, loaded now if need be; throws "not running" without a bus.
  Application& client();

  bool reachable_;
  struct Module;
  std::unique_ptr<Module> module_;
};

}  // namespace velmora::cli
