#include "netd_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kit/localize.h"

namespace velmora::daemon {

NetdClient::NetdClient(const std::string& path) : path_(path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path)
    throw Error(VL("velmora-netd 的套接字路径太长：%@", path));
  std::memcpy(address.sun_path, path.data(), path.size());
  socket_ = UniqueFd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!socket_ ||
      ::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    throw Error(VL("连不上 velmora-netd（%@）：%@", path, std::strerror(errno)));
}

netd::Reply NetdClient::ask(const netd::Request& request, std::chrono::milliseconds limit) {
  std::vector<UniqueFd> unasked;
  return ask(request, unasked, limit);
}

netd::Reply NetdClient::ask(const netd::Request& request, std::vector<UniqueFd>& sockets,
                            std::chrono::milliseconds limit) {
  const std::string message = netd::encode(request);
  if (::send(socket_.get(), message.data(), message.size(), MSG_NOSIGNAL) < 0)
    throw Error(VL("velmora-netd（%@）断开了：%@", path_, std::strerror(errno)));
  pollfd readable{.fd = socket_.get(), .events = POLLIN};
  int ready = 0;
  do {
    ready = ::poll(&readable, 1, static_cast<int>(limit.count()));
  } while (ready < 0 && errno == EINTR);
  if (ready == 0) throw Error(VL("velmora-netd（%@）没有回答", path_));
  char reply[netd::maxMessageSize];
  iovec part{reply, sizeof reply};
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
  msghdr received{};
  received.msg_iov = &part;
  received.msg_iovlen = 1;
  received.msg_control = control;
  received.msg_controllen = sizeof control;
  const ssize_t got = ::recvmsg(socket_.get(), &received, MSG_CMSG_CLOEXEC);
  // Taken before anything else, so that none of them stays open unowned.
  for (cmsghdr* header = CMSG_FIRSTHDR(&received); header;
       header = CMSG_NXTHDR(&received, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    for (std::size_t at = CMSG_LEN(0); at + sizeof(int) <= header->cmsg_len; at += sizeof(int)) {
      int fd = -1;
      std::memcpy(&fd, reinterpret_cast<const char*>(header) + at, sizeof fd);
      sockets.emplace_back(fd);
    }
  }
  if (got <= 0)
    throw Error(VL("velmora-netd（%@）断开了：%@", path_,
                   got < 0 ? std::strerror(errno) : VL("连接已关闭")));
  try {
    return netd::decodeReply(std::string_view(reply, static_cast<std::size_t>(got)));
  } catch (const netd::ProtocolError& error) {
    throw Error(VL("velmora-netd（%@）的回答无法理解：%@", path_, error.description()));
  }
}

UniqueFd NetdUdpHelper::replySocket(const std::string& address, std::uint16_t port) {
  std::vector<UniqueFd> sockets;
  const netd::Reply reply =
      client_.ask(netd::ReplySocket{address, port}, sockets, std::chrono::seconds(1));
  if (!reply.ok) throw Error(reply.error);
  if (sockets.size() != 1) throw Error(VL("velmora-netd 没有交出回答用的套接字"));
  return std::move(sockets.front());
}

void NetdUdpHelper::refuseFlow(const std::string& source, std::uint16_t sourcePort,
                               const std::string& address, std::uint16_t port) {
  const netd::Reply reply =
      client_.ask(netd::RefuseFlow{source, sourcePort, address, port}, std::chrono::seconds(1));
  if (!reply.ok) throw Error(reply.error);
}

}  // namespace velmora::daemon
