// velmora-netd: the privileged helper that redirects the TCP connections of chosen cgroups to
// velmorad's transparent listener, for as long as the velmorad that asked stays connected. Serves
// on the socket systemd passes, or on --socket, until SIGINT or SIGTERM; the kernel removes its
// nftables table when it ends, however it ends.
#include <sys/signalfd.h>
#include <systemd/sd-daemon.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "kit/localize.h"
#include "kit/netd_protocol.h"
#include "kit/service.h"
#include "kit/unique_fd.h"
#include "log.h"
#include "server.h"

namespace {

using namespace velmora;
using namespace velmora::netd;

constexpr const char* usage =
    "用法: velmora-netd [--socket 路径]\n"
    "Velmora 的特权助手：按 velmorad 的请求，用 nftables 把指定 cgroup 的 TCP 连接转到它的透明"
    "监听端口。由 systemd 的 velmora-netd.socket 启动，也可以手动运行。\n"
    "  --socket 路径  在这个路径上监听（默认取 VELMORA_NETD_SOCKET，否则为 "
    "/run/velmora-netd.sock）；systemd 传来套接字时不用\n"
    "  --help         显示这段说明\n"
    "  --version      显示版本\n";

void serve(const std::string& socketPath) {
  const UniqueFd signals = service::stopSignals();
  UniqueFd passed;
  std::optional<SocketFile> file;
  const int count = sd_listen_fds(1);
  if (count > 1) throw Error(VL("systemd 传来了 %lld 个套接字，只能用一个", count));
  if (count == 1) {
    passed.reset(SD_LISTEN_FDS_START);
    if (sd_is_socket_unix(passed.get(), SOCK_SEQPACKET, 1, nullptr, 0) <= 0)
      throw Error(VL("systemd 传来的不是在监听的 SOCK_SEQPACKET 套接字"));
  } else {
    file.emplace(socketPath);
  }
  Server server(passed ? passed.get() : file->fd());
  log(passed ? VL("已就绪：在 systemd 传来的套接字上等待请求")
             : VL("已就绪：在「%@」上等待请求", socketPath));
  sd_notify(0, "READY=1");
  server.run(signals.get());
  signalfd_siginfo info{};
  if (::read(signals.get(), &info, sizeof info) == sizeof info)
    log(VL("收到 SIG%@，正在退出", sigabbrev_np(static_cast<int>(info.ssi_signo))));
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::string socketPath = velmora::netd::socketPath();
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--help") {
      std::fputs(usage, stdout);
      return 0;
    }
    if (argument == "--version") {
      std::puts("velmora-netd " VELMORA_VERSION);
      return 0;
    }
    if (argument == "--socket" && i + 1 < argc) {
      socketPath = argv[++i];
      continue;
    }
    std::fputs(velmora::VL("错误：无法理解参数「%@」\n", argument).c_str(), stderr);
    std::fputs(usage, stderr);
    return 2;
  }
  try {
    serve(socketPath);
    log(velmora::VL("已退出"));
    return 0;
  } catch (const velmora::Error& error) {
    log(velmora::VL("错误：%@", error.description()));
    return 1;
  }
}
