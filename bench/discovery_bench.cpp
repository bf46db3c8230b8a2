// The discovery scans on this machine: local proxy scans over many listening loopback ports, in a
// network namespace of the benchmark's own, and the tunnel interface scan.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <thread>
#include <vector>

#include "kit/discovery/local_proxy_scanner.h"
#include "kit/discovery/tunnel_interface_scanner.h"
#include "own_namespace.h"

namespace velmora {
namespace {

/// Listening loopback ports served by one thread: the first ones answer a SOCKS5 greeting, the
/// others accept connections and never say a word.
class Listeners {
 public:
  Listeners(int answering, int silent) {
    ::pipe2(stop_, O_CLOEXEC);
    for (int i = 0; i < answering + silent; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
      ::listen(fd, 64);
      listeners_[fd] = i < answering;
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~Listeners() {
    ::close(stop_[1]);
    thread_.join();
    ::close(stop_[0]);
    for (const auto& [fd, answering] : listeners_) ::close(fd);
  }

 private:
  void serve() {
    std::map<int, bool> connections;
    std::vector<pollfd> fds;
    while (true) {
      fds = {{stop_[0], POLLIN, 0}};
      for (const auto& [fd, answering] : listeners_) fds.push_back({fd, POLLIN, 0});
      for (const auto& [fd, answering] : connections) fds.push_back({fd, POLLIN, 0});
      ::poll(fds.data(), fds.size(), -1);
      if (fds[0].revents) break;
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if (!fds[i].revents) continue;
        const int fd = fds[i].fd;
        if (const auto listener = listeners_.find(fd); listener != listeners_.end()) {
          const int connection = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
          if (connection >= 0) connections[connection] = listener->second;
          continue;
        }
        char buffer[256];
        if (::recv(fd, buffer, sizeof buffer, 0) <= 0) {
          ::close(fd);
          connections.erase(fd);
        } else if (connections[fd] && buffer[0] == 0x05) {
          ::send(fd, "\x05\x00", 2, MSG_NOSIGNAL);
        }
      }
    }
    for (const auto& [fd, answering] : connections) ::close(fd);
  }

  int stop_[2] = {-1, -1};
  std::map<int, bool> listeners_;
  std::thread thread_;
};

/// Moves the process's main thread into a new network namespace with loopback up, so that only
/// the benchmark's own ports are listening; false where that is not allowed.
bool ownNetworkNamespace() {
  static const bool entered = [] {
    const bool up = bench::enterOwnNetworkNamespace();
    // Listeners, accepted connections and probe sockets together pass the usual 1,024 files.
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    return up;
  }();
  return entered;
}

// First, while the process is still in the machine's own network namespace.
void BM_TunnelInterfaceScan(benchmark::State& state) {
  const TunnelInterfaceScanner scanner;
  for (auto _ : state) benchmark::DoNotOptimize(scanner.scan());
}
BENCHMARK(BM_TunnelInterfaceScan)->Unit(benchmark::kMillisecond);

void BM_LocalProxyScan(benchmark::State& state) {
  if (!ownNetworkNamespace()) {
    state.SkipWithError("needs CAP_SYS_ADMIN for a network namespace of its own");
    return;
  }
  const auto answering = static_cast<int>(state.range(0));
  const auto silent = static_cast<int>(state.range(1));
  const Listeners listeners(answering, silent);
  const LocalProxyScanner scanner;
  for (auto _ : state) {
    const auto candidates = scanner.scan();
    if (candidates.size() != static_cast<std::size_t>(answering)) {
      state.SkipWithError("the scan did not find exactly the answering ports");
      return;
    }
  }
}
BENCHMARK(BM_LocalProxyScan)
    ->ArgNames({"answering", "silent"})
    ->Args({5, 0})
    ->Args({5, 45})
    ->Args({0, 500})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

}  // namespace
}  // namespace velmora
