// The client side of SOCKS5 towards an upstream proxy, for the TCP connections and the UDP
// associations of the data plane alike.
#pragma once

#include <asio.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "kit/model.h"
#include "proxy_protocols.h"

namespace velmora::dataplane {

/// Why one connection or flow could not be carried, as a value: the code a SOCKS5 client is told
/// and the text of the failed event.
struct Failure {
  SocksReply code = SocksReply::succeeded;
  std::string description;

  explicit operator bool() const { return code != SocksReply::succeeded; }
};

/// The completion token that leaves an operation's failure in error instead of throwing it.
inline auto failuresAsValues(std::error_code& error) {
  return asio::redirect_error(asio::use_awaitable, error);
}

/// The SOCKS5 reply code that says why a system call failed.
SocksReply replyFor(const std::error_code& error);

/// What a SOCKS5 request to an upstream came to: the failure, if any, and the address field the
/// proxy bound (for UDP ASSOCIATE, where its relay listens).
struct SocksOutcome {
  Failure failure;
  std::string boundAddress;
};

/// Greets hop on socket, already connected to it, with its credentials if it has any, sends
/// request (from socksConnectRequest or socksUdpAssociateRequest) and reads the reply. what
/// says what was asked, as a refusal names it ("连接 10.0.0.1:80", "转发 UDP").
asio::awaitable<SocksOutcome> socksExchange(asio::ip::tcp::socket& socket, const ProxyServer& hop,
                                            std::string_view request, std::string_view what);

}  // namespace velmora::dataplane
