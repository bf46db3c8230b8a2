// Peers and places for tests that touch the network: canned TCP servers on 127.0.0.1, a network
// namespace of the test's own, and a tun interface inside it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace velmora::testing {

/// A TCP server on 127.0.0.1 at a port of the kernel's choice. For every connection it reads
/// once and writes what answer makes of the bytes read, then keeps the connection open until the
/// peer closes it. With no answer function it listens and never accepts. Stopped and closed by
/// the destructor.
class LoopbackServer {
 public:
  using Answer = std::function<std::string(std::string_view received)>;

  explicit LoopbackServer(Answer answer = nullptr);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  std::uint16_t port() const { return port_; }
  /// The listening socket's inode, as the kernel's socket tables list it.
  std::uint64_t inode() const { return inode_; }

  /// Answers 05 and the method byte to a SOCKS5 greeting, nothing to anything else.
  static Answer socks5(std::uint8_t method);
  /// Answers this status line (and an empty line) to a request, 400 to a SOCKS5 greeting.
  static Answer http(std::string statusLine);

 private:
  void serve(const Answer& answer);

  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::uint64_t inode_ = 0;
  std::thread thread_;
};

/// A loopback port nobody listens on (bound once, then released).
std::uint16_t closedLoopbackPort();

/// While this lives the calling thread (and threads and processes it starts) is in a network
/// namespace of its own with only a loopback interface, up. The destructor returns the thread to
/// the namespace it came from, and the new one disappears with everything in it.
class NetworkNamespace {
 public:
  /// Absent, with the reason in why, where this process may not create namespaces.
  static std::optional<NetworkNamespace> enter(std::string& why);

  NetworkNamespace(NetworkNamespace&& other) noexcept;
  NetworkNamespace& operator=(NetworkNamespace&&) = delete;
  ~NetworkNamespace();

 private:
  explicit NetworkNamespace(int original) : original_(original) {}
  int original_ = -1;
};

/// A tun interface of this name, up, with an IPv4 address and a peer; held open by this object
/// unless released. Throws std::system_error when it cannot be made.
class TunInterface {
 public:
  TunInterface(const std::string& name, const std::string& address, const std::string& peer);
  ~TunInterface();
  TunInterface(const TunInterface&) = delete;
  TunInterface& operator=(const TunInterface&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace velmora::testing
