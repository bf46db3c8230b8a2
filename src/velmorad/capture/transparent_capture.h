// Which cgroups velmora-netd redirects to the transparent listener: those `velmoractl run
// --transparent` asked for, until their last process ends, or the user's whole session but
// velmorad itself, while routing is on and the listener listens.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "application.h"
#include "kit/daemon_settings.h"
#include "kit/netd_protocol.h"
#include "kit/unique_fd.h"
#include "main_loop.h"
#include "netd_client.h"

namespace velmora::daemon {

/// The captures velmorad holds through velmora-netd, kept in step with the switch, the
/// transparent listener and the active profile's failsafeOnCrash. When the helper restarts,
/// they are made again once it answers; when velmorad itself restarts, it takes over those the
/// helper kept refusing for it. Used from the daemon's one thread.
class TransparentCapture {
 public:
  TransparentCapture(MainLoop& loop, std::string socketPath = netd::socketPath());
  TransparentCapture(const TransparentCapture&) = delete;
  TransparentCapture& operator=(const TransparentCapture&) = delete;

  /// Routing as it is now: the switch, the transparent listener's port (absent while it does
  /// not listen), the DNS responder's port (absent: DNS is left alone), what a crash of velmorad
  /// should mean for captured programs, which programs to capture and the session's cgroup from the
  /// settings (empty: the systemd user manager's).
  void follow(bool enabled, std::optional<std::uint16_t> port, std::optional<std::uint16_t> dnsPort,
              bool failsafe, DaemonSettings::Capture mode, const std::string& sessionCgroup);
  /// Has the helper redirect cgroup (a path in the cgroup v2 hierarchy, "/a/b") until its last
  /// process ends; a cgroup inside the captured session is captured already. Throws
  /// velmora::Error with the reason when it cannot be done now.
  void capture(const std::string& cgroup);
  /// Whether capture works, and how many programs (cgroups) it holds now; asks the helper
  /// again when it was not there.
  Application::Capture state();

  using CarryUdp =
      std::function<void(std::vector<UniqueFd>, std::shared_ptr<dataplane::UdpHelper>)>;
  /// Captures the programs' UDP as well, to transparent UDP sockets at the transparent
  /// listener's port that carry hands to the data plane, with the helper connection that answers
  /// for them; stop is called when they are gone (the helper left, or the port moved).
  void captureUdp(CarryUdp carry, std::function<void()> stop);

 private:
  /// A captured cgroup: the inotify watch on its cgroup.events file.
  struct Captured {
    int watch = -1;
  };

  /// Connects to the helper unless connected; false, with problem_ set, when it cannot be used.
  bool connect();
  /// Asks the helper for UDP sockets at the listener's port and hands them over; logs why not.
  void startUdp();
  void stopUdp();
  void lost(const std::string& why);
  /// What the helper should redirect for us now.
  std::map<std::string, netd::Capture> desired() const;
  /// Makes what the helper holds for us match what should be captured now.
  void apply();
  void watch(const std::string& cgroup);
  /// Ends the capture of a cgroup whose processes have all ended, and removes the cgroup when
  /// the tool made it.
  void forget(const std::string& cgroup);
  /// Whether processes are still in cgroup or below it.
  bool populated(const std::string& cgroup) const;
  void cgroupsChanged();
  std::optional<std::string> refusal() const;

  MainLoop& loop_;
  std::string socketPath_;
  std::optional<std::filesystem::path> mount_;
  UniqueFd inotify_;
  std::optional<std::string> unwatchable_;
  std::optional<NetdClient> helper_;
  std::string problem_;
  MainLoop::Coalescer retry_;
  bool enabled_ = false;
  std::optional<std::uint16_t> port_;
  std::optional<std::uint16_t> dnsPort_;
  bool failsafe_ = true;
  DaemonSettings::Capture mode_ = DaemonSettings::Capture::programs;
  /// The session's cgroup, or why it is not known.
  std::optional<std::string> session_;
  std::string sessionUnknown_;
  /// Why the helper refused to capture the session, while it does.
  std::string sessionRefused_;
  bool started_ = false;
  std::map<std::string, Captured> wanted_;
  /// What the helper redirects for us now.
  std::map<std::string, netd::Capture> applied_;
  CarryUdp carryUdp_;
  std::function<void()> stopUdp_;
  /// The port UDP sockets were last asked for on this connection to the helper, and the port
  /// of those the data plane has.
  std::optional<std::uint16_t> udpAsked_;
  std::optional<std::uint16_t> udpPort_;
};

}  // namespace velmora::daemon
