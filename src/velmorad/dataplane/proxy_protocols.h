// The byte-level forms of the proxy protocols the data plane speaks: SOCKS5 and HTTP requests
// as clients send them to us, and as we send them to upstream proxies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit/model.h"

namespace velmora::dataplane {

/// Where a client asks to go, and what must reach the destination first.
struct ProxyRequest {
  /// transparent: no request at all; the kernel's nat rules redirected the program's own
  /// connection, and its destination is where the program connected to.
  /// socks5UdpAssociate: host and port are where the client says its datagrams will come from.
  enum class Kind { socks5, socks5UdpAssociate, httpConnect, httpForward, transparent };

  Kind kind = Kind::socks5;
  std::string host;
  std::uint16_t port = 0;
  /// httpForward: the request head rewritten for the origin server.
  std::string forwardHead;

  bool operator==(const ProxyRequest&) const = default;
};

/// SOCKS5 reply codes (RFC 1928).
enum class SocksReply : std::uint8_t {
  succeeded = 0,
  generalFailure = 1,
  notAllowed = 2,
  networkUnreachable = 3,
  hostUnreachable = 4,
  connectionRefused = 5,
  ttlExpired = 6,
  commandNotSupported = 7,
  addressTypeNotSupported = 8,
};

/// The reply to a SOCKS5 request with this code and an all-zero bound address.
std::string socksReply(SocksReply code);
/// The reply with a bound address field (as socksAddressField writes it).
std::string socksReply(SocksReply code, std::string_view boundAddress);

/// The SOCKS5 address field (type byte, address, port) for host: IP literals as addresses,
/// anything else as a domain name. Nothing when the name is empty or longer than 255 bytes.
std::optional<std::string> socksAddressField(std::string_view host, std::uint16_t port);

/// The destination of a SOCKS5 address field (type byte onwards); nothing when malformed.
/// Domain names are kept as text, addresses written in their usual text form.
std::optional<std::pair<std::string, std::uint16_t>> parseSocksAddress(std::string_view field);

/// How many bytes the SOCKS5 address field starting with this type byte takes, port included;
/// the domain form needs its length byte too (second byte). Nothing for an unknown type.
std::optional<std::size_t> socksAddressLength(std::uint8_t type, std::uint8_t domainLength);

/// A SOCKS5 CONNECT request for host and port: IP literals as addresses, anything else as a
/// domain name for the proxy to resolve. Nothing when the name is longer than 255 bytes.
std::optional<std::string> socksConnectRequest(std::string_view host, std::uint16_t port);

/// A SOCKS5 UDP ASSOCIATE request saying the datagrams will come from host and port (zeros: not
/// known yet).
std::optional<std::string> socksUdpAssociateRequest(std::string_view host, std::uint16_t port);

/// A datagram of a SOCKS5 UDP association: where it goes (or, from the relay, where it came
/// from) and where its data begins.
struct SocksDatagram {
  std::string host;
  std::uint16_t port = 0;
  std::size_t dataOffset = 0;

  bool operator==(const SocksDatagram&) const = default;
};
/// The header of a datagram to or from a SOCKS5 UDP relay; nothing when malformed or a fragment.
std::optional<SocksDatagram> parseSocksDatagram(std::string_view datagram);
/// The header that goes before a datagram's data for host and port.
std::optional<std::string> socksDatagramHeader(std::string_view host, std::uint16_t port);

/// The RFC 1929 user name and password sub-negotiation; nothing when either is too long.
std::optional<std::string> socksPasswordRequest(const ProxyCredentials& credentials);

/// Parses an HTTP request head (up to and including the empty line). CONNECT takes
/// "host:port"; other methods need an absolute "http://" URI, whose request line is rewritten
/// to the origin form with hop-by-hop proxy headers dropped and "Connection: close" added, so
/// that every request of the client reaches the proxy on a connection of its own. Nothing when
/// the head is not such a request.
std::optional<ProxyRequest> parseHttpRequest(std::string_view head);

/// "CONNECT host:port", with Basic credentials when given.
std::string httpConnectRequest(std::string_view host, std::uint16_t port,
                               const std::optional<ProxyCredentials>& credentials);

/// The status code of an HTTP response head; nothing when it is not one.
std::optional<int> httpStatus(std::string_view head);

/// A complete HTTP error response with this status line, closing the connection.
std::string httpError(std::string_view status);

std::string base64(std::string_view bytes);

/// "host:port", with brackets around an IPv6 literal.
std::string hostPort(std::string_view host, std::uint16_t port);

}  // namespace velmora::dataplane
