#include "peer_check.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cgroup_tree.h"
#include "kit/discovery/cgroups.h"
#include "kit/localize.h"
#include "kit/netd_protocol.h"

namespace velmora::netd {

Peer peerOf(int connection) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
    throw Error(VL("无法得知客户端是谁：%@", std::strerror(errno)));
  return {credentials.uid, credentials.pid};
}

bool reachedByRedirect(sa_family_t family, const std::array<std::uint32_t, 4>& address) {
  // A redirect sends IPv4 to 127.0.0.1 and IPv6 to ::1.
  return boundToAddress(family, address, AF_INET, {htonl(INADDR_LOOPBACK)}) ||
         boundToAddress(family, address, AF_INET6, {0, 0, 0, htonl(1)});
}

std::vector<uid_t> ownersReachedAt(SocketTable& table, int protocol, std::uint16_t port) {
  // A UDP socket is bound in state TCP_CLOSE (or TCP_ESTABLISHED when connected).
  const std::uint32_t states = protocol == IPPROTO_TCP ? 1u << TCP_LISTEN : ~0u;
  std::vector<uid_t> owners;
  for (const sa_family_t family : {AF_INET, AF_INET6}) {
    for (const SocketEntry& entry : table.boundTo(protocol, family, port, states))
      if (reachedByRedirect(entry.family, entry.local)) owners.push_back(entry.uid);
  }
  return owners;
}

std::vector<std::vector<uid_t>> spanOwners(SocketTable& table, std::uint16_t port) {
  std::vector<std::vector<uid_t>> owners;
  for (std::uint16_t offset = 0; offset < transparentPortSpan; ++offset)
    owners.push_back(
        ownersReachedAt(table, IPPROTO_TCP, static_cast<std::uint16_t>(port + offset)));
  return owners;
}

namespace {

/// Traffic may be redirected to a port only where uid, and nobody else, listens.
void checkListeners(const std::vector<uid_t>& owners, std::string_view protocol, std::uint16_t port,
                    uid_t uid) {
  const auto other = std::ranges::find_if(owners, [uid](uid_t owner) { return owner != uid; });
  if (other != owners.end()) {
    throw Refusal(
        VL("%@ 端口 %lld 上有用户 %lld 的监听套接字，不能转到那里", protocol, port, *other));
  }
  if (owners.empty())
    throw Refusal(VL("%@ 端口 %lld 上没有用户 %lld 的监听套接字", protocol, port, uid));
}

}  // namespace

std::optional<std::string> authorizeCapture(const CaptureFacts& facts) {
  const uid_t uid = facts.peer.uid;
  if (uid != 0 && facts.cgroupOwner != uid)
    throw Refusal(VL("cgroup「%@」不属于用户 %lld，不能捕获", facts.cgroup, uid));
  if (!facts.clientCgroup) throw Refusal(VL("读不到客户端进程 %lld 所在的 cgroup", facts.peer.pid));
  std::optional<std::string> excepted;
  if (cgroups::contains(facts.cgroup, *facts.clientCgroup)) {
    if (!facts.exceptClient) {
      throw Refusal(VL("cgroup「%@」包含客户端进程 %lld 自己，捕获它会连客户端自己的连接也转走",
                       facts.cgroup, facts.peer.pid));
    }
    if (facts.cgroup == *facts.clientCgroup) {
      throw Refusal(
          VL("客户端进程 %lld 就在 cgroup「%@」里，没有自己的下级 cgroup 可以留在捕获之外",
             facts.peer.pid, facts.cgroup));
    }
    excepted = *facts.clientCgroup;
  }
  // A port of the span that nobody was found listening at counts as one without a listener.
  for (std::uint16_t offset = 0; offset < transparentPortSpan; ++offset) {
    checkListeners(
        offset < facts.listenerOwners.size() ? facts.listenerOwners[offset] : std::vector<uid_t>{},
        "TCP", static_cast<std::uint16_t>(facts.port + offset), uid);
  }
  if (facts.dnsPort) {
    checkListeners(facts.dnsUdpOwners, "UDP", *facts.dnsPort, uid);
    checkListeners(facts.dnsTcpOwners, "TCP", *facts.dnsPort, uid);
  }
  return excepted;
}

}  // namespace velmora::netd
