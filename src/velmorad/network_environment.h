// The network the machine is on, as a fingerprint: the wired side from the kernel's routing
// tables over rtnetlink, the Wi-Fi SSID from NetworkManager on the system bus.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kit/model.h"

struct mnl_socket;

namespace sdbus {
class IConnection;
}

namespace velmora::daemon {

/// The network behind the default route, as the kernel sees it.
struct WiredNetwork {
  std::string interfaceName;
  /// The gateway's hardware address, lower-case "aa:bb:cc:dd:ee:ff"; none until the kernel has
  /// resolved it, or when the route has no gateway.
  std::optional<std::string> gatewayMAC;
  /// The interface's IPv4 network in "192.168.1.0/24" form.
  std::optional<std::string> subnet;
  /// Whether the interface is a wireless one.
  bool wireless = false;

  bool operator==(const WiredNetwork&) const = default;
};

/// The kernel's routing tables: a socket that is readable whenever routes, neighbours,
/// addresses or links change, and a fresh read of the default route's network.
class KernelNetwork {
 public:
  /// Subscribes to the changes; throws velmora::Error when rtnetlink cannot be opened.
  KernelNetwork();
  ~KernelNetwork();
  KernelNetwork(const KernelNetwork&) = delete;
  KernelNetwork& operator=(const KernelNetwork&) = delete;

  int fd() const;
  /// Reads the pending change notifications; their content is not needed, only that they came.
  void drain();

  /// The network of the IPv4 default route with the lowest metric, or none without one.
  static std::optional<WiredNetwork> defaultRoute();

 private:
  mnl_socket* socket_;
};

/// NetworkManager on the system bus, when it is there: the SSID of the primary connection, and a
/// call back whenever NetworkManager announces a change.
class NetworkManagerWifi {
 public:
  /// The system bus connection, or nothing when there is no system bus.
  static std::unique_ptr<NetworkManagerWifi> connect(std::function<void()> onChange);
  ~NetworkManagerWifi();

  sdbus::IConnection& bus() { return *bus_; }
  /// The SSID of the primary connection when it is a Wi-Fi one; none otherwise, also when
  /// NetworkManager is not running.
  std::optional<std::string> ssid();

 private:
  explicit NetworkManagerWifi(std::unique_ptr<sdbus::IConnection> bus);
  std::unique_ptr<sdbus::IConnection> bus_;
};

/// Wi-Fi with its SSID when NetworkManager names one; otherwise the default route's network
/// (Wi-Fi without SSID when its interface is wireless); otherwise "other".
NetworkEnvironment::Fingerprint makeFingerprint(const std::optional<WiredNetwork>& wired,
                                                const std::optional<std::string>& ssid);

/// How the log and the bound environment's name show a fingerprint: "Wi-Fi「home」",
/// "有线 192.168.1.0/24（网关 aa:bb:cc:dd:ee:ff）", "无网络".
std::string describe(const NetworkEnvironment::Fingerprint& fingerprint);

}  // namespace velmora::daemon
