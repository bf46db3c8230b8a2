// The tool's side of the automation interface: requests to the running application over the
// D-Bus session bus, each with a time limit, and the errors a user is shown.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "application.h"
#include "kit/automation_protocol.h"
#include "kit/error.h"

namespace sdbus {
class IConnection;
class MethodReply;
}  // namespace sdbus

namespace velmora::cli {

/// The running application as a backend. The bus connection is opened on first use and kept until
/// the client is destroyed. Data requests return the answer's JSON body for the caller to decode
/// with DTOCoding; every failure is an AutomationClient::Error.
class AutomationClient : public Application {
 public:
  class Error : public velmora::Error {
   public:
    enum class Kind { remote, appNotRunning, writesNotAllowed };

    /// The application's own message, or a text of the client's, shown as it stands.
    static Error remote(const std::string& text);
    static Error appNotRunning();
    /// Raised by callers that gate configuration changes on the application's permission.
    static Error writesNotAllowed();

    Kind kind() const { return kind_; }

   private:
    Error(Kind kind, const std::string& description) : velmora::Error(description), kind_(kind) {}
    Kind kind_;
  };

  /// How long a request may wait for its answer.
  struct TimeLimits {
    std::chrono::milliseconds probe{1500};  // isAppRunning
    std::chrono::milliseconds call{5000};   // every request of the interface
  };

  AutomationClient();
  explicit AutomationClient(TimeLimits limits);
  ~AutomationClient() override;
  AutomationClient(const AutomationClient&) = delete;
  AutomationClient& operator=(const AutomationClient&) = delete;

  /// True only when the application answers a status request with a body within the probe limit.
  /// No bus, or nobody owning the application's name, answers false at once. Never throws.
  bool isAppRunning() override;
  /// Waits as long as the probe: a change already written must not hang on a silent application.
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
  /// The session bus, connected on first use; no bus means the application is not running.
  sdbus::IConnection& connection();
  /// Sends method number index with the arguments and waits at most limit for the answer.
  template <std::size_t index, typename... Arguments>
  sdbus::MethodReply send(std::chrono::milliseconds limit, const Arguments&... arguments);
  /// A data request: the answer's non-empty body.
  template <std::size_t index, typename... Arguments>
  std::string ask(std::chrono::milliseconds limit, const Arguments&... arguments);
  /// A status request: success when the answer came in time without an error.
  template <std::size_t index, typename... Arguments>
  void tell(const Arguments&... arguments);

  TimeLimits limits_;
  std::unique_ptr<sdbus::IConnection> connection_;
};

}  // namespace velmora::cli
