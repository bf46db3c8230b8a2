#include "peer_check.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/inet_diag.h>
#include <linux/sock_diag.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cgroup_tree.h"
#include "kit/discovery/cgroups.h"
#include "kit/localize.h"

namespace velmora::netd {

Peer peerOf(int connection) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
    throw Error(VL("无法得知客户端是谁：%@", std::strerror(errno)));
  return {credentials.uid, credentials.pid};
}

bool reachedByRedirect(sa_family_t family, const std::uint32_t (&address)[4]) {
  const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
  if (family == AF_INET) return address[0] == loopback || address[0] == htonl(INADDR_ANY);
  if (family != AF_INET6 || address[0] != 0 || address[1] != 0) return false;
  // ::, ::1 and ::ffff:127.0.0.1
  return (address[2] == 0 && (address[3] == 0 || address[3] == htonl(1))) ||
         (address[2] == htonl(0xffff) && address[3] == loopback);
}

ListeningSockets::ListeningSockets() : netlink_(mnl_socket_open2(NETLINK_SOCK_DIAG, SOCK_CLOEXEC)) {
  if (!netlink_ || mnl_socket_bind(netlink_, 0, MNL_SOCKET_AUTOPID) < 0) {
    const int error = errno;
    if (netlink_) mnl_socket_close(netlink_);
    throw Error(VL("无法打开 sock_diag：%@", std::strerror(error)));
  }
}

ListeningSockets::~ListeningSockets() {
  mnl_socket_close(netlink_);
}

std::vector<uid_t> ListeningSockets::ownersReachedAt(std::uint16_t port) {
  std::vector<uid_t> owners;
  dump(AF_INET, port, owners);
  dump(AF_INET6, port, owners);
  return owners;
}

void ListeningSockets::dump(sa_family_t family, std::uint16_t port, std::vector<uid_t>& owners) {
  // Room for the largest batch of answers the kernel sends at once.
  char buffer[32768];
  nlmsghdr* header = mnl_nlmsg_put_header(buffer);
  header->nlmsg_type = SOCK_DIAG_BY_FAMILY;
  header->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  header->nlmsg_seq = ++sequence_;
  auto* request =
      static_cast<inet_diag_req_v2*>(mnl_nlmsg_put_extra_header(header, sizeof(inet_diag_req_v2)));
  request->sdiag_family = family;
  request->sdiag_protocol = IPPROTO_TCP;
  request->idiag_states = 1u << TCP_LISTEN;
  // The kernel passes over listeners on other ports; the port is checked again below.
  request->id.idiag_sport = htons(port);
  if (mnl_socket_sendto(netlink_, header, header->nlmsg_len) < 0)
    throw Error(VL("sock_diag 查询失败：%@", std::strerror(errno)));

  struct Search {
    std::uint16_t port;
    std::vector<uid_t>& owners;
  } search{port, owners};
  const auto onMessage = [](const nlmsghdr* message, void* data) {
    auto& search = *static_cast<Search*>(data);
    if (mnl_nlmsg_get_payload_len(message) < sizeof(inet_diag_msg)) {
      errno = EPROTO;
      return MNL_CB_ERROR;
    }
    const auto* diag = static_cast<const inet_diag_msg*>(mnl_nlmsg_get_payload(message));
    if (ntohs(diag->id.idiag_sport) == search.port &&
        reachedByRedirect(diag->idiag_family, diag->id.idiag_src))
      search.owners.push_back(diag->idiag_uid);
    return MNL_CB_OK;
  };
  const unsigned portID = mnl_socket_get_portid(netlink_);
  while (true) {
    const ssize_t received = mnl_socket_recvfrom(netlink_, buffer, sizeof buffer);
    if (received < 0) throw Error(VL("sock_diag 查询失败：%@", std::strerror(errno)));
    const int result = mnl_cb_run(buffer, static_cast<std::size_t>(received), sequence_, portID,
                                  onMessage, &search);
    if (result == MNL_CB_ERROR) throw Error(VL("sock_diag 查询失败：%@", std::strerror(errno)));
    if (result == MNL_CB_STOP) return;
  }
}

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
  const auto other =
      std::ranges::find_if(facts.listenerOwners, [uid](uid_t owner) { return owner != uid; });
  if (other != facts.listenerOwners.end()) {
    throw Refusal(VL("端口 %lld 上有用户 %lld 的监听套接字，不能转到那里", facts.port, *other));
  }
  if (facts.listenerOwners.empty())
    throw Refusal(VL("端口 %lld 上没有用户 %lld 的监听套接字", facts.port, uid));
  return excepted;
}

}  // namespace velmora::netd
