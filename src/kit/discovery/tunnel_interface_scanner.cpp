// Tunnel interfaces from getifaddrs, their owners from the tun descriptors in /proc.
#include "kit/discovery/tunnel_interface_scanner.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <set>

namespace velmora {
namespace {

bool looksLikeTunnel(std::string_view name) {
  return std::any_of(TunnelInterfaceScanner::namePrefixes.begin(),
                     TunnelInterfaceScanner::namePrefixes.end(),
                     [&](std::string_view prefix) { return name.starts_with(prefix); });
}

/// The interface named by the "iff:" line of a tun descriptor's fdinfo, if it is attached.
std::optional<std::string> attachedInterface(std::string_view fdinfo) {
  while (!fdinfo.empty()) {
    const std::size_t end = fdinfo.find('\n');
    std::string_view line = fdinfo.substr(0, end);
    fdinfo = end == fdinfo.npos ? std::string_view() : fdinfo.substr(end + 1);
    if (!line.starts_with("iff:")) continue;
    line.remove_prefix(4);
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == line.npos) return std::nullopt;
    line.remove_prefix(start);
    line = line.substr(0, line.find_first_of(" \t"));
    return std::string(line);
  }
  return std::nullopt;
}

}  // namespace

std::string TunnelInterface::displayName() const {
  return ownerName.value_or(name);
}

std::string TunnelInterface::displayDescription() const {
  return ipv4 ? name + " · " + *ipv4 : name;
}

json::Value toJSON(const TunnelInterface& interface) {
  json::Value value = {{"name", interface.name}, {"isSystemOwned", interface.isSystemOwned}};
  if (interface.ipv4) value["ipv4"] = *interface.ipv4;
  if (interface.ownerName) value["ownerName"] = *interface.ownerName;
  if (interface.ownerPath) value["ownerPath"] = *interface.ownerPath;
  return value;
}

std::vector<InterfaceAddress> interfaceAddresses() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
  std::vector<InterfaceAddress> addresses;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_name) continue;
    InterfaceAddress address{.name = entry->ifa_name, .flags = entry->ifa_flags};
    if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
      char host[NI_MAXHOST];
      if (::getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0,
                        NI_NUMERICHOST) == 0) {
        address.ipv4 = host;
      }
    }
    addresses.push_back(std::move(address));
  }
  return addresses;
}

std::vector<TunnelInterface> TunnelInterfaceScanner::scan() const {
  return scan(interfaceAddresses());
}

std::vector<TunnelInterface> TunnelInterfaceScanner::scan(
    const std::vector<InterfaceAddress>& addresses) const {
  const auto owners = tunnelOwners();
  std::set<std::string, std::less<>> names;
  std::map<std::string, std::string, std::less<>> ipv4;
  for (const InterfaceAddress& address : addresses) {
    const unsigned int wanted = IFF_UP | IFF_POINTOPOINT;
    if ((address.flags & wanted) != wanted || !looksLikeTunnel(address.name)) continue;
    names.insert(address.name);
    // With several IPv4 addresses on one interface, the last one listed stands for it.
    if (address.ipv4) ipv4[address.name] = *address.ipv4;
  }

  std::vector<TunnelInterface> interfaces;
  for (const std::string& name : names) {
    TunnelInterface interface { .name = name };
    if (const auto found = ipv4.find(name); found != ipv4.end()) interface.ipv4 = found->second;
    if (const auto owner = owners.find(name); owner != owners.end()) {
      const std::string& path = owner->second.executablePath;
      interface.ownerName = ProcessOwner::displayName(path);
      if (!path.empty()) interface.ownerPath = path;
      interface.isSystemOwned = ProcessOwner::isSystemExecutable(path);
    }
    interfaces.push_back(std::move(interface));
  }
  std::stable_sort(interfaces.begin(), interfaces.end(),
                   [](const TunnelInterface& a, const TunnelInterface& b) {
                     if (a.isSystemOwned != b.isSystemOwned) return !a.isSystemOwned;
                     if (a.ipv4.has_value() != b.ipv4.has_value()) return a.ipv4.has_value();
                     return a.name < b.name;
                   });
  return interfaces;
}

std::map<std::string, TunnelInterfaceScanner::Owner, std::less<>>
TunnelInterfaceScanner::tunnelOwners() const {
  const ProcessOwner processes(proc_);
  std::map<std::string, Owner, std::less<>> owners;
  for (const pid_t pid : proc_.processes()) {
    for (const ProcFileSystem::Descriptor& descriptor : proc_.descriptors(pid)) {
      if (descriptor.target != "/dev/net/tun") continue;
      const auto fdinfo =
          proc_.read(std::to_string(pid) + "/fdinfo/" + std::to_string(descriptor.number));
      const auto name = fdinfo ? attachedInterface(*fdinfo) : std::nullopt;
      // A descriptor not yet attached to an interface has an empty "iff:" line or none.
      if (!name || name->empty() || owners.contains(*name)) continue;
      owners.emplace(*name, Owner{pid, processes.executablePath(pid).value_or("")});
    }
  }
  return owners;
}

}  // namespace velmora
