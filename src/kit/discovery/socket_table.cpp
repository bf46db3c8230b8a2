#include "socket_table.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/inet_diag.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <cstring>

#include "kit/error.h"
#include "kit/localize.h"

namespace velmora {

namespace {

SocketEntry entryOf(const inet_diag_msg& diag) {
  SocketEntry entry{.family = diag.idiag_family,
                    .localPort = ntohs(diag.id.idiag_sport),
                    .remotePort = ntohs(diag.id.idiag_dport),
                    .state = diag.idiag_state,
                    .uid = diag.idiag_uid,
                    .inode = diag.idiag_inode};
  std::memcpy(entry.local.data(), diag.id.idiag_src, sizeof diag.id.idiag_src);
  std::memcpy(entry.remote.data(), diag.id.idiag_dst, sizeof diag.id.idiag_dst);
  return entry;
}

}  // namespace

SocketTable::SocketTable() : netlink_(mnl_socket_open2(NETLINK_SOCK_DIAG, SOCK_CLOEXEC)) {
  if (!netlink_ || mnl_socket_bind(netlink_, 0, MNL_SOCKET_AUTOPID) < 0) {
    const int error = errno;
    if (netlink_) mnl_socket_close(netlink_);
    throw Error(VL("无法打开 sock_diag：%@", std::strerror(error)));
  }
}

SocketTable::~SocketTable() {
  mnl_socket_close(netlink_);
}

std::vector<SocketEntry> SocketTable::boundTo(int protocol, sa_family_t family, std::uint16_t port,
                                              std::uint32_t states) {
  // Room for the largest batch of answers the kernel sends at once.
  char buffer[32768];
  nlmsghdr* header = mnl_nlmsg_put_header(buffer);
  header->nlmsg_type = SOCK_DIAG_BY_FAMILY;
  header->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  header->nlmsg_seq = ++sequence_;
  auto* request =
      static_cast<inet_diag_req_v2*>(mnl_nlmsg_put_extra_header(header, sizeof(inet_diag_req_v2)));
  request->sdiag_family = family;
  request->sdiag_protocol = static_cast<std::uint8_t>(protocol);
  request->idiag_states = states;
  // The kernel passes over sockets on other ports; the port is checked again below.
  request->id.idiag_sport = htons(port);
  if (mnl_socket_sendto(netlink_, header, header->nlmsg_len) < 0)
    throw Error(VL("sock_diag 查询失败：%@", std::strerror(errno)));

  struct Search {
    std::uint16_t port;
    std::vector<SocketEntry> found;
  } search{port, {}};
  const auto onMessage = [](const nlmsghdr* message, void* data) {
    auto& search = *static_cast<Search*>(data);
    if (mnl_nlmsg_get_payload_len(message) < sizeof(inet_diag_msg)) {
      errno = EPROTO;
      return MNL_CB_ERROR;
    }
    const auto* diag = static_cast<const inet_diag_msg*>(mnl_nlmsg_get_payload(message));
    if (ntohs(diag->id.idiag_sport) != search.port) return MNL_CB_OK;
    search.found.push_back(entryOf(*diag));
    return MNL_CB_OK;
  };
  const unsigned portID = mnl_socket_get_portid(netlink_);
  while (true) {
    const ssize_t received = mnl_socket_recvfrom(netlink_, buffer, sizeof buffer);
    if (received < 0) throw Error(VL("sock_diag 查询失败：%@", std::strerror(errno)));
    const int result = mnl_cb_run(buffer, static_cast<std::size_t>(received), sequence_, portID,
                                  onMessage, &search);
    if (result == MNL_CB_ERROR) throw Error(VL("sock_diag 查询失败：%@", std::strerror(errno)));
    if (result == MNL_CB_STOP) return std::move(search.found);
  }
}

std::optional<SocketEntry> SocketTable::connection(int protocol, sa_family_t family,
                                                   const std::array<std::uint32_t, 4>& local,
                                                   std::uint16_t localPort,
                                                   const std::array<std::uint32_t, 4>& remote,
                                                   std::uint16_t remotePort) {
  // One reply to one exact query: far below a page.
  char buffer[8192];
  nlmsghdr* header = mnl_nlmsg_put_header(buffer);
  header->nlmsg_type = SOCK_DIAG_BY_FAMILY;
  header->nlmsg_flags = NLM_F_REQUEST;
  header->nlmsg_seq = ++sequence_;
  auto* request =
      static_cast<inet_diag_req_v2*>(mnl_nlmsg_put_extra_header(header, sizeof(inet_diag_req_v2)));
  request->sdiag_family = family;
  request->sdiag_protocol = static_cast<std::uint8_t>(protocol);
  request->idiag_states = ~0u;
  // TCP finds the socket by its own end first; UDP takes the two the other way round, as the
  // packet that would reach the socket has them.
  const bool udp = protocol == IPPROTO_UDP;
  request->id.idiag_sport = htons(udp ? remotePort : localPort);
  request->id.idiag_dport = htons(udp ? localPort : remotePort);
  std::memcpy(request->id.idiag_src, (udp ? remote : local).data(), sizeof request->id.idiag_src);
  std::memcpy(request->id.idiag_dst, (udp ? local : remote).data(), sizeof request->id.idiag_dst);
  request->id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request->id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  if (mnl_socket_sendto(netlink_, header, header->nlmsg_len) < 0) return std::nullopt;

  std::optional<SocketEntry> found;
  const auto onMessage = [](const nlmsghdr* message, void* data) {
    if (mnl_nlmsg_get_payload_len(message) < sizeof(inet_diag_msg)) return MNL_CB_OK;
    const auto* diag = static_cast<const inet_diag_msg*>(mnl_nlmsg_get_payload(message));
    *static_cast<std::optional<SocketEntry>*>(data) = entryOf(*diag);
    return MNL_CB_OK;
  };
  const unsigned portID = mnl_socket_get_portid(netlink_);
  while (true) {
    const ssize_t received = mnl_socket_recvfrom(netlink_, buffer, sizeof buffer);
    if (received <= 0) return std::nullopt;
    // An unknown socket comes back as an error message.
    const int result = mnl_cb_run(buffer, static_cast<std::size_t>(received), sequence_, portID,
                                  onMessage, &found);
    if (result <= MNL_CB_STOP || found) break;
  }
  return found;
}

std::vector<uid_t> SocketTable::sendersAt(int protocol, const std::string& address,
                                          std::uint16_t port) {
  std::array<std::uint32_t, 4> source{};
  sa_family_t family = AF_INET;
  if (inet_pton(AF_INET, address.c_str(), source.data()) != 1) {
    family = AF_INET6;
    if (inet_pton(AF_INET6, address.c_str(), source.data()) != 1) return {};
    // An IPv4 address mapped into IPv6 is the IPv4 address, as a socket of either family sees it.
    if (source[0] == 0 && source[1] == 0 && source[2] == htonl(0xffff)) {
      family = AF_INET;
      source = {source[3], 0, 0, 0};
    }
  }
  std::vector<uid_t> owners;
  // An IPv4 datagram may come from an IPv6 socket that is not IPv6-only.
  for (const sa_family_t table : {AF_INET, AF_INET6}) {
    if (family == AF_INET6 && table == AF_INET) continue;
    for (const SocketEntry& entry : boundTo(protocol, table, port)) {
      if (protocol == IPPROTO_TCP && entry.state == TCP_LISTEN) continue;
      if (boundToAddress(entry.family, entry.local, family, source)) owners.push_back(entry.uid);
    }
  }
  return owners;
}

bool boundToAddress(sa_family_t family, const std::array<std::uint32_t, 4>& local,
                    sa_family_t sourceFamily, const std::array<std::uint32_t, 4>& source) {
  if (family == AF_INET)
    return sourceFamily == AF_INET && (local[0] == source[0] || local[0] == htonl(INADDR_ANY));
  if (family != AF_INET6) return false;
  if (local == std::array<std::uint32_t, 4>{}) return true;
  if (sourceFamily == AF_INET6) return local == source;
  return sourceFamily == AF_INET && local[0] == 0 && local[1] == 0 && local[2] == htonl(0xffff) &&
         local[3] == source[0];
}

}  // namespace velmora
