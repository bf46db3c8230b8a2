#include "udp_association.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <asio/experimental/awaitable_operators.hpp>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "kit/discovery/socket_table.h"
#include "kit/localize.h"
#include "socks_client.h"

namespace velmora::dataplane {
namespace {

using asio::awaitable;
using asio::ip::tcp;
using asio::ip::udp;
using namespace asio::experimental::awaitable_operators;
using Clock = std::chrono::steady_clock;

constexpr std::size_t maxDatagram = 65535;
/// Datagrams kept for a flow while its route is being set up; later ones are dropped.
constexpr std::size_t maxWaiting = 16;

/// The text of an address as the rules and events show it: IPv4 mapped into IPv6 as IPv4.
std::string addressText(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  return address.to_string();
}

/// One destination of the association and how its datagrams are carried.
struct Flow : std::enable_shared_from_this<Flow> {
  std::string host;
  std::uint16_t port = 0;
  ConnectionEvent event;
  Clock::time_point started = Clock::now();
  Clock::time_point lastUsed = started;
  /// Whether the connection log follows the flow (routing on) or only counts it.
  bool tracked = true;
  /// Set up and carrying; until then datagrams wait.
  bool ready = false;
  /// Blocked, or its route cannot carry it: its datagrams are dropped.
  bool dropping = false;
  bool ended = false;
  /// Counted in the data plane's total while it lasts.
  bool counted = false;
  std::vector<std::string> waiting;
  /// To the destination, or to the upstream proxy's relay.
  std::unique_ptr<udp::socket> socket;
  /// The upstream's association lasts as long as this connection to it.
  std::unique_ptr<tcp::socket> upstream;
  /// Before every datagram to the upstream's relay; empty on a direct route.
  std::string header;
};

class Association {
 public:
  Association(tcp::socket& control, UdpAssociationSetup setup)
      : control_(control),
        setup_(std::move(setup)),
        relay_(control.get_executor()),
        drained_(control.get_executor(), Clock::time_point::max()) {}

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
    co_await (receiveFromClient() || watchControl() || expireIdle());
    for (auto& [key, flow] : flows_) end(*flow);
    flows_.clear();
    // The flows' own coroutines use this association; they end once their sockets are closed.
    while (active_ > 0) co_await drained_.async_wait(failuresAsValues(error));
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

  /// Ends the flows that carried nothing for the idle time, looking a few times per period.
  awaitable<void> expireIdle() {
    asio::steady_timer timer(relay_.get_executor());
    const auto period =
        std::max<Clock::duration>(setup_.idleTimeout / 4, std::chrono::milliseconds(100));
    while (true) {
      timer.expires_after(period);
      std::error_code error;
      co_await timer.async_wait(failuresAsValues(error));
      if (error) co_return;
      const Clock::time_point now = Clock::now();
      std::erase_if(flows_, [&](auto& entry) {
        Flow& flow = *entry.second;
        if (now - flow.lastUsed < setup_.idleTimeout) return false;
        end(flow);
        return true;
      });
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
    const auto key = std::pair(host, port);
    auto found = flows_.find(key);
    if (found == flows_.end()) {
      if (flows_.size() >= maxUdpFlows) return;
      auto flow = std::make_shared<Flow>();
      flow->host = host;
      flow->port = port;
      found = flows_.emplace(key, flow).first;
      ++active_;
      asio::co_spawn(relay_.get_executor(), carry(std::move(flow)), asio::detached);
    }
    Flow& flow = *found->second;
    flow.lastUsed = Clock::now();
    if (flow.dropping || flow.ended) return;
    if (!flow.ready) {
      if (flow.waiting.size() < maxWaiting) flow.waiting.emplace_back(data);
      return;
    }
    send(flow, data);
  }

  /// Sends at once or drops, as UDP does when a buffer is full.
  void send(Flow& flow, std::string_view data) {
    std::error_code error;
    const std::array<asio::const_buffer, 2> buffers{asio::buffer(flow.header), asio::buffer(data)};
    flow.socket->send(buffers, 0, error);
    if (!error) flow.event.bytesSent += data.size();
  }

  void record(Flow& flow, ConnectionEvent::Phase phase,
              std::optional<std::string> error = std::nullopt) {
    flow.event.phase = phase;
    flow.event.lifetime = std::chrono::duration<double>(Clock::now() - flow.started).count();
    flow.event.errorDescription = std::move(error);
    setup_.record(flow.event);
  }

  void end(Flow& flow) {
    if (flow.ended) return;
    flow.ended = true;
    if (std::exchange(flow.counted, false)) --*setup_.carried;
    std::error_code ignored;
    if (flow.socket) flow.socket->close(ignored);
    if (flow.upstream) flow.upstream->close(ignored);
    if (flow.ready && flow.tracked) record(flow, ConnectionEvent::Phase::close);
  }

  /// Decides the flow, sets up its route and carries what comes back, until the flow ends.
  awaitable<void> carry(std::shared_ptr<Flow> flow) {
    co_await decideAndCarry(*flow);
    if (--active_ == 0) drained_.cancel();
  }

  awaitable<void> decideAndCarry(Flow& flow) {
    const RoutingPolicy& policy = *setup_.policy;
    const Verdict verdict = decide(policy, setup_.app, flow.host, flow.port, FlowTransport::udp);
    flow.tracked = policy.enabled;
    flow.event = ConnectionEvent{
        .app = setup_.app.bestDescription(),
        .bundleID = setup_.app.bundleID,
        .host = flow.host,
        .port = flow.port,
        .transport = FlowTransport::udp,
        .ruleName = verdict.matchedRule ? std::optional(verdict.matchedRule->name) : std::nullopt,
        .route = verdict.actionDescription()};
    Verdict::Resolved route = verdict.resolved;
    // QUIC goes by the rule's policy: carried like the rest, directly, or not at all so that
    // the program falls back to TCP.
    if (flow.port == 443 && route.kind != Verdict::Resolved::Kind::block) {
      if (verdict.quicPolicy == QUICPolicy::direct) {
        route = Verdict::Resolved::direct();
        flow.event.route = Verdict{.resolved = route}.actionDescription();
      } else if (verdict.quicPolicy == QUICPolicy::fallback) {
        flow.dropping = true;
        record(flow, ConnectionEvent::Phase::blocked, VL("QUIC 按规则回退到 TCP，不转发"));
        co_return;
      }
    }
    if (route.kind == Verdict::Resolved::Kind::block) {
      flow.dropping = true;
      record(flow, ConnectionEvent::Phase::blocked);
      co_return;
    }
    // A flow holds sockets as a connection does, and counts as one.
    if (setup_.carried->fetch_add(1) >= setup_.maxCarried) {
      --*setup_.carried;
      flow.dropping = true;
      record(flow, ConnectionEvent::Phase::failed,
             VL("连接数已达上限 %lld，UDP 流未转发", static_cast<long long>(setup_.maxCarried)));
      co_return;
    }
    flow.counted = true;
    const Failure failure = co_await open(flow, route);
    if (flow.ended) co_return;
    if (failure) {
      flow.dropping = true;
      record(flow, ConnectionEvent::Phase::failed, failure.description);
      co_return;
    }
    flow.ready = true;
    record(flow, flow.tracked ? ConnectionEvent::Phase::open : ConnectionEvent::Phase::direct);
    for (const std::string& data : std::exchange(flow.waiting, {})) send(flow, data);
    co_await receiveFromRoute(flow);
  }

  awaitable<Failure> open(Flow& flow, const Verdict::Resolved& route) {
    using Kind = Verdict::Resolved::Kind;
    if (route.kind == Kind::direct)
      co_return co_await openDirect(flow, flow.host, flow.port, nullptr);
    if (route.kind == Kind::interface)
      co_return co_await openDirect(flow, flow.host, flow.port, &route.interfaceName);
    const ProxyServer& hop = route.proxies.front();
    if (route.proxies.size() > 1)
      co_return Failure{SocksReply::commandNotSupported, VL("代理链不能转发 UDP")};
    if (hop.proto != ProxyProtocol::socks5)
      co_return Failure{SocksReply::commandNotSupported,
                        VL("代理「%@」是 HTTP 代理，不能转发 UDP", hop.name)};
    co_return co_await openThroughSocks(flow, hop);
  }

  /// The addresses of host, resolved for UDP unless it is one already.
  awaitable<std::vector<udp::endpoint>> endpointsOf(const std::string& host, std::uint16_t port,
                                                    std::error_code& error) {
    std::vector<udp::endpoint> endpoints;
    const asio::ip::address literal = asio::ip::make_address(host, error);
    if (!error) {
      endpoints.emplace_back(literal, port);
      co_return endpoints;
    }
    udp::resolver resolver(relay_.get_executor());
    const auto results =
        co_await resolver.async_resolve(host, std::to_string(port), failuresAsValues(error));
    if (!error)
      for (const auto& result : results) endpoints.push_back(result.endpoint());
    co_return endpoints;
  }

  awaitable<Failure> openDirect(Flow& flow, const std::string& host, std::uint16_t port,
                                const std::string* interfaceName) {
    std::error_code error;
    const std::vector<udp::endpoint> endpoints = co_await endpointsOf(host, port, error);
    if (error || endpoints.empty())
      co_return Failure{SocksReply::hostUnreachable,
                        VL("无法解析 %@：%@", host, error ? error.message() : VL("没有地址"))};
    flow.socket = std::make_unique<udp::socket>(relay_.get_executor());
    const udp::endpoint& to = endpoints.front();
    flow.socket->open(to.protocol(), error);
    if (!error && interfaceName &&
        ::setsockopt(flow.socket->native_handle(), SOL_SOCKET, SO_BINDTODEVICE,
                     interfaceName->c_str(), static_cast<socklen_t>(interfaceName->size())) != 0)
      co_return Failure{SocksReply::networkUnreachable,
                        VL("无法绑定网卡 %@：%@", *interfaceName, std::strerror(errno))};
    if (!error) flow.socket->connect(to, error);
    if (!error) flow.socket->non_blocking(true, error);
    if (error)
      co_return Failure{replyFor(error),
                        VL("无法向 %@ 发送：%@", hostPort(addressText(to.address()), to.port()),
                           error.message())};
    co_return Failure{};
  }

  awaitable<Failure> openThroughSocks(Flow& flow, const ProxyServer& hop) {
    const auto failed = [&](const std::string& why) {
      return Failure{SocksReply::generalFailure, VL("代理「%@」：%@", hop.name, why)};
    };
    std::error_code error;
    const std::vector<udp::endpoint> proxies = co_await endpointsOf(hop.address, hop.port, error);
    if (error || proxies.empty()) co_return failed(VL("无法解析 %@", hop.address));
    const tcp::endpoint proxy(proxies.front().address(), hop.port);
    flow.upstream = std::make_unique<tcp::socket>(relay_.get_executor());
    asio::steady_timer limit(relay_.get_executor(), setup_.connectTimeout);
    std::error_code expired;
    const auto connected = co_await (flow.upstream->async_connect(proxy, failuresAsValues(error)) ||
                                     limit.async_wait(failuresAsValues(expired)));
    if (connected.index() == 1) co_return failed(VL("连接超时"));
    if (error) co_return failed(error.message());
    const std::string request = *socksUdpAssociateRequest("0.0.0.0", 0);
    const SocksOutcome outcome =
        co_await socksExchange(*flow.upstream, hop, request, VL("转发 UDP"));
    if (outcome.failure) co_return outcome.failure;
    const auto bound = parseSocksAddress(outcome.boundAddress);
    if (!bound) co_return failed(VL("UDP 中继地址不合规"));
    // A relay bound to every address is reached where the proxy itself is.
    asio::ip::address relay = asio::ip::make_address(bound->first, error);
    if (error || relay.is_unspecified()) relay = proxy.address();
    flow.socket = std::make_unique<udp::socket>(relay_.get_executor());
    flow.socket->open(relay.is_v4() ? udp::v4() : udp::v6(), error);
    if (!error) flow.socket->connect({relay, bound->second}, error);
    if (!error) flow.socket->non_blocking(true, error);
    if (error) co_return failed(error.message());
    const std::optional<std::string> header = socksDatagramHeader(flow.host, flow.port);
    if (!header) co_return Failure{SocksReply::hostUnreachable, VL("主机名太长：%@", flow.host)};
    flow.header = *header;
    // The upstream ends its association when this connection ends, and so does the flow.
    asio::co_spawn(relay_.get_executor(), watchUpstream(flow.shared_from_this()), asio::detached);
    ++active_;
    co_return Failure{};
  }

  awaitable<void> watchUpstream(std::shared_ptr<Flow> flow) {
    std::array<char, 64> ignored{};
    std::error_code error;
    co_await flow->upstream->async_read_some(asio::buffer(ignored), failuresAsValues(error));
    end(*flow);
    if (--active_ == 0) drained_.cancel();
  }

  /// Passes what comes back to the client, under the header of where it came from.
  awaitable<void> receiveFromRoute(Flow& flow) {
    std::vector<char> buffer(maxDatagram);
    const bool throughProxy = !flow.header.empty();
    std::error_code error;
    const udp::endpoint remote = flow.socket->remote_endpoint(error);
    const std::string directHeader =
        error ? std::string() : *socksDatagramHeader(addressText(remote.address()), remote.port());
    while (!flow.ended) {
      const std::size_t size =
          co_await flow.socket->async_receive(asio::buffer(buffer), failuresAsValues(error));
      if (flow.ended || error == asio::error::operation_aborted) co_return;
      // An ICMP error for an earlier datagram; UDP goes on.
      if (error) continue;
      const std::string_view datagram(buffer.data(), size);
      std::size_t dataSize = size;
      std::array<asio::const_buffer, 2> buffers{asio::buffer(directHeader), asio::buffer(datagram)};
      if (throughProxy) {
        const std::optional<SocksDatagram> header = parseSocksDatagram(datagram);
        if (!header) continue;
        dataSize = size - header->dataOffset;
        buffers = {asio::const_buffer(), asio::buffer(datagram)};
      }
      flow.lastUsed = Clock::now();
      relay_.send_to(buffers, *client_, 0, error);
      if (!error) flow.event.bytesReceived += dataSize;
    }
  }

  tcp::socket& control_;
  UdpAssociationSetup setup_;
  udp::socket relay_;
  std::optional<udp::endpoint> client_;
  std::optional<SocketTable> sockets_;
  std::map<std::pair<std::string, std::uint16_t>, std::shared_ptr<Flow>> flows_;
  /// The flows' coroutines still running, and the timer that wakes the end when none is.
  std::size_t active_ = 0;
  asio::steady_timer drained_;
};

}  // namespace

awaitable<void> serveUdpAssociation(tcp::socket& control, UdpAssociationSetup setup) {
  Association association(control, std::move(setup));
  co_await association.run();
}

}  // namespace velmora::dataplane
