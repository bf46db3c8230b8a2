// Load for the proxy benchmark: a sink server, and clients that measure one stream's throughput
// or how many connections per second go through a SOCKS5 proxy (or directly), with handshake
// latency percentiles; a UDP echo sink and a client that sends datagrams to it directly or through
// a SOCKS5 UDP association. Every run is bounded in time and in count.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <utility>
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

// UDP ------------------------------------------------------------------------------------------

/// What the UDP sink answers with its counts since it started: "<datagrams> <bytes>".
constexpr std::string_view countQuestion = "count?";
constexpr std::size_t udpBatch = 32;
/// Room for the largest datagram the client sends, with the SOCKS5 header of an IPv4 address.
constexpr std::size_t maxUdpPayload = 1400;
constexpr std::size_t udpSlot = 2048;

int udpSocket() {
  return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

/// A batch of datagram buffers and headers for recvmmsg(2) and sendmmsg(2).
struct Batch {
  std::vector<char> data = std::vector<char>(udpBatch * udpSlot);
  std::array<iovec, udpBatch> vectors{};
  std::array<mmsghdr, udpBatch> headers{};
  std::array<sockaddr_in, udpBatch> peers{};

  /// Ready to receive into every slot, with the sender's address when named.
  void forReceiving(bool named) {
    for (std::size_t i = 0; i < udpBatch; ++i) {
      vectors[i] = {data.data() + i * udpSlot, udpSlot};
      headers[i] = {};
      headers[i].msg_hdr.msg_iov = &vectors[i];
      headers[i].msg_hdr.msg_iovlen = 1;
      if (named) {
        headers[i].msg_hdr.msg_name = &peers[i];
        headers[i].msg_hdr.msg_namelen = sizeof peers[i];
      }
    }
  }
};

/// Echoes every datagram to its sender and counts them; answers countQuestion with the counts.
void udpSink(const char* address, int port) {
  const int fd = udpSocket();
  const sockaddr_in at = endpoint(address, port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0) {
    std::perror("udp sink");
    std::exit(1);
  }
  std::uint64_t datagrams = 0;
  std::uint64_t bytes = 0;
  Batch batch;
  while (true) {
    batch.forReceiving(true);
    const int got = recvmmsg(fd, batch.headers.data(), udpBatch, MSG_WAITFORONE, nullptr);
    if (got <= 0) continue;
    unsigned echoes = 0;
    for (int i = 0; i < got; ++i) {
      mmsghdr& header = batch.headers[static_cast<std::size_t>(i)];
      const std::string_view datagram(static_cast<const char*>(header.msg_hdr.msg_iov->iov_base),
                                      header.msg_len);
      if (datagram == countQuestion) {
        const std::string counts = std::to_string(datagrams) + " " + std::to_string(bytes);
        sendto(fd, counts.data(), counts.size(), 0,
               static_cast<const sockaddr*>(header.msg_hdr.msg_name), header.msg_hdr.msg_namelen);
        continue;
      }
      ++datagrams;
      bytes += header.msg_len;
      header.msg_hdr.msg_iov->iov_len = header.msg_len;
      batch.headers[echoes++] = header;
    }
    if (echoes > 0) sendmmsg(fd, batch.headers.data(), echoes, 0);
  }
}

/// Waits up to milliseconds for fd to have something to read.
bool readable(int fd, int milliseconds) {
  pollfd wanted{fd, POLLIN, 0};
  return poll(&wanted, 1, milliseconds) > 0;
}

/// The sink's counts, asked directly; the process ends when the sink does not answer.
std::pair<std::uint64_t, std::uint64_t> sinkCounts(const sockaddr_in& sink) {
  const int fd = udpSocket();
  char answer[64];
  for (int attempt = 0; attempt < 20; ++attempt) {
    sendto(fd, countQuestion.data(), countQuestion.size(), 0,
           reinterpret_cast<const sockaddr*>(&sink), sizeof sink);
    if (!readable(fd, 100)) continue;
    const ssize_t got = recv(fd, answer, sizeof answer - 1, 0);
    if (got <= 0) continue;
    answer[got] = 0;
    unsigned long long datagrams = 0, bytes = 0;
    if (std::sscanf(answer, "%llu %llu", &datagrams, &bytes) != 2) continue;
    close(fd);
    return {datagrams, bytes};
  }
  std::fputs("udp: the sink does not answer\n", stderr);
  std::exit(1);
}

/// A SOCKS5 UDP association with the proxy on proxyPort: the control connection (the association
/// lasts as long as it) and the relay's address; the process ends when the proxy refuses.
std::pair<int, sockaddr_in> udpAssociate(int proxyPort) {
  const int control = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in proxy = endpoint("127.0.0.1", proxyPort);
  const char greeting[3] = {5, 1, 0};
  const char request[10] = {5, 3, 0, 1, 0, 0, 0, 0, 0, 0};
  unsigned char reply[10];
  if (connect(control, reinterpret_cast<const sockaddr*>(&proxy), sizeof proxy) != 0 ||
      write(control, greeting, sizeof greeting) != sizeof greeting ||
      !readExactly(control, reinterpret_cast<char*>(reply), 2) ||
      write(control, request, sizeof request) != sizeof request ||
      !readExactly(control, reinterpret_cast<char*>(reply), 10) || reply[1] != 0 || reply[3] != 1) {
    std::fputs("udp: the proxy refused UDP ASSOCIATE\n", stderr);
    std::exit(1);
  }
  sockaddr_in relay{};
  relay.sin_family = AF_INET;
  std::memcpy(&relay.sin_addr, reply + 4, 4);
  std::memcpy(&relay.sin_port, reply + 8, 2);
  // A relay on every address is reached where the proxy is.
  if (relay.sin_addr.s_addr == INADDR_ANY) relay.sin_addr = proxy.sin_addr;
  return {control, relay};
}

/// Sends datagrams of size bytes to the UDP sink for seconds, directly or through the SOCKS5 proxy
/// on proxyPort, with at most window of them unanswered: past that it waits for echoes, and
/// gives up on those it waited 20 ms for in vain (a stall). Prints what the sink received a second,
/// what came back, what was lost each way and the stalls.
void udpLoad(const char* sink, int sinkPort, int proxyPort, std::size_t size, std::size_t window,
             double seconds) {
  const sockaddr_in target = endpoint(sink, sinkPort);
  int control = -1;
  sockaddr_in to = target;
  std::string datagram;
  if (proxyPort) {
    std::tie(control, to) = udpAssociate(proxyPort);
    datagram.assign({0, 0, 0, 1});
    datagram.append(reinterpret_cast<const char*>(&target.sin_addr), 4);
    datagram.append(reinterpret_cast<const char*>(&target.sin_port), 2);
  }
  datagram.append(size, 'x');
  const int fd = udpSocket();
  if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    std::perror("udp");
    std::exit(1);
  }
  // The first datagram of a flow waits for the proxy's decision: one answered before the clock
  // starts.
  bool answered = false;
  for (int attempt = 0; attempt < 50 && !answered; ++attempt) {
    send(fd, datagram.data(), datagram.size(), 0);
    answered = readable(fd, 100);
  }
  if (!answered) {
    std::fputs("udp: no echo\n", stderr);
    std::exit(1);
  }
  char ignored[udpSlot];
  while (readable(fd, 50)) recv(fd, ignored, sizeof ignored, 0);

  std::array<iovec, udpBatch> out{};
  std::array<mmsghdr, udpBatch> outgoing{};
  for (std::size_t i = 0; i < udpBatch; ++i) {
    out[i] = {datagram.data(), datagram.size()};
    outgoing[i].msg_hdr.msg_iov = &out[i];
    outgoing[i].msg_hdr.msg_iovlen = 1;
  }
  Batch incoming;
  incoming.forReceiving(false);
  const auto [datagramsBefore, bytesBefore] = sinkCounts(target);
  std::uint64_t sent = 0;
  std::uint64_t echoed = 0;
  std::size_t unanswered = 0;
  std::uint64_t stalls = 0;
  const auto receive = [&](int flags) {
    const int got = recvmmsg(fd, incoming.headers.data(), udpBatch, flags, nullptr);
    if (got <= 0) return false;
    echoed += static_cast<std::uint64_t>(got);
    unanswered -= std::min(unanswered, static_cast<std::size_t>(got));
    return true;
  };
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    if (unanswered < window) {
      const auto count = static_cast<unsigned>(std::min(udpBatch, window - unanswered));
      const int done = sendmmsg(fd, outgoing.data(), count, 0);
      if (done > 0) {
        sent += static_cast<std::uint64_t>(done);
        unanswered += static_cast<std::size_t>(done);
      }
    }
    if (!receive(MSG_DONTWAIT) && unanswered >= window && !readable(fd, 20)) {
      unanswered = 0;
      ++stalls;
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  // The last echoes, for as long as they keep coming (at most a second); what has not come back
  // by then has not reached the sink either, or is lost.
  const auto lastWait = Clock::now() + std::chrono::seconds(1);
  while (echoed < sent && Clock::now() < lastWait && readable(fd, 100)) receive(MSG_DONTWAIT);
  const auto [datagramsAfter, bytesAfter] = sinkCounts(target);
  const auto arrived = static_cast<double>(datagramsAfter - datagramsBefore);
  const auto lost = [](double from, double to) { return from > 0 ? (from - to) / from * 100 : 0; };
  std::printf("%.0f pkt/s %.0f Mbit/s, echoed %.0f pkt/s, lost %.2f %% / %.2f %%, %llu stalls\n",
              arrived / elapsed, static_cast<double>(bytesAfter - bytesBefore) * 8 / elapsed / 1e6,
              static_cast<double>(echoed) / elapsed, lost(static_cast<double>(sent), arrived),
              lost(arrived, static_cast<double>(echoed)), static_cast<unsigned long long>(stalls));
  close(fd);
  if (control >= 0) close(control);
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
  } else if (mode == "udpsink" && argc == 4) {
    udpSink(argv[2], std::atoi(argv[3]));
  } else if (mode == "udp" && argc == 8 && std::atoi(argv[5]) > 0 &&
             static_cast<std::size_t>(std::atoi(argv[5])) <= maxUdpPayload &&
             std::atoi(argv[6]) > 0) {
    udpLoad(argv[2], std::atoi(argv[3]), std::atoi(argv[4]),
            static_cast<std::size_t>(std::atoi(argv[5])),
            static_cast<std::size_t>(std::atoi(argv[6])), std::atof(argv[7]));
  } else {
    std::fputs(
        "usage: proxy_load sink <address> <port>\n"
        "       proxy_load bulk <sink> <port> <socks-port|0> <seconds>\n"
        "       proxy_load conns <sink> <port> <socks-port|0> <clients> <seconds>\n"
        "       proxy_load hold <address> <port>\n"
        "       proxy_load idle <sink> <port> <socks-port> <count>\n"
        "       proxy_load udpsink <address> <port>\n"
        "       proxy_load udp <sink> <port> <socks-port|0> <bytes, at most 1400> <window> "
        "<seconds>\n",
        stderr);
    return 2;
  }
  return 0;
}
