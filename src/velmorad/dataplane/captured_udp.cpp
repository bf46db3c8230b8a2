#include "captured_udp.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <asio/experimental/awaitable_operators.hpp>
#include <cstring>
#include <utility>

#include "kit/error.h"
#include "kit/localize.h"
#include "proxy_protocols.h"
#include "socks_client.h"

namespace velmora::dataplane {
namespace {

using asio::awaitable;
using asio::ip::udp;
using namespace asio::experimental::awaitable_operators;
using Clock = std::chrono::steady_clock;

constexpr std::size_t maxDatagram = 65535;
/// New flows whose program is being searched for, and the datagrams each keeps meanwhile.
constexpr std::size_t maxWaitingFlows = 1024;
constexpr std::size_t maxWaitingDatagrams = 16;

udp::endpoint endpointOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto& four = reinterpret_cast<const sockaddr_in&>(address);
    return {asio::ip::address_v4(ntohl(four.sin_addr.s_addr)), ntohs(four.sin_port)};
  }
  const auto& six = reinterpret_cast<const sockaddr_in6&>(address);
  asio::ip::address_v6::bytes_type bytes;
  std::memcpy(bytes.data(), &six.sin6_addr, bytes.size());
  return {asio::ip::address_v6(bytes, six.sin6_scope_id), ntohs(six.sin6_port)};
}

}  // namespace

std::shared_ptr<CapturedUdp> CapturedUdp::start(asio::any_io_executor executor,
                                                CapturedUdpSetup setup) {
  auto carried = std::make_shared<CapturedUdp>(executor, std::move(setup));
  asio::co_spawn(executor, carried->run(), asio::detached);
  return carried;
}

CapturedUdp::CapturedUdp(asio::any_io_executor executor, CapturedUdpSetup setup)
    : executor_(executor),
      setup_(std::move(setup)),
      flows_(executor, setup_.flows),
      stopped_(executor, Clock::time_point::max()) {
  for (UniqueFd& fd : setup_.sockets) {
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &size) != 0) continue;
    sockets_.push_back(std::make_unique<udp::socket>(
        executor, bound.ss_family == AF_INET ? udp::v4() : udp::v6(), fd.release()));
  }
  setup_.sockets.clear();
}

void CapturedUdp::stop() {
  asio::post(executor_, [self = shared_from_this()] { self->stopped_.cancel(); });
}

awaitable<void> CapturedUdp::run() {
  const std::shared_ptr<CapturedUdp> self = shared_from_this();
  for (const auto& socket : sockets_)
    asio::co_spawn(
        executor_, [self, &socket]() -> awaitable<void> { co_await self->receive(*socket); },
        asio::detached);
  std::error_code error;
  co_await (flows_.expireIdle() || expireAnswerers() ||
            stopped_.async_wait(failuresAsValues(error)));
  closed_ = true;
  for (const auto& socket : sockets_) socket->close(error);
  waiting_.clear();
  co_await flows_.close();
  answerers_.clear();
}

awaitable<void> CapturedUdp::receive(udp::socket& socket) {
  std::vector<char> buffer(maxDatagram);
  while (true) {
    std::error_code error;
    co_await socket.async_wait(udp::socket::wait_read, failuresAsValues(error));
    if (error) co_return;
    // Everything waiting, before the next wait.
    while (true) {
      sockaddr_storage sender{};
      alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(sockaddr_in6))> control{};
      iovec part{buffer.data(), buffer.size()};
      msghdr message{};
      message.msg_name = &sender;
      message.msg_namelen = sizeof sender;
      message.msg_iov = &part;
      message.msg_iovlen = 1;
      message.msg_control = control.data();
      message.msg_controllen = control.size();
      const ssize_t size = ::recvmsg(socket.native_handle(), &message, MSG_DONTWAIT);
      if (size < 0) {
        if (errno == EINTR) continue;
        break;
      }
      std::optional<udp::endpoint> destination;
      for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
           header = CMSG_NXTHDR(&message, header)) {
        if ((header->cmsg_level == SOL_IP && header->cmsg_type == IP_ORIGDSTADDR) ||
            (header->cmsg_level == SOL_IPV6 && header->cmsg_type == IPV6_ORIGDSTADDR)) {
          sockaddr_storage original{};
          std::memcpy(&original, CMSG_DATA(header),
                      std::min<std::size_t>(header->cmsg_len - CMSG_LEN(0), sizeof original));
          destination = endpointOf(original);
        }
      }
      if (destination)
        arrived(endpointOf(sender), *destination,
                std::string_view(buffer.data(), static_cast<std::size_t>(size)));
    }
  }
}

void CapturedUdp::arrived(const udp::endpoint& sender, const udp::endpoint& destination,
                          std::string_view data) {
  if (closed_) return;
  const std::string key = hostPort(addressText(sender.address()), sender.port()) + " " +
                          hostPort(addressText(destination.address()), destination.port());
  if (flows_.contains(key)) {
    flows_.send(key, nullptr, data);
    return;
  }
  if (const auto waiting = waiting_.find(key); waiting != waiting_.end()) {
    if (waiting->second.datagrams.size() < maxWaitingDatagrams)
      waiting->second.datagrams.emplace_back(data);
    return;
  }
  if (flows_.full()) {
    complain(VL("被捕获的 UDP 流已达上限 %lld，新的流被丢弃",
                static_cast<long long>(maxCapturedUdpFlows)));
    return;
  }
  AppIdentityLookup::Recent found;
  if (setup_.lookup) {
    found = setup_.lookup->identifyRecent(socketAddress(sender.address(), sender.port()),
                                          socketAddress(destination.address(), destination.port()),
                                          Clock::now(), IPPROTO_UDP);
  }
  if (!found.searchFor) {
    begin(key, sender, destination, found.peer, {std::string(data)});
    return;
  }
  // A program seen for the first time: its search reads all of /proc and goes to the search
  // thread, so that the flows and connections of this thread do not wait for it. The flows of
  // its socket wait meanwhile, with their first datagrams; one search serves them all.
  if (waiting_.size() >= maxWaitingFlows) {
    complain(VL("%lld 个新的 UDP 流在等待确认所属程序，新的流被丢弃",
                static_cast<long long>(maxWaitingFlows)));
    return;
  }
  waiting_.emplace(key, Waiting{sender, destination, *found.searchFor, {std::string(data)}});
  if (searches_.insert(*found.searchFor).second)
    asio::co_spawn(executor_, search(*found.searchFor, found.peer), asio::detached);
}

awaitable<void> CapturedUdp::search(std::uint64_t inode, PeerIdentity peer) {
  const std::shared_ptr<CapturedUdp> self = shared_from_this();
  AppIdentityLookup& lookup = *setup_.lookup;
  const std::optional<AppIdentityLookup::Holder> holder = co_await asio::co_spawn(
      setup_.search,
      [&lookup, inode]() -> awaitable<std::optional<AppIdentityLookup::Holder>> {
        co_return AppIdentityLookup::search(lookup.procRoot(), lookup.user(), inode);
      },
      asio::use_awaitable);
  searches_.erase(inode);
  if (holder) {
    peer.app = lookup.remember(*holder);
    peer.pid = holder->pid;
  }
  for (auto waiting = waiting_.begin(); waiting != waiting_.end();) {
    if (waiting->second.inode != inode) {
      ++waiting;
      continue;
    }
    Waiting flow = std::move(waiting->second);
    const std::string key = waiting->first;
    waiting = waiting_.erase(waiting);
    if (!closed_) begin(key, flow.sender, flow.destination, peer, std::move(flow.datagrams));
  }
}

void CapturedUdp::begin(const std::string& key, const udp::endpoint& sender,
                        const udp::endpoint& destination, const PeerIdentity& peer,
                        std::vector<std::string> datagrams) {
  if (flows_.full()) {
    complain(VL("被捕获的 UDP 流已达上限 %lld，新的流被丢弃",
                static_cast<long long>(maxCapturedUdpFlows)));
    return;
  }
  const pid_t process = peer.uid == setup_.user ? peer.pid.value_or(0) : 0;
  // One process sending to ever new destinations takes no more than its share.
  std::size_t& count = perProcess_[process];
  if (count >= maxCapturedUdpFlowsPerProcess) {
    complain(VL("进程 %lld 的 UDP 流已达上限 %lld，新的流被丢弃", static_cast<long long>(process),
                static_cast<long long>(maxCapturedUdpFlowsPerProcess)));
    return;
  }
  ++count;
  UdpFlowStart start = describe(sender, destination, peer);
  start.ended = [weak = weak_from_this(), process] {
    const auto self = weak.lock();
    if (!self) return;
    const auto found = self->perProcess_.find(process);
    if (found != self->perProcess_.end() && --found->second == 0) self->perProcess_.erase(found);
  };
  for (const std::string& data : datagrams)
    flows_.send(
        key, [&start] { return std::move(start); }, data);
}

UdpFlowStart CapturedUdp::describe(const udp::endpoint& sender, const udp::endpoint& destination,
                                   const PeerIdentity& peer) {
  UdpFlowStart start{.policy = setup_.policy(),
                     .host = addressText(destination.address()),
                     .port = destination.port()};
  if (peer.uid == setup_.user) start.app = peer.app;
  // A fake address stands for the name it was handed out for, as for connections.
  if (setup_.fakeNames && FakeNames::isFake(start.host)) {
    if (std::optional<std::string> name = setup_.fakeNames->host(start.host)) {
      start.host = std::move(*name);
    } else {
      start.refusal =
          VL("%@ 是假地址，但没有主机名对应它（它在 velmorad 重启之前发出且已过期，"
             "或从未发出），已丢弃；程序重新解析主机名即可",
             start.host);
    }
  }
  const std::weak_ptr<CapturedUdp> weak = weak_from_this();
  start.answer = [weak, sender, destination](std::string_view, std::string_view data) {
    if (const auto self = weak.lock()) self->answer(sender, destination, data);
  };
  start.fallBack = [weak, sender, destination] {
    const auto self = weak.lock();
    if (!self) return;
    try {
      self->setup_.helper->refuseFlow(addressText(sender.address()), sender.port(),
                                      addressText(destination.address()), destination.port());
    } catch (const Error& error) {
      self->complain(VL("velmora-netd 没有拒绝 QUIC 流：%@", error.description()));
    }
  };
  return start;
}

void CapturedUdp::answer(const udp::endpoint& sender, const udp::endpoint& destination,
                         std::string_view data) {
  auto found = answerers_.find(destination);
  if (found == answerers_.end()) {
    // A destination the helper will not answer from is asked again only once it has been
    // forgotten, not for every answer.
    Answerer answerer;
    try {
      UniqueFd fd =
          setup_.helper->replySocket(addressText(destination.address()), destination.port());
      answerer.socket = std::make_shared<udp::socket>(
          executor_, destination.address().is_v4() ? udp::v4() : udp::v6(), fd.release());
    } catch (const Error& error) {
      complain(VL("velmora-netd 没有给出回答用的套接字：%@", error.description()));
    }
    found = answerers_.emplace(destination, std::move(answerer)).first;
  }
  found->second.lastUsed = Clock::now();
  if (!found->second.socket) return;
  std::error_code ignored;
  found->second.socket->send_to(asio::buffer(data), sender, 0, ignored);
}

awaitable<void> CapturedUdp::expireAnswerers() {
  asio::steady_timer timer(executor_);
  const Clock::duration idle = setup_.flows.idleTimeout;
  while (true) {
    timer.expires_after(std::max<Clock::duration>(idle / 4, std::chrono::milliseconds(100)));
    std::error_code error;
    co_await timer.async_wait(failuresAsValues(error));
    if (error) co_return;
    const Clock::time_point now = Clock::now();
    std::erase_if(answerers_,
                  [&](const auto& entry) { return now - entry.second.lastUsed >= idle; });
  }
}

void CapturedUdp::complain(const std::string& line) {
  const Clock::time_point now = Clock::now();
  if (lastComplaint_ && now - *lastComplaint_ < std::chrono::minutes(1)) return;
  lastComplaint_ = now;
  setup_.log(line);
}

}  // namespace velmora::dataplane
