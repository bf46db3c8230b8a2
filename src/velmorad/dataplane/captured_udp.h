// The UDP that transparent capture brings: datagrams of captured programs, received with their
// original destinations on the transparent sockets velmora-netd made, each (program socket,
// destination) a flow decided by the rules as UDP and carried like any other, its answers sent
// back to the program from the destination's own address.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app_identity_lookup.h"
#include "kit/fake_names.h"
#include "kit/unique_fd.h"
#include "udp_flows.h"

namespace velmora::dataplane {

/// What captured UDP asks of the privileged helper, from the thread that carries it.
class UdpHelper {
 public:
  virtual ~UdpHelper() = default;
  /// A socket bound to address:port, a destination of a captured flow, to answer from. Throws
  /// velmora::Error with the helper's reason.
  virtual UniqueFd replySocket(const std::string& address, std::uint16_t port) = 0;
  /// Has the datagrams of the flow from source to destination refused at once for a while.
  /// Throws velmora::Error with the helper's reason.
  virtual void refuseFlow(const std::string& source, std::uint16_t sourcePort,
                          const std::string& address, std::uint16_t port) = 0;
};

/// The most captured flows at once, for all programs together, and for one process; datagrams
/// of further flows are dropped until one ends, and the flows already carried go on.
inline constexpr std::size_t maxCapturedUdpFlows = 4096;
inline constexpr std::size_t maxCapturedUdpFlowsPerProcess = 512;

struct CapturedUdpSetup {
  /// The transparent sockets: IPv4, then IPv6 where there is one.
  std::vector<UniqueFd> sockets;
  std::shared_ptr<UdpHelper> helper;
  /// The policy now, asked for each new flow.
  std::function<std::shared_ptr<const RoutingPolicy>()> policy;
  /// The names behind fake addresses; none: they are addresses like any other.
  std::shared_ptr<FakeNames> fakeNames;
  /// Finds the program behind a flow; used from the carrying thread alone.
  AppIdentityLookup* lookup = nullptr;
  /// Where a program seen for the first time is searched for in /proc.
  asio::any_io_executor search;
  uid_t user = 0;
  UdpFlowsSetup flows;
  std::function<void(std::string_view)> log;
};

/// Carries captured UDP on one executor from start() until stop().
class CapturedUdp : public std::enable_shared_from_this<CapturedUdp> {
 public:
  static std::shared_ptr<CapturedUdp> start(asio::any_io_executor executor, CapturedUdpSetup setup);
  /// Closes the sockets and ends every flow, on the executor; safe from any thread.
  void stop();

  CapturedUdp(asio::any_io_executor executor, CapturedUdpSetup setup);

 private:
  /// A socket to answer from, for the flows to one destination, kept while they answer.
  struct Answerer {
    std::shared_ptr<asio::ip::udp::socket> socket;
    std::chrono::steady_clock::time_point lastUsed;
  };

  asio::awaitable<void> run();
  asio::awaitable<void> receive(asio::ip::udp::socket& socket);
  asio::awaitable<void> expireAnswerers();
  void arrived(const asio::ip::udp::endpoint& sender, const asio::ip::udp::endpoint& destination,
               std::string_view data);
  /// Finds the process holding socket inode on the search executor, then begins the flows of
  /// that socket that waited, with their datagrams, as peer's.
  asio::awaitable<void> search(std::uint64_t inode, PeerIdentity peer);
  /// Starts the flow of key from the program peer, within its process's share, with datagrams.
  void begin(const std::string& key, const asio::ip::udp::endpoint& sender,
             const asio::ip::udp::endpoint& destination, const PeerIdentity& peer,
             std::vector<std::string> datagrams);
  /// The new flow from sender to destination, sent by peer.
  UdpFlowStart describe(const asio::ip::udp::endpoint& sender,
                        const asio::ip::udp::endpoint& destination, const PeerIdentity& peer);
  void answer(const asio::ip::udp::endpoint& sender, const asio::ip::udp::endpoint& destination,
              std::string_view data);
  /// Logs a line at most once a minute.
  void complain(const std::string& line);

  asio::any_io_executor executor_;
  CapturedUdpSetup setup_;
  std::vector<std::unique_ptr<asio::ip::udp::socket>> sockets_;
  UdpFlows flows_;
  std::map<asio::ip::udp::endpoint, Answerer> answerers_;
  /// The flows of each process.
  std::map<pid_t, std::size_t> perProcess_;
  /// A new flow whose program is being searched for, by the inode of its socket.
  struct Waiting {
    asio::ip::udp::endpoint sender;
    asio::ip::udp::endpoint destination;
    std::uint64_t inode = 0;
    std::vector<std::string> datagrams;
  };
  std::map<std::string, Waiting> waiting_;
  /// The sockets whose process is being searched for.
  std::set<std::uint64_t> searches_;
  /// Stopped: nothing new begins.
  bool closed_ = false;
  asio::steady_timer stopped_;
  std::optional<std::chrono::steady_clock::time_point> lastComplaint_;
};

}  // namespace velmora::dataplane
