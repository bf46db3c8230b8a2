// Which application is behind a connection to the local proxy: the owner of the peer socket by
// the kernel's socket tables, the process holding that socket, and what Linux says about it.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kit/discovery/app_describer.h"
#include "kit/discovery/socket_table.h"
#include "kit/matchers.h"

namespace velmora::dataplane {

/// One end of a TCP connection or UDP flow: an IPv4 address in 4 bytes or an IPv6 address in 16.
struct SocketAddress {
  int family = 0;  // AF_INET or AF_INET6
  std::array<std::uint8_t, 16> address{};
  std::uint16_t port = 0;
};

/// Who is behind a connection: the user owning the peer socket, absent when the kernel knows no
/// such socket, and the application and the process holding the socket when the socket is the
/// own user's and its process readable.
struct PeerIdentity {
  std::optional<uid_t> uid;
  AppIdentity app;
  std::optional<pid_t> pid;
};

/// Finds the application behind the peer of an accepted connection. Holds a sock_diag socket
/// table and a few recently seen processes; used from one thread at a time.
///
/// Most connections come from a process seen a moment ago, which is asked first and costs a few
/// system calls. Finding a process seen for the first time means reading the descriptors of every
/// process of the user, which can take milliseconds: identifyRecent() leaves that search to the
/// caller, which can run search() on another thread and hand its answer to remember().
class AppIdentityLookup {
 public:
  using Clock = std::chrono::steady_clock;

  /// A process holding a socket, and under which descriptor.
  struct Holder {
    pid_t pid;
    int descriptor;
  };
  /// What identifyRecent() found: the peer, and when its process is still to be searched for,
  /// the socket to search by.
  struct Recent {
    PeerIdentity peer;
    std::optional<std::uint64_t> searchFor;
  };

  /// Only sockets of user are traced to their process, which describer describes. Throws
  /// velmora::Error when the netlink socket cannot be opened.
  explicit AppIdentityLookup(uid_t user, std::filesystem::path procRoot = "/proc",
                             AppDescriber describer = AppDescriber());
  ~AppIdentityLookup();
  AppIdentityLookup(const AppIdentityLookup&) = delete;
  AppIdentityLookup& operator=(const AppIdentityLookup&) = delete;

  /// The owner and application of the socket connected from peer to local, all in one: local is
  /// the far end as the peer's own socket has it, which for a connection the kernel redirected
  /// is its original destination, not the listener. protocol is IPPROTO_TCP, or IPPROTO_UDP for
  /// the socket a datagram from peer to local was sent from. The processes of other users are
  /// never read.
  PeerIdentity identify(const SocketAddress& peer, const SocketAddress& local,
                        Clock::time_point now = Clock::now(), int protocol = IPPROTO_TCP);

  /// The owner of the socket, and its application when a recently seen process holds it.
  Recent identifyRecent(const SocketAddress& peer, const SocketAddress& local,
                        Clock::time_point now = Clock::now(), int protocol = IPPROTO_TCP);
  /// The process of user that holds socket inode, newest processes first; nothing when none
  /// does. Reads /proc only, and may run on any thread.
  static std::optional<Holder> search(const std::filesystem::path& procRoot, uid_t user,
                                      std::uint64_t inode);
  /// The application of the holder search() found, remembered as recently seen.
  AppIdentity remember(const Holder& holder, Clock::time_point now = Clock::now());

  uid_t user() const { return user_; }
  const std::filesystem::path& procRoot() const { return procRoot_; }

 private:
  struct Owner {
    uid_t uid;
    std::uint64_t inode;
  };
  /// The descriptors of a process's last few connections, newest first: a program (or each
  /// thread of one) that closes a connection before it opens the next gets the same number
  /// again. -1 where there is none.
  using Descriptors = std::array<int, 8>;
  /// A process seen lately, with what was read of it and when, and its recent descriptors.
  struct Known {
    pid_t pid;
    AppIdentity identity;
    Clock::time_point read;
    Descriptors descriptors;
  };

  std::optional<Owner> socketOwner(const SocketAddress& peer, const SocketAddress& local,
                                   int protocol);

  uid_t user_;
  std::filesystem::path procRoot_;
  AppDescriber describer_;
  SocketTable sockets_;
  /// The processes that owned recent connections, newest first: a program that opened one
  /// connection usually opens the next one too, and is not read again while the last reading
  /// is fresh.
  std::deque<Known> recent_;
};

}  // namespace velmora::dataplane
