#include "dns_responder.h"

#include <ldns/ldns.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "kit/discovery/socket_table.h"
#include "kit/error.h"
#include "kit/localize.h"
#include "kit/rule_engine.h"
#include "kit/service.h"
#include "kit/unicode.h"

namespace velmora::dns {

namespace {

/// An ldns packet freed exactly once.
struct PacketDeleter {
  void operator()(ldns_pkt* packet) const { ldns_pkt_free(packet); }
};
using Packet = std::unique_ptr<ldns_pkt, PacketDeleter>;

std::vector<std::uint8_t> wireForm(const ldns_pkt* packet) {
  std::uint8_t* wire = nullptr;
  std::size_t size = 0;
  if (ldns_pkt2wire(&wire, packet, &size) != LDNS_STATUS_OK) return {};
  std::vector<std::uint8_t> bytes(wire, wire + size);
  std::free(wire);
  return bytes;
}

/// A reply to query with its question and the answer records the caller adds.
Packet replyTo(const DnsQuery& query, ldns_pkt_rcode rcode) {
  Packet reply(ldns_pkt_new());
  ldns_pkt_set_id(reply.get(), query.id);
  ldns_pkt_set_qr(reply.get(), true);
  ldns_pkt_set_rd(reply.get(), query.recursionDesired);
  ldns_pkt_set_ra(reply.get(), true);
  ldns_pkt_set_opcode(reply.get(), LDNS_PACKET_QUERY);
  ldns_pkt_set_rcode(reply.get(), rcode);
  ldns_rr* question = ldns_rr_new();
  ldns_rr_set_question(question, true);
  ldns_rr_set_owner(question, ldns_dname_new_frm_str(query.name.c_str()));
  ldns_rr_set_type(question, static_cast<ldns_rr_type>(query.type));
  ldns_rr_set_class(question, static_cast<ldns_rr_class>(query.qclass));
  ldns_pkt_push_rr(reply.get(), LDNS_SECTION_QUESTION, question);
  return reply;
}

bool isHostNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_' || c == '.';
}

}  // namespace

std::optional<DnsQuery> readQuery(std::span<const std::uint8_t> message) {
  ldns_pkt* parsed = nullptr;
  if (ldns_wire2pkt(&parsed, message.data(), message.size()) != LDNS_STATUS_OK) return std::nullopt;
  const Packet packet(parsed);
  if (ldns_pkt_qr(parsed) || ldns_pkt_get_opcode(parsed) != LDNS_PACKET_QUERY ||
      ldns_pkt_qdcount(parsed) != 1 || ldns_rr_list_rr_count(ldns_pkt_question(parsed)) != 1)
    return std::nullopt;
  const ldns_rr* question = ldns_rr_list_rr(ldns_pkt_question(parsed), 0);
  char* name = ldns_rdf2str(ldns_rr_owner(question));
  if (!name) return std::nullopt;
  DnsQuery query{.id = ldns_pkt_id(parsed),
                 .recursionDesired = ldns_pkt_rd(parsed),
                 .name = name,
                 .type = static_cast<std::uint16_t>(ldns_rr_get_type(question)),
                 .qclass = static_cast<std::uint16_t>(ldns_rr_get_class(question))};
  std::free(name);
  return query;
}

std::vector<std::uint8_t> addressAnswer(const DnsQuery& query, std::string_view address,
                                        std::chrono::seconds ttl) {
  Packet reply = replyTo(query, LDNS_RCODE_NOERROR);
  const bool ipv6 = address.find(':') != std::string_view::npos;
  ldns_rr* record = ldns_rr_new();
  ldns_rr_set_owner(record, ldns_dname_new_frm_str(query.name.c_str()));
  ldns_rr_set_type(record, ipv6 ? LDNS_RR_TYPE_AAAA : LDNS_RR_TYPE_A);
  ldns_rr_set_class(record, LDNS_RR_CLASS_IN);
  ldns_rr_set_ttl(record, static_cast<std::uint32_t>(ttl.count()));
  ldns_rr_push_rdf(record, ldns_rdf_new_frm_str(ipv6 ? LDNS_RDF_TYPE_AAAA : LDNS_RDF_TYPE_A,
                                                std::string(address).c_str()));
  ldns_pkt_push_rr(reply.get(), LDNS_SECTION_ANSWER, record);
  return wireForm(reply.get());
}

std::vector<std::uint8_t> failureAnswer(const DnsQuery& query) {
  return wireForm(replyTo(query, LDNS_RCODE_SERVFAIL).get());
}

std::vector<std::uint8_t> refusalAnswer(const DnsQuery& query) {
  return wireForm(replyTo(query, LDNS_RCODE_REFUSED).get());
}

std::vector<std::string> resolvers(const std::filesystem::path& resolvConf) {
  std::vector<std::string> found;
  std::ifstream file(resolvConf);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    std::string keyword, address;
    if (words >> keyword >> address && keyword == "nameserver") found.push_back(address);
  }
  return found;
}

FakeAddressPolicy::FakeAddressPolicy(const DNSSettings& settings,
                                     const std::optional<std::string>& computerName)
    : resolveViaProxy_(settings.resolveViaProxy) {
  for (const std::string& exclusion : settings.exclusions) {
    if (unicode::lowercased(exclusion) == "%computername%") {
      if (computerName) exclusions_.emplace_back(*computerName);
    } else {
      exclusions_.emplace_back(exclusion);
    }
  }
}

std::optional<std::string> FakeAddressPolicy::fakedName(const DnsQuery& query) const {
  if (!resolveViaProxy_ || query.qclass != LDNS_RR_CLASS_IN ||
      (query.type != LDNS_RR_TYPE_A && query.type != LDNS_RR_TYPE_AAAA))
    return std::nullopt;
  std::string_view name = query.name;
  if (name.ends_with('.')) name.remove_suffix(1);
  if (name.empty() || name.starts_with('.') || name.find("..") != std::string_view::npos ||
      !std::ranges::all_of(name, isHostNameCharacter))
    return std::nullopt;
  std::string host = unicode::lowercased(name);
  for (const HostPattern& exclusion : exclusions_)
    if (exclusion.matches(host)) return std::nullopt;
  return host;
}

namespace {

using asio::awaitable;
using asio::use_awaitable;
using asio::ip::tcp;
using asio::ip::udp;
using namespace asio::experimental::awaitable_operators;

/// The largest message over UDP that is read; DNS over TCP carries up to 65535 bytes.
constexpr std::size_t maxUdpMessage = 4096;
constexpr std::size_t maxTcpMessage = 65535;
/// A TCP client that sends nothing for this long is let go.
constexpr std::chrono::seconds tcpIdle{10};

}  // namespace

struct DnsResponder::Impl {
  Impl(const Options& options, std::shared_ptr<FakeNames> names, Log log)
      : options(options), names(std::move(names)), log(std::move(log)) {}

  const Options options;
  const std::shared_ptr<FakeNames> names;
  const Log log;
  asio::io_context context{1};
  std::vector<std::unique_ptr<udp::socket>> udpSockets;
  std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
  std::uint16_t port = 0;
  std::thread thread;
  const uid_t user = ::geteuid();
  SocketTable sockets;
  service::RefusalLog refusals;

  std::mutex lock;
  std::shared_ptr<const FakeAddressPolicy> policy;
  std::filesystem::file_time_type resolvConfTime;
  std::vector<udp::endpoint> resolverList;

  std::shared_ptr<const FakeAddressPolicy> currentPolicy() {
    std::lock_guard guard(lock);
    return policy;
  }

  /// The resolvers of resolv.conf, read again when the file changed.
  std::vector<udp::endpoint> currentResolvers() {
    std::error_code error;
    const auto time = std::filesystem::last_write_time(options.resolvConf, error);
    std::lock_guard guard(lock);
    if (!error && time != resolvConfTime) {
      resolvConfTime = time;
      resolverList.clear();
      for (const std::string& text : resolvers(options.resolvConf)) {
        asio::error_code invalid;
        const asio::ip::address address = asio::ip::make_address(text, invalid);
        if (!invalid) resolverList.emplace_back(address, 53);
      }
    }
    return resolverList;
  }

  /// The owner of the socket that sent from address and port over protocol: the user's own
  /// uid only when every socket bound there is the user's, another uid when one is not, nothing
  /// when none is bound there any more or the kernel does not say.
  std::optional<uid_t> sender(int protocol, const asio::ip::address& address, std::uint16_t at) {
    try {
      const std::vector<uid_t> owners = sockets.sendersAt(protocol, address.to_string(), at);
      const auto other = std::ranges::find_if(owners, [&](uid_t owner) { return owner != user; });
      if (other != owners.end()) return *other;
      if (owners.empty()) return std::nullopt;
      return user;
    } catch (const Error&) {
      return std::nullopt;
    }
  }

  /// Logs a refused sender at most once a minute per user.
  void refused(std::optional<uid_t> uid) {
    const std::optional<std::uint64_t> count = refusals.count(uid);
    if (!count) return;
    log(uid ? VL("拒绝了来自用户 %lld 的 DNS 查询（%lld 次）：DNS 应答只为用户 %lld 服务",
                 static_cast<long long>(*uid), static_cast<long long>(*count),
                 static_cast<long long>(user))
            : VL("拒绝了找不到所有者的 DNS 查询（%lld 次）：DNS 应答只为用户 %lld 服务",
                 static_cast<long long>(*count), static_cast<long long>(user)));
  }

  /// The fake answer for query, or nothing when it is to be relayed.
  std::optional<std::vector<std::uint8_t>> fakeAnswer(const DnsQuery& query) {
    const std::shared_ptr<const FakeAddressPolicy> active = currentPolicy();
    if (!active) return std::nullopt;
    const std::optional<std::string> host = active->fakedName(query);
    if (!host) return std::nullopt;
    const std::string address =
        query.type == LDNS_RR_TYPE_AAAA ? names->ipv6(*host) : names->ipv4(*host);
    return addressAnswer(query, address, options.fakeTTL);
  }

  /// The first resolver's answer to a question asked over UDP, or nothing when none answered.
  awaitable<std::optional<std::vector<std::uint8_t>>> relayUdp(
      std::span<const std::uint8_t> message, std::uint16_t id) {
    for (const udp::endpoint& resolver : currentResolvers()) {
      asio::error_code error;
      // The timer's own: the operation it loses to is cancelled, and would write that here.
      asio::error_code expired;
      udp::socket socket(context, resolver.protocol());
      socket.connect(resolver, error);
      if (error) continue;
      co_await socket.async_send(asio::buffer(message.data(), message.size()),
                                 asio::redirect_error(use_awaitable, error));
      if (error) continue;
      asio::steady_timer timer(context, options.forwardTimeout);
      std::vector<std::uint8_t> reply(maxUdpMessage);
      // Replies to other questions (there are none on a fresh socket) would not match the id.
      while (true) {
        const auto received = co_await (
            socket.async_receive(asio::buffer(reply), asio::redirect_error(use_awaitable, error)) ||
            timer.async_wait(asio::redirect_error(use_awaitable, expired)));
        if (received.index() == 1 || error) break;
        const std::size_t size = std::get<0>(received);
        if (size >= 2 && (reply[0] << 8 | reply[1]) == id) {
          reply.resize(size);
          co_return reply;
        }
      }
    }
    co_return std::nullopt;
  }

  /// The first resolver's answer to a question asked over TCP, or nothing when none answered.
  awaitable<std::optional<std::vector<std::uint8_t>>> relayTcp(
      std::span<const std::uint8_t> message) {
    for (const udp::endpoint& resolver : currentResolvers()) {
      tcp::socket socket(context);
      asio::steady_timer timer(context, options.forwardTimeout);
      asio::error_code error;
      asio::error_code expired;
      const tcp::endpoint to(resolver.address(), resolver.port());
      const auto connected =
          co_await (socket.async_connect(to, asio::redirect_error(use_awaitable, error)) ||
                    timer.async_wait(asio::redirect_error(use_awaitable, expired)));
      if (connected.index() == 1 || error) continue;
      const std::array<std::uint8_t, 2> length{static_cast<std::uint8_t>(message.size() >> 8),
                                               static_cast<std::uint8_t>(message.size())};
      const std::array<asio::const_buffer, 2> request{asio::buffer(length),
                                                      asio::buffer(message.data(), message.size())};
      std::array<std::uint8_t, 2> replyLength{};
      std::vector<std::uint8_t> reply;
      auto exchange = [&]() -> awaitable<bool> {
        asio::error_code failure;
        co_await asio::async_write(socket, request, asio::redirect_error(use_awaitable, failure));
        if (failure) co_return false;
        co_await asio::async_read(socket, asio::buffer(replyLength),
                                  asio::redirect_error(use_awaitable, failure));
        if (failure) co_return false;
        reply.resize(replyLength[0] << 8 | replyLength[1]);
        co_await asio::async_read(socket, asio::buffer(reply),
                                  asio::redirect_error(use_awaitable, failure));
        co_return !failure;
      };
      const auto exchanged =
          co_await (exchange() || timer.async_wait(asio::redirect_error(use_awaitable, expired)));
      if (exchanged.index() == 0 && std::get<0>(exchanged)) co_return reply;
    }
    co_return std::nullopt;
  }

  /// The reply to one message, relayed or made here; empty for a message that is no query.
  awaitable<std::vector<std::uint8_t>> reply(std::vector<std::uint8_t> message, bool overTcp) {
    const std::optional<DnsQuery> query = readQuery(message);
    if (!query) co_return std::vector<std::uint8_t>{};
    if (std::optional<std::vector<std::uint8_t>> fake = fakeAnswer(*query)) co_return *fake;
    // g++ 12 mistranslates co_await inside ?:, so one per statement.
    std::optional<std::vector<std::uint8_t>> relayed;
    if (overTcp) {
      relayed = co_await relayTcp(message);
    } else {
      relayed = co_await relayUdp(message, query->id);
    }
    if (relayed) co_return std::move(*relayed);
    co_return failureAnswer(*query);
  }

  awaitable<void> answerUdp(udp::socket& socket, std::vector<std::uint8_t> message,
                            udp::endpoint client) {
    std::vector<std::uint8_t> answer;
    if (const std::optional<uid_t> owner = sender(IPPROTO_UDP, client.address(), client.port());
        owner != user) {
      refused(owner);
      if (const std::optional<DnsQuery> query = readQuery(message)) answer = refusalAnswer(*query);
    } else {
      answer = co_await reply(std::move(message), false);
    }
    if (answer.empty()) co_return;
    asio::error_code ignored;
    co_await socket.async_send_to(asio::buffer(answer), client,
                                  asio::redirect_error(use_awaitable, ignored));
  }

  awaitable<void> serveUdp(udp::socket& socket) {
    std::vector<std::uint8_t> message(maxUdpMessage);
    udp::endpoint client;
    while (true) {
      asio::error_code error;
      const std::size_t size = co_await socket.async_receive_from(
          asio::buffer(message), client, asio::redirect_error(use_awaitable, error));
      if (error == asio::error::operation_aborted) co_return;
      if (error) continue;
      asio::co_spawn(context, answerUdp(socket, {message.begin(), message.begin() + size}, client),
                     asio::detached);
    }
  }

  awaitable<void> serveTcp(tcp::socket socket) {
    asio::error_code error;
    const tcp::endpoint client = socket.remote_endpoint(error);
    if (error) co_return;
    if (const std::optional<uid_t> owner = sender(IPPROTO_TCP, client.address(), client.port());
        owner != user) {
      refused(owner);
      co_return;
    }
    while (true) {
      asio::steady_timer idle(context, tcpIdle);
      std::array<std::uint8_t, 2> length{};
      asio::error_code expired;
      const auto read = co_await (asio::async_read(socket, asio::buffer(length),
                                                   asio::redirect_error(use_awaitable, error)) ||
                                  idle.async_wait(asio::redirect_error(use_awaitable, expired)));
      if (read.index() == 1 || error) co_return;
      std::vector<std::uint8_t> message(length[0] << 8 | length[1]);
      co_await asio::async_read(socket, asio::buffer(message),
                                asio::redirect_error(use_awaitable, error));
      if (error) co_return;
      const std::vector<std::uint8_t> answer = co_await reply(std::move(message), true);
      if (answer.empty() || answer.size() > maxTcpMessage) co_return;
      const std::array<std::uint8_t, 2> answerLength{static_cast<std::uint8_t>(answer.size() >> 8),
                                                     static_cast<std::uint8_t>(answer.size())};
      const std::array<asio::const_buffer, 2> buffers{asio::buffer(answerLength),
                                                      asio::buffer(answer)};
      co_await asio::async_write(socket, buffers, asio::redirect_error(use_awaitable, error));
      if (error) co_return;
    }
  }

  awaitable<void> accept(tcp::acceptor& acceptor) {
    while (true) {
      asio::error_code error;
      tcp::socket socket =
          co_await acceptor.async_accept(asio::redirect_error(use_awaitable, error));
      if (error == asio::error::operation_aborted) co_return;
      if (error) continue;
      asio::co_spawn(context, serveTcp(std::move(socket)), asio::detached);
    }
  }

  /// Binds UDP and TCP on address at port; false when the address family is missing here.
  bool bind(const asio::ip::address& address, std::uint16_t at) {
    asio::error_code error;
    auto socket = std::make_unique<udp::socket>(context);
    socket->open(address.is_v4() ? udp::v4() : udp::v6(), error);
    if (error && address.is_v6()) return false;
    if (!error) socket->bind({address, at}, error);
    if (error && address.is_v6() && error == std::errc::address_not_available) return false;
    if (!error) at = socket->local_endpoint().port();
    auto acceptor = std::make_unique<tcp::acceptor>(context);
    if (!error) acceptor->open(address.is_v4() ? tcp::v4() : tcp::v6(), error);
    if (!error) acceptor->set_option(tcp::acceptor::reuse_address(true), error);
    if (!error) acceptor->bind({address, at}, error);
    if (!error) acceptor->listen(asio::socket_base::max_listen_connections, error);
    if (error)
      throw Error(VL("无法在 %@ 端口 %lld 上应答 DNS：%@", address.to_string(),
                     static_cast<long long>(at), error.message()));
    port = at;
    udpSockets.push_back(std::move(socket));
    acceptors.push_back(std::move(acceptor));
    return true;
  }
};

DnsResponder::DnsResponder(const Options& options, std::shared_ptr<FakeNames> names, Log log)
    : impl_(std::make_unique<Impl>(options, std::move(names), std::move(log))) {
  impl_->bind(asio::ip::address_v4::loopback(), options.port);
  impl_->bind(asio::ip::address_v6::loopback(), impl_->port);
  for (const auto& socket : impl_->udpSockets)
    asio::co_spawn(impl_->context, impl_->serveUdp(*socket), asio::detached);
  for (const auto& acceptor : impl_->acceptors)
    asio::co_spawn(impl_->context, impl_->accept(*acceptor), asio::detached);
  impl_->thread = std::thread([this] { impl_->context.run(); });
}

DnsResponder::~DnsResponder() {
  impl_->context.stop();
  impl_->thread.join();
}

std::uint16_t DnsResponder::port() const {
  return impl_->port;
}

void DnsResponder::follow(const std::optional<DNSSettings>& settings) {
  std::shared_ptr<const FakeAddressPolicy> policy;
  if (settings) policy = std::make_shared<const FakeAddressPolicy>(*settings, machineHostName());
  std::lock_guard guard(impl_->lock);
  impl_->policy = std::move(policy);
}

}  // namespace velmora::dns
