#include "udp_association.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <asio/experimental/awaitable_operators.hpp>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "kit/discovery/socket_table.h"
#include "kit/localize.h"
#include "socks_client.h"
#include "udp_flows.h"

namespace velmora::dataplane {
namespace {

using asio::awaitable;
using asio::ip::tcp;
using asio::ip::udp;
using namespace asio::experimental::awaitable_operators;

constexpr std::size_t maxDatagram = 65535;

class Association {
 public:
  Association(tcp::socket& control, UdpAssociationSetup setup)
      : control_(control),
        setup_(std::move(setup)),
        relay_(control.get_executor()),
        flows_(control.get_executor(), {.record = setup_.record,
                                        .idleTimeout = setup_.idleTimeout,
                                        .connectTimeout = setup_.connectTimeout,
                                        .carried = setup_.carried,
                                        .maxCarried = setup_.maxCarried,
                                        .maxFlows = maxUdpFlows,
                                        .traffic = setup_.traffic}) {}

  awaitable<void> run() {
    std::error_code error;
    const tcp::endpoint local = control_.local_endpoint(error);
    if (!error) relay_.open(local.address().is_v4() ? udp::v4() : udp::v6(), error);
    if (!error) relay_.bind({local.address(), 0}, error);
    if (!error) relay_.non_blocking(true, error);
    if (error) {
      co_await asio::async_write(control_, asio::buffer(socksReply(SocksReply::generalFailure)),
                                 failuresAsValues(error));
      co_return;
    }
    const udp::endpoint relay = relay_.local_endpoint();
    const std::string reply = socksReply(
        SocksReply::succeeded, *socksAddressField(addressText(relay.address()), relay.port()));
    co_await asio::async_write(control_, asio::buffer(reply), failuresAsValues(error));
    if (error) co_return;
    co_await (receiveFromClient() || watchControl() || flows_.expireIdle());
    // The flows' own coroutines answer through the relay; they end once their sockets close.
    co_await flows_.close();
  }

 private:
  /// The client's end of the request: any byte or its end ends the association.
  awaitable<void> watchControl() {
    std::array<char, 64> ignored{};
    std::error_code error;
    co_await control_.async_read_some(asio::buffer(ignored), failuresAsValues(error));
  }

  awaitable<void> receiveFromClient() {
    std::vector<char> buffer(maxDatagram);
    udp::endpoint sender;
    while (true) {
      std::error_code error;
      const std::size_t size =
          co_await relay_.async_receive_from(asio::buffer(buffer), sender, failuresAsValues(error));
      if (error == asio::error::operation_aborted) co_return;
      if (error || !fromClient(sender)) continue;
      const std::string_view datagram(buffer.data(), size);
      const std::optional<SocksDatagram> header = parseSocksDatagram(datagram);
      if (header) toDestination(header->host, header->port, datagram.substr(header->dataOffset));
    }
  }

  /// Whether a datagram at the relay is the client's: the first sender that fits the request
  /// and is a socket of the user becomes the client, and nobody else is heard.
  bool fromClient(const udp::endpoint& sender) {
    if (client_) return sender == *client_;
    std::error_code invalid;
    const asio::ip::address claimed = asio::ip::make_address(setup_.clientHost, invalid);
    if (!invalid && !claimed.is_unspecified() &&
        addressText(claimed) != addressText(sender.address()))
      return false;
    if (setup_.clientPort != 0 && sender.port() != setup_.clientPort) return false;
    try {
      if (!sockets_) sockets_.emplace();
      const std::vector<uid_t> owners =
          sockets_->sendersAt(IPPROTO_UDP, addressText(sender.address()), sender.port());
      if (owners.empty() ||
          std::ranges::any_of(owners, [&](uid_t owner) { return owner != setup_.user; }))
        return false;
    } catch (const Error&) {
      return false;
    }
    client_ = sender;
    return true;
  }

  void toDestination(const std::string& host, std::uint16_t port, std::string_view data) {
    flows_.send(
        hostPort(host, port),
        [&] {
          return UdpFlowStart{.app = setup_.app,
                              .policy = setup_.policy,
                              .host = host,
                              .port = port,
                              .answer =
                                  [this](std::string_view header, std::string_view answer) {
                                    std::error_code ignored;
                                    const std::array<asio::const_buffer, 2> buffers{
                                        asio::buffer(header), asio::buffer(answer)};
                                    relay_.send_to(buffers, *client_, 0, ignored);
                                  },
                              .fallBack = nullptr};
        },
        data);
  }

  tcp::socket& control_;
  UdpAssociationSetup setup_;
  udp::socket relay_;
  std::optional<udp::endpoint> client_;
  std::optional<SocketTable> sockets_;
  UdpFlows flows_;
};

}  // namespace

awaitable<void> serveUdpAssociation(tcp::socket& control, UdpAssociationSetup setup) {
  Association association(control, std::move(setup));
  co_await association.run();
}

}  // namespace velmora::dataplane
