// Load for the proxy benchmark: a sink server, and clients that measure one stream's throughput
// or how many connections per second go through a SOCKS5 proxy (or directly), with handshake
// latency percentiles. Every run is bounded in time and in count.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t maxConnectionsPerClient = 200000;

sockaddr_in endpoint(const char* address, int port) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, address, &at.sin_addr);
  return at;
}

bool readExactly(int fd, char* into, std::size_t n) {
  while (n > 0) {
    const ssize_t got = read(fd, into, n);
    if (got <= 0) return false;
    into += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

/// A socket listening on address:port; the process ends, saying why, when there can be none.
int listening(const char* address, int port, const char* what) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const sockaddr_in at = endpoint(address, port);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
      listen(listener, 4096) != 0) {
    std::perror(what);
    std::exit(1);
  }
  return listener;
}

/// 'b': sends data until the peer closes; 'e': echoes the byte after it and waits for the close.
void serve(const char* address, int port) {
  const int listener = listening(address, port, "sink");
  while (true) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::thread([fd] {
      char command[2];
      if (readExactly(fd, command, 1) && command[0] == 'b') {
        static const std::vector<char> block(256 * 1024, 'x');
        while (write(fd, block.data(), block.size()) > 0) {
        }
      } else if (command[0] == 'e' && readExactly(fd, command + 1, 1)) {
        if (write(fd, command + 1, 1) == 1) read(fd, command, 1);
      }
      close(fd);
    }).detach();
  }
}

/// A connection to the sink, through the SOCKS5 proxy when proxyPort is not 0; -1 on failure.
int open(const char* sink, int sinkPort, int proxyPort) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const sockaddr_in at = proxyPort ? endpoint("127.0.0.1", proxyPort) : endpoint(sink, sinkPort);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    close(fd);
    return -1;
  }
  if (proxyPort) {
    const char greeting[3] = {5, 1, 0};
    char request[10] = {5, 1, 0, 1};
    const sockaddr_in target = endpoint(sink, sinkPort);
    std::memcpy(request + 4, &target.sin_addr, 4);
    std::memcpy(request + 8, &target.sin_port, 2);
    char reply[10];
    // Greeting, then request: not every proxy reads ahead of its method reply.
    if (write(fd, greeting, sizeof greeting) != sizeof greeting || !readExactly(fd, reply, 2) ||
        write(fd, request, sizeof request) != sizeof request || !readExactly(fd, reply, 10) ||
        reply[1] != 0) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

/// Accepts connections and keeps them open, reading nothing, until the process is ended.
void hold(const char* address, int port) {
  const int listener = listening(address, port, "hold");
  std::vector<int> held;
  while (true) {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd >= 0) held.push_back(fd);
  }
}

/// Opens count connections through the SOCKS5 proxy and keeps them, then says how many got
/// through, how many the proxy refused and the longest a refusal took; waits for a line on
/// standard input before it closes them all.
void idle(const char* sink, int sinkPort, int proxyPort, int count) {
  std::vector<int> held;
  int refused = 0;
  double slowestRefusal = 0;
  for (int i = 0; i < count; ++i) {
    const auto begun = Clock::now();
    const int fd = open(sink, sinkPort, proxyPort);
    if (fd >= 0) {
      held.push_back(fd);
    } else {
      ++refused;
      slowestRefusal = std::max(
          slowestRefusal, std::chrono::duration<double, std::milli>(Clock::now() - begun).count());
    }
  }
  std::printf("%zu open, %d refused, slowest refusal %.1f ms\n", held.size(), refused,
              slowestRefusal);
  std::fflush(stdout);
  char line[16];
  if (std::fgets(line, sizeof line, stdin) == nullptr) {
    // End of input: close them all the same.
  }
  for (const int fd : held) close(fd);
}

void bulk(const char* sink, int sinkPort, int proxyPort, double seconds) {
  const int fd = open(sink, sinkPort, proxyPort);
  if (fd < 0 || write(fd, "b", 1) != 1) {
    std::puts("bulk failed");
    return;
  }
  std::vector<char> buffer(256 * 1024);
  std::uint64_t total = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    const ssize_t got = read(fd, buffer.data(), buffer.size());
    if (got <= 0) break;
    total += static_cast<std::uint64_t>(got);
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  close(fd);
  std::printf("%.2f Gbit/s\n", static_cast<double>(total) * 8 / elapsed / 1e9);
}

void connections(const char* sink, int sinkPort, int proxyPort, int clients, double seconds) {
  std::mutex lock;
  std::vector<double> latencies;
  std::atomic<std::uint64_t> done{0};
  std::atomic<std::uint64_t> failed{0};
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&] {
      std::vector<double> mine;
      for (std::size_t n = 0; n < maxConnectionsPerClient && Clock::now() < end; ++n) {
        const auto begun = Clock::now();
        const int fd = open(sink, sinkPort, proxyPort);
        char echo[2] = {'e', '!'};
        if (fd >= 0 && write(fd, echo, 2) == 2 && readExactly(fd, echo, 1)) {
          mine.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begun).count());
          ++done;
        } else {
          ++failed;
        }
        if (fd >= 0) close(fd);
      }
      std::lock_guard guard(lock);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
    });
  }
  for (std::thread& thread : threads) thread.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(latencies.begin(), latencies.end());
  const auto at = [&](double q) {
    return latencies.empty() ? 0.0
                             : latencies[static_cast<std::size_t>(q * (latencies.size() - 1))];
  };
  std::printf("%.0f conn/s  p50 %.0f us  p99 %.0f us  failed %llu\n",
              static_cast<double>(done) / elapsed, at(0.5), at(0.99),
              static_cast<unsigned long long>(failed.load()));
}

}  // namespace

int main(int argc, char** argv) {
  // A client that stops reading ends its stream with EPIPE, not the process.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "sink" && argc == 4) {
    serve(argv[2], std::atoi(argv[3]));
  } else if (mode == "hold" && argc == 4) {
    hold(argv[2], std::atoi(argv[3]));
  } else if (mode == "idle" && argc == 6) {
    idle(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]));
  } else if (mode == "bulk" && argc == 6) {
    bulk(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atof(argv[5]));
  } else if (mode == "conns" && argc == 7) {
    connections(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]),
                std::atof(argv[6]));
  } else {
    std::fputs(
        "usage: proxy_load sink <address> <port>\n"
        "       proxy_load bulk <sink> <port> <socks-port|0> <seconds>\n"
        "       proxy_load conns <sink> <port> <socks-port|0> <clients> <seconds>\n"
        "       proxy_load hold <address> <port>\n"
        "       proxy_load idle <sink> <port> <socks-port> <count>\n",
        stderr);
    return 2;
  }
  return 0;
}
