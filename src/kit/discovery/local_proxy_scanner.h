// Finds proxy servers that programs on this machine offer on loopback: the listening ports from
// the kernel's socket tables, each probed for SOCKS5 and HTTP CONNECT.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kit/discovery/proc_file_system.h"
#include "kit/json_text.h"
#include "kit/model.h"

namespace velmora {

/// Lists the TCP ports listening on 127.0.0.1, ::1 or any address, probes them all in parallel
/// and names the ones that answer as a proxy after the program behind them.
class LocalProxyScanner {
 public:
  /// A loopback port that answered as a proxy.
  struct Candidate {
    std::string name;
    std::uint16_t port = 0;
    /// socks5 when the SOCKS5 probe answered, else http.
    ProxyProtocol proto = ProxyProtocol::socks5;
    /// The name of the process owning the listening socket, or unattributedSource when no
    /// visible process holds it (another user's program, or one that has ended).
    std::string source;
    bool listening = true;

    /// The candidate as a proxy of a profile: a new id, address 127.0.0.1, no credentials.
    ProxyServer proxyServer() const;

    bool operator==(const Candidate&) const = default;
  };

  /// The source of a candidate whose socket no visible process holds.
  static constexpr std::string_view unattributedSource = "/proc/net/tcp";
  /// The process name of Velmora's daemon, whose listeners are never offered.
  static constexpr std::string_view ownProxyProcess = "velmorad";

  /// Whether discoverProxies also returns ports that no visible process holds.
  enum class IncludeAll { no, yes };

  /// The longest wait of each step of a probe: connecting, sending, receiving.
  static constexpr std::chrono::milliseconds probeTimeout{300};
  /// At most this many threads probe at once; each drives many sockets.
  static constexpr unsigned maxProbeThreads = 4;

  explicit LocalProxyScanner(ProcFileSystem proc = ProcFileSystem()) : proc_(std::move(proc)) {}

  /// Every answering port, ascending. Blocks until every probe has ended: about 0.6 s at most
  /// when some port accepts and never answers, at once when every port answers or refuses.
  std::vector<Candidate> scan() const;
  /// The answering ports as proxies, in port order. With IncludeAll::no only ports attributed
  /// to a visible process are returned, leaving out those only the socket table knows about.
  std::vector<ProxyServer> discoverProxies(IncludeAll includeAll) const;

 private:
  ProcFileSystem proc_;
};

json::Value toJSON(const LocalProxyScanner::Candidate& candidate);

}  // namespace velmora
