#include "udp_flows.h"

#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <asio/experimental/awaitable_operators.hpp>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "kit/localize.h"
#include "proxy_protocols.h"

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

/// The addresses of host, resolved for UDP unless it is one already.
awaitable<std::vector<udp::endpoint>> endpointsOf(asio::any_io_executor executor,
                                                  const std::string& host, std::uint16_t port,
                                                  std::error_code& error) {
  std::vector<udp::endpoint> endpoints;
  const asio::ip::address literal = asio::ip::make_address(host, error);
  if (!error) {
    endpoints.emplace_back(literal, port);
    co_return endpoints;
  }
  udp::resolver resolver(executor);
  const auto results =
      co_await resolver.async_resolve(host, std::to_string(port), failuresAsValues(error));
  if (!error)
    for (const auto& result : results) endpoints.push_back(result.endpoint());
  co_return endpoints;
}

}  // namespace

std::string addressText(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
  return address.to_string();
}

SocketAddress socketAddress(const asio::ip::address& given, std::uint16_t port) {
  SocketAddress result;
  result.port = port;
  asio::ip::address address = given;
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  if (address.is_v4()) {
    result.family = AF_INET;
    const auto bytes = address.to_v4().to_bytes();
    std::copy(bytes.begin(), bytes.end(), result.address.begin());
  } else {
    result.family = AF_INET6;
    const auto bytes = address.to_v6().to_bytes();
    std::copy(bytes.begin(), bytes.end(), result.address.begin());
  }
  return result;
}

/// One destination and how its datagrams are carried.
struct UdpFlows::Flow : std::enable_shared_from_this<Flow> {
  UdpFlowStart start;
  ConnectionEvent event;
  LiveTraffic::Counters bytes;
  LiveTraffic::Entry inView;
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
  /// To the destination, or to the first upstream proxy's relay.
  std::unique_ptr<udp::socket> socket;
  /// Each upstream's association lasts as long as this connection to it, the first hop's
  /// straight, the others' through the hops before them.
  std::vector<std::unique_ptr<tcp::socket>> upstreams;
  /// Before every datagram to the first hop's relay: one header for each further hop's relay,
  /// then the destination's; empty on a direct route.
  std::string header;
};

UdpFlows::UdpFlows(asio::any_io_executor executor, UdpFlowsSetup setup)
    : executor_(std::move(executor)),
      setup_(std::move(setup)),
      drained_(executor_, Clock::time_point::max()) {}

UdpFlows::~UdpFlows() = default;

void UdpFlows::send(const std::string& key, const std::function<UdpFlowStart()>& start,
                    std::string_view data) {
  auto found = flows_.find(key);
  if (found == flows_.end()) {
    if (flows_.size() >= setup_.maxFlows) return;
    auto flow = std::make_shared<Flow>();
    flow->start = start();
    found = flows_.emplace(key, flow).first;
    ++active_;
    asio::co_spawn(executor_, carry(std::move(flow)), asio::detached);
  }
  Flow& flow = *found->second;
  flow.lastUsed = Clock::now();
  if (flow.dropping || flow.ended) return;
  if (!flow.ready) {
    if (flow.waiting.size() < maxWaiting) flow.waiting.emplace_back(data);
    return;
  }
  transmit(flow, data);
}

awaitable<void> UdpFlows::expireIdle() {
  asio::steady_timer timer(executor_);
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

awaitable<void> UdpFlows::close() {
  for (auto& [key, flow] : flows_) end(*flow);
  flows_.clear();
  std::error_code error;
  while (active_ > 0) co_await drained_.async_wait(failuresAsValues(error));
}

void UdpFlows::finished() {
  if (--active_ == 0) drained_.cancel();
}

/// Sends at once or drops, as UDP does when a buffer is full.
void UdpFlows::transmit(Flow& flow, std::string_view data) {
  std::error_code error;
  const std::array<asio::const_buffer, 2> buffers{asio::buffer(flow.header), asio::buffer(data)};
  flow.socket->send(buffers, 0, error);
  if (!error) flow.bytes.sent += data.size();
}

void UdpFlows::record(Flow& flow, ConnectionEvent::Phase phase, std::optional<std::string> error) {
  flow.event.phase = phase;
  flow.event.lifetime = std::chrono::duration<double>(Clock::now() - flow.started).count();
  flow.event.errorDescription = std::move(error);
  setup_.record(flow.event);
}

void UdpFlows::end(Flow& flow) {
  if (flow.ended) return;
  flow.ended = true;
  if (std::exchange(flow.counted, false)) --*setup_.carried;
  std::error_code ignored;
  if (flow.socket) flow.socket->close(ignored);
  for (const auto& upstream : flow.upstreams) upstream->close(ignored);
  flow.inView.leave();
  flow.event.bytesSent = flow.bytes.sent;
  flow.event.bytesReceived = flow.bytes.received;
  if (flow.ready && flow.tracked) record(flow, ConnectionEvent::Phase::close);
  if (const std::function<void()> ended = std::exchange(flow.start.ended, nullptr)) ended();
}

awaitable<void> UdpFlows::carry(std::shared_ptr<Flow> flow) {
  co_await decideAndCarry(*flow);
  finished();
}

awaitable<void> UdpFlows::decideAndCarry(Flow& flow) {
  const UdpFlowStart& start = flow.start;
  if (start.refusal) {
    flow.dropping = true;
    flow.event = ConnectionEvent{.app = start.app.bestDescription(),
                                 .bundleID = start.app.bundleID,
                                 .host = start.host,
                                 .port = start.port,
                                 .transport = FlowTransport::udp};
    record(flow, ConnectionEvent::Phase::failed, *start.refusal);
    co_return;
  }
  const RoutingPolicy& policy = *start.policy;
  const Verdict verdict = decide(policy, start.app, start.host, start.port, FlowTransport::udp);
  flow.tracked = policy.enabled;
  flow.event = ConnectionEvent{
      .app = start.app.bestDescription(),
      .bundleID = start.app.bundleID,
      .host = start.host,
      .port = start.port,
      .transport = FlowTransport::udp,
      .ruleName = verdict.matchedRule ? std::optional(verdict.matchedRule->name) : std::nullopt,
      .route = verdict.actionDescription()};
  Verdict::Resolved route = verdict.resolved;
  // QUIC goes by the rule's policy: carried like the rest, directly, or not at all so that
  // the program falls back to TCP.
  if (start.port == 443 && route.kind != Verdict::Resolved::Kind::block) {
    if (verdict.quicPolicy == QUICPolicy::direct) {
      route = Verdict::Resolved::direct();
      flow.event.route = Verdict{.resolved = route}.actionDescription();
    } else if (verdict.quicPolicy == QUICPolicy::fallback) {
      flow.dropping = true;
      record(flow, ConnectionEvent::Phase::blocked, VL("QUIC 按规则回退到 TCP，不转发"));
      if (start.fallBack) start.fallBack();
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
  // A direct flow's socket is connected to the destination; others' to a proxy's relay.
  std::string reached;
  if (route.kind != Verdict::Resolved::Kind::proxy) {
    std::error_code unknown;
    const udp::endpoint destination = flow.socket->remote_endpoint(unknown);
    if (!unknown) reached = addressText(destination.address());
  }
  flow.inView.enter(setup_.traffic, flow.event, flow.bytes, std::move(reached));
  for (const std::string& data : std::exchange(flow.waiting, {})) transmit(flow, data);
  co_await receiveFromRoute(flow);
}

awaitable<Failure> UdpFlows::open(Flow& flow, const Verdict::Resolved& route) {
  using Kind = Verdict::Resolved::Kind;
  if (route.kind == Kind::direct) co_return co_await openDirect(flow, nullptr);
  if (route.kind == Kind::interface) co_return co_await openDirect(flow, &route.interfaceName);
  for (const ProxyServer& hop : route.proxies) {
    if (hop.proto != ProxyProtocol::socks5)
      co_return Failure{SocksReply::commandNotSupported,
                        VL("代理「%@」是 HTTP 代理，不能转发 UDP", hop.name)};
  }
  co_return co_await openThroughSocks(flow, route.proxies);
}

awaitable<Failure> UdpFlows::openDirect(Flow& flow, const std::string* interfaceName) {
  const std::string& host = flow.start.host;
  std::error_code error;
  const std::vector<udp::endpoint> endpoints =
      co_await endpointsOf(executor_, host, flow.start.port, error);
  if (error || endpoints.empty())
    co_return Failure{SocksReply::hostUnreachable,
                      VL("无法解析 %@：%@", host, error ? error.message() : VL("没有地址"))};
  flow.socket = std::make_unique<udp::socket>(executor_);
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
    co_return Failure{
        replyFor(error),
        VL("无法向 %@ 发送：%@", hostPort(addressText(to.address()), to.port()), error.message())};
  co_return Failure{};
}

awaitable<Failure> UdpFlows::openThroughSocks(Flow& flow, const std::vector<ProxyServer>& hops) {
  const ProxyServer& first = hops.front();
  std::error_code error;
  const std::vector<udp::endpoint> proxies =
      co_await endpointsOf(executor_, first.address, first.port, error);
  if (error || proxies.empty())
    co_return Failure{SocksReply::generalFailure,
                      VL("代理「%@」：%@", first.name, VL("无法解析 %@", first.address))};
  const tcp::endpoint proxy(proxies.front().address(), first.port);
  // Every hop's own association: asked over a connection that reaches it through the hops
  // before it, as a chained connection would.
  udp::endpoint firstRelay;
  std::string header;
  for (std::size_t i = 0; i < hops.size(); ++i) {
    const ProxyServer& hop = hops[i];
    const auto failed = [&](const std::string& why) {
      return Failure{SocksReply::generalFailure, VL("代理「%@」：%@", hop.name, why)};
    };
    auto& control = flow.upstreams.emplace_back(std::make_unique<tcp::socket>(executor_));
    asio::steady_timer limit(executor_, setup_.connectTimeout);
    std::error_code expired;
    const auto connected = co_await (control->async_connect(proxy, failuresAsValues(error)) ||
                                     limit.async_wait(failuresAsValues(expired)));
    if (connected.index() == 1)
      co_return Failure{SocksReply::generalFailure,
                        VL("代理「%@」：%@", first.name, VL("连接超时"))};
    if (error)
      co_return Failure{SocksReply::generalFailure,
                        VL("代理「%@」：%@", first.name, error.message())};
    for (std::size_t j = 0; j < i; ++j) {
      const ProxyServer& next = hops[j + 1];
      const std::optional<std::string> request = socksConnectRequest(next.address, next.port);
      if (!request) co_return failed(VL("主机名太长：%@", next.address));
      const SocksOutcome through = co_await socksExchange(
          *control, hops[j], *request, VL("连接 %@", hostPort(next.address, next.port)));
      if (through.failure) co_return through.failure;
    }
    const std::string request = *socksUdpAssociateRequest("0.0.0.0", 0);
    const SocksOutcome outcome = co_await socksExchange(*control, hop, request, VL("转发 UDP"));
    if (outcome.failure) co_return outcome.failure;
    const auto bound = parseSocksAddress(outcome.boundAddress);
    if (!bound) co_return failed(VL("UDP 中继地址不合规"));
    // A relay bound to every address is reached where the proxy itself is.
    const asio::ip::address relay = asio::ip::make_address(bound->first, error);
    const bool everywhere = error || relay.is_unspecified();
    if (i == 0) {
      firstRelay = {everywhere ? proxy.address() : relay, bound->second};
      continue;
    }
    const std::optional<std::string> relayHeader =
        socksDatagramHeader(everywhere ? hop.address : bound->first, bound->second);
    if (!relayHeader) co_return failed(VL("UDP 中继地址不合规"));
    header += *relayHeader;
  }
  flow.socket = std::make_unique<udp::socket>(executor_);
  flow.socket->open(firstRelay.protocol(), error);
  if (!error) flow.socket->connect(firstRelay, error);
  if (!error) flow.socket->non_blocking(true, error);
  if (error)
    co_return Failure{SocksReply::generalFailure,
                      VL("代理「%@」：%@", first.name, error.message())};
  const std::optional<std::string> destination =
      socksDatagramHeader(flow.start.host, flow.start.port);
  if (!destination)
    co_return Failure{SocksReply::hostUnreachable, VL("主机名太长：%@", flow.start.host)};
  flow.header = header + *destination;
  // Each upstream ends its association when its connection ends, and so does the flow.
  for (const auto& control : flow.upstreams) {
    ++active_;
    asio::co_spawn(executor_, watchUpstream(flow.shared_from_this(), *control), asio::detached);
  }
  co_return Failure{};
}

awaitable<void> UdpFlows::watchUpstream(std::shared_ptr<Flow> flow, tcp::socket& control) {
  std::array<char, 64> ignored{};
  std::error_code error;
  co_await control.async_read_some(asio::buffer(ignored), failuresAsValues(error));
  end(*flow);
  finished();
}

/// Passes what comes back to the program, under the header of where it came from.
awaitable<void> UdpFlows::receiveFromRoute(Flow& flow) {
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
    std::string_view header = directHeader;
    std::string_view data = datagram;
    if (throughProxy) {
      // One header for each relay the answer passed after the last hop's, whose own header
      // names where it came from.
      bool wellFormed = true;
      for (std::size_t layer = 0; layer < flow.upstreams.size() && wellFormed; ++layer) {
        const std::optional<SocksDatagram> parsed = parseSocksDatagram(data);
        wellFormed = parsed.has_value();
        if (!wellFormed) break;
        header = data.substr(0, parsed->dataOffset);
        data.remove_prefix(parsed->dataOffset);
      }
      if (!wellFormed) continue;
    }
    flow.lastUsed = Clock::now();
    flow.start.answer(header, data);
    flow.bytes.received += data.size();
  }
}

}  // namespace velmora::dataplane
