// Who asks, and whether they may: the kernel's word on the client at the other end of a
// connection, the owners of the sockets listening on a loopback port (sock_diag), and the one
// decision on a capture made from those facts. Nothing a request says about its sender counts.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kit/discovery/socket_table.h"
#include "kit/error.h"

struct mnl_socket;

namespace velmora::netd {

/// A request the client may not make; what() says which rule it breaks.
class Refusal : public Error {
 public:
  using Error::Error;
};

/// The client as the kernel recorded it when it connected (SO_PEERCRED).
struct Peer {
  uid_t uid = 0;
  pid_t pid = 0;
};

/// Throws Error when the connection has no credentials to give.
Peer peerOf(int connection);

/// True when a socket bound to this local address receives what a redirect sends to its port:
/// 127.0.0.1 (IPv4), ::1 (IPv6), a wildcard address, or 127.0.0.1 mapped into IPv6.
bool reachedByRedirect(sa_family_t family, const std::array<std::uint32_t, 4>& address);

/// The owners of the sockets of protocol (IPPROTO_TCP listeners, or IPPROTO_UDP) on port that
/// redirected traffic reaches, both families. Throws Error when the kernel does not answer.
std::vector<uid_t> ownersReachedAt(SocketTable& table, int protocol, std::uint16_t port);
/// ownersReachedAt for the TCP listeners of each port of the span from port.
std::vector<std::vector<uid_t>> spanOwners(SocketTable& table, std::uint16_t port);

/// What the helper has found out about a capture before deciding on it.
struct CaptureFacts {
  Peer peer;
  /// The client process's own cgroup; nothing when it could not be read.
  std::optional<std::string> clientCgroup;
  std::string cgroup;
  uid_t cgroupOwner = 0;
  std::uint16_t port = 0;
  /// spanOwners(port): who listens at each port of the span.
  std::vector<std::vector<uid_t>> listenerOwners;
  /// The request's exceptClient.
  bool exceptClient = false;
  /// The request's dnsPort, and who listens there over UDP and TCP.
  std::optional<std::uint16_t> dnsPort;
  std::vector<uid_t> dnsUdpOwners;
  std::vector<uid_t> dnsTcpOwners;
};

/// A client may capture a cgroup whose directory its uid owns (root any cgroup) unless the
/// client itself lives in it, and only towards ports where it, and nobody else, listens (every
/// port of the span; for DNS, over UDP and TCP both). Asking
/// to be excepted, it may capture a cgroup above its own: the result is then the client's own
/// cgroup, which the capture must leave out. Throws Refusal naming the first rule broken.
std::optional<std::string> authorizeCapture(const CaptureFacts& facts);

}  // namespace velmora::netd
