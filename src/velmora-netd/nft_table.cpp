#include "nft_table.h"

#include <nftables/libnftables.h>

#include <algorithm>
#include <vector>

#include "kit/json_text.h"
#include "kit/localize.h"
#include "kit/unicode.h"

namespace velmora::netd {
namespace {

std::string chainName(RulePair::Chain chain) {
  return chain == RulePair::Chain::capture ? "capture" : "refuse";
}

std::string deleteRule(RulePair::Chain chain, std::uint64_t handle) {
  return "delete rule inet velmora " + chainName(chain) + " handle " + std::to_string(handle) +
         "\n";
}

std::string deleteRules(const RulePair& rules) {
  std::string commands = deleteRule(rules.chain, rules.ipv4) + deleteRule(rules.chain, rules.ipv6) +
                         deleteRule(RulePair::Chain::refuse, rules.quic);
  if (rules.exceptedHere != 0) commands += deleteRule(rules.chain, rules.exceptedHere);
  if (rules.exceptedFromQuic != 0)
    commands += deleteRule(RulePair::Chain::refuse, rules.exceptedFromQuic);
  if (rules.dns != 0) commands += deleteRule(rules.chain, rules.dns);
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

RulePair NftTable::redirect(const NftCgroup& cgroup, const std::optional<NftCgroup>& excepted,
                            std::uint16_t port, std::optional<std::uint16_t> dnsPort,
                            const std::optional<RulePair>& replaced) {
  std::optional<std::string> dns;
  if (dnsPort) dns = "redirect to :" + std::to_string(*dnsPort);
  return add(RulePair::Chain::capture, cgroup, excepted, "redirect to :" + std::to_string(port),
             dns, replaced);
}

RulePair NftTable::refuse(const NftCgroup& cgroup, const std::optional<NftCgroup>& excepted,
                          bool dns, const std::optional<RulePair>& replaced) {
  return add(RulePair::Chain::refuse, cgroup, excepted, "reject with tcp reset",
             dns ? std::optional<std::string>("reject") : std::nullopt, replaced);
}

void NftTable::remove(const RulePair& rules) {
  run(deleteRules(rules));
}

RulePair NftTable::add(RulePair::Chain chain, const NftCgroup& cgroup,
                       const std::optional<NftCgroup>& excepted, std::string_view verdict,
                       const std::optional<std::string>& dnsVerdict,
                       const std::optional<RulePair>& replaced) {
  const std::string socket =
      " socket cgroupv2 level " + std::to_string(cgroup.level) + " " + quoted(cgroup.path);
  // The excepted cgroup's sockets return from the chain before the cgroup's own rules look at
  // them. A negated match in those rules would not do: the kernel finds no ancestor at the
  // excepted cgroup's level for a socket of a cgroup less deep, and the whole rule then fails,
  // sockets of the captured cgroup itself included.
  std::string commands;
  if (excepted) {
    const std::string leaveOut = " socket cgroupv2 level " + std::to_string(excepted->level) + " " +
                                 quoted(excepted->path) + " return\n";
    commands += "add rule inet velmora " + chainName(chain) + leaveOut;
    if (chain != RulePair::Chain::refuse) commands += "add rule inet velmora refuse" + leaveOut;
  }
  // DNS to any address, loopback resolvers such as 127.0.0.53 included, ahead of the TCP rules
  // that leave loopback alone.
  if (dnsVerdict) {
    commands += "add rule inet velmora " + chainName(chain) + socket +
                " meta l4proto { tcp, udp } th dport 53 " + *dnsVerdict + "\n";
  }
  const std::string head =
      "add rule inet velmora " + chainName(chain) + socket + " meta l4proto tcp ";
  commands += head + "ip daddr != 127.0.0.0/8 " + std::string(verdict) + "\n" + head +
              "ip6 daddr != ::1 " + std::string(verdict) + "\n" + "add rule inet velmora refuse" +
              socket + " meta l4proto udp udp dport 443 reject\n";
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
  const std::size_t leftOut = !excepted ? 0 : (chain == RulePair::Chain::refuse ? 1 : 2);
  const std::size_t first = leftOut + (dnsVerdict ? 1 : 0);
  if (handles.size() != 3 + first)
    throw NftError(VL("nftables 没有回报新规则的句柄：%@", reason(echoed)));
  RulePair rules{chain, handles[first], handles[first + 1], handles[first + 2]};
  if (dnsVerdict) rules.dns = handles[leftOut];
  if (leftOut > 0) rules.exceptedHere = handles[0];
  // In the refuse chain one early return serves the refusal and QUIC alike.
  if (leftOut == 2) rules.exceptedFromQuic = handles[1];
  return rules;
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
