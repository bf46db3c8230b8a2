// The serving side of the automation interface on the D-Bus session bus: an
// AutomationXPCProtocol implementation exported at the interface's object path.
#pragma once

#include <functional>
#include <memory>

#include "automation_bus.h"
#include "automation_protocol.h"

namespace sdbus {
class IConnection;
class IObject;
}  // namespace sdbus

namespace velmora {

/// Exports an implementation of the automation interface on a bus connection, at
/// AutomationBus::objectPath under AutomationBus::interfaceName, with every method of
/// AutomationBus::methods. A failure thrown by the implementation is answered with the D-Bus
/// error AutomationBus::errorName carrying the failure's text. The owner of the connection
/// requests the well-known name and runs its event loop; the object is exported while this lives.
/// takeUpChanges answers TakeUpChanges: it returns once the application acts on the profile
/// files as they are now.
class AutomationService {
 public:
  AutomationService(sdbus::IConnection& connection, AutomationXPCProtocol& implementation,
                    std::function<void()> takeUpChanges);
  ~AutomationService();
  AutomationService(const AutomationService&) = delete;
  AutomationService& operator=(const AutomationService&) = delete;

 private:
  std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace velmora
