// The running application as the tool's backends see it: the requests of the automation
// interface, and whether it answers right now.
#pragma once

#include <string>

#include "kit/automation_protocol.h"

namespace velmora::cli {

/// The automation interface of the running application, with its liveness probe.
class Application : public AutomationXPCProtocol {
 public:
  /// True only when the application answers a status request in time. Never throws.
  virtual bool isAppRunning() = 0;
  /// Asks the application to act on the profile files as they are now; returns once it does.
  virtual void takeUpChanges() = 0;
  /// Asks the application to have the connections of the cgroup at this path (in the cgroup v2
  /// hierarchy) redirected to it; returns once they are.
  virtual void captureCgroup(const std::string& cgroup) = 0;
};

}  // namespace velmora::cli
