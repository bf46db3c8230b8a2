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

/// The rules that act for one cgroup, each by its chain and handle: TCP over IPv4 and over IPv6
/// redirected or refused, DNS (UDP and TCP to port 53) likewise where it is captured, and QUIC
/// (UDP to port 443), which is always refused; the early returns that leave an excepted cgroup
/// out come first.
struct RulePair {
  enum class Chain { zone, capture, refuse };
  std::vector<std::pair<Chain, std::uint64_t>> handles;

  bool operator==(const RulePair&) const = default;
};

/// The table: a nat chain on the output hook whose rules redirect connections, and a filter
/// chain after it whose rules refuse them. A chain ahead of connection tracking puts the captured
/// DNS flows, and the responder's answers to them, in a tracking zone of their own: the entry a
/// redirected question leaves behind is then never met by another program's question from the
/// same address and port, which would be redirected with it. Every rule matches the TCP connections
/// that sockets of one cgroup (or of any cgroup below it, save an excepted cgroup below it and what
/// lies below that) open to a destination other than loopback, but for the QUIC refusal: UDP to
/// port 443 answered with ICMP port unreachable at once, so that browsers fall back to TCP, which
/// the rules decide, instead of waiting for QUIC to time out.
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
  RulePair redirect(const NftCgroup& cgroup, const std::optional<NftCgroup>& excepted,
                    std::uint16_t port, const std::optional<DnsRedirect>& dns,
                    const std::optional<RulePair>& replaced);
  /// Answers the cgroup's connections with a TCP reset, and with dns its DNS queries with ICMP
  /// unreachable, replacing as redirect does.
  RulePair refuse(const NftCgroup& cgroup, const std::optional<NftCgroup>& excepted, bool dns,
                  const std::optional<RulePair>& replaced);
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
