// The serving side of the automation interface on the D-Bus session bus: an
// AutomationXPCProtocol implementation exported at the interface's object path.
#pragma once

#include <functional>
#include <memory>
#include <string>

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
class AutomationService {
 public:
  /// The application's own methods beside the automation requests.
  struct OwnMethods {
    /// Returns once the application acts on the profile files as they are now.
    std::function<void()> takeUpChanges;
    /// Returns once the connections of the cgroup at this path go to the transparent listener.
    std::function<void(const std::string&)> captureCgroup;
  };

  AutomationService(sdbus::IConnection& connection, AutomationXPCProtocol& implementation,
                    OwnMethods own);
  ~AutomationService();
  AutomationService(const AutomationService&) = delete;
  AutomationService& operator=(const AutomationService&) = delete;

 private:
  std::unique_ptr<sdbus::IObject> object_;
};

}  // namespace velmora
