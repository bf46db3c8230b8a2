#include "automation_service.h"

#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <vector>

namespace velmora {
namespace {

using AutomationBus::indexOf;

/// Reads a request's arguments, runs the operation and sends the answer.
using Handler = std::function<void(sdbus::MethodCall&)>;

struct Entry {
  std::string_view name;
  Handler handler;
};

/// The handler of method number index, reading its arguments as Arguments and answering with what
/// operation returns. Types that do not match the table's signatures do not compile.
template <std::size_t index, typename... Arguments, typename Operation>
Entry answer(Operation operation) {
  static constexpr AutomationBus::Method method = AutomationBus::methods[index];
  static_assert(AutomationBus::carries<Arguments...>(method.inputSignature),
                "the operation's arguments differ from the method's input signature");
  static_assert(method.outputSignature.empty() || method.outputSignature == "s");
  return {method.name, [operation](sdbus::MethodCall& call) {
            std::tuple<Arguments...> arguments;
            std::apply([&call](Arguments&... values) { ((call >> values), ...); }, arguments);
            sdbus::MethodReply reply = call.createReply();
            if constexpr (method.outputSignature.empty()) {
              std::apply(operation, arguments);
            } else {
              reply << std::string(std::apply(operation, arguments));
            }
            reply.send();
          }};
}

std::vector<Entry> handlers(AutomationXPCProtocol& app, AutomationService::OwnMethods own) {
  using std::string;
  return {
      answer<indexOf("GetStatus")>([&app] { return app.getStatus(); }),
      answer<indexOf("SetEnabled"), bool>([&app](bool enabled) { app.setEnabled(enabled); }),
      answer<indexOf("ListProfiles")>([&app] { return app.listProfiles(); }),
      answer<indexOf("SwitchProfile"), string>(
          [&app](const string& name) { app.switchProfile(name); }),
      answer<indexOf("CreateProfile"), string>(
          [&app](const string& name) { app.createProfile(name); }),
      answer<indexOf("ListEnvironments")>([&app] { return app.listEnvironments(); }),
      answer<indexOf("BindCurrentEnvironment"), string>(
          [&app](const string& profileName) { app.bindCurrentEnvironment(profileName); }),
      // The empty text stands for "no search word", which D-Bus cannot send as such.
      answer<indexOf("ListRules"), string>([&app](const string& search) {
        return app.listRules(search.empty() ? std::nullopt : std::optional<string>(search));
      }),
      answer<indexOf("AddRule"), string>([&app](const string& json) { app.addRule(json); }),
      answer<indexOf("UpdateRule"), string>([&app](const string& json) { app.updateRule(json); }),
      answer<indexOf("RemoveRule"), string>([&app](const string& name) { app.removeRule(name); }),
      answer<indexOf("SetRuleEnabled"), string, bool>(
          [&app](const string& name, bool enabled) { app.setRuleEnabled(name, enabled); }),
      answer<indexOf("ListProxies")>([&app] { return app.listProxies(); }),
      answer<indexOf("AddProxy"), string>([&app](const string& json) { app.addProxy(json); }),
      answer<indexOf("SetRoute"), string, string>(
          [&app](const string& application, const string& target) {
            app.setRoute(application, target);
          }),
      answer<indexOf("TestRoute"), string, string, std::uint16_t>(
          [&app](const string& application, const string& host, std::uint16_t port) {
            return app.testRoute(application, host, port);
          }),
      answer<indexOf("QueryConnections"), string>(
          [&app](const string& filter) { return app.queryConnections(filter); }),
      answer<indexOf("ExportProfile"), string>(
          [&app](const string& name) { return app.exportProfile(name); }),
      answer<indexOf("ImportProfile"), string>(
          [&app](const string& json) { app.importProfile(json); }),
      answer<indexOf("TakeUpChanges")>([own] { own.takeUpChanges(); }),
      answer<indexOf("CaptureCgroup"), string>(
          [own](const string& cgroup) { own.captureCgroup(cgroup); }),
  };
}

/// Runs one request. The implementation's failures become the interface's error with the
/// user-facing text; errors of the bus itself (arguments that do not read) keep their own names.
void serve(const Handler& handler, sdbus::MethodCall& call) {
  try {
    handler(call);
  } catch (const sdbus::Error&) {
    throw;
  } catch (const std::exception& failure) {
    // Anything else escaping here would end the connection's event loop, and with it the process.
    throw sdbus::Error(std::string(AutomationBus::errorName), failure.what());
  }
}

}  // namespace

AutomationService::AutomationService(sdbus::IConnection& connection,
                                     AutomationXPCProtocol& implementation, OwnMethods own)
    : object_(sdbus::createObject(connection, std::string(AutomationBus::objectPath))) {
  const std::vector<Entry> entries = handlers(implementation, std::move(own));
  const std::string interfaceName(AutomationBus::interfaceName);
  for (const AutomationBus::Method& method : AutomationBus::methods) {
    const auto entry = std::find_if(entries.begin(), entries.end(), [&](const Entry& candidate) {
      return candidate.name == method.name;
    });
    if (entry == entries.end())
      throw std::logic_error("no handler for " + std::string(method.name));
    object_->registerMethod(
        interfaceName, std::string(method.name), std::string(method.inputSignature),
        std::string(method.outputSignature),
        [handler = entry->handler](sdbus::MethodCall call) { serve(handler, call); });
  }
  object_->finishRegistration();
}

AutomationService::~AutomationService() = default;

}  // namespace velmora
