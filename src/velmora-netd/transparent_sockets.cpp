#include "transparent_sockets.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "kit/localize.h"
#include "peer_check.h"

namespace velmora::netd {
namespace {

constexpr int receiveBuffer = 4 << 20;

struct Address {
  sockaddr_storage storage{};
  socklen_t size = 0;
  int family() const { return storage.ss_family; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

Address parse(const std::string& text, std::uint16_t port) {
  Address address;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address.storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
  if (::inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    address.size = sizeof *v4;
  } else if (::inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    address.size = sizeof *v6;
  } else {
    throw Refusal(VL("「%@」不是 IP 地址", text));
  }
  return address;
}

/// Loopback, multicast, broadcast, unspecified, or an IPv4 address mapped into IPv6.
bool special(const Address& address) {
  if (address.family() == AF_INET) {
    const std::uint32_t host =
        ntohl(reinterpret_cast<const sockaddr_in*>(&address.storage)->sin_addr.s_addr);
    return host == 0 || host == 0xffffffff || (host >> 24) == 127 || (host >> 28) == 0xe;
  }
  const in6_addr& six = reinterpret_cast<const sockaddr_in6*>(&address.storage)->sin6_addr;
  return IN6_IS_ADDR_UNSPECIFIED(&six) || IN6_IS_ADDR_LOOPBACK(&six) ||
         IN6_IS_ADDR_MULTICAST(&six) || IN6_IS_ADDR_V4MAPPED(&six);
}

/// Whether an ordinary socket may bind the address: only an address of this machine allows it.
bool local(const Address& address) {
  const UniqueFd probe(::socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!probe) throw Error(VL("无法建立 UDP 套接字：%@", std::strerror(errno)));
  Address anyPort = address;
  reinterpret_cast<sockaddr_in*>(&anyPort.storage)->sin_port = 0;  // same place in both families
  if (::bind(probe.get(), anyPort.get(), anyPort.size) == 0) return true;
  if (errno == EADDRNOTAVAIL) return false;
  throw Error(VL("无法检查地址：%@", std::strerror(errno)));
}

void set(int fd, int level, int name, int value, const char* what) {
  if (::setsockopt(fd, level, name, &value, sizeof value) != 0)
    throw Error(VL("无法设置 UDP 套接字的 %@：%@", what, std::strerror(errno)));
}

UniqueFd transparentSocket(int family, std::uint32_t mark) {
  UniqueFd fd(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) throw Error(VL("无法建立 UDP 套接字：%@", std::strerror(errno)));
  if (family == AF_INET)
    set(fd.get(), SOL_IP, IP_TRANSPARENT, 1, "IP_TRANSPARENT");
  else
    set(fd.get(), SOL_IPV6, IPV6_TRANSPARENT, 1, "IPV6_TRANSPARENT");
  set(fd.get(), SOL_SOCKET, SO_MARK, static_cast<int>(mark), "SO_MARK");
  return fd;
}

}  // namespace

UniqueFd receivingSocket(int family, std::uint16_t port, std::uint32_t mark) {
  UniqueFd fd = transparentSocket(family, mark);
  Address address;
  if (family == AF_INET) {
    address = parse("127.0.0.1", port);
    set(fd.get(), SOL_IP, IP_RECVORIGDSTADDR, 1, "IP_RECVORIGDSTADDR");
  } else {
    address = parse("::1", port);
    set(fd.get(), SOL_IPV6, IPV6_V6ONLY, 1, "IPV6_V6ONLY");
    set(fd.get(), SOL_IPV6, IPV6_RECVORIGDSTADDR, 1, "IPV6_RECVORIGDSTADDR");
  }
  // Every captured program's datagrams meet here: room for a burst of them, beyond the limit
  // an ordinary socket may ask for.
  set(fd.get(), SOL_SOCKET, SO_RCVBUFFORCE, receiveBuffer, "SO_RCVBUFFORCE");
  if (::bind(fd.get(), address.get(), address.size) != 0)
    throw Refusal(VL("无法在 %@ 端口 %lld 上接收 UDP：%@", family == AF_INET ? "127.0.0.1" : "::1",
                     static_cast<long long>(port), std::strerror(errno)));
  return fd;
}

UniqueFd replySocket(const std::string& text, std::uint16_t port, std::uint32_t mark) {
  const Address address = parse(text, port);
  if (special(address) || local(address))
    throw Refusal(VL("「%@」是本机、回环、组播或广播地址，不能从那里回答", text));
  UniqueFd fd = transparentSocket(address.family(), mark);
  // Answers from one destination to several programs share it, and other users' clients may
  // answer from the same destination.
  set(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1, "SO_REUSEADDR");
  sock_filter dropAll = BPF_STMT(BPF_RET | BPF_K, 0);
  const sock_fprog program{1, &dropAll};
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0)
    throw Error(VL("无法设置 UDP 套接字的过滤器：%@", std::strerror(errno)));
  set(fd.get(), SOL_SOCKET, SO_LOCK_FILTER, 1, "SO_LOCK_FILTER");
  if (::bind(fd.get(), address.get(), address.size) != 0)
    throw Refusal(
        VL("无法绑定 %@ 端口 %lld：%@", text, static_cast<long long>(port), std::strerror(errno)));
  return fd;
}

}  // namespace velmora::netd
