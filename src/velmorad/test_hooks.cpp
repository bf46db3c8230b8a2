#include "test_hooks.h"

#include <sdbus-c++/sdbus-c++.h>

#include "kit/automation_bus.h"

namespace velmora::daemon {

TestHooks::TestHooks(sdbus::IConnection& connection, LiveState& live)
    : object_(sdbus::createObject(connection, std::string(objectPath))) {
  object_->registerMethod("RecordEvent")
      .onInterface(std::string(interfaceName))
      .implementedAs([&live](const std::string& eventJSON) {
        try {
          live.record(DTOCoding::decode(eventJSON, connectionEventFromJSON));
        } catch (const std::exception& error) {
          throw sdbus::Error(std::string(AutomationBus::errorName), error.what());
        }
      });
  object_->finishRegistration();
}

TestHooks::~TestHooks() = default;

}  // namespace velmora::daemon
