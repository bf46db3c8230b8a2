#include "loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

namespace velmora::testing {
namespace {

[[noreturn]] void throwErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

int loopbackSocket(std::uint16_t& port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throwErrno("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ::close(fd);
    throwErrno("bind");
  }
  port = ntohs(address.sin_port);
  return fd;
}

void setInterfaceFlags(int socket, const char* name, short flags) {
  ifreq request{};
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  if (::ioctl(socket, SIOCGIFFLAGS, &request) != 0) throwErrno("SIOCGIFFLAGS");
  request.ifr_flags = static_cast<short>(request.ifr_flags | flags);
  if (::ioctl(socket, SIOCSIFFLAGS, &request) != 0) throwErrno("SIOCSIFFLAGS");
}

void setInterfaceAddress(int socket, const char* name, unsigned long request,
                         const std::string& text) {
  ifreq change{};
  std::strncpy(change.ifr_name, name, IFNAMSIZ - 1);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  ::inet_pton(AF_INET, text.c_str(), &address.sin_addr);
  std::memcpy(&change.ifr_addr, &address, sizeof address);
  if (::ioctl(socket, request, &change) != 0) throwErrno("set interface address");
}

}  // namespace

LoopbackServer::LoopbackServer(Answer answer) {
  listener_ = loopbackSocket(port_);
  if (::listen(listener_, 16) != 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0) throwErrno("listen");
  struct stat status {};
  ::fstat(listener_, &status);
  inode_ = status.st_ino;
  if (answer) thread_ = std::thread([this, answer = std::move(answer)] { serve(answer); });
}

LoopbackServer::~LoopbackServer() {
  if (thread_.joinable()) {
    ::close(stopPipe_[1]);
    thread_.join();
  } else {
    ::close(stopPipe_[1]);
  }
  ::close(stopPipe_[0]);
  ::close(listener_);
}

void LoopbackServer::serve(const Answer& answer) {
  // Slot 0: the stop pipe, 1: the listener, then one slot per open connection.
  std::vector<pollfd> fds = {{stopPipe_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
  std::vector<bool> answered = {true, true};
  while (::poll(fds.data(), fds.size(), -1) >= 0 || errno == EINTR) {
    if (fds[0].revents) break;
    if (fds[1].revents & POLLIN) {
      const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (connection >= 0) {
        fds.push_back({connection, POLLIN, 0});
        answered.push_back(false);
      }
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (!fds[i].revents) continue;
      char buffer[512];
      const ssize_t count = ::recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (count <= 0) {
        ::close(fds[i].fd);
        fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
        answered.erase(answered.begin() + static_cast<std::ptrdiff_t>(i));
        --i;
      } else if (!answered[i]) {
        answered[i] = true;
        const std::string reply = answer(std::string_view(buffer, static_cast<std::size_t>(count)));
        if (!reply.empty()) ::send(fds[i].fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      }
    }
  }
  for (std::size_t i = 2; i < fds.size(); ++i) ::close(fds[i].fd);
}

LoopbackServer::Answer LoopbackServer::socks5(std::uint8_t method) {
  return [method](std::string_view received) {
    return received.starts_with('\x05') ? std::string{'\x05', static_cast<char>(method)}
                                        : std::string();
  };
}

LoopbackServer::Answer LoopbackServer::http(std::string statusLine) {
  return [statusLine = std::move(statusLine)](std::string_view received) {
    // A SOCKS5 greeting is a malformed request to an HTTP server.
    return (received.starts_with('\x05') ? "HTTP/1.1 400 Bad Request" : statusLine) + "\r\n\r\n";
  };
}

std::uint16_t closedLoopbackPort() {
  std::uint16_t port = 0;
  ::close(loopbackSocket(port));
  return port;
}

std::optional<NetworkNamespace> NetworkNamespace::enter(std::string& why) {
  const int original = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (original < 0) {
    why = std::string("cannot open this thread's network namespace: ") + std::strerror(errno);
    return std::nullopt;
  }
  if (::unshare(CLONE_NEWNET) != 0) {
    why = std::string("creating a network namespace needs CAP_SYS_ADMIN: ") + std::strerror(errno);
    ::close(original);
    return std::nullopt;
  }
  NetworkNamespace entered(original);
  const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  try {
    setInterfaceFlags(socket, "lo", IFF_UP);
  } catch (const std::system_error& error) {
    why = std::string("cannot bring up loopback in the new namespace: ") + error.what();
    ::close(socket);
    return std::nullopt;
  }
  ::close(socket);
  return entered;
}

NetworkNamespace::NetworkNamespace(NetworkNamespace&& other) noexcept
    : original_(std::exchange(other.original_, -1)) {}

NetworkNamespace::~NetworkNamespace() {
  if (original_ < 0) return;
  ::setns(original_, CLONE_NEWNET);
  ::close(original_);
}

TunInterface::TunInterface(const std::string& name, const std::string& address,
                           const std::string& peer) {
  fd_ = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd_ < 0) throwErrno("open /dev/net/tun");
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  const int socket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  try {
    if (::ioctl(fd_, TUNSETIFF, &request) != 0) throwErrno("TUNSETIFF");
    setInterfaceAddress(socket, name.c_str(), SIOCSIFADDR, address);
    setInterfaceAddress(socket, name.c_str(), SIOCSIFDSTADDR, peer);
    setInterfaceFlags(socket, name.c_str(), IFF_UP);
  } catch (...) {
    ::close(socket);
    ::close(fd_);
    throw;
  }
  ::close(socket);
}

TunInterface::~TunInterface() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace velmora::testing
