// The local proxy, its transparent listener and the DNS responder for captured programs where the
// settings put them: started, moved when the address or a port changes, kept where they were when
// the new place cannot be had.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "application.h"
#include "captured_udp.h"
#include "data_plane.h"
#include "dns_responder.h"
#include "kit/daemon_settings.h"
#include "live_state.h"
#include "live_traffic.h"

namespace velmora::daemon {

/// Owns the data plane and follows the settings, the active profile and the switch. Used from
/// the daemon's one thread.
class LocalProxy {
 public:
  /// Connections to names' fake addresses are carried by name, and the DNS responder hands
  /// them out from names. Open connections are kept in view in traffic.
  LocalProxy(LiveState& live, std::shared_ptr<FakeNames> names,
             std::shared_ptr<dataplane::LiveTraffic> traffic)
      : live_(live), names_(std::move(names)), traffic_(std::move(traffic)) {}

  /// Listens where settings ask, unless it already does or already failed to, and routes by
  /// profile and the switch. Logs each move and each failure once. The transparent listener
  /// follows its own port apart: when it cannot move or start, the proxy serves all the same. So
  /// does the DNS responder, which hands out fake addresses only while the switch is on.
  Application::LocalProxy follow(const DaemonSettings& settings,
                                 const std::optional<Profile>& profile);
  /// The port of the transparent listener; absent while it does not listen.
  std::optional<std::uint16_t> transparentPort() const {
    return plane_ ? plane_->transparentPort() : std::nullopt;
  }
  /// Has the data plane carry captured UDP, or stop carrying it; see DataPlane.
  void carryCapturedUdp(std::vector<UniqueFd> sockets,
                        std::shared_ptr<dataplane::UdpHelper> helper) {
    if (plane_) plane_->carryCapturedUdp(std::move(sockets), std::move(helper));
  }
  void stopCapturedUdp() {
    if (plane_) plane_->stopCapturedUdp();
  }
  /// The port of the DNS responder; absent while it does not answer.
  std::optional<std::uint16_t> dnsPort() const {
    return dns_ ? std::optional(dns_->port()) : std::nullopt;
  }

 private:
  void followDns(const DaemonSettings& settings, const std::optional<Profile>& profile);

  LiveState& live_;
  std::unique_ptr<dataplane::DataPlane> plane_;
  std::optional<std::pair<std::string, std::uint16_t>> asked_;
  std::optional<std::string> problem_;
  std::optional<std::uint16_t> askedTransparent_;
  std::optional<std::string> transparentProblem_;
  const std::shared_ptr<FakeNames> names_;
  const std::shared_ptr<dataplane::LiveTraffic> traffic_;
  std::unique_ptr<dns::DnsResponder> dns_;
  std::optional<std::uint16_t> askedDns_;
};

}  // namespace velmora::daemon
