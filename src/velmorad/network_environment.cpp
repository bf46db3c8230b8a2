#include "network_environment.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sdbus-c++/sdbus-c++.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <vector>

#include "kit/error.h"
#include "kit/localize.h"

namespace velmora::daemon {
namespace {

struct SocketCloser {
  void operator()(mnl_socket* socket) const { mnl_socket_close(socket); }
};
using Socket = std::unique_ptr<mnl_socket, SocketCloser>;

[[noreturn]] void throwNetlinkError(const char* what) {
  throw Error(VL("rtnetlink %@ 失败：%@", what, std::strerror(errno)));
}

/// An rtnetlink socket bound to the multicast groups (none for a socket that only asks).
Socket openSocket(unsigned groups, int flags) {
  Socket socket(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC | flags));
  if (!socket) throwNetlinkError("socket");
  if (mnl_socket_bind(socket.get(), groups, MNL_SOCKET_AUTOPID) < 0) throwNetlinkError("bind");
  return socket;
}

using MessageHandler = std::function<void(const nlmsghdr&)>;

int handOn(const nlmsghdr* message, void* handler) {
  (*static_cast<MessageHandler*>(handler))(*message);
  return MNL_CB_OK;
}

/// Asks the kernel for every object of one kind (routes, neighbours, addresses) and hands each
/// answer to handle.
template <typename FamilyHeader>
void dump(std::uint16_t type, const FamilyHeader& header, MessageHandler handle) {
  const Socket socket = openSocket(0, 0);
  std::vector<char> buffer(32768);
  nlmsghdr* request = mnl_nlmsg_put_header(buffer.data());
  request->nlmsg_type = type;
  request->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request->nlmsg_seq = 1;
  std::memcpy(mnl_nlmsg_put_extra_header(request, sizeof header), &header, sizeof header);
  if (mnl_socket_sendto(socket.get(), request, request->nlmsg_len) < 0) throwNetlinkError("send");
  const unsigned portID = mnl_socket_get_portid(socket.get());
  for (;;) {
    const ssize_t received = mnl_socket_recvfrom(socket.get(), buffer.data(), buffer.size());
    if (received < 0) {
      if (errno == EINTR) continue;
      throwNetlinkError("recv");
    }
    const int result =
        mnl_cb_run(buffer.data(), static_cast<std::size_t>(received), 1, portID, handOn, &handle);
    if (result == MNL_CB_STOP) return;
    if (result < 0) throwNetlinkError("dump");
  }
}

/// The attributes after a message's family header, by type.
std::map<std::uint16_t, const nlattr*> attributesOf(const nlmsghdr& message,
                                                    std::size_t headerSize) {
  std::map<std::uint16_t, const nlattr*> attributes;
  const auto* tail = static_cast<const char*>(mnl_nlmsg_get_payload_tail(&message));
  for (auto* attribute =
           static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(&message, headerSize));
       mnl_attr_ok(attribute, static_cast<int>(tail - reinterpret_cast<const char*>(attribute)));
       attribute = mnl_attr_next(attribute)) {
    attributes[mnl_attr_get_type(attribute)] = attribute;
  }
  return attributes;
}

/// An IPv4 address attribute, in network byte order; none when it is not four bytes.
std::optional<std::uint32_t> address(const std::map<std::uint16_t, const nlattr*>& attributes,
                                     std::uint16_t type) {
  const auto found = attributes.find(type);
  if (found == attributes.end() || mnl_attr_get_payload_len(found->second) != 4) return {};
  std::uint32_t value;
  std::memcpy(&value, mnl_attr_get_payload(found->second), 4);
  return value;
}

std::string ipv4Text(std::uint32_t networkOrder) {
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &networkOrder, text, sizeof text);
  return text;
}

std::uint32_t maskOf(unsigned prefixLength) {
  return prefixLength == 0 ? 0 : htonl(~std::uint32_t{0} << (32 - prefixLength));
}

struct DefaultRoute {
  int interfaceIndex = 0;
  std::optional<std::uint32_t> gateway;
  std::uint32_t priority = 0;
};

std::optional<DefaultRoute> findDefaultRoute() {
  std::optional<DefaultRoute> best;
  rtmsg header{};
  header.rtm_family = AF_INET;
  dump(RTM_GETROUTE, header, [&](const nlmsghdr& message) {
    const auto* route = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(&message));
    if (message.nlmsg_type != RTM_NEWROUTE || route->rtm_dst_len != 0 ||
        route->rtm_type != RTN_UNICAST)
      return;
    const auto attributes = attributesOf(message, sizeof(rtmsg));
    const auto table = attributes.find(RTA_TABLE);
    const std::uint32_t tableID =
        table != attributes.end() ? mnl_attr_get_u32(table->second) : route->rtm_table;
    const auto outgoing = attributes.find(RTA_OIF);
    if (tableID != RT_TABLE_MAIN || outgoing == attributes.end()) return;
    const auto priority = attributes.find(RTA_PRIORITY);
    DefaultRoute candidate{
        .interfaceIndex = static_cast<int>(mnl_attr_get_u32(outgoing->second)),
        .gateway = address(attributes, RTA_GATEWAY),
        .priority = priority != attributes.end() ? mnl_attr_get_u32(priority->second) : 0};
    if (!best || candidate.priority < best->priority) best = candidate;
  });
  return best;
}

std::optional<std::string> hardwareAddressOf(int interfaceIndex, std::uint32_t gateway) {
  std::optional<std::string> found;
  ndmsg header{};
  header.ndm_family = AF_INET;
  dump(RTM_GETNEIGH, header, [&](const nlmsghdr& message) {
    const auto* neighbour = static_cast<const ndmsg*>(mnl_nlmsg_get_payload(&message));
    if (message.nlmsg_type != RTM_NEWNEIGH || neighbour->ndm_ifindex != interfaceIndex ||
        (neighbour->ndm_state & (NUD_INCOMPLETE | NUD_FAILED)) != 0)
      return;
    const auto attributes = attributesOf(message, sizeof(ndmsg));
    const auto link = attributes.find(NDA_LLADDR);
    if (address(attributes, NDA_DST) != gateway || link == attributes.end() ||
        mnl_attr_get_payload_len(link->second) != 6)
      return;
    const auto* bytes = static_cast<const unsigned char*>(mnl_attr_get_payload(link->second));
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2],
                  bytes[3], bytes[4], bytes[5]);
    found = text;
  });
  return found;
}

/// The interface's IPv4 network; the one holding the gateway when it has several.
std::optional<std::string> subnetOf(int interfaceIndex, std::optional<std::uint32_t> gateway) {
  std::optional<std::string> first;
  std::optional<std::string> holdingGateway;
  ifaddrmsg header{};
  header.ifa_family = AF_INET;
  dump(RTM_GETADDR, header, [&](const nlmsghdr& message) {
    const auto* entry = static_cast<const ifaddrmsg*>(mnl_nlmsg_get_payload(&message));
    if (message.nlmsg_type != RTM_NEWADDR ||
        entry->ifa_index != static_cast<unsigned>(interfaceIndex))
      return;
    const auto attributes = attributesOf(message, sizeof(ifaddrmsg));
    const auto local = address(attributes, IFA_LOCAL);
    const auto own = local ? local : address(attributes, IFA_ADDRESS);
    if (!own) return;
    const std::uint32_t mask = maskOf(entry->ifa_prefixlen);
    const std::string text =
        ipv4Text(*own & mask) + "/" + std::to_string(static_cast<int>(entry->ifa_prefixlen));
    if (!first) first = text;
    if (gateway && (*gateway & mask) == (*own & mask) && !holdingGateway) holdingGateway = text;
  });
  return holdingGateway ? holdingGateway : first;
}

constexpr const char* networkManager = "org.freedesktop.NetworkManager";

}  // namespace

KernelNetwork::KernelNetwork()
    : socket_(openSocket(RTMGRP_LINK | RTMGRP_NEIGH | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE,
                         SOCK_NONBLOCK)
                  .release()) {}

KernelNetwork::~KernelNetwork() {
  mnl_socket_close(socket_);
}

int KernelNetwork::fd() const {
  return mnl_socket_get_fd(socket_);
}

void KernelNetwork::drain() {
  std::vector<char> buffer(32768);
  // Ends at EAGAIN; an overrun (ENOBUFS) only says that more changed than was queued.
  while (mnl_socket_recvfrom(socket_, buffer.data(), buffer.size()) > 0 || errno == EINTR ||
         errno == ENOBUFS) {
  }
}

std::optional<WiredNetwork> KernelNetwork::defaultRoute() {
  const std::optional<DefaultRoute> route = findDefaultRoute();
  if (!route) return std::nullopt;
  char name[IF_NAMESIZE] = {};
  if (if_indextoname(static_cast<unsigned>(route->interfaceIndex), name) == nullptr)
    return std::nullopt;
  WiredNetwork network{.interfaceName = name};
  std::error_code ignored;
  network.wireless =
      std::filesystem::exists(std::filesystem::path("/sys/class/net") / name / "wireless", ignored);
  if (route->gateway)
    network.gatewayMAC = hardwareAddressOf(route->interfaceIndex, *route->gateway);
  network.subnet = subnetOf(route->interfaceIndex, route->gateway);
  return network;
}

NetworkManagerWifi::NetworkManagerWifi(std::unique_ptr<sdbus::IConnection> bus)
    : bus_(std::move(bus)) {}

NetworkManagerWifi::~NetworkManagerWifi() = default;

std::unique_ptr<NetworkManagerWifi> NetworkManagerWifi::connect(std::function<void()> onChange) {
  std::unique_ptr<sdbus::IConnection> bus;
  try {
    bus = sdbus::createSystemBusConnection();
  } catch (const sdbus::Error&) {
    return nullptr;
  }
  // NetworkManager answers at once or not at all; the daemon's loop must not stall on it.
  bus->setMethodCallTimeout(1'000'000);
  // Every announcement of NetworkManager's objects may change the primary connection or its
  // access point, and its arrival or departure on the bus changes everything.
  const auto changed = [onChange](sdbus::Message&) { onChange(); };
  bus->addMatch(
      "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
      "path_namespace='/org/freedesktop/NetworkManager'",
      changed, sdbus::floating_slot);
  bus->addMatch(
      "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',"
      "arg0='org.freedesktop.NetworkManager'",
      changed, sdbus::floating_slot);
  return std::unique_ptr<NetworkManagerWifi>(new NetworkManagerWifi(std::move(bus)));
}

std::optional<std::string> NetworkManagerWifi::ssid() {
  try {
    const auto manager =
        sdbus::createProxy(*bus_, networkManager, "/org/freedesktop/NetworkManager");
    const sdbus::ObjectPath primary =
        manager->getProperty("PrimaryConnection").onInterface(networkManager);
    if (primary == "/") return std::nullopt;
    const auto active = sdbus::createProxy(*bus_, networkManager, primary);
    const std::string activeInterface = std::string(networkManager) + ".Connection.Active";
    const std::string type = active->getProperty("Type").onInterface(activeInterface);
    if (type != "802-11-wireless") return std::nullopt;
    const sdbus::ObjectPath accessPoint =
        active->getProperty("SpecificObject").onInterface(activeInterface);
    const auto point = sdbus::createProxy(*bus_, networkManager, accessPoint);
    const std::vector<std::uint8_t> bytes =
        point->getProperty("Ssid").onInterface(std::string(networkManager) + ".AccessPoint");
    if (bytes.empty()) return std::nullopt;
    return std::string(bytes.begin(), bytes.end());
  } catch (const sdbus::Error&) {
    // NetworkManager absent, or its objects gone between two questions: no Wi-Fi to report.
    return std::nullopt;
  }
}

NetworkEnvironment::Fingerprint makeFingerprint(const std::optional<WiredNetwork>& wired,
                                                const std::optional<std::string>& ssid) {
  using Type = NetworkEnvironment::Fingerprint::InterfaceType;
  if (ssid) return {.interfaceType = Type::wifi, .ssid = ssid};
  if (!wired) return {.interfaceType = Type::other};
  if (wired->wireless) return {.interfaceType = Type::wifi};
  return {.interfaceType = Type::wired, .gatewayMAC = wired->gatewayMAC, .subnet = wired->subnet};
}

std::string describe(const NetworkEnvironment::Fingerprint& fingerprint) {
  using Type = NetworkEnvironment::Fingerprint::InterfaceType;
  switch (fingerprint.interfaceType) {
    case Type::wifi:
      return "Wi-Fi「" + fingerprint.ssid.value_or("?") + "」";
    case Type::wired: {
      std::string text = "有线 " + fingerprint.subnet.value_or("?");
      if (fingerprint.gatewayMAC) text += "（网关 " + *fingerprint.gatewayMAC + "）";
      return text;
    }
    case Type::other:
      break;
  }
  return "无网络";
}

}  // namespace velmora::daemon
