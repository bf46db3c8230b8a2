// UDP flows: each destination a program sends to, decided once by the rules as UDP and carried
// directly, dropped, or through a SOCKS5 upstream's own association (a chain's through every
// hop's association in turn), until it carries nothing
// for a while; reported as connection events. Shared by the SOCKS5 UDP associations of the local
// proxy and by the UDP that transparent capture brings.
#pragma once

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app_identity_lookup.h"
#include "data_plane.h"
#include "live_traffic.h"
#include "socks_client.h"

namespace velmora::dataplane {

/// The text of an address as the rules and events show it: IPv4 mapped into IPv6 as IPv4.
std::string addressText(const asio::ip::address& address);

/// The address and port as the socket tables take them, IPv4 mapped into IPv6 as IPv4.
SocketAddress socketAddress(const asio::ip::address& address, std::uint16_t port);

/// What every flow of one set shares.
struct UdpFlowsSetup {
  /// Gives an event of a flow its identity and time, and passes it on.
  std::function<void(ConnectionEvent&)> record;
  /// A flow that carries nothing either way for this long ends.
  std::chrono::milliseconds idleTimeout = std::chrono::minutes(2);
  std::chrono::milliseconds connectTimeout = std::chrono::seconds(15);
  /// The data plane's count of what it carries, which each flow joins while it lasts, and the
  /// most it may reach: past it, a new flow is refused (one failed event) and the flows already
  /// carried go on.
  std::atomic<std::size_t>* carried = nullptr;
  std::size_t maxCarried = 0;
  /// The most flows at once; datagrams for further ones are dropped until one ends.
  std::size_t maxFlows = 256;
  /// Where open flows are kept in view with their bytes; none: nowhere.
  LiveTraffic* traffic = nullptr;
};

/// A new flow: whose it is, where it goes, and how its answers go back.
struct UdpFlowStart {
  AppIdentity app;
  std::shared_ptr<const RoutingPolicy> policy;
  /// The destination as the rules see it: a name, or an address.
  std::string host;
  std::uint16_t port = 0;
  /// Passes an answer back to the program: the SOCKS5 UDP header that names where it came from,
  /// and the data.
  std::function<void(std::string_view header, std::string_view data)> answer;
  /// Called once when the rule's QUIC policy sends the flow back to TCP.
  std::function<void()> fallBack;
  /// Why the flow is not carried at all, before any rule is asked: its datagrams are dropped,
  /// and one failed event says this.
  std::optional<std::string> refusal;
  /// Called once when the flow ends: idle, closed, or its upstream gone.
  std::function<void()> ended;
};

/// The flows of one source of datagrams. Used from one executor; the flows' coroutines run there
/// too, and close() waits for them.
class UdpFlows {
 public:
  UdpFlows(asio::any_io_executor executor, UdpFlowsSetup setup);
  ~UdpFlows();
  UdpFlows(const UdpFlows&) = delete;
  UdpFlows& operator=(const UdpFlows&) = delete;

  /// Sends data on the flow of key, which start() describes when it is new: at once when the
  /// flow is carried, kept a moment while it is set up, dropped when it is not carried.
  void send(const std::string& key, const std::function<UdpFlowStart()>& start,
            std::string_view data);
  bool contains(const std::string& key) const { return flows_.contains(key); }
  /// Whether a new flow would be dropped for want of room.
  bool full() const { return flows_.size() >= setup_.maxFlows; }
  /// Ends the flows that carried nothing for the idle time, looking a few times per period,
  /// until cancelled.
  asio::awaitable<void> expireIdle();
  /// Ends every flow, and returns once their coroutines have stopped.
  asio::awaitable<void> close();

  struct Flow;

 private:
  asio::awaitable<void> carry(std::shared_ptr<Flow> flow);
  asio::awaitable<void> decideAndCarry(Flow& flow);
  asio::awaitable<Failure> open(Flow& flow, const Verdict::Resolved& route);
  asio::awaitable<Failure> openDirect(Flow& flow, const std::string* interfaceName);
  asio::awaitable<Failure> openThroughSocks(Flow& flow, const std::vector<ProxyServer>& hops);
  asio::awaitable<void> watchUpstream(std::shared_ptr<Flow> flow, asio::ip::tcp::socket& control);
  asio::awaitable<void> receiveFromRoute(Flow& flow);
  void transmit(Flow& flow, std::string_view data);
  void record(Flow& flow, ConnectionEvent::Phase phase,
              std::optional<std::string> error = std::nullopt);
  void end(Flow& flow);
  void finished();

  asio::any_io_executor executor_;
  UdpFlowsSetup setup_;
  std::map<std::string, std::shared_ptr<Flow>> flows_;
  /// The flows' coroutines still running, and the timer that wakes close() when none is.
  std::size_t active_ = 0;
  asio::steady_timer drained_;
};

}  // namespace velmora::dataplane
