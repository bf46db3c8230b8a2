// The data plane: the local mixed SOCKS5/HTTP proxy and the transparent listener, which carry
// every connection where the active profile's rules send it and report each one as connection
// events.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit/events.h"
#include "kit/fake_names.h"
#include "kit/rule_engine.h"
#include "kit/unique_fd.h"

namespace velmora::dataplane {

class LiveTraffic;
class UdpHelper;

/// What decides connections: the switch and the active profile's engine, built once per change
/// and shared read-only by every connection.
struct RoutingPolicy {
  bool enabled = false;
  /// Absent while no profile could be read: everything goes direct.
  std::shared_ptr<const RuleEngine> engine;
  bool loopDetection = true;
};

/// The engine connections are routed by: the profile's rules with this machine's host name for
/// "%ComputerName%", as the dry run has them.
std::shared_ptr<const RuleEngine> routingEngine(const Profile& profile);

/// The verdict for one connection or UDP flow: direct while the switch is off, the engine's
/// otherwise.
Verdict decide(const RoutingPolicy& policy, const AppIdentity& app, std::string_view host,
               std::uint16_t port, FlowTransport transport = FlowTransport::tcp);

/// The local proxy with its I/O threads, from construction until destruction, and the
/// transparent listener once started: connections that the kernel's nat rules redirected to it
/// are carried as if the program had asked the proxy for their original destination.
class DataPlane {
 public:
  struct Options {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;
    /// I/O threads; 0 means one per core this process may run on. Never more than those.
    unsigned threads = 0;
    /// Connections and UDP flows together; 0 means as many as the open-file limit leaves room
    /// for. Past it new connections are refused at once, and new flows dropped.
    std::size_t maxConnections = 0;
    std::chrono::milliseconds handshakeTimeout = std::chrono::seconds(15);
    std::chrono::milliseconds connectTimeout = std::chrono::seconds(15);
    std::chrono::milliseconds idleTimeout = std::chrono::minutes(10);
    /// A UDP flow, of a SOCKS5 association or captured, that carries nothing for this long ends.
    std::chrono::milliseconds udpIdleTimeout = std::chrono::minutes(2);
    /// The names behind the fake addresses the DNS responder hands out: a connection to one is
    /// decided and carried by its name. None: fake addresses are addresses like any other.
    std::shared_ptr<FakeNames> fakeNames;
    /// Where open connections and flows are kept in view with their bytes; none: nowhere.
    std::shared_ptr<LiveTraffic> traffic;
  };
  using EventSink = std::function<void(const ConnectionEvent&)>;
  using Log = std::function<void(std::string_view)>;

  /// Listens and starts serving at once. Throws velmora::Error when the address cannot be
  /// bound. Events and log lines arrive on the I/O threads. Only connections from sockets of
  /// the user running this process are served; others are refused and logged.
  DataPlane(const Options& options, EventSink events, Log log);
  ~DataPlane();
  DataPlane(const DataPlane&) = delete;
  DataPlane& operator=(const DataPlane&) = delete;

  /// The port it listens on (the kernel's choice when asked for 0).
  std::uint16_t port() const;
  /// The address and port it listens on, as "127.0.0.1:11080" or "[::1]:11080".
  std::string address() const;
  /// Moves to another address: from now on new connections are accepted there, and those
  /// accepted before go on. Throws velmora::Error, and keeps listening where it did, when the
  /// new address cannot be bound.
  void listen(const std::string& address, std::uint16_t port);
  /// Starts the transparent listener on 127.0.0.1 and ::1 at port and the ports after it, the
  /// span the helper spreads redirected connections over (port 0: the kernel's choice of the
  /// first), or moves it there; connections accepted before go on. A host without IPv6 gets the
  /// IPv4 listeners alone. Throws velmora::Error, and keeps listening where it did, when a port of
  /// the span cannot be bound.
  void listenTransparent(std::uint16_t port);
  /// The first port of the transparent listener; absent until it is started.
  std::optional<std::uint16_t> transparentPort() const;
  /// Carries the UDP that transparent capture brings to sockets, the transparent sockets the
  /// helper made (IPv4, then IPv6), answering through sockets helper gets, on the first I/O
  /// thread; replaces what it carried before.
  void carryCapturedUdp(std::vector<UniqueFd> sockets, std::shared_ptr<UdpHelper> helper);
  /// Stops carrying captured UDP: the sockets close and its flows end.
  void stopCapturedUdp();
  /// How many connections it serves at once at the most.
  std::size_t maxConnections() const;
  /// Takes effect for connections accepted from now on.
  void setPolicy(std::shared_ptr<const RoutingPolicy> policy);
  /// Follows the active profile and the switch; the engine is rebuilt only when the profile
  /// changed. Called from one thread.
  void follow(const std::optional<Profile>& profile, bool enabled);

  /// The listener, threads and connections; defined where they are served.
  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
  std::optional<Profile> followed_;
  std::shared_ptr<const RuleEngine> engine_;
};

}  // namespace velmora::dataplane
