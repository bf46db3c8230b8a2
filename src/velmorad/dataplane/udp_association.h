// A SOCKS5 UDP association of the local proxy (RFC 1928, UDP ASSOCIATE): the client's datagrams
// arrive at a relay socket of the association's own; each destination is a flow, decided once by
// the rules as UDP and carried directly, dropped, or through a SOCKS5 upstream's own association,
// and reported as connection events.
#pragma once

#include <sys/types.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "data_plane.h"

namespace velmora::dataplane {

/// What an association takes from the connection that asked for it.
struct UdpAssociationSetup {
  /// The application behind the request's connection.
  AppIdentity app;
  std::shared_ptr<const RoutingPolicy> policy;
  /// Where the client said it would send from; an unspecified address or port 0 means any. The
  /// relay takes datagrams from the first sender that fits and is a socket of user, and from no
  /// other.
  std::string clientHost;
  std::uint16_t clientPort = 0;
  uid_t user = 0;
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
  /// Where open flows are kept in view with their bytes; none: nowhere.
  LiveTraffic* traffic = nullptr;
};

/// The most flows one association carries at once; datagrams to further destinations are
/// dropped until one ends.
inline constexpr std::size_t maxUdpFlows = 256;

/// Answers the UDP ASSOCIATE request on control with the relay's address, then serves the
/// association until control, the request's own connection, closes; every flow ends with it,
/// before this returns.
asio::awaitable<void> serveUdpAssociation(asio::ip::tcp::socket& control,
                                          UdpAssociationSetup setup);

}  // namespace velmora::dataplane
