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
  const ssize_t got = ::recv(socket_.get(), reply, sizeof reply, 0);
  if (got <= 0)
    throw Error(VL("velmora-netd（%@）断开了：%@", path_,
                   got < 0 ? std::strerror(errno) : VL("连接已关闭")));
  try {
    return netd::decodeReply(std::string_view(reply, static_cast<std::size_t>(got)));
  } catch (const netd::ProtocolError& error) {
    throw Error(VL("velmora-netd（%@）的回答无法理解：%@", path_, error.description()));
  }
}

}  // namespace velmora::daemon
