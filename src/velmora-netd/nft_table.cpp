#include "nft_table.h"

#include <nftables/libnftables.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "kit/json_text.h"
#include "kit/localize.h"
#include "kit/netd_protocol.h"
#include "kit/unicode.h"
#include "policy_routes.h"

namespace velmora::netd {
namespace {

/// The conntrack zone of captured DNS flows.
constexpr int dnsZone = 0x7e1a;
/// How long a refused flow stays refused, and how many may be at once in each family, for all
/// clients together: past it, a refusal is refused until older ones expire.
constexpr std::string_view flowRefusal = "60s";
constexpr int maxRefusedFlows = 16384;

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string chainName(RulePair::Chain chain) {
  switch (chain) {
    case RulePair::Chain::zone:
      return "zone";
    case RulePair::Chain::capture:
      return "capture";
    case RulePair::Chain::refuse:
      return "refuse";
    case RulePair::Chain::udpmark:
      return "udpmark";
    case RulePair::Chain::deliver:
      return "deliver";
    case RulePair::Chain::guard:
      return "guard";
  }
  return {};
}

std::string deleteRules(const RulePair& rules) {
  std::string commands;
  for (const auto& [chain, handle] : rules.handles)
    commands +=
        "delete rule inet velmora " + chainName(chain) + " handle " + std::to_string(handle) + "\n";
  return commands;
}

/// The path as an nft quoted string. nft takes every byte of a quoted string as it is up to the
/// next double quote, so a path with one, or with a control character, cannot be given safely.
std::string quoted(const std::string& path) {
  if (std::ranges::any_of(path, [](char c) {
        return c == '"' || static_cast<unsigned char>(c) < 0x20 || c == '\x7f';
      })) {
    throw NftError(VL("cgroup 路径「%@」含有双引号或控制字符，nftables 无法表示",
                      unicode::replacingInvalidUTF8(path)));
  }
  return '"' + path + '"';
}

/// nft's first line of complaint, without its "Error: ", short enough for a reply.
std::string reason(std::string_view errors) {
  std::string_view line = errors.substr(0, errors.find('\n'));
  if (const std::size_t at = line.find("Error: "); at != std::string_view::npos)
    line.remove_prefix(at + 7);
  std::string text = unicode::replacingInvalidUTF8(line.substr(0, 300));
  while (!unicode::isValidUTF8(text)) text.pop_back();
  return text;
}

}  // namespace

NftTable::NftTable() : context_(nft_ctx_new(NFT_CTX_DEFAULT)) {
  if (!context_) throw NftError(VL("无法创建 nftables 上下文"));
  // Commands are text; the echo of what they added, with handles, comes back as JSON.
  nft_ctx_output_set_flags(context_,
                           NFT_CTX_OUTPUT_ECHO | NFT_CTX_OUTPUT_HANDLE | NFT_CTX_OUTPUT_JSON);
  nft_ctx_buffer_output(context_);
  nft_ctx_buffer_error(context_);
  try {
    // The redirect happens before the refusal looks: a redirected connection has a loopback
    // destination by then and passes.
    // The guard comes after connection tracking, which it asks, and before the marking of
    // captured UDP: a packet marked then is already a program's and not one of the client's.
    const std::string marked = "meta mark & " + hex(udpMarkMask) + " == " + hex(udpMarkBase);
    const std::string flow4 = "meta mark . ip saddr . udp sport . ip daddr . udp dport";
    const std::string flow6 = "meta mark . ip6 saddr . udp sport . ip6 daddr . udp dport";
    run("add table inet velmora { flags owner; }\n"
        "add chain inet velmora zone { type filter hook output priority raw; policy accept; }\n"
        "add chain inet velmora guard { type filter hook output priority -180; policy accept; }\n"
        "add chain inet velmora udpmark { type route hook output priority mangle; policy accept; "
        "}\n"
        "add chain inet velmora capture { type nat hook output priority -100; policy accept; }\n"
        "add chain inet velmora refuse { type filter hook output priority 0; policy accept; }\n"
        "add chain inet velmora deliver "
        "{ type filter hook prerouting priority mangle; policy accept; }\n"
        "add set inet velmora refused4 { type mark . ipv4_addr . inet_service . ipv4_addr . "
        "inet_service; flags timeout; size " + std::to_string(maxRefusedFlows) + "; }\n"
        "add set inet velmora refused6 { type mark . ipv6_addr . inet_service . ipv6_addr . "
        "inet_service; flags timeout; size " + std::to_string(maxRefusedFlows) + "; }\n"
        "add rule inet velmora guard " +
        marked +
        " drop\n"
        "add rule inet velmora refuse meta l4proto udp " +
        flow4 +
        " @refused4 reject\n"
        "add rule inet velmora refuse meta l4proto udp " +
        flow6 + " @refused6 reject\n");
  } catch (const NftError&) {
    nft_ctx_free(context_);
    throw;
  }
}

NftTable::~NftTable() {
  nft_ctx_free(context_);
}

namespace {

using Chain = RulePair::Chain;

/// The rules of one cgroup: in chain, those that leave the excepted cgroup out, then
/// ahead of the TCP rules (which leave loopback alone) DNS to any address, loopback resolvers such
/// as 127.0.0.53 included, then TCP over IPv4 and IPv6, each ending in its verdict.
std::vector<std::pair<Chain, std::string>> cgroupRules(Chain chain, const std::string& socket,
                                                       const std::string& leaveOut,
                                                       const std::optional<std::string>& dns,
                                                       std::string_view tcp) {
  std::vector<std::pair<Chain, std::string>> rules;
  // The excepted cgroup's sockets return from the chain before the cgroup's own rules look at
  // them. A negated match in those rules would not do: the kernel finds no ancestor at the
  // excepted cgroup's level for a socket of a cgroup less deep, and the whole rule then fails,
  // sockets of the captured cgroup itself included.
  if (!leaveOut.empty()) rules.emplace_back(chain, leaveOut);
  if (dns) rules.emplace_back(chain, socket + " meta l4proto { tcp, udp } th dport 53 " + *dns);
  const std::string tcpHead = socket + " meta l4proto tcp ";
  rules.emplace_back(chain, tcpHead + "ip daddr != 127.0.0.0/8 " + std::string(tcp));
  rules.emplace_back(chain, tcpHead + "ip6 daddr != ::1 " + std::string(tcp));
  return rules;
}

/// The refusal of QUIC, with its own early return for the excepted cgroup unless chain is the
/// refuse chain, whose return serves both.
void addQuicRefusal(std::vector<std::pair<Chain, std::string>>& rules, Chain chain,
                    const std::string& socket, const std::string& leaveOut) {
  if (!leaveOut.empty() && chain != Chain::refuse) rules.emplace_back(Chain::refuse, leaveOut);
  rules.emplace_back(Chain::refuse, socket + " meta l4proto udp udp dport 443 reject");
}

/// The rules that end in verdict for the cgroup's captured UDP: every datagram but those to an
/// address of this machine (loopback included), to broadcast and multicast addresses and to
/// IPv6 link-local ones, which never leave as a flow to one destination elsewhere, and DNS, which
/// has rules of its own.
void addUdpRules(std::vector<std::pair<Chain, std::string>>& rules, Chain chain,
                 const std::string& socket, const std::string& leaveOut, bool returnFirst,
                 const std::string& verdict) {
  if (!leaveOut.empty() && returnFirst) rules.emplace_back(chain, leaveOut);
  const std::string head = socket +
                           " meta l4proto udp udp dport != 53 "
                           "fib daddr type != { local, broadcast, multicast } ";
  rules.emplace_back(chain, head + "meta nfproto ipv4 " + verdict);
  rules.emplace_back(chain, head + "ip6 daddr != fe80::/10 " + verdict);
}

std::string socketMatch(const NftCgroup& cgroup) {
  return "socket cgroupv2 level " + std::to_string(cgroup.level) + " " + quoted(cgroup.path);
}

std::string leaveOutRule(const std::optional<NftCgroup>& excepted) {
  return excepted ? socketMatch(*excepted) + " return" : "";
}

}  // namespace

RulePair NftTable::redirect(const NftCgroup& cgroup, const std::optional<NftCgroup>& excepted,
                            std::uint16_t port, const std::optional<DnsRedirect>& dns,
                            std::optional<std::uint32_t> udpMark,
                            const std::optional<RulePair>& replaced) {
  const std::string socket = socketMatch(cgroup);
  const std::string leaveOut = leaveOutRule(excepted);
  std::vector<std::pair<Chain, std::string>> rules;
  if (dns) {
    // Both ways of the flow: the program's question, and the responder's answer from its port.
    if (!leaveOut.empty()) rules.emplace_back(Chain::zone, leaveOut);
    const std::string zone = " ct zone set " + std::to_string(dnsZone);
    rules.emplace_back(Chain::zone, socket + " meta l4proto { tcp, udp } th dport 53" + zone);
    rules.emplace_back(Chain::zone, "meta l4proto { tcp, udp } th sport " +
                                        std::to_string(dns->port) + " meta skuid " +
                                        std::to_string(dns->uid) + zone);
  }
  std::optional<std::string> dnsVerdict;
  if (dns) dnsVerdict = "redirect to :" + std::to_string(dns->port);
  const std::string ports =
      std::to_string(port) + "-" + std::to_string(port + transparentPortSpan - 1);
  for (auto& rule :
       cgroupRules(Chain::capture, socket, leaveOut, dnsVerdict, "redirect to :" + ports))
    rules.push_back(std::move(rule));
  if (udpMark) {
    // The connection's mark as well: the guard lets the client's answers out by it.
    addUdpRules(rules, Chain::udpmark, socket, leaveOut, true,
                "meta mark set " + hex(*udpMark) + " ct mark set " + hex(*udpMark));
  } else {
    addQuicRefusal(rules, Chain::capture, socket, leaveOut);
  }
  return add(rules, replaced);
}

RulePair NftTable::refuse(const NftCgroup& cgroup, const std::optional<NftCgroup>& excepted,
                          bool dns, bool udp, const std::optional<RulePair>& replaced) {
  const std::string socket = socketMatch(cgroup);
  const std::string leaveOut = leaveOutRule(excepted);
  std::vector<std::pair<Chain, std::string>> rules = cgroupRules(
      Chain::refuse, socket, leaveOut, dns ? std::optional<std::string>("reject") : std::nullopt,
      "reject with tcp reset");
  if (udp)
    addUdpRules(rules, Chain::refuse, socket, leaveOut, false, "reject");
  else
    addQuicRefusal(rules, Chain::refuse, socket, leaveOut);
  return add(rules, replaced);
}

RulePair NftTable::deliverUdp(std::uint32_t mark, std::uint16_t port, bool ipv6) {
  // Only the flow's first way: the answers, looped back with the same mark, go to the program.
  const std::string head =
      "meta mark " + hex(mark) + " ct direction original meta l4proto udp tproxy ";
  std::vector<std::pair<Chain, std::string>> rules = {
      {Chain::deliver, head + "ip to 127.0.0.1:" + std::to_string(port)},
      {Chain::guard,
       "meta mark " + hex(mark) + " ct direction reply ct mark " + hex(mark) + " accept"}};
  if (ipv6) rules.emplace_back(Chain::deliver, head + "ip6 to [::1]:" + std::to_string(port));
  return add(rules, std::nullopt);
}

void NftTable::refuseFlow(std::uint32_t mark, const FlowEnd& source, const FlowEnd& destination) {
  const bool ipv6 = destination.address.find(':') != std::string::npos;
  if (ipv6 != (source.address.find(':') != std::string::npos))
    throw NftError(VL("流的两端不是同一种地址"));
  // The addresses were read as addresses; nft reads them as they are written.
  run("add element inet velmora " + std::string(ipv6 ? "refused6" : "refused4") + " { " +
      hex(mark) + " . " + source.address + " . " + std::to_string(source.port) + " . " +
      destination.address + " . " + std::to_string(destination.port) + " timeout " +
      std::string(flowRefusal) + " }\n");
}

void NftTable::remove(const RulePair& rules) {
  run(deleteRules(rules));
}

RulePair NftTable::add(const std::vector<std::pair<Chain, std::string>>& rules,
                       const std::optional<RulePair>& replaced) {
  std::string commands;
  // The guard's rules go ahead of its last, which drops what none of them let out.
  for (const auto& [chain, rule] : rules)
    commands += (chain == Chain::guard ? "insert" : "add") + std::string(" rule inet velmora ") +
                chainName(chain) + " " + rule + "\n";
  if (replaced) commands += deleteRules(*replaced);
  const std::string echoed = run(commands);
  // The echo lists what the transaction added, in order; parsed without exceptions, an echo
  // that is not what nftables writes leaves the handles missing, which is reported.
  const json::Value document = json::Value::parse(echoed, nullptr, false);
  std::vector<std::uint64_t> handles;
  if (document.is_object() && document.contains("nftables") && document["nftables"].is_array()) {
    for (const json::Value& command : document["nftables"]) {
      if (!command.is_object()) continue;
      const char* verb = command.contains("add") ? "add" : "insert";
      if (!command.contains(verb)) continue;
      const json::Value& added = command[verb];
      if (!added.is_object() || !added.contains("rule")) continue;
      const json::Value& rule = added["rule"];
      if (rule.is_object() && rule.contains("handle") && rule["handle"].is_number_unsigned())
        handles.push_back(rule["handle"].get<std::uint64_t>());
    }
  }
  if (handles.size() != rules.size())
    throw NftError(VL("nftables 没有回报新规则的句柄：%@", reason(echoed)));
  RulePair added;
  for (std::size_t i = 0; i < rules.size(); ++i)
    added.handles.emplace_back(rules[i].first, handles[i]);
  return added;
}

std::string NftTable::run(const std::string& commands) {
  const int result = nft_run_cmd_from_buffer(context_, commands.c_str());
  // Both buffers are read every time: reading one empties it for the next command.
  std::string output = nft_ctx_get_output_buffer(context_);
  const std::string errors = nft_ctx_get_error_buffer(context_);
  if (result != 0) throw NftError(VL("nftables 拒绝了命令：%@", reason(errors)));
  return output;
}

}  // namespace velmora::netd
