#include "data_plane.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <atomic>
#include <cstring>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>

#include "app_identity_lookup.h"
#include "captured_udp.h"
#include "kit/error.h"
#include "kit/localize.h"
#include "kit/netd_protocol.h"
#include "kit/service.h"
#include "kit/unique_fd.h"
#include "live_traffic.h"
#include "proxy_protocols.h"
#include "socks_client.h"
#include "udp_association.h"
#include "udp_flows.h"

// The kernel's headers after the C library's, which they then leave alone.
#include <linux/netfilter_ipv4.h>
#include <linux/netfilter_ipv6/ip6_tables.h>

namespace velmora::dataplane {

std::shared_ptr<const RuleEngine> routingEngine(const Profile& profile) {
  return std::make_shared<const RuleEngine>(profile, machineHostName());
}

Verdict decide(const RoutingPolicy& policy, const AppIdentity& app, std::string_view host,
               std::uint16_t port, FlowTransport transport) {
  if (!policy.enabled || !policy.engine) return Verdict{};
  // The trace-free path: only the deciding rule and its route are copied, for the event.
  const RuleEngine::Decision decision = policy.engine->decide(app, host, port, transport);
  Verdict verdict{.resolved = *decision.resolved, .quicPolicy = decision.quicPolicy};
  if (decision.rule) verdict.matchedRule = *decision.rule;
  return verdict;
}

namespace {

using asio::awaitable;
using asio::use_awaitable;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
using Clock = std::chrono::steady_clock;

constexpr std::size_t headLimit = 16 * 1024;
constexpr std::uint8_t socksVersion = 5;
/// What one splice(2) moves at most: a pipe's capacity, set when the pipe is made.
constexpr std::size_t pipeCapacity = 256 * 1024;
/// Descriptors kept for the daemon's own use (the bus, the store watch, logs) when the number of
/// connections is derived from the open-file limit; a tenth of the rest is kept as well, for the
/// pipes of the connections that are moving bytes.
constexpr rlim_t reservedDescriptors = 256;

/// What a listener's connections begin with: a proxy handshake, or nothing at all, since the
/// kernel's nat rules redirected them.
enum class Inbound { proxy, transparent };

std::string_view httpStatusFor(SocksReply code) {
  switch (code) {
    case SocksReply::notAllowed:
      return "403 Forbidden";
    case SocksReply::ttlExpired:
      return "504 Gateway Timeout";
    default:
      return "502 Bad Gateway";
  }
}

SocketAddress socketAddress(const tcp::endpoint& endpoint) {
  return dataplane::socketAddress(endpoint.address(), endpoint.port());
}

/// A pipe that splice(2) moves relayed bytes through, so that they never cross into the process.
struct Pipe {
  UniqueFd readEnd;
  UniqueFd writeEnd;
};

/// The empty pipes of one I/O thread. A connection holds a pipe only while bytes are in it, so
/// that idle connections cost no descriptors beyond their two sockets.
class PipePool {
 public:
  std::optional<Pipe> take() {
    if (!free_.empty()) {
      Pipe pipe = std::move(free_.back());
      free_.pop_back();
      return pipe;
    }
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return std::nullopt;
    // A larger pipe moves a fast stream in fewer calls; the default size serves if refused.
    ::fcntl(ends[1], F_SETPIPE_SZ, static_cast<int>(pipeCapacity));
    return Pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
  }
  /// Takes back an empty pipe.
  void give(Pipe pipe) {
    if (free_.size() < keep) free_.push_back(std::move(pipe));
  }

 private:
  static constexpr std::size_t keep = 64;
  std::vector<Pipe> free_;
};

/// The most connections the open-file limit leaves room for: two sockets each, past what is kept.
std::size_t connectionsTheDescriptorsAllow() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return std::size_t{1} << 20;
  if (limit.rlim_cur <= 2 * reservedDescriptors) return 16;
  const rlim_t usable = limit.rlim_cur - reservedDescriptors;
  return static_cast<std::size_t>((usable - usable / 10) / 2);
}

}  // namespace

/// One I/O thread's share: its connections, each served start to end on this context, the
/// lookup it identifies them with, and its pipes.
struct Worker {
  std::unique_ptr<AppIdentityLookup> lookup;
  PipePool pipes;
  /// Where small reads are copied through, between two suspensions of one connection.
  std::array<char, 16 * 1024> scratch{};
  RandomUUIDs eventIDs;
  // Last, so that it goes first: the connections it still holds use everything above.
  asio::io_context context{1};
};

struct DataPlane::Impl {
  Impl(const Options& options, EventSink events, Log log);
  ~Impl();

  void listen(const std::string& address, std::uint16_t port);
  void listenTransparent(std::uint16_t port);
  /// A listening socket on endpoint, accepting on the first I/O thread once started; null, with
  /// the reason in error, when it cannot be had.
  std::shared_ptr<tcp::acceptor> bound(const tcp::endpoint& endpoint, std::error_code& error);
  /// The transparent listener already at endpoint, else a new one as bound() makes it.
  std::shared_ptr<tcp::acceptor> boundOrKept(const tcp::endpoint& endpoint, std::error_code& error);
  /// Has the first I/O thread close replaced listeners, which ends their accept loops, and
  /// accept on the new ones.
  void replace(std::vector<std::shared_ptr<tcp::acceptor>> old,
               const std::vector<std::shared_ptr<tcp::acceptor>>& replacement, Inbound inbound);
  awaitable<void> accept(std::shared_ptr<tcp::acceptor> acceptor, Inbound inbound);
  bool isOwnListener(const tcp::endpoint& endpoint) const {
    const std::shared_ptr<const tcp::endpoint> listening = this->listening.load();
    return listening && endpoint.port() == listening->port() &&
           (endpoint.address() == listening->address() || listening->address().is_unspecified());
  }
  /// Gives an event of a UDP flow carried on worker's thread its identity and time, and passes
  /// it on.
  std::function<void(ConnectionEvent&)> recorder(Worker& worker) {
    return [this, &worker](ConnectionEvent& event) {
      event.id = worker.eventIDs.next();
      event.date = std::chrono::system_clock::now();
      events(event);
    };
  }
  /// Logs a refused connection of another user (or of a socket nobody owns any more) at most once
  /// a minute per user, with how many were refused since the last line.
  void refused(std::optional<uid_t> uid);

  const Options options;
  const EventSink events;
  const Log log;
  const uid_t user = ::geteuid();
  const pid_t process = ::getpid();
  const std::size_t maxConnections;
  std::vector<std::unique_ptr<Worker>> workers;
  // The accepting socket is replaced when the settings move the proxy; connections accepted
  // by the old one go on.
  std::shared_ptr<tcp::acceptor> acceptor;
  std::atomic<std::shared_ptr<const tcp::endpoint>> listening;
  /// The transparent listener on 127.0.0.1, then on ::1 where the host has IPv6; moved like the
  /// proxy's, from the thread that owns the data plane.
  std::vector<std::shared_ptr<tcp::acceptor>> transparent;
  std::optional<std::uint16_t> transparentPort;
  std::atomic<std::shared_ptr<const RoutingPolicy>> policy{std::make_shared<RoutingPolicy>()};
  std::atomic<std::size_t> connections{0};
  std::atomic<bool> full{false};
  service::RefusalLog refusals;
  /// The UDP transparent capture brings, carried on the first I/O thread.
  std::shared_ptr<CapturedUdp> capturedUdp;
  /// Where the processes of programs seen for the first time are searched for.
  std::unique_ptr<asio::io_context> searchContext = std::make_unique<asio::io_context>(1);
  std::vector<std::thread> threads;
};

namespace {

/// The two ends of an accepted connection, as accept(2) and the listener already tell them.
struct Ends {
  tcp::endpoint peer;
  tcp::endpoint local;
};

/// Refuses a connection at once: a reset rather than an orderly close, so that the client does
/// not take it for a proxy (or a destination) that accepted and then said nothing.
void reset(tcp::socket& socket) {
  std::error_code ignored;
  socket.set_option(asio::socket_base::linger(true, 0), ignored);
  socket.close(ignored);
}

/// Where the kernel's nat rules sent a connection from: its destination as the program chose it.
/// Nothing when the socket holds no such record.
std::optional<tcp::endpoint> originalDestination(tcp::socket& socket, bool ipv6) {
  tcp::endpoint original;
  socklen_t size = static_cast<socklen_t>(original.capacity());
  const int failed =
      ipv6 ? ::getsockopt(socket.native_handle(), SOL_IPV6, IP6T_SO_ORIGINAL_DST, original.data(),
                          &size)
           : ::getsockopt(socket.native_handle(), SOL_IP, SO_ORIGINAL_DST, original.data(), &size);
  if (failed != 0) return std::nullopt;
  original.resize(size);
  return original;
}

/// One client connection: its handshake (or the destination it was redirected from), the
/// decision, the upstream connection and the relay.
class Connection {
 public:
  Connection(DataPlane::Impl& plane, Worker& worker, tcp::socket client, const Ends& ends,
             Inbound inbound)
      : plane_(plane),
        worker_(worker),
        inbound_(inbound),
        ends_(ends),
        client_(std::move(client)),
        upstream_(client_.get_executor()),
        resolver_(client_.get_executor()),
        timer_(client_.get_executor()),
        started_(Clock::now()),
        deadline_(started_ + plane.options.handshakeTimeout) {}

  awaitable<void> run() {
    try {
      co_await (serve() || watchdog());
    } catch (const std::system_error&) {
      // The loser of the race above was cancelled; the connection is over either way.
    }
  }

 private:
  enum class Stage { handshake, connecting, relaying };

  awaitable<void> serve();
  /// The request of a redirected connection: its original destination, which is also the far
  /// end of the program's socket, where the lookup looks for it. Nothing when the connection
  /// was not redirected.
  std::optional<ProxyRequest> redirected();
  /// Tells the client that its request is not carried, in its protocol; a redirected program
  /// gets a reset, as it would from a destination that refused it.
  awaitable<void> refuse(ProxyRequest::Kind kind, SocksReply code);
  /// The owner and application of the client's socket.
  awaitable<PeerIdentity> identify();
  awaitable<void> watchdog();
  awaitable<bool> readClient(std::size_t atLeast);
  awaitable<std::optional<ProxyRequest>> readSocksRequest();
  awaitable<std::optional<ProxyRequest>> readHttpRequest();
  awaitable<Failure> connectRoute(const Verdict::Resolved& route, const std::string& host,
                                  std::uint16_t port, bool loopDetection);
  awaitable<Failure> connectDirect(const std::string& host, std::uint16_t port,
                                   const std::string* interfaceName, bool loopDetection);
  awaitable<Failure> socksHandshake(const ProxyServer& hop, const std::string& host,
                                    std::uint16_t port);
  awaitable<Failure> httpHandshake(const ProxyServer& hop, const std::string& host,
                                   std::uint16_t port);
  awaitable<void> pump(tcp::socket& from, tcp::socket& to, std::atomic<std::uint64_t>& count,
                       std::string initial);
  /// Sends size bytes of the thread's scratch buffer on; false when the other side is gone.
  awaitable<bool> forward(tcp::socket& to, std::size_t size, std::atomic<std::uint64_t>& count);
  /// Moves the bytes of one splice into the pipe on to the other side; false when it is gone.
  awaitable<bool> drain(Pipe& pipe, tcp::socket& to, std::size_t size, std::atomic<std::uint64_t>& count);
  awaitable<void> write(tcp::socket& to, std::string_view bytes) {
    std::error_code error;
    co_await asio::async_write(to, asio::buffer(bytes), failuresAsValues(error));
  }
  void abort() {
    std::error_code ignored;
    client_.close(ignored);
    upstream_.close(ignored);
  }
  Failure timeoutOr(Failure failure) const {
    if (timedOut_) return {SocksReply::ttlExpired, VL("连接超时")};
    return failure;
  }
  void record(ConnectionEvent::Phase phase, std::optional<std::string> error = std::nullopt);

  DataPlane::Impl& plane_;
  Worker& worker_;
  const Inbound inbound_;
  Ends ends_;
  tcp::socket client_;
  tcp::socket upstream_;
  tcp::resolver resolver_;
  asio::steady_timer timer_;
  const Clock::time_point started_;
  Clock::time_point deadline_;
  Stage stage_ = Stage::handshake;
  bool timedOut_ = false;
  /// Directions of the relay that have seen the end of their input.
  int ended_ = 0;
  /// Bytes from the client not yet passed on, and from the upstream side past a proxy's reply.
  std::string pending_;
  std::string early_;
  ConnectionEvent event_;
  LiveTraffic::Counters counted_;
  LiveTraffic::Entry inView_;
};

awaitable<void> Connection::watchdog() {
  while (true) {
    timer_.expires_at(deadline_);
    std::error_code error;
    co_await timer_.async_wait(failuresAsValues(error));
    if (error) co_return;
    if (Clock::now() < deadline_) continue;  // moved on by traffic meanwhile
    timedOut_ = true;
    // While connecting, the client still hears why; otherwise the connection ends here.
    std::error_code ignored;
    upstream_.close(ignored);
    resolver_.cancel();
    if (stage_ != Stage::connecting) client_.close(ignored);
    deadline_ = Clock::now() + plane_.options.handshakeTimeout;
  }
}

awaitable<bool> Connection::readClient(std::size_t atLeast) {
  char chunk[4096];
  while (pending_.size() < atLeast) {
    std::error_code error;
    const std::size_t n =
        co_await client_.async_read_some(asio::buffer(chunk), failuresAsValues(error));
    if (error || pending_.size() + n > headLimit) co_return false;
    pending_.append(chunk, n);
  }
  co_return true;
}

awaitable<std::optional<ProxyRequest>> Connection::readSocksRequest() {
  // g++ 12 mistranslates co_await inside ?: and the short-circuit operators: one per statement.
  if (!co_await readClient(2)) co_return std::nullopt;
  if (!co_await readClient(2 + std::size_t{static_cast<std::uint8_t>(pending_[1])}))
    co_return std::nullopt;
  const std::size_t methods = static_cast<std::uint8_t>(pending_[1]);
  const bool noAuthentication = pending_.substr(2, methods).find('\0') != std::string::npos;
  pending_.erase(0, 2 + methods);
  if (!noAuthentication) {
    co_await write(client_, std::string_view("\x05\xFF", 2));
    co_return std::nullopt;
  }
  co_await write(client_, std::string_view("\x05\x00", 2));
  // VER CMD RSV ATYP, then the address; a domain name's length comes first.
  if (!co_await readClient(5)) co_return std::nullopt;
  const auto type = static_cast<std::uint8_t>(pending_[3]);
  const std::optional<std::size_t> length =
      socksAddressLength(type, static_cast<std::uint8_t>(pending_[4]));
  if (pending_[0] != socksVersion || !length) {
    co_await write(client_, socksReply(SocksReply::addressTypeNotSupported));
    co_return std::nullopt;
  }
  if (!co_await readClient(3 + *length)) co_return std::nullopt;
  const auto destination = parseSocksAddress(std::string_view(pending_).substr(3, *length));
  // CONNECT, or UDP ASSOCIATE.
  const char command = pending_[1];
  const bool known = command == 1 || command == 3;
  pending_.erase(0, 3 + *length);
  if (!known || !destination) {
    co_await write(client_, socksReply(known ? SocksReply::addressTypeNotSupported
                                             : SocksReply::commandNotSupported));
    co_return std::nullopt;
  }
  co_return ProxyRequest{
      command == 1 ? ProxyRequest::Kind::socks5 : ProxyRequest::Kind::socks5UdpAssociate,
      destination->first,
      destination->second,
      {}};
}

awaitable<std::optional<ProxyRequest>> Connection::readHttpRequest() {
  std::size_t end;
  while ((end = pending_.find("\r\n\r\n")) == std::string::npos) {
    if (!co_await readClient(pending_.size() + 1)) co_return std::nullopt;
  }
  std::optional<ProxyRequest> request =
      parseHttpRequest(std::string_view(pending_).substr(0, end + 4));
  pending_.erase(0, end + 4);
  if (!request) co_await write(client_, httpError("400 Bad Request"));
  co_return request;
}

awaitable<PeerIdentity> Connection::identify() {
  if (!worker_.lookup) co_return PeerIdentity{};
  AppIdentityLookup& lookup = *worker_.lookup;
  AppIdentityLookup::Recent found =
      lookup.identifyRecent(socketAddress(ends_.peer), socketAddress(ends_.local));
  if (found.searchFor) {
    // A program seen for the first time: its search reads all of /proc and goes to the search
    // thread, so that the connections of this thread do not wait for it.
    const std::optional<AppIdentityLookup::Holder> holder = co_await asio::co_spawn(
        *plane_.searchContext,
        [&lookup,
         inode = *found.searchFor]() -> awaitable<std::optional<AppIdentityLookup::Holder>> {
          co_return AppIdentityLookup::search(lookup.procRoot(), lookup.user(), inode);
        },
        use_awaitable);
    if (holder) {
      found.peer.app = lookup.remember(*holder);
      found.peer.pid = holder->pid;
    }
  }
  co_return std::move(found.peer);
}

std::optional<ProxyRequest> Connection::redirected() {
  const std::optional<tcp::endpoint> original =
      originalDestination(client_, ends_.local.address().is_v6());
  // A connection made to the listener itself has its own address as the original one.
  if (!original || *original == ends_.local) return std::nullopt;
  ends_.local = *original;
  return ProxyRequest{
      ProxyRequest::Kind::transparent, original->address().to_string(), original->port(), {}};
}

awaitable<void> Connection::refuse(ProxyRequest::Kind kind, SocksReply code) {
  switch (kind) {
    case ProxyRequest::Kind::socks5:
    case ProxyRequest::Kind::socks5UdpAssociate:
      co_await write(client_, socksReply(code));
      break;
    case ProxyRequest::Kind::httpConnect:
    case ProxyRequest::Kind::httpForward:
      co_await write(client_, httpError(httpStatusFor(code)));
      break;
    case ProxyRequest::Kind::transparent:
      reset(client_);
      break;
  }
}

awaitable<void> Connection::serve() {
  std::error_code error;
  client_.set_option(tcp::no_delay(true), error);
  std::optional<ProxyRequest> request;
  if (inbound_ == Inbound::transparent) {
    request = redirected();
    if (!request) co_return;
    // No handshake is read from it, which would have made it non-blocking: the relay needs it so.
    client_.non_blocking(true, error);
  }
  // Who is asking is known from the socket alone: found while the client's first bytes are on
  // their way, it adds nothing to the handshake's time.
  const PeerIdentity peer = co_await identify();
  if (!request) {
    if (!co_await readClient(1)) co_return;
    if (pending_[0] == socksVersion) {
      request = co_await readSocksRequest();
    } else {
      request = co_await readHttpRequest();
    }
    if (!request) co_return;
  }

  // Only the user who runs the daemon may use it: the rules, proxies and their credentials are
  // theirs. A socket whose owner cannot be told is refused too.
  if (peer.uid != plane_.user) {
    plane_.refused(peer.uid);
    co_await refuse(request->kind, SocksReply::notAllowed);
    co_return;
  }
  const AppIdentity& app = peer.app;
  if (request->kind == ProxyRequest::Kind::socks5UdpAssociate) {
    // The request's connection only holds the association open; it may be idle for ever.
    stage_ = Stage::relaying;
    deadline_ = Clock::time_point::max();
    // Named first: g++ 12 destroys a braced temporary in a co_await expression twice.
    UdpAssociationSetup setup{.app = app,
                              .policy = plane_.policy.load(),
                              .clientHost = request->host,
                              .clientPort = request->port,
                              .user = plane_.user,
                              .record = plane_.recorder(worker_),
                              .idleTimeout = plane_.options.udpIdleTimeout,
                              .connectTimeout = plane_.options.connectTimeout,
                              .carried = &plane_.connections,
                              .maxCarried = plane_.maxConnections,
                              .traffic = plane_.options.traffic.get()};
    co_await serveUdpAssociation(client_, std::move(setup));
    co_return;
  }
  // A fake address stands for the name it was handed out for: the rules decide by that name,
  // and the route carries it, to be resolved by the proxy or, for a direct route, here.
  if (plane_.options.fakeNames && FakeNames::isFake(request->host)) {
    std::optional<std::string> name = plane_.options.fakeNames->host(request->host);
    if (!name) {
      event_ = ConnectionEvent{.app = app.bestDescription(),
                               .bundleID = app.bundleID,
                               .host = request->host,
                               .port = request->port,
                               .transport = FlowTransport::tcp};
      record(
          ConnectionEvent::Phase::failed,
          VL("%@ 是假地址，但没有主机名对应它（它在 velmorad 重启之前发出且已过期，或从未发出），"
             "已拒绝；程序重新解析主机名即可",
             request->host));
      co_await refuse(request->kind, SocksReply::hostUnreachable);
      co_return;
    }
    request->host = std::move(*name);
  }
  const std::shared_ptr<const RoutingPolicy> policy = plane_.policy.load();
  const Verdict verdict = decide(*policy, app, request->host, request->port);
  event_ = ConnectionEvent{
      .app = app.bestDescription(),
      .bundleID = app.bundleID,
      .host = request->host,
      .port = request->port,
      .transport = FlowTransport::tcp,
      .ruleName = verdict.matchedRule ? std::optional(verdict.matchedRule->name) : std::nullopt,
      .route = verdict.actionDescription()};
  if (verdict.resolved.kind == Verdict::Resolved::Kind::block) {
    record(ConnectionEvent::Phase::blocked);
    co_await refuse(request->kind, SocksReply::notAllowed);
    co_return;
  }
  // The daemon's own outgoing connection redirected back to it would go round for ever.
  if (request->kind == ProxyRequest::Kind::transparent && policy->loopDetection &&
      peer.pid == plane_.process) {
    record(ConnectionEvent::Phase::failed,
           VL("%@ 的连接来自本代理自己，为防止回环已拒绝", hostPort(request->host, request->port)));
    co_await refuse(request->kind, SocksReply::notAllowed);
    co_return;
  }

  stage_ = Stage::connecting;
  deadline_ = Clock::now() + plane_.options.connectTimeout;
  const Failure failure =
      co_await connectRoute(verdict.resolved, request->host, request->port, policy->loopDetection);
  if (failure) {
    record(ConnectionEvent::Phase::failed, failure.description);
    co_await refuse(request->kind, failure.code);
    co_return;
  }
  switch (request->kind) {
    case ProxyRequest::Kind::socks5:
    case ProxyRequest::Kind::socks5UdpAssociate:
      co_await write(client_, socksReply(SocksReply::succeeded));
      break;
    case ProxyRequest::Kind::httpConnect:
      co_await write(client_, "HTTP/1.1 200 Connection established\r\n\r\n");
      break;
    case ProxyRequest::Kind::httpForward:
      pending_.insert(0, request->forwardHead);
      break;
    case ProxyRequest::Kind::transparent:
      // The program holds a connected socket already: its bytes simply flow from now on.
      break;
  }
  // With the switch off connections pass straight through and are only counted.
  const bool tracked = policy->enabled;
  record(tracked ? ConnectionEvent::Phase::open : ConnectionEvent::Phase::direct);
  // A direct route's upstream socket reached the destination itself; a proxy route's, a proxy.
  std::string reached;
  if (verdict.resolved.kind != Verdict::Resolved::Kind::proxy) {
    std::error_code unknown;
    const tcp::endpoint destination = upstream_.remote_endpoint(unknown);
    if (!unknown) reached = addressText(destination.address());
  }
  inView_.enter(plane_.options.traffic.get(), event_, counted_, std::move(reached));
  stage_ = Stage::relaying;
  deadline_ = Clock::now() + plane_.options.idleTimeout;
  co_await (pump(client_, upstream_, counted_.sent, std::move(pending_)) &&
            pump(upstream_, client_, counted_.received, std::move(early_)));
  inView_.leave();
  event_.bytesSent = counted_.sent;
  event_.bytesReceived = counted_.received;
  if (tracked)
    record(ConnectionEvent::Phase::close, timedOut_ ? std::optional(VL("空闲超时")) : std::nullopt);
}

awaitable<void> Connection::pump(tcp::socket& from, tcp::socket& to, std::atomic<std::uint64_t>& count,
                                 std::string initial) {
  std::error_code error;
  if (!initial.empty()) {
    co_await asio::async_write(to, asio::buffer(initial), failuresAsValues(error));
    if (error) {
      abort();
      co_return;
    }
    count += initial.size();
  }
  // Both sockets are non-blocking since their first asynchronous operation (the handshake's
  // read, the connect) or since a redirected connection began, so no call here waits in the
  // kernel: it says EAGAIN instead.
  // What arrives is first read into the thread's scratch buffer and sent on: for the small
  // messages of most connections a copy costs less than moving pages. A read that fills the
  // buffer means a stream, whose rest moves by splice(2) until the socket runs dry.
  bool streaming = false;
  while (true) {
    if (!streaming) {
      const ssize_t got =
          ::recv(from.native_handle(), worker_.scratch.data(), worker_.scratch.size(), 0);
      if (got < 0 && errno == EAGAIN) {
        co_await from.async_wait(tcp::socket::wait_read, failuresAsValues(error));
        if (error) {
          abort();
          co_return;
        }
        continue;
      }
      if (got == 0) {
        // Half-close: the other side may still answer. Once both directions have ended,
        // closing the sockets says the same.
        if (++ended_ < 2) to.shutdown(tcp::socket::shutdown_send, error);
        co_return;
      }
      if (got < 0 || !co_await forward(to, static_cast<std::size_t>(got), count)) {
        abort();
        co_return;
      }
      deadline_ = Clock::now() + plane_.options.idleTimeout;
      streaming = static_cast<std::size_t>(got) == worker_.scratch.size();
      continue;
    }
    std::optional<Pipe> pipe = worker_.pipes.take();
    if (!pipe) {
      abort();
      co_return;
    }
    const ssize_t moved = ::splice(from.native_handle(), nullptr, pipe->writeEnd.get(), nullptr,
                                   pipeCapacity, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (moved <= 0 && (moved == 0 || errno == EAGAIN)) {
      // Dry, or at its end: the next read says which.
      worker_.pipes.give(std::move(*pipe));
      streaming = false;
      continue;
    }
    if (moved < 0) {
      abort();
      co_return;
    }
    deadline_ = Clock::now() + plane_.options.idleTimeout;
    if (!co_await drain(*pipe, to, static_cast<std::size_t>(moved), count)) {
      abort();
      co_return;
    }
    worker_.pipes.give(std::move(*pipe));
  }
}

awaitable<bool> Connection::forward(tcp::socket& to, std::size_t size, std::atomic<std::uint64_t>& count) {
  const ssize_t sent = ::send(to.native_handle(), worker_.scratch.data(), size, MSG_NOSIGNAL);
  if (sent < 0 && errno != EAGAIN) co_return false;
  const std::size_t done = sent > 0 ? static_cast<std::size_t>(sent) : 0;
  count += done;
  if (done == size) co_return true;
  // The other side is not taking it all now: the rest waits in a buffer of this connection's.
  const std::string rest(worker_.scratch.data() + done, size - done);
  std::error_code error;
  co_await asio::async_write(to, asio::buffer(rest), failuresAsValues(error));
  if (error) co_return false;
  count += rest.size();
  co_return true;
}

awaitable<bool> Connection::drain(Pipe& pipe, tcp::socket& to, std::size_t size,
                                  std::atomic<std::uint64_t>& count) {
  while (size > 0) {
    const ssize_t sent = ::splice(pipe.readEnd.get(), nullptr, to.native_handle(), nullptr, size,
                                  SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (sent > 0) {
      size -= static_cast<std::size_t>(sent);
      count += static_cast<std::size_t>(sent);
      continue;
    }
    if (sent == 0 || errno != EAGAIN) co_return false;
    std::error_code error;
    co_await to.async_wait(tcp::socket::wait_write, failuresAsValues(error));
    if (error) co_return false;
    deadline_ = Clock::now() + plane_.options.idleTimeout;
  }
  co_return true;
}

awaitable<Failure> Connection::connectRoute(const Verdict::Resolved& route, const std::string& host,
                                            std::uint16_t port, bool loopDetection) {
  using Kind = Verdict::Resolved::Kind;
  if (route.kind == Kind::direct)
    co_return co_await connectDirect(host, port, nullptr, loopDetection);
  if (route.kind == Kind::interface)
    co_return co_await connectDirect(host, port, &route.interfaceName, loopDetection);
  // Through the proxies hop by hop: each one is asked for the next, the last for the
  // destination, whose name it resolves itself.
  const ProxyServer& first = route.proxies.front();
  Failure failure = co_await connectDirect(first.address, first.port, nullptr, loopDetection);
  if (failure)
    co_return Failure{failure.code, VL("代理「%@」：%@", first.name, failure.description)};
  for (std::size_t i = 0; i < route.proxies.size(); ++i) {
    const ProxyServer& hop = route.proxies[i];
    const bool last = i + 1 == route.proxies.size();
    const std::string& nextHost = last ? host : route.proxies[i + 1].address;
    const std::uint16_t nextPort = last ? port : route.proxies[i + 1].port;
    if (hop.proto == ProxyProtocol::socks5) {
      failure = co_await socksHandshake(hop, nextHost, nextPort);
    } else {
      failure = co_await httpHandshake(hop, nextHost, nextPort);
    }
    if (failure) co_return timeoutOr(std::move(failure));
  }
  co_return Failure{};
}

awaitable<Failure> Connection::connectDirect(const std::string& host, std::uint16_t port,
                                             const std::string* interfaceName, bool loopDetection) {
  std::error_code error;
  std::vector<tcp::endpoint> endpoints;
  const asio::ip::address literal = asio::ip::make_address(host, error);
  if (!error) {
    endpoints.emplace_back(literal, port);
  } else {
    const auto results =
        co_await resolver_.async_resolve(host, std::to_string(port), failuresAsValues(error));
    if (error)
      co_return timeoutOr(
          {SocksReply::hostUnreachable, VL("无法解析 %@：%@", host, error.message())});
    for (const auto& result : results) endpoints.push_back(result.endpoint());
  }
  Failure last{SocksReply::hostUnreachable, VL("%@ 没有地址", host)};
  for (const tcp::endpoint& endpoint : endpoints) {
    const std::string target = hostPort(endpoint.address().to_string(), endpoint.port());
    if (loopDetection && plane_.isOwnListener(endpoint)) {
      last = {SocksReply::notAllowed, VL("%@ 是本代理自己的地址，为防止回环已拒绝", target)};
      continue;
    }
    upstream_.close(error);
    upstream_.open(endpoint.protocol(), error);
    if (error) {
      last = {SocksReply::generalFailure, error.message()};
      continue;
    }
    if (interfaceName &&
        ::setsockopt(upstream_.native_handle(), SOL_SOCKET, SO_BINDTODEVICE, interfaceName->c_str(),
                     static_cast<socklen_t>(interfaceName->size())) != 0) {
      co_return Failure{SocksReply::networkUnreachable,
                        VL("无法绑定网卡 %@：%@", *interfaceName, std::strerror(errno))};
    }
    co_await upstream_.async_connect(endpoint, failuresAsValues(error));
    if (!error) {
      upstream_.set_option(tcp::no_delay(true), error);
      co_return Failure{};
    }
    if (timedOut_) break;
    last = {replyFor(error), VL("连不上 %@：%@", target, error.message())};
  }
  co_return timeoutOr(std::move(last));
}

awaitable<Failure> Connection::socksHandshake(const ProxyServer& hop, const std::string& host,
                                              std::uint16_t port) {
  const std::optional<std::string> request = socksConnectRequest(host, port);
  if (!request) co_return Failure{SocksReply::hostUnreachable, VL("主机名太长：%@", host)};
  SocksOutcome outcome =
      co_await socksExchange(upstream_, hop, *request, VL("连接 %@", hostPort(host, port)));
  co_return std::move(outcome.failure);
}

awaitable<Failure> Connection::httpHandshake(const ProxyServer& hop, const std::string& host,
                                             std::uint16_t port) {
  std::error_code error;
  co_await asio::async_write(upstream_,
                             asio::buffer(httpConnectRequest(host, port, hop.credentials)),
                             failuresAsValues(error));
  std::string head;
  char chunk[4096];
  std::size_t end = std::string::npos;
  while (!error && (end = head.find("\r\n\r\n")) == std::string::npos && head.size() < headLimit) {
    const std::size_t n =
        co_await upstream_.async_read_some(asio::buffer(chunk), failuresAsValues(error));
    head.append(chunk, n);
  }
  if (error || end == std::string::npos)
    co_return Failure{SocksReply::generalFailure, VL("代理「%@」握手失败：%@", hop.name,
                                                     error ? error.message() : VL("应答不合规"))};
  const std::optional<int> status = httpStatus(head);
  if (!status || *status < 200 || *status > 299)
    co_return Failure{status == 407 ? SocksReply::notAllowed : SocksReply::generalFailure,
                      VL("代理「%@」拒绝连接 %@（HTTP %lld）", hop.name, hostPort(host, port),
                         static_cast<long long>(status.value_or(0)))};
  early_ = head.substr(end + 4);
  co_return Failure{};
}

void Connection::record(ConnectionEvent::Phase phase, std::optional<std::string> error) {
  event_.id = worker_.eventIDs.next();
  event_.date = std::chrono::system_clock::now();
  event_.phase = phase;
  event_.lifetime = std::chrono::duration<double>(Clock::now() - started_).count();
  event_.errorDescription = std::move(error);
  plane_.events(event_);
}

/// Keeps the count of open connections right however a connection ends.
struct Counted {
  explicit Counted(std::atomic<std::size_t>& count) : count(count) {}
  ~Counted() { --count; }
  std::atomic<std::size_t>& count;
};

awaitable<void> serveConnection(DataPlane::Impl& plane, Worker& worker, tcp::socket socket,
                                Ends ends, Inbound inbound) {
  const Counted counted(plane.connections);
  Connection connection(plane, worker, std::move(socket), ends, inbound);
  co_await connection.run();
}

}  // namespace

DataPlane::Impl::Impl(const Options& options, EventSink events, Log log)
    : options(options),
      events(std::move(events)),
      log(std::move(log)),
      maxConnections(options.maxConnections ? options.maxConnections
                                            : connectionsTheDescriptorsAllow()) {
  // The cores this process may run on: pinned to one, a second I/O thread would only compete.
  cpu_set_t allowed;
  const unsigned cores = sched_getaffinity(0, sizeof allowed, &allowed) == 0
                             ? static_cast<unsigned>(std::max(1, CPU_COUNT(&allowed)))
                             : std::max(1u, std::thread::hardware_concurrency());
  const unsigned count = options.threads == 0 ? cores : std::min(options.threads, cores);
  for (unsigned i = 0; i < count; ++i) {
    workers.push_back(std::make_unique<Worker>());
    try {
      workers.back()->lookup = std::make_unique<AppIdentityLookup>(user);
    } catch (const Error& failure) {
      if (i == 0)
        this->log(VL("无法确认连接来自哪个用户，所有连接都会被拒绝：%@", failure.description()));
    }
  }
  listen(options.address, options.port);
  for (auto& worker : workers) {
    threads.emplace_back([&context = worker->context] {
      const auto work = asio::make_work_guard(context);
      context.run();
    });
  }
  threads.emplace_back([&context = *searchContext] {
    const auto work = asio::make_work_guard(context);
    context.run();
  });
}

DataPlane::Impl::~Impl() {
  if (capturedUdp) capturedUdp->stop();
  for (auto& worker : workers) worker->context.stop();
  searchContext->stop();
  for (std::thread& thread : threads) thread.join();
  // Connections still open end here, while what they count and use is still there: first those
  // waiting for a search, then the rest.
  searchContext.reset();
  acceptor.reset();
  transparent.clear();
  workers.clear();
}

std::shared_ptr<tcp::acceptor> DataPlane::Impl::bound(const tcp::endpoint& endpoint,
                                                      std::error_code& error) {
  auto listener = std::make_shared<tcp::acceptor>(workers.front()->context);
  listener->open(endpoint.protocol(), error);
  if (!error) listener->set_option(tcp::acceptor::reuse_address(true), error);
  if (!error) listener->bind(endpoint, error);
  if (!error) listener->listen(asio::socket_base::max_listen_connections, error);
  return error ? nullptr : listener;
}

void DataPlane::Impl::replace(std::vector<std::shared_ptr<tcp::acceptor>> old,
                              const std::vector<std::shared_ptr<tcp::acceptor>>& replacement,
                              Inbound inbound) {
  asio::io_context& context = workers.front()->context;
  // The old sockets are closed on their own thread, which ends their accept loops.
  asio::post(context, [old = std::move(old)] {
    std::error_code ignored;
    for (const auto& listener : old) listener->close(ignored);
  });
  for (const auto& listener : replacement)
    asio::co_spawn(context, accept(listener, inbound), asio::detached);
}

void DataPlane::Impl::listen(const std::string& address, std::uint16_t port) {
  std::error_code error;
  const asio::ip::address ip = asio::ip::make_address(address, error);
  if (error) throw Error(VL("代理地址「%@」不是 IP 地址", address));
  std::shared_ptr<tcp::acceptor> replacement = bound({ip, port}, error);
  if (error) throw Error(VL("无法在 %@ 上监听：%@", hostPort(address, port), error.message()));
  listening.store(std::make_shared<const tcp::endpoint>(replacement->local_endpoint()));
  std::vector<std::shared_ptr<tcp::acceptor>> old;
  if (acceptor) old.push_back(std::move(acceptor));
  acceptor = replacement;
  replace(std::move(old), {replacement}, Inbound::proxy);
}

void DataPlane::Impl::listenTransparent(std::uint16_t port) {
  if (port != 0 && transparentPort == port) return;
  const auto failed = [](std::string_view address, std::uint16_t at, const std::error_code& error) {
    return Error(VL("无法在 %@ 上监听透明代理：%@", hostPort(address, at), error.message()));
  };
  constexpr std::uint16_t lastFirst = 65536 - netd::transparentPortSpan;
  if (port > lastFirst) {
    throw Error(VL("透明代理的端口 %lld 太大：它和其后的 %lld 个端口都要监听，最大为 %lld",
                   static_cast<long long>(port),
                   static_cast<long long>(netd::transparentPortSpan - 1),
                   static_cast<long long>(lastFirst)));
  }
  std::vector<std::shared_ptr<tcp::acceptor>> replacement;
  // The span of ports from port on, on 127.0.0.1 and on ::1. With port 0 the kernel picks the
  // first, free for IPv4; the ports after it, or the same numbers on ::1, may be taken, and then
  // the kernel is asked again, a few times.
  for (int attempt = 1; replacement.empty(); ++attempt) {
    std::error_code error;
    std::vector<std::shared_ptr<tcp::acceptor>> span{
        boundOrKept({asio::ip::address_v4::loopback(), port}, error)};
    if (error) throw failed("127.0.0.1", port, error);
    const std::uint16_t first = span.front()->local_endpoint().port();
    std::string_view where = "127.0.0.1";
    std::uint16_t at = first;
    // A host without IPv6 redirects none of it either.
    bool ipv6 = true;
    for (std::uint16_t offset = 0; offset < netd::transparentPortSpan && !error; ++offset) {
      at = static_cast<std::uint16_t>(first + offset);
      if (first > lastFirst) {
        error = std::make_error_code(std::errc::address_in_use);
        break;
      }
      if (offset > 0) {
        where = "127.0.0.1";
        span.push_back(boundOrKept({asio::ip::address_v4::loopback(), at}, error));
        if (error) break;
      }
      if (!ipv6) continue;
      where = "::1";
      std::shared_ptr<tcp::acceptor> six =
          boundOrKept({asio::ip::address_v6::loopback(), at}, error);
      if (error == asio::error::address_family_not_supported ||
          error == std::errc::address_not_available) {
        ipv6 = false;
        error.clear();
      } else if (!error) {
        span.push_back(std::move(six));
      }
    }
    if (!error) {
      replacement = std::move(span);
    } else if (port != 0 || attempt == 8) {
      throw failed(where, at, error);
    }
  }
  transparentPort = replacement.front()->local_endpoint().port();
  std::vector<std::shared_ptr<tcp::acceptor>> old = std::exchange(transparent, replacement);
  // A listener at a port both spans share goes on accepting as it was.
  const auto kept = [&](const std::shared_ptr<tcp::acceptor>& listener) {
    return std::ranges::find(old, listener) != old.end();
  };
  std::vector<std::shared_ptr<tcp::acceptor>> started;
  std::ranges::copy_if(replacement, std::back_inserter(started), std::not_fn(kept));
  std::erase_if(old, [&](const std::shared_ptr<tcp::acceptor>& listener) {
    return std::ranges::find(replacement, listener) != replacement.end();
  });
  replace(std::move(old), started, Inbound::transparent);
}

std::shared_ptr<tcp::acceptor> DataPlane::Impl::boundOrKept(const tcp::endpoint& endpoint,
                                                            std::error_code& error) {
  if (endpoint.port() != 0) {
    for (const std::shared_ptr<tcp::acceptor>& listener : transparent) {
      std::error_code ignored;
      if (listener->local_endpoint(ignored) == endpoint) return listener;
    }
  }
  return bound(endpoint, error);
}

void DataPlane::Impl::refused(std::optional<uid_t> uid) {
  const std::optional<std::uint64_t> count = refusals.count(uid);
  if (!count) return;
  log(uid ? VL("拒绝了来自用户 %lld 的连接（%lld 次）：本地代理只为用户 %lld 服务",
               static_cast<long long>(*uid), static_cast<long long>(*count),
               static_cast<long long>(user))
          : VL("拒绝了找不到所有者的连接（%lld 次）：本地代理只为用户 %lld 服务",
               static_cast<long long>(*count), static_cast<long long>(user)));
}

awaitable<void> DataPlane::Impl::accept(std::shared_ptr<tcp::acceptor> acceptor, Inbound inbound) {
  std::size_t next = 0;
  asio::steady_timer pause(workers.front()->context);
  // A listener on one address is the local end of every connection it accepts; only a wildcard
  // one has to ask the kernel each time.
  const tcp::endpoint listening = acceptor->local_endpoint();
  while (true) {
    Worker& worker = *workers[next++ % workers.size()];
    std::error_code error;
    Ends ends{.peer = {}, .local = listening};
    tcp::socket socket =
        co_await acceptor->async_accept(worker.context, ends.peer, failuresAsValues(error));
    if (error == asio::error::operation_aborted || !acceptor->is_open()) co_return;
    if (error) {
      // Out of descriptors or memory: let connections end before accepting more.
      log(VL("接受连接失败：%@", error.message()));
      pause.expires_after(std::chrono::milliseconds(100));
      co_await pause.async_wait(failuresAsValues(error));
      continue;
    }
    if (connections.load() >= maxConnections) {
      reset(socket);
      if (!full.exchange(true))
        log(VL("连接数已达上限 %lld，新连接会被直接拒绝", static_cast<long long>(maxConnections)));
      continue;
    }
    full = false;
    if (listening.address().is_unspecified()) ends.local = socket.local_endpoint(error);
    ++connections;
    asio::co_spawn(worker.context, serveConnection(*this, worker, std::move(socket), ends, inbound),
                   asio::detached);
  }
}

DataPlane::DataPlane(const Options& options, EventSink events, Log log)
    : impl_(std::make_unique<Impl>(options, std::move(events), std::move(log))) {}

DataPlane::~DataPlane() = default;

std::uint16_t DataPlane::port() const {
  return impl_->listening.load()->port();
}

std::string DataPlane::address() const {
  const std::shared_ptr<const tcp::endpoint> listening = impl_->listening.load();
  return hostPort(listening->address().to_string(), listening->port());
}

void DataPlane::listen(const std::string& address, std::uint16_t port) {
  impl_->listen(address, port);
}

void DataPlane::listenTransparent(std::uint16_t port) {
  impl_->listenTransparent(port);
}

std::optional<std::uint16_t> DataPlane::transparentPort() const {
  return impl_->transparentPort;
}

std::size_t DataPlane::maxConnections() const {
  return impl_->maxConnections;
}

void DataPlane::carryCapturedUdp(std::vector<UniqueFd> sockets, std::shared_ptr<UdpHelper> helper) {
  stopCapturedUdp();
  Impl& plane = *impl_;
  Worker& worker = *plane.workers.front();
  plane.capturedUdp = CapturedUdp::start(worker.context.get_executor(),
                                         {.sockets = std::move(sockets),
                                          .helper = std::move(helper),
                                          .policy = [&plane] { return plane.policy.load(); },
                                          .fakeNames = plane.options.fakeNames,
                                          .lookup = worker.lookup.get(),
       .search = plane.searchContext->get_executor(),
                                          .user = plane.user,
                                          .flows = {.record = plane.recorder(worker),
                                                    .idleTimeout = plane.options.udpIdleTimeout,
                                                    .connectTimeout = plane.options.connectTimeout,
                                                    .carried = &plane.connections,
                                                    .maxCarried = plane.maxConnections,
                                                    .maxFlows = maxCapturedUdpFlows,
                                                    .traffic = plane.options.traffic.get()},
                                          .log = plane.log});
}

void DataPlane::stopCapturedUdp() {
  if (const std::shared_ptr<CapturedUdp> carried = std::exchange(impl_->capturedUdp, nullptr))
    carried->stop();
}

void DataPlane::setPolicy(std::shared_ptr<const RoutingPolicy> policy) {
  impl_->policy.store(std::move(policy));
}

void DataPlane::follow(const std::optional<Profile>& profile, bool enabled) {
  if (profile != followed_) {
    engine_ = profile ? routingEngine(*profile) : nullptr;
    followed_ = profile;
  }
  const bool loopDetection = profile ? profile->general.loopDetection : true;
  const std::shared_ptr<const RoutingPolicy> current = impl_->policy.load();
  if (current->enabled == enabled && current->engine == engine_ &&
      current->loopDetection == loopDetection)
    return;
  setPolicy(std::make_shared<const RoutingPolicy>(
      RoutingPolicy{.enabled = enabled, .engine = engine_, .loopDetection = loopDetection}));
}

}  // namespace velmora::dataplane
