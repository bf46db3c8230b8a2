// The kernel's table of TCP and UDP sockets in this network namespace, asked through sock_diag:
// who owns the socket bound to a port, without reading any process.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct mnl_socket;

namespace velmora {

/// One socket as the kernel lists it. Addresses are as sock_diag gives them: network byte order,
/// an IPv4 address in the first word, an IPv6 address in all four.
struct SocketEntry {
  sa_family_t family = 0;  // AF_INET or AF_INET6
  std::array<std::uint32_t, 4> local{};
  std::uint16_t localPort = 0;
  std::array<std::uint32_t, 4> remote{};
  std::uint16_t remotePort = 0;
  /// The TCP state; a UDP socket is TCP_ESTABLISHED when connected, TCP_CLOSE when not.
  std::uint8_t state = 0;
  uid_t uid = 0;
  std::uint64_t inode = 0;
};

/// A sock_diag netlink socket; used from one thread at a time.
class SocketTable {
 public:
  /// Throws velmora::Error when sock_diag cannot be opened.
  SocketTable();
  ~SocketTable();
  SocketTable(const SocketTable&) = delete;
  SocketTable& operator=(const SocketTable&) = delete;

  /// The sockets of protocol (IPPROTO_TCP or IPPROTO_UDP) and family whose local port is port and
  /// whose state is in states, a mask of 1 << state bits. Throws velmora::Error when the kernel
  /// does not answer.
  std::vector<SocketEntry> boundTo(int protocol, sa_family_t family, std::uint16_t port,
                                   std::uint32_t states = ~0u);

  /// The socket of protocol (IPPROTO_TCP or IPPROTO_UDP) whose own ends are local:localPort and
  /// remote:remotePort in family, by one exact lookup rather than a dump; for UDP, the socket that
  /// receives what remote sends to local, connected or not. Nothing when the kernel knows none
  /// (the connection is gone) or does not answer.
  std::optional<SocketEntry> connection(int protocol, sa_family_t family,
                                        const std::array<std::uint32_t, 4>& local,
                                        std::uint16_t localPort,
                                        const std::array<std::uint32_t, 4>& remote,
                                        std::uint16_t remotePort);

  /// The owners of the sockets that a datagram or connection from address (IPv4 or IPv6 text)
  /// and port over protocol can have been sent from, listeners left out; none when no socket is
  /// bound there any more or the address cannot be read. Throws velmora::Error when the kernel
  /// does not answer.
  std::vector<uid_t> sendersAt(int protocol, const std::string& address, std::uint16_t port);

 private:
  mnl_socket* netlink_ = nullptr;
  unsigned sequence_ = 0;
};

/// True when a socket bound to local in family is the one a packet from source (same family as
/// the entry, or IPv4 seen by an IPv6 socket as ::ffff:a.b.c.d) was sent from or is delivered
/// to: the same address, or the family's wildcard.
bool boundToAddress(sa_family_t family, const std::array<std::uint32_t, 4>& local,
                    sa_family_t sourceFamily, const std::array<std::uint32_t, 4>& source);

}  // namespace velmora
