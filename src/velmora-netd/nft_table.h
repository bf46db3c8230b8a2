// The helper's one nftables table, `inet velmora`, made with `flags owner` through one
// libnftables context that lives as long as the helper: the kernel removes the table, with every
// redirect and refusal in it, when the context's netlink socket closes, however the helper ends.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cgroup_tree.h"
#include "kit/error.h"

struct nft_ctx;

namespace velmora::netd {

/// A command nftables refused, or a cgroup path it cannot be given.
class NftError : public Error {
 public:
  using Error::Error;
};

/// Where a capture sends DNS: the port, and the user whose responder listens there.
struct DnsRedirect {
  std::uint16_t port = 0;
  uid_t uid = 0;
};

/// One end of a UDP flow, as nftables reads addresses.
struct FlowEnd {
  std::string address;
  std::uint16_t port = 0;
};

/// The rules that act for one cgroup, each by its chain and handle: TCP over IPv4 and over IPv6
/// redirected or refused, DNS (UDP and TCP to port 53) likewise where it is captured, and the
/// rest of UDP marked for the client's transparent sockets or, where it is not captured, QUIC
/// (UDP to port 443) refused; the early returns that leave an excepted cgroup out come first.
/// Also the rules that deliver one client's marked UDP to its sockets.
struct RulePair {
  enum class Chain { zone, capture, refuse, udpmark, deliver, guard };
  std::vector<std::pair<Chain, std::uint64_t>> handles;

  bool operator==(const RulePair&) const = default;
};

/// The table: a nat chain on the output hook whose rules redirect connections, and a filter
/// chain after it whose rules refuse them. Captured UDP takes the other way the kernel has for
/// datagrams: a route chain on the output hook marks it with its client's mark, the policy
/// route for marked packets brings it back in through lo, and a prerouting chain hands it to the
/// client's transparent socket unchanged, its destination kept. The client's answers leave from
/// sockets that carry the same mark; a guard ahead of everything lets a packet with such a mark
/// out only as the answer of a flow that client's mark captured. A chain ahead of connection
/// tracking puts the captured DNS flows, and the responder's answers to them, in a tracking zone of
/// their own: the entry a redirected question leaves behind is then never met by another program's
/// question from the same address and port, which would be redirected with it. Every rule matches
/// the TCP connections that sockets of one cgroup (or of any cgroup below it, save an excepted
/// cgroup below it and what lies below that) open to a destination other than loopback, but for the
/// QUIC refusal: UDP to port 443 answered with ICMP port unreachable at once, so that browsers fall
/// back to TCP, which the rules decide, instead of waiting for QUIC to time out.
class NftTable {
 public:
  /// Makes the table and its chains; throws NftError with nftables' reason.
  NftTable();
  ~NftTable();
  NftTable(const NftTable&) = delete;
  NftTable& operator=(const NftTable&) = delete;

  /// Sends the cgroup's connections to the span of ports from port on loopback (127.0.0.1 or ::1,
  /// by family), and its
  /// DNS queries to dnsPort where one is given. The rules replaced, if any, go in the same
  /// transaction, so no connection slips between the two.
  /// With udpMark, the cgroup's other UDP is marked for the client whose mark it is.
  RulePair redirect(const NftCgroup& cgroup, const std::optional<NftCgroup>& excepted,
                    std::uint16_t port, const std::optional<DnsRedirect>& dns,
                    std::optional<std::uint32_t> udpMark, const std::optional<RulePair>& replaced);
  /// Answers the cgroup's connections with a TCP reset, with dns its DNS queries with ICMP
  /// unreachable, and with udp the rest of its UDP likewise (without, QUIC alone), replacing as
  /// redirect does.
  RulePair refuse(const NftCgroup& cgroup, const std::optional<NftCgroup>& excepted, bool dns,
                  bool udp, const std::optional<RulePair>& replaced);
  /// Hands UDP that carries mark to the transparent sockets at port on 127.0.0.1 and, with ipv6,
  /// on ::1, and lets packets of that mark out as answers to those flows.
  RulePair deliverUdp(std::uint32_t mark, std::uint16_t port, bool ipv6);
  /// Refuses, for a minute, the datagrams of a flow that mark captured.
  void refuseFlow(std::uint32_t mark, const FlowEnd& source, const FlowEnd& destination);
  void remove(const RulePair& rules);

 private:
  /// Adds rules, in this order, and deletes replaced in the same transaction.
  RulePair add(const std::vector<std::pair<RulePair::Chain, std::string>>& rules,
               const std::optional<RulePair>& replaced);
  /// Runs commands as one transaction and returns what nftables echoes, as JSON.
  std::string run(const std::string& commands);

  nft_ctx* context_ = nullptr;
};

}  // namespace velmora::netd
