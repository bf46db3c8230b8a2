// The requests velmorad sends to velmora-netd, the privileged helper that redirects the TCP
// connections, DNS queries and UDP datagrams of chosen cgroups to velmorad, and the helper's
// replies: one JSON object per message on a SOCK_SEQPACKET socket, read strictly on both sides.
// The sockets a reply hands over travel with it as SCM_RIGHTS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "error.h"

namespace velmora::netd {

/// The largest request or reply, in bytes; the helper keeps every reply it sends within it.
inline constexpr std::size_t maxMessageSize = 4096;
inline constexpr std::string_view defaultSocketPath = "/run/velmora-netd.sock";
/// VELMORA_NETD_SOCKET when set and not empty, defaultSocketPath otherwise.
std::string socketPath();

/// A request or reply that is not what the protocol says; what() is the reason, in Chinese.
struct ProtocolError : velmora::Error {
  using Error::Error;
};

/// How many ports, from a capture's port on, receive its connections. A program may connect to
/// two destinations from one local port; redirected, both would become the same connection to
/// one port, and the kernel would give the second another source port, which no socket has.
/// Spread over a span of ports, they keep their own.
inline constexpr std::uint16_t transparentPortSpan = 16;

/// {"request":"hello"}: whether transparent capture works here.
struct Hello {
  bool operator==(const Hello&) const = default;
};
/// {"request":"capture","cgroup":"/a/b","port":11090,"failsafe":true}, and "exceptClient":true
/// for a capture of a cgroup above the client's own, "dnsPort":11053 for its DNS as well,
/// "udpPort":11090 for the rest of its UDP
struct Capture {
  /// Path inside the cgroup v2 hierarchy as /proc/PID/cgroup shows it ("0::/a/b"), starting
  /// with "/".
  std::string cgroup;
  /// The first of transparentPortSpan ports, at most 65536 - transparentPortSpan.
  std::uint16_t port = 0;
  /// When false, the connections of the cgroup are refused rather than let through directly once
  /// the client that captured it is gone.
  bool failsafe = true;
  /// When true, cgroup may hold the client itself: the helper then leaves the client's own
  /// cgroup (as the kernel reports it for the client's process, never as a request says) out
  /// of the capture, so that the client's connections stay direct.
  bool exceptClient = false;
  /// Where the cgroup's DNS queries go, UDP and TCP to port 53 of any address (127.0.0.53
  /// included); nothing leaves them alone.
  std::optional<std::uint16_t> dnsPort;
  /// Where the cgroup's other UDP goes (not to this machine, multicast, broadcast or IPv6
  /// link-local addresses, not DNS): the
  /// transparent UDP sockets at this port that a client of the same user holds (udpSockets),
  /// this one or another. Without it, QUIC (UDP to port 443) is refused and the rest goes on
  /// directly.
  std::optional<std::uint16_t> udpPort;

  bool operator==(const Capture&) const = default;
};
/// {"request":"release","cgroup":"/a/b"}
struct Release {
  std::string cgroup;

  bool operator==(const Release&) const = default;
};
/// {"request":"list"}
struct List {
  bool operator==(const List&) const = default;
};
/// {"request":"udpSockets","port":11090}: the client's transparent UDP sockets on 127.0.0.1 and
/// ::1 at port (at least 1024), which receive its captured datagrams with their original
/// destinations; the reply carries them, IPv4 first. Asked once per connection.
struct UdpSockets {
  std::uint16_t port = 0;

  bool operator==(const UdpSockets&) const = default;
};
/// {"request":"replySocket","address":"203.0.113.5","port":443}: a socket bound to that
/// destination of a captured flow, not an address of this machine, from which the client sends
/// the destination's answers back; it only sends, and only answers.
struct ReplySocket {
  std::string address;
  std::uint16_t port = 0;

  bool operator==(const ReplySocket&) const = default;
};
/// {"request":"refuseFlow","source":"10.0.0.2","sourcePort":40000,"address":"203.0.113.5",
/// "port":443}: the captured flow's next datagrams are refused at once with ICMP port
/// unreachable, for a minute, so that the program gives up on it (QUIC falls back to TCP).
struct RefuseFlow {
  std::string source;
  std::uint16_t sourcePort = 0;
  std::string address;
  std::uint16_t port = 0;

  bool operator==(const RefuseFlow&) const = default;
};
using Request = std::variant<Hello, Capture, Release, List, UdpSockets, ReplySocket, RefuseFlow>;

/// {"ok":true} plus the members that apply, or {"ok":false,"error":"…"}. The sockets of
/// udpSockets and replySocket are not members: they come with the message.
struct Reply {
  bool ok = true;
  /// The reason, when !ok.
  std::string error;
  /// hello: where cgroup v2 is mounted, e.g. "/sys/fs/cgroup/unified".
  std::string cgroupRoot;
  /// list: what this client holds.
  std::vector<Capture> captures;
  /// list: cgroups of this client's uid still refused since the client that held them left
  /// (failsafe false).
  std::vector<std::string> held;

  bool operator==(const Reply&) const = default;
};

std::string encode(const Request& request);
/// Throws ProtocolError.
Request decodeRequest(std::string_view message);
/// An error too long for maxMessageSize is cut, so that every reply can be sent.
std::string encode(const Reply& reply);
/// Throws ProtocolError.
Reply decodeReply(std::string_view message);

}  // namespace velmora::netd
