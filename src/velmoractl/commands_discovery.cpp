// The commands that read the machine rather than the configuration: tunnel interfaces to route
// applications through, and proxies that local programs offer on loopback.
#include <algorithm>
#include <string>
#include <vector>

#include "commands.h"
#include "kit/discovery/local_proxy_scanner.h"
#include "kit/discovery/tunnel_interface_scanner.h"
#include "kit/localize.h"
#include "output.h"

namespace velmora::cli {

void runInterface(CommandContext& context) {
  if (context.args.positional.size() >= 2 && context.word(1) != "list") {
    throw Error(VL("未知子命令 %@ %@", context.word(0), context.word(1)));
  }
  const std::vector<TunnelInterface> interfaces = TunnelInterfaceScanner().scan();
  if (context.json()) {
    context.out.emitJSON(json::arrayOf(interfaces));
    return;
  }
  if (interfaces.empty()) {
    context.out.emit(
        "没有发现隧道网卡（已启用的点对点网卡，名称以 tun、utun、wg、ppp 或 ipsec 开头）。");
    return;
  }
  for (const TunnelInterface& interface : interfaces) {
    std::string line = interface.displayName() + "  " + interface.displayDescription();
    if (interface.ownerPath) line += "  " + *interface.ownerPath;
    if (interface.isSystemOwned) line += "  （系统）";
    context.out.emit(line);
  }
}

void runProxyDiscover(CommandContext& context) {
  const std::vector<LocalProxyScanner::Candidate> candidates = [] {
    const Progress progress("正在查找本机回环地址上的代理 …");
    return LocalProxyScanner().scan();
  }();
  if (!context.args.hasFlag("--add")) {
    if (context.json()) {
      context.out.emitJSON(json::arrayOf(candidates));
    } else if (candidates.empty()) {
      context.out.emit("没有在本机回环地址上发现代理。");
    } else {
      for (const LocalProxyScanner::Candidate& candidate : candidates) {
        std::string line = candidate.name + "  127.0.0.1:" + std::to_string(candidate.port) + "  " +
                           std::string(rawValue(candidate.proto));
        if (candidate.source != LocalProxyScanner::unattributedSource) {
          line += "  进程：" + candidate.source;
        }
        context.out.emit(line);
      }
    }
    return;
  }

  // The machine was read above; from here on it is the active profile's files.
  const std::vector<ProxyServer> existing = context.backend.proxies();
  std::vector<ProxyServer> added;
  for (const LocalProxyScanner::Candidate& candidate : candidates) {
    const ProxyServer proxy = candidate.proxyServer();
    const auto same = std::find_if(existing.begin(), existing.end(), [&](const ProxyServer& p) {
      return p.address == proxy.address && p.port == proxy.port;
    });
    if (same != existing.end()) {
      if (!context.json()) {
        context.out.emit("跳过「" + proxy.name + "」：当前 profile 已有代理「" + same->name + "」" +
                         same->endpointDescription());
      }
      continue;
    }
    context.backend.addProxy(proxy);
    added.push_back(proxy);
    if (!context.json()) {
      context.out.emit("已添加代理「" + proxy.name + "」" + proxy.address + ":" +
                       std::to_string(proxy.port) + " " + std::string(rawValue(proxy.proto)));
    }
  }
  if (context.json()) {
    context.out.emitJSON(json::arrayOf(added));
  } else if (candidates.empty()) {
    context.out.emit("没有在本机回环地址上发现代理。");
  }
}

}  // namespace velmora::cli
