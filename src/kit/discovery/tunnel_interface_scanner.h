// The tunnel interfaces that are up, with their IPv4 address and the program behind them.
#pragma once

#include <sys/types.h>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit/discovery/process_owner.h"
#include "kit/json_text.h"

namespace velmora {

/// One tunnel interface as the user picks it for an `interface:<name>` route.
struct TunnelInterface {
  std::string name;
  std::optional<std::string> ipv4;
  /// The owner's executable name.
  std::optional<std::string> ownerName;
  /// The owner's executable path.
  std::optional<std::string> ownerPath;
  /// The owner runs from a system location; false when no owner was found.
  bool isSystemOwned = false;

  /// ownerName when there is one, else the interface name.
  std::string displayName() const;
  /// "name · ipv4", or just the name without an address.
  std::string displayDescription() const;

  bool operator==(const TunnelInterface&) const = default;
};

json::Value toJSON(const TunnelInterface& interface);

/// One entry of the system's interface address list, as getifaddrs reports it.
struct InterfaceAddress {
  std::string name;
  unsigned int flags = 0;
  /// The numeric IPv4 address when the entry carries one.
  std::optional<std::string> ipv4;

  bool operator==(const InterfaceAddress&) const = default;
};

/// The system's interface address list; empty when it cannot be read.
std::vector<InterfaceAddress> interfaceAddresses();

/// Lists tunnel interfaces: up, point-to-point, named like a tunnel. An interface's owner is the
/// process holding a /dev/net/tun descriptor attached to it; one the kernel itself runs (such as
/// WireGuard) has none. Interfaces with an owner outside the system come first, then those with
/// an address, then by name.
class TunnelInterfaceScanner {
 public:
  /// Interface names that can be tunnels.
  static constexpr std::array<std::string_view, 5> namePrefixes = {"tun", "utun", "wg", "ppp",
                                                                   "ipsec"};

  explicit TunnelInterfaceScanner(ProcFileSystem proc = ProcFileSystem())
      : proc_(std::move(proc)) {}

  std::vector<TunnelInterface> scan() const;
  /// The scan over a given address list instead of the system's.
  std::vector<TunnelInterface> scan(const std::vector<InterfaceAddress>& addresses) const;

 private:
  struct Owner {
    pid_t pid = 0;
    std::string executablePath;
  };

  /// Interface name to the first process (by id, then descriptor) holding a tun descriptor on it.
  std::map<std::string, Owner, std::less<>> tunnelOwners() const;

  ProcFileSystem proc_;
};

}  // namespace velmora
