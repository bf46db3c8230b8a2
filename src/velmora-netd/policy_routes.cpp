#include "policy_routes.h"

#include <libmnl/libmnl.h>
#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "kit/localize.h"

namespace velmora::netd {
namespace {

/// Room for the largest batch of a dump the kernel sends at once.
constexpr std::size_t receiveSize = 32768;

const char* familyName(int family) {
  return family == AF_INET ? "IPv4" : "IPv6";
}

/// Whether a refused IPv6 request says the machine has no IPv6 to route: the family missing from
/// a kernel started with ipv6.disable=1, or IPv6 disabled on lo, through which the kernel then
/// adds no IPv6 route (EACCES).
bool withoutIPv6(int error) {
  return error == EAFNOSUPPORT || error == EPROTONOSUPPORT || error == EOPNOTSUPP ||
         error == EACCES;
}

/// A request for the rule: packets marked as the helper's look up its table.
nlmsghdr* putRule(char* buffer, std::uint16_t type, std::uint16_t flags, int family) {
  nlmsghdr* message = mnl_nlmsg_put_header(buffer);
  message->nlmsg_type = type;
  message->nlmsg_flags = flags;
  auto* rule =
      static_cast<fib_rule_hdr*>(mnl_nlmsg_put_extra_header(message, sizeof(fib_rule_hdr)));
  rule->family = static_cast<std::uint8_t>(family);
  // The table number does not fit the header's eight bits: FRA_TABLE carries it.
  rule->table = RT_TABLE_UNSPEC;
  rule->action = FR_ACT_TO_TBL;
  mnl_attr_put_u32(message, FRA_PRIORITY, policyRulePriority);
  mnl_attr_put_u32(message, FRA_FWMARK, udpMarkBase);
  mnl_attr_put_u32(message, FRA_FWMASK, udpMarkMask);
  mnl_attr_put_u32(message, FRA_TABLE, policyTable);
  return message;
}

/// A request for the route: every destination is local, through lo.
nlmsghdr* putRoute(char* buffer, std::uint16_t type, std::uint16_t flags, int family,
                   unsigned loopback) {
  nlmsghdr* message = mnl_nlmsg_put_header(buffer);
  message->nlmsg_type = type;
  message->nlmsg_flags = flags;
  auto* route = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(rtmsg)));
  route->rtm_family = static_cast<std::uint8_t>(family);
  route->rtm_dst_len = 0;
  route->rtm_table = RT_TABLE_UNSPEC;
  route->rtm_protocol = RTPROT_STATIC;
  route->rtm_scope = RT_SCOPE_HOST;
  route->rtm_type = RTN_LOCAL;
  mnl_attr_put_u32(message, RTA_TABLE, policyTable);
  mnl_attr_put_u32(message, RTA_OIF, loopback);
  return message;
}

constexpr std::uint16_t createFlags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
constexpr std::uint16_t deleteFlags = NLM_F_REQUEST | NLM_F_ACK;

/// A 32-bit attribute of a message after its family header of headerSize bytes.
std::optional<std::uint32_t> u32Attribute(const nlmsghdr& message, std::size_t headerSize,
                                          std::uint16_t type) {
  const auto* tail = static_cast<const char*>(mnl_nlmsg_get_payload_tail(&message));
  for (auto* attribute =
           static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(&message, headerSize));
       mnl_attr_ok(attribute, static_cast<int>(tail - reinterpret_cast<const char*>(attribute)));
       attribute = mnl_attr_next(attribute)) {
    if (mnl_attr_get_type(attribute) == type && mnl_attr_get_payload_len(attribute) == 4)
      return mnl_attr_get_u32(attribute);
  }
  return std::nullopt;
}

/// The rules or routes of one family that belong to the helper's table, from a dump.
struct Search {
  std::uint16_t type = 0;
  int family = 0;
  std::vector<std::vector<char>> found;
};

int collect(const nlmsghdr* message, void* data) {
  auto& search = *static_cast<Search*>(data);
  const std::size_t headerSize = search.type == RTM_NEWRULE ? sizeof(fib_rule_hdr) : sizeof(rtmsg);
  if (message->nlmsg_type != search.type || mnl_nlmsg_get_payload_len(message) < headerSize)
    return MNL_CB_OK;
  std::uint8_t family = 0;
  std::uint32_t table = 0;
  if (search.type == RTM_NEWRULE) {
    const auto* rule = static_cast<const fib_rule_hdr*>(mnl_nlmsg_get_payload(message));
    family = rule->family;
    table = u32Attribute(*message, headerSize, FRA_TABLE).value_or(rule->table);
  } else {
    const auto* route = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(message));
    family = route->rtm_family;
    table = u32Attribute(*message, headerSize, RTA_TABLE).value_or(route->rtm_table);
  }
  // A kernel without the family answers with every family's.
  if (family == search.family && table == policyTable) {
    const auto* bytes = reinterpret_cast<const char*>(message);
    search.found.emplace_back(bytes, bytes + message->nlmsg_len);
  }
  return MNL_CB_OK;
}

}  // namespace

void PolicyRoutes::SocketCloser::operator()(mnl_socket* socket) const {
  mnl_socket_close(socket);
}

PolicyRoutes::PolicyRoutes()
    : netlink_(mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC)), buffer_(receiveSize) {
  if (!netlink_ || mnl_socket_bind(netlink_.get(), 0, MNL_SOCKET_AUTOPID) < 0)
    throw RouteError(VL("无法打开 rtnetlink 套接字：%@", std::strerror(errno)));
  loopback_ = if_nametoindex("lo");
  if (loopback_ == 0) throw RouteError(VL("找不到回环接口 lo：%@", std::strerror(errno)));
  for (const int family : {AF_INET, AF_INET6}) removeStale(family);
  if (const std::optional<Refusal> refusal = install(AF_INET))
    throw RouteError(refusal->description);
  if (const std::optional<Refusal> refusal = install(AF_INET6)) {
    if (!withoutIPv6(refusal->error)) {
      uninstall(AF_INET);
      throw RouteError(refusal->description);
    }
  } else {
    ipv6_ = true;
  }
}

PolicyRoutes::~PolicyRoutes() {
  if (ipv6_) uninstall(AF_INET6);
  uninstall(AF_INET);
}

int PolicyRoutes::exchange(nlmsghdr* request, int (*onMessage)(const nlmsghdr*, void*),
                           void* data) {
  request->nlmsg_seq = ++sequence_;
  if (mnl_socket_sendto(netlink_.get(), request, request->nlmsg_len) < 0) return errno;
  const unsigned portID = mnl_socket_get_portid(netlink_.get());
  for (;;) {
    const ssize_t received = mnl_socket_recvfrom(netlink_.get(), buffer_.data(), buffer_.size());
    if (received < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    // The acknowledgement, or the end of a dump, stops the run; a refusal sets errno.
    const int result = mnl_cb_run(buffer_.data(), static_cast<std::size_t>(received), sequence_,
                                  portID, onMessage, data);
    if (result == MNL_CB_STOP) return 0;
    if (result < 0) return errno;
  }
}

std::vector<std::vector<char>> PolicyRoutes::stale(std::uint16_t type, int family) {
  alignas(nlmsghdr) char buffer[64];
  nlmsghdr* request = mnl_nlmsg_put_header(buffer);
  request->nlmsg_type = type;
  request->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  if (type == RTM_GETRULE) {
    static_cast<fib_rule_hdr*>(mnl_nlmsg_put_extra_header(request, sizeof(fib_rule_hdr)))->family =
        static_cast<std::uint8_t>(family);
  } else {
    static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(request, sizeof(rtmsg)))->rtm_family =
        static_cast<std::uint8_t>(family);
  }
  Search search{
      .type = type == RTM_GETRULE ? std::uint16_t{RTM_NEWRULE} : std::uint16_t{RTM_NEWROUTE},
      .family = family};
  const int error = exchange(request, collect, &search);
  if (error == 0) return std::move(search.found);
  // Where the kernel has no IPv6 there is none of it left over either.
  if (family == AF_INET6 && withoutIPv6(error)) return {};
  throw RouteError(
      type == RTM_GETRULE
          ? VL("无法读取策略路由规则（%@）：%@", familyName(family), std::strerror(error))
          : VL("无法读取策略路由（%@）：%@", familyName(family), std::strerror(error)));
}

void PolicyRoutes::removeStale(int family) {
  // Rules first: none is left leading to a table being emptied.
  for (const std::uint16_t type : {RTM_GETRULE, RTM_GETROUTE}) {
    for (std::vector<char>& message : stale(type, family)) {
      // Given back as the kernel showed it, the rule or route matches itself and nothing else.
      auto* request = reinterpret_cast<nlmsghdr*>(message.data());
      request->nlmsg_type = type == RTM_GETRULE ? RTM_DELRULE : RTM_DELROUTE;
      request->nlmsg_flags = deleteFlags;
      request->nlmsg_pid = 0;
      const int error = exchange(request);
      // Gone meanwhile: ENOENT for a rule or an IPv4 route, ESRCH for an IPv6 route.
      if (error == 0 || error == ENOENT || error == ESRCH) continue;
      throw RouteError(
          type == RTM_GETRULE
              ? VL("无法删除遗留的策略路由规则（%@）：%@", familyName(family), std::strerror(error))
              : VL("无法删除遗留的策略路由（%@）：%@", familyName(family), std::strerror(error)));
    }
  }
}

std::optional<PolicyRoutes::Refusal> PolicyRoutes::install(int family) {
  alignas(nlmsghdr) char buffer[256];
  if (const int error = exchange(putRoute(buffer, RTM_NEWROUTE, createFlags, family, loopback_)))
    return Refusal{error,
                   VL("无法添加策略路由（%@）：%@", familyName(family), std::strerror(error))};
  if (const int error = exchange(putRule(buffer, RTM_NEWRULE, createFlags, family))) {
    exchange(putRoute(buffer, RTM_DELROUTE, deleteFlags, family, loopback_));
    return Refusal{error,
                   VL("无法添加策略路由规则（%@）：%@", familyName(family), std::strerror(error))};
  }
  return std::nullopt;
}

void PolicyRoutes::uninstall(int family) {
  alignas(nlmsghdr) char buffer[256];
  // Refusals are ignored: a rule or route someone removed meanwhile is as good as removed.
  exchange(putRule(buffer, RTM_DELRULE, deleteFlags, family));
  exchange(putRoute(buffer, RTM_DELROUTE, deleteFlags, family, loopback_));
}

}  // namespace velmora::netd
