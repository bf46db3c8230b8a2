// Which application is behind a connection to the local proxy: the owner of the peer socket by
// the kernel's socket tables, the process holding that socket, and what Linux says about it.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kit/matchers.h"

struct mnl_socket;

namespace velmora::dataplane {

/// One end of a TCP connection: an IPv4 address in 4 bytes or an IPv6 address in 16.
struct SocketAddress {
  int family = 0;  // AF_INET or AF_INET6
  std::array<std::uint8_t, 16> address{};
  std::uint16_t port = 0;
};

/// The application id of a process from its /proc/PID/cgroup text: the id inside the
/// "app-[launcher-]ID[-RANDOM].scope" or "app-[launcher-]ID[@RANDOM].service" unit that the
/// desktop session starts applications in (Flatpak's among them); nothing outside such a unit.
std::optional<std::string> applicationIDFromCgroup(std::string_view cgroup);

/// The identity of process pid read from procRoot: executable file name, display name and
/// application id where there is one. Every field absent when the process is gone.
AppIdentity identityOfProcess(const std::filesystem::path& procRoot, pid_t pid);

/// Finds the application behind the peer of an accepted connection. Holds a sock_diag netlink
/// socket; used from one thread at a time.
class AppIdentityLookup {
 public:
  /// Throws velmora::Error when the netlink socket cannot be opened.
  explicit AppIdentityLookup(std::filesystem::path procRoot = "/proc");
  ~AppIdentityLookup();
  AppIdentityLookup(const AppIdentityLookup&) = delete;
  AppIdentityLookup& operator=(const AppIdentityLookup&) = delete;

  /// The application whose socket is connected from peer to local. Sockets of other users,
  /// sockets that are gone and processes that cannot be read give an empty identity.
  AppIdentity identify(const SocketAddress& peer, const SocketAddress& local);

 private:
  struct Owner {
    uid_t uid;
    std::uint64_t inode;
  };

  std::optional<Owner> socketOwner(const SocketAddress& peer, const SocketAddress& local);
  std::optional<pid_t> processHolding(const Owner& owner);
  bool holds(pid_t pid, std::string_view link) const;

  std::filesystem::path procRoot_;
  mnl_socket* netlink_ = nullptr;
  std::uint32_t sequence_ = 0;
  /// The processes that owned recent connections, newest first: a program that opened one
  /// connection usually opens the next one too.
  std::deque<pid_t> recent_;
};

}  // namespace velmora::dataplane
