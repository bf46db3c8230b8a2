// The policy routing that brings captured UDP back in: packets that carry one of the helper's
// marks look up a table of its own, whose one route delivers every destination locally, where a
// transparent socket receives them. Installed over rtnetlink for IPv4 and, where the machine has
// it, IPv6.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kit/error.h"

struct mnl_socket;
struct nlmsghdr;

namespace velmora::netd {

/// Marks of captured UDP, one per client in the low 16 bits.
inline constexpr std::uint32_t udpMarkBase = 0x7e1a0000;
/// The bits of a mark that say it is one of the helper's.
inline constexpr std::uint32_t udpMarkMask = 0xffff0000;
/// The helper's routing table.
inline constexpr std::uint32_t policyTable = 0x7e1a;
/// The priority of the helper's rule: ahead of the main table's (32766).
inline constexpr std::uint32_t policyRulePriority = 0x7e1a;

/// A rule or route the kernel would not add, remove or show.
class RouteError : public Error {
 public:
  using Error::Error;
};

/// The rule `fwmark udpMarkBase/udpMarkMask lookup policyTable` and the route `local default dev
/// lo` in that table, for each family, as long as this lives.
class PolicyRoutes {
 public:
  /// Removes every rule that leads to policyTable and every route in it, which a helper that was
  /// killed leaves behind, then installs both families' rule and route. Without IPv6 on the
  /// machine only IPv4's are installed. Throws RouteError naming what failed.
  PolicyRoutes();
  /// Removes what the constructor installed, as far as the kernel lets it.
  ~PolicyRoutes();
  PolicyRoutes(const PolicyRoutes&) = delete;
  PolicyRoutes& operator=(const PolicyRoutes&) = delete;

  /// Whether IPv6's rule and route are installed too.
  bool ipv6() const { return ipv6_; }

 private:
  struct SocketCloser {
    void operator()(mnl_socket* socket) const;
  };
  /// A request the kernel refused: its errno, and the message that names it.
  struct Refusal {
    int error = 0;
    std::string description;
  };

  /// Sends request and reads the answer to its end, handing each message of a dump to
  /// onMessage; 0, or the errno of the failure.
  int exchange(nlmsghdr* request, int (*onMessage)(const nlmsghdr*, void*) = nullptr,
               void* data = nullptr);
  /// Deletes family's rules that lead to policyTable and routes in it.
  void removeStale(int family);
  /// The rules or routes (type RTM_GETRULE or RTM_GETROUTE) of family that belong to
  /// policyTable, each message as the kernel wrote it.
  std::vector<std::vector<char>> stale(std::uint16_t type, int family);
  /// Adds family's route, then the rule that leads to it, so that the rule never leads to an
  /// empty table; when either is refused, nothing of family stays.
  std::optional<Refusal> install(int family);
  /// Deletes family's rule and route, ignoring refusals.
  void uninstall(int family);

  std::unique_ptr<mnl_socket, SocketCloser> netlink_;
  std::uint32_t sequence_ = 0;
  unsigned loopback_ = 0;
  std::vector<char> buffer_;
  bool ipv6_ = false;
};

}  // namespace velmora::netd
