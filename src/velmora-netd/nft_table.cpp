#include "nft_table.h"

#include <nftables/libnftables.h>

#include <algorithm>
#include <vector>

#include "kit/json_text.h"
#include "kit/localize.h"
#include "kit/netd_protocol.h"
#include "kit/unicode.h"

namespace velmora::netd {
namespace {

/// The conntrack zone of captured DNS flows.
constexpr int dnsZone = 0x7e1a;

std::string chainName(RulePair::Chain chain) {
  switch (chain) {
    case RulePair::Chain::zone:
      return "zone";
    case RulePair::Chain::capture:
      return "capture";
    case RulePair::Chain::refuse:
      return "refuse";
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
    run("add table inet velmora { flags owner; }\n"
        "add chain inet velmora zone { type filter hook output priority raw; policy accept; }\n"
        "add chain inet velmora capture { type nat hook output priority -100; policy accept; }\n"
        "add chain inet velmora refuse { type filter hook output priority 0; policy accept; }\n");
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

std::string socketMatch(const NftCgroup& cgroup) {
  return "socket cgroupv2 level " + std::to_string(cgroup.level) + " " + quoted(cgroup.path);
}

std::string leaveOutRule(const std::optional<NftCgroup>& excepted) {
  return excepted ? socketMatch(*excepted) + " return" : "";
}

}  // namespace

RulePair NftTable::redirect(const NftCgroup& cgroup, const std::optional<NftCgroup>& excepted,
                            std::uint16_t port, const std::optional<DnsRedirect>& dns,
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
  addQuicRefusal(rules, Chain::capture, socket, leaveOut);
  return add(rules, replaced);
}

RulePair NftTable::refuse(const NftCgroup& cgroup, const std::optional<NftCgroup>& excepted,
                          bool dns, const std::optional<RulePair>& replaced) {
  const std::string socket = socketMatch(cgroup);
  const std::string leaveOut = leaveOutRule(excepted);
  std::vector<std::pair<Chain, std::string>> rules = cgroupRules(
      Chain::refuse, socket, leaveOut, dns ? std::optional<std::string>("reject") : std::nullopt,
      "reject with tcp reset");
  addQuicRefusal(rules, Chain::refuse, socket, leaveOut);
  return add(rules, replaced);
}

void NftTable::remove(const RulePair& rules) {
  run(deleteRules(rules));
}

RulePair NftTable::add(const std::vector<std::pair<Chain, std::string>>& rules,
                       const std::optional<RulePair>& replaced) {
  std::string commands;
  for (const auto& [chain, rule] : rules)
    commands += "add rule inet velmora " + chainName(chain) + " " + rule + "\n";
  if (replaced) commands += deleteRules(*replaced);
  const std::string echoed = run(commands);
  // The echo lists what the transaction added, in order; parsed without exceptions, an echo
  // that is not what nftables writes leaves the handles missing, which is reported.
  const json::Value document = json::Value::parse(echoed, nullptr, false);
  std::vector<std::uint64_t> handles;
  if (document.is_object() && document.contains("nftables") && document["nftables"].is_array()) {
    for (const json::Value& command : document["nftables"]) {
      if (!command.is_object() || !command.contains("add")) continue;
      const json::Value& added = command["add"];
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
