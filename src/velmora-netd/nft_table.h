// The helper's one nftables table, `inet velmora`, made with `flags owner` through one
// libnftables context that lives as long as the helper: the kernel removes the table, with every
// redirect and refusal in it, when the context's netlink socket closes, however the helper ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cgroup_tree.h"
#include "kit/error.h"

struct nft_ctx;

namespace velmora::netd {

/// A command nftables refused, or a cgroup path it cannot be given.
class NftError : public Error {
 public:
  using Error::Error;
};

/// The rules that act for one cgroup: TCP over IPv4 and over IPv6 in the chain named, DNS (UDP
/// and TCP to port 53) there too where it is captured, and QUIC (UDP to port 443), which is
/// always refused.
struct RulePair {
  enum class Chain { capture, refuse };
  Chain chain = Chain::capture;
  std::uint64_t ipv4 = 0;
  std::uint64_t ipv6 = 0;
  /// In the refuse chain, whatever chain holds the other two.
  std::uint64_t quic = 0;
  /// Where a cgroup below is left out: the rules that return early for its sockets, ahead of the
  /// others, in the chain of the two and in the refuse chain (for QUIC); 0 where there is none.
  std::uint64_t exceptedHere = 0;
  std::uint64_t exceptedFromQuic = 0;
  /// In the chain of the first two; 0 where DNS is not captured.
  std::uint64_t dns = 0;

  bool operator==(const RulePair&) const = default;
};

/// The table: a nat chain on the output hook whose rules redirect connections, and a filter
/// chain after it whose rules refuse them. Every rule matches the TCP connections that sockets
/// of one cgroup (or of any cgroup below it, save an excepted cgroup below it and what lies
/// below that) open to a destination other than loopback, but for
/// the QUIC refusal: UDP to port 443 answered with ICMP port unreachable at once, so that
/// browsers fall back to TCP, which the rules decide, instead of waiting for QUIC to time out.
class NftTable {
 public:
  /// Makes the table and its chains; throws NftError with nftables' reason.
  NftTable();
  ~NftTable();
  NftTable(const NftTable&) = delete;
  NftTable& operator=(const NftTable&) = delete;

  /// Sends the cgroup's connections to port on loopback (127.0.0.1 or ::1, by family), and its
  /// DNS queries to dnsPort where one is given. The rules replaced, if any, go in the same
  /// transaction, so no connection slips between the two.
  RulePair redirect(const NftCgroup& cgroup, const std::optional<NftCgroup>& excepted,
                    std::uint16_t port, std::optional<std::uint16_t> dnsPort,
                    const std::optional<RulePair>& replaced);
  /// Answers the cgroup's connections with a TCP reset, and with dns its DNS queries with ICMP
  /// unreachable, replacing as redirect does.
  RulePair refuse(const NftCgroup& cgroup, const std::optional<NftCgroup>& excepted, bool dns,
                  const std::optional<RulePair>& replaced);
  void remove(const RulePair& rules);

 private:
  RulePair add(RulePair::Chain chain, const NftCgroup& cgroup,
               const std::optional<NftCgroup>& excepted, std::string_view verdict,
               const std::optional<std::string>& dnsVerdict,
               const std::optional<RulePair>& replaced);
  /// Runs commands as one transaction and returns what nftables echoes, as JSON.
  std::string run(const std::string& commands);

  nft_ctx* context_ = nullptr;
};

}  // namespace velmora::netd
