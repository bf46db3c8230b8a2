// An application for tests to serve on a private bus: it writes down every request that reaches
// it and answers as the test tells it.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kit/automation_protocol.h"
#include "kit/automation_service.h"
#include "kit/profile_store.h"

namespace velmora::testing {

/// An application that writes down every request that reaches it and answers each data request
/// with the body set for it, by default one naming the method. Requests run on the bus thread.
class RecordingApplication : public AutomationXPCProtocol {
 public:
  void answer(const std::string& method, std::string body) {
    std::lock_guard lock(mutex_);
    bodies_[method] = std::move(body);
  }
  /// Makes method fail with the exception.
  template <typename Failure>
  void fail(const std::string& method, Failure failure) {
    std::lock_guard lock(mutex_);
    failures_[method] = std::make_exception_ptr(failure);
  }
  /// Computes the answers of TestRoute or QueryConnections from their arguments.
  std::function<std::string(const std::string&, const std::string&, std::uint16_t)> route;
  std::function<std::string(const std::string&)> connections;

  std::vector<std::string> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

  std::string getStatus() override { return reached("GetStatus"); }
  void setEnabled(bool enabled) override { reached("SetEnabled", flag(enabled)); }
  std::string listProfiles() override { return reached("ListProfiles"); }
  void switchProfile(const std::string& name) override { reached("SwitchProfile", name); }
  void createProfile(const std::string& name) override { reached("CreateProfile", name); }
  std::string listEnvironments() override { return reached("ListEnvironments"); }
  void bindCurrentEnvironment(const std::string& profileName) override {
    reached("BindCurrentEnvironment", profileName);
  }
  std::string listRules(const std::optional<std::string>& search) override {
    return reached("ListRules", search ? "\"" + *search + "\"" : "none");
  }
  void addRule(const std::string& ruleJSON) override { reached("AddRule", ruleJSON); }
  void updateRule(const std::string& ruleJSON) override { reached("UpdateRule", ruleJSON); }
  void removeRule(const std::string& name) override { reached("RemoveRule", name); }
  void setRuleEnabled(const std::string& name, bool enabled) override {
    reached("SetRuleEnabled", name, flag(enabled));
  }
  std::string listProxies() override { return reached("ListProxies"); }
  void addProxy(const std::string& proxyJSON) override { reached("AddProxy", proxyJSON); }
  void setRoute(const std::string& app, const std::string& target) override {
    reached("SetRoute", app, target);
  }
  std::string testRoute(const std::string& app, const std::string& host,
                        std::uint16_t port) override {
    const std::string body = reached("TestRoute", app, host, std::to_string(port));
    return route ? route(app, host, port) : body;
  }
  std::string queryConnections(const std::string& filterJSON) override {
    const std::string body = reached("QueryConnections", filterJSON);
    return connections ? connections(filterJSON) : body;
  }
  std::string exportProfile(const std::string& name) override {
    return reached("ExportProfile", name);
  }
  void importProfile(const std::string& profileJSON) override {
    reached("ImportProfile", profileJSON);
  }

 private:
  static std::string flag(bool value) { return value ? "true" : "false"; }

  /// Writes down the request as "Method(argument, argument)", then fails as the test said or
  /// answers with the body set for the method.
  template <typename... Arguments>
  std::string reached(const std::string& method, const Arguments&... arguments) {
    const std::vector<std::string> parts = {std::string(arguments)...};
    std::string request = method + "(";
    for (std::size_t i = 0; i < parts.size(); ++i) request += (i == 0 ? "" : ", ") + parts[i];
    std::lock_guard lock(mutex_);
    requests_.push_back(request + ")");
    if (const auto failure = failures_.find(method); failure != failures_.end()) {
      std::rethrow_exception(failure->second);
    }
    const auto body = bodies_.find(method);
    return body != bodies_.end() ? body->second : "[\"" + method + "\"]";
  }

  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::map<std::string, std::string> bodies_;
  std::map<std::string, std::exception_ptr> failures_;
};

/// Whether an application's connection processes what reaches it.
enum class EventLoop { running, stopped };

/// The application's end of the bus: a connection of its own owning the well-known name, the
/// implementation exported on it, and the connection's event loop on a thread of sdbus-c++.
/// own answers the application's own methods, on that thread.
class ServedApplication {
 public:
  explicit ServedApplication(AutomationXPCProtocol& implementation,
                             EventLoop loop = EventLoop::running,
                             AutomationService::OwnMethods own = {
                                 .takeUpChanges = [] {},
                                 .captureCgroup = [](const std::string&) {}})
      : connection_(
            sdbus::createSessionBusConnection(std::string(SharedPaths::automationMachService))),
        service_(
            std::make_unique<AutomationService>(*connection_, implementation, std::move(own))) {
    if (loop == EventLoop::running) connection_->enterEventLoopAsync();
  }
  ~ServedApplication() {
    // The loop thread must be gone before the exported object it calls into.
    connection_->leaveEventLoop();
    service_.reset();
  }

 private:
  std::unique_ptr<sdbus::IConnection> connection_;
  std::unique_ptr<AutomationService> service_;
};

}  // namespace velmora::testing
