#include "automation_client.h"

#include <sdbus-c++/sdbus-c++.h>

#include <exception>
#include <string_view>

#include "kit/automation_bus.h"
#include "kit/localize.h"
#include "kit/shared_paths.h"

namespace velmora::cli {
namespace {

using AutomationBus::indexOf;
using Clock = std::chrono::steady_clock;

/// What a failed D-Bus exchange means to the user. Only the application's own error carries a
/// message worth showing; everything else says nobody there serves the interface: no bus, a bus
/// that lost us, nobody owning the name, an owner without the object, or no answer in time.
[[noreturn]] void throwClientError(const sdbus::Error& error) {
  if (error.getName() == AutomationBus::errorName)
    throw AutomationClient::Error::remote(error.getMessage());
  throw AutomationClient::Error::appNotRunning();
}

/// What is left of the time until deadline. sd-bus reads a time limit of zero as its own default
/// of 25 seconds, so a used-up limit is a time-out here and never reaches the bus.
std::chrono::microseconds remaining(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
  if (left <= std::chrono::microseconds::zero()) throw AutomationClient::Error::appNotRunning();
  return left;
}

/// The unique name of the connection that owns the application's well-known name. The bus daemon
/// answers this itself and at once; NameHasNoOwner when the application is not there.
std::string applicationOwner(sdbus::IConnection& bus, Clock::time_point deadline) {
  const auto daemon = sdbus::createProxy(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus");
  sdbus::MethodCall call = daemon->createMethodCall("org.freedesktop.DBus", "GetNameOwner");
  call << std::string(SharedPaths::automationMachService);
  sdbus::MethodReply reply = daemon->callMethod(call, remaining(deadline));
  std::string owner;
  reply >> owner;
  return owner;
}

}  // namespace

AutomationClient::AutomationClient() : AutomationClient(TimeLimits{}) {}

AutomationClient::AutomationClient(TimeLimits limits) : limits_(limits) {}

AutomationClient::~AutomationClient() = default;

sdbus::IConnection& AutomationClient::connection() {
  if (!connection_) {
    try {
      connection_ = sdbus::createSessionBusConnection();
    } catch (const sdbus::Error&) {
      // No session bus (no address, or nothing listening at it): no application can be reached.
      throw Error::appNotRunning();
    }
  }
  return *connection_;
}

template <std::size_t index, typename... Arguments>
sdbus::MethodReply AutomationClient::send(std::chrono::milliseconds limit,
                                          const Arguments&... arguments) {
  static constexpr AutomationBus::Method method = AutomationBus::methods[index];
  static_assert(AutomationBus::carries<Arguments...>(method.inputSignature),
                "the arguments differ from the method's input signature");
  const Clock::time_point deadline = Clock::now() + limit;
  sdbus::IConnection& bus = connection();
  try {
    // Addressing the owner's unique name, found first, means the bus never tries to start a
    // service for the well-known name; a name nobody owns is an answer at once, not a time-out.
    const auto application = sdbus::createProxy(bus, applicationOwner(bus, deadline),
                                                std::string(AutomationBus::objectPath));
    sdbus::MethodCall call = application->createMethodCall(
        std::string(AutomationBus::interfaceName), std::string(method.name));
    ((call << arguments), ...);
    return application->callMethod(call, remaining(deadline));
  } catch (const sdbus::Error& error) {
    throwClientError(error);
  }
}

template <std::size_t index, typename... Arguments>
std::string AutomationClient::ask(std::chrono::milliseconds limit, const Arguments&... arguments) {
  static_assert(AutomationBus::methods[index].outputSignature == "s", "not a data request");
  sdbus::MethodReply reply = send<index>(limit, arguments...);
  if (reply.isEmpty()) throw Error::remote(VL("空响应"));
  std::string body;
  try {
    reply >> body;
  } catch (const sdbus::Error& error) {
    // An answer of another shape: whoever answered does not serve this interface.
    throwClientError(error);
  }
  if (body.empty()) throw Error::remote(VL("空响应"));
  return body;
}

template <std::size_t index, typename... Arguments>
void AutomationClient::tell(const Arguments&... arguments) {
  static_assert(AutomationBus::methods[index].outputSignature.empty(), "not a status request");
  send<index>(limits_.call, arguments...);
}

bool AutomationClient::isAppRunning() {
  try {
    ask<indexOf("GetStatus")>(limits_.probe);
    return true;
  } catch (const std::exception&) {
    // Any failure, the application's own error included, means it cannot serve this run.
    return false;
  }
}

void AutomationClient::takeUpChanges() {
  send<indexOf("TakeUpChanges")>(limits_.probe);
}

void AutomationClient::captureCgroup(const std::string& cgroup) {
  tell<indexOf("CaptureCgroup")>(cgroup);
}

std::string AutomationClient::getStatus() {
  return ask<indexOf("GetStatus")>(limits_.call);
}

void AutomationClient::setEnabled(bool enabled) {
  tell<indexOf("SetEnabled")>(enabled);
}

std::string AutomationClient::listProfiles() {
  return ask<indexOf("ListProfiles")>(limits_.call);
}

void AutomationClient::switchProfile(const std::string& name) {
  tell<indexOf("SwitchProfile")>(name);
}

void AutomationClient::createProfile(const std::string& name) {
  tell<indexOf("CreateProfile")>(name);
}

std::string AutomationClient::listEnvironments() {
  return ask<indexOf("ListEnvironments")>(limits_.call);
}

void AutomationClient::bindCurrentEnvironment(const std::string& profileName) {
  tell<indexOf("BindCurrentEnvironment")>(profileName);
}

std::string AutomationClient::listRules(const std::optional<std::string>& search) {
  return ask<indexOf("ListRules")>(limits_.call, search.value_or(std::string()));
}

void AutomationClient::addRule(const std::string& ruleJSON) {
  tell<indexOf("AddRule")>(ruleJSON);
}

void AutomationClient::updateRule(const std::string& ruleJSON) {
  tell<indexOf("UpdateRule")>(ruleJSON);
}

void AutomationClient::removeRule(const std::string& name) {
  tell<indexOf("RemoveRule")>(name);
}

void AutomationClient::setRuleEnabled(const std::string& name, bool enabled) {
  tell<indexOf("SetRuleEnabled")>(name, enabled);
}

std::string AutomationClient::listProxies() {
  return ask<indexOf("ListProxies")>(limits_.call);
}

void AutomationClient::addProxy(const std::string& proxyJSON) {
  tell<indexOf("AddProxy")>(proxyJSON);
}

void AutomationClient::setRoute(const std::string& app, const std::string& target) {
  tell<indexOf("SetRoute")>(app, target);
}

std::string AutomationClient::testRoute(const std::string& app, const std::string& host,
                                        std::uint16_t port) {
  return ask<indexOf("TestRoute")>(limits_.call, app, host, port);
}

std::string AutomationClient::queryConnections(const std::string& filterJSON) {
  return ask<indexOf("QueryConnections")>(limits_.call, filterJSON);
}

std::string AutomationClient::exportProfile(const std::string& name) {
  return ask<indexOf("ExportProfile")>(limits_.call, name);
}

void AutomationClient::importProfile(const std::string& profileJSON) {
  tell<indexOf("ImportProfile")>(profileJSON);
}

}  // namespace velmora::cli
