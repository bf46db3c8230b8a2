// The dashboard in the browser: velmorad's open connections, applications, rules and log, live,
// served over HTTP on loopback to the user who holds the dashboard's secret, with the switch,
// the profile, an application's route and the dry run at hand.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kit/automation_protocol.h"
#include "kit/daemon_settings.h"
#include "live_state.h"
#include "live_traffic.h"

namespace velmora::dashboard {

/// What the dashboard shows and changes.
struct Sources {
  daemon::LiveState& live;
  std::shared_ptr<dataplane::LiveTraffic> traffic;
  /// The operations the command line uses; called only from work handed to onMain.
  AutomationXPCProtocol& operations;
  /// Whether the settings let automation change the configuration; also only on onMain's thread.
  std::function<bool()> writesAllowed;
  /// Hands work to the thread that owns operations, from any thread.
  std::function<void(std::function<void()>)> onMain;
  /// Where a line goes for the daemon's log, from the dashboard's thread.
  std::function<void(std::string_view)> log;
};

/// Serves the dashboard on its own thread while the settings want it. Used from the thread that
/// owns the operations.
class Dashboard {
 public:
  explicit Dashboard(Sources sources);
  ~Dashboard();
  Dashboard(const Dashboard&) = delete;
  Dashboard& operator=(const Dashboard&) = delete;

  /// Where it listens ("http://127.0.0.1:11070/"), and why not where the settings ask for.
  struct Place {
    std::optional<std::string> address;
    std::optional<std::string> problem;
  };
  /// Listens on 127.0.0.1 and ::1 at the settings' port (0: the kernel's choice), or stops when
  /// they turn the dashboard off; takes up a new secret at once. When the new port cannot be had
  /// it stays where it was, and says why.
  Place follow(const DaemonSettings& settings);

  class Server;

 private:
  Sources sources_;
  std::unique_ptr<Server> server_;
  std::optional<std::uint16_t> asked_;
  std::optional<std::string> problem_;
};

/// The address of the dashboard at port, as the command line opens it.
std::string dashboardAddress(std::uint16_t port);

}  // namespace velmora::dashboard
