// Listening loopback ports from /proc/net/tcp and tcp6, their owners from the socket links under
// /proc/PID/fd, and the SOCKS5 and HTTP CONNECT probes, many sockets to a thread.
#include "kit/discovery/local_proxy_scanner.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "kit/discovery/process_owner.h"
#include "kit/localize.h"
#include "kit/unicode.h"
#include "kit/unique_fd.h"

namespace velmora {
namespace {

using Clock = std::chrono::steady_clock;

/// A socket in the LISTEN state on an address that 127.0.0.1 reaches.
struct ListeningSocket {
  std::uint16_t port = 0;
  std::uint64_t inode = 0;
};

template <typename T>
std::optional<T> number(std::string_view text, int base) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> result;
  while (true) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == line.npos) return result;
    line.remove_prefix(start);
    const std::size_t end = line.find_first_of(" \t");
    result.push_back(line.substr(0, end));
    if (end == line.npos) return result;
    line.remove_prefix(end);
  }
}

/// Whether a hexadecimal local address of the socket tables is one that 127.0.0.1 reaches: the
/// loopback address itself or any address, in IPv4 or IPv6 form. The kernel prints each 32-bit
/// word of the address as it lies in memory, so the words are copied back as they are.
bool reachableOnLoopback(std::string_view hex) {
  if (hex.size() == 8) {
    const auto word = number<std::uint32_t>(hex, 16);
    if (!word) return false;
    return *word == htonl(INADDR_LOOPBACK) || *word == htonl(INADDR_ANY);
  }
  if (hex.size() != 32) return false;
  in6_addr address{};
  for (std::size_t i = 0; i < 4; ++i) {
    const auto word = number<std::uint32_t>(hex.substr(i * 8, 8), 16);
    if (!word) return false;
    std::memcpy(address.s6_addr + i * 4, &*word, 4);
  }
  std::uint32_t last = 0;
  std::memcpy(&last, address.s6_addr + 12, 4);
  return IN6_IS_ADDR_LOOPBACK(&address) || IN6_IS_ADDR_UNSPECIFIED(&address) ||
         (IN6_IS_ADDR_V4MAPPED(&address) && last == htonl(INADDR_LOOPBACK));
}

/// The listening sockets of one socket table ("net/tcp" or "net/tcp6"); rows that do not parse
/// are skipped.
void collectListening(const ProcFileSystem& proc, const char* table,
                      std::vector<ListeningSocket>& sockets) {
  const std::optional<std::string> text = proc.read(table);
  if (!text) return;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::vector<std::string_view> row = fields(rest.substr(0, end));
    rest = end == rest.npos ? std::string_view() : rest.substr(end + 1);
    // sl, local address, remote address, state, queues, timer, retransmits, uid, timeout, inode
    if (row.size() < 10 || row[3] != "0A") continue;
    const std::size_t colon = row[1].rfind(':');
    if (colon == row[1].npos || !reachableOnLoopback(row[1].substr(0, colon))) continue;
    const auto port = number<std::uint16_t>(row[1].substr(colon + 1), 16);
    const auto inode = number<std::uint64_t>(row[9], 10);
    if (!port || *port == 0 || !inode) continue;
    sockets.push_back({*port, *inode});
  }
}

/// The names of the processes holding the given sockets, by port; the first process (by id)
/// holding one of a port's sockets names it.
std::map<std::uint16_t, std::string> portOwners(
    const ProcFileSystem& proc, const std::map<std::uint64_t, std::uint16_t>& ports) {
  std::map<std::uint16_t, std::string> owners;
  if (ports.empty()) return owners;
  for (const pid_t pid : proc.processes()) {
    std::optional<std::string> name;
    for (const ProcFileSystem::Descriptor& descriptor : proc.descriptors(pid)) {
      std::string_view target = descriptor.target;
      if (!target.starts_with("socket:[") || !target.ends_with("]")) continue;
      const auto inode = number<std::uint64_t>(target.substr(8, target.size() - 9), 10);
      const auto port = inode ? ports.find(*inode) : ports.end();
      if (port == ports.end() || owners.contains(port->second)) continue;
      if (!name) {
        name = proc.read(std::to_string(pid) + "/comm");
        if (name && name->ends_with('\n')) name->pop_back();
      }
      if (name && !name->empty()) owners.emplace(port->second, *name);
    }
  }
  return owners;
}

/// The display name of a proxy client's process name: the first key found, lower-cased, wins.
std::string friendly(const std::string& processName) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 14> table = {{
      {"clash-ver", "Clash Verge"},
      {"verge", "Clash Verge"},
      {"clashx", "ClashX"},
      {"clash", "Clash"},
      {"mihomo", "Mihomo"},
      {"sing", "sing-box"},
      {"xray", "Xray"},
      {"v2ray", "V2Ray"},
      {"trojan", "Trojan"},
      {"hysteria", "Hysteria"},
      {"outline", "Outline"},
      {"surge", "Surge"},
      {"stash", "Stash"},
      {"gost", "GOST"},
  }};
  const std::string lowered = unicode::lowercased(processName);
  for (const auto& [key, name] : table) {
    if (lowered.find(key) != lowered.npos) return std::string(name);
  }
  return processName;
}

constexpr std::string_view socksGreeting{"\x05\x01\x00", 3};
// A reserved example name: the probe only reads the answer and never reaches the host.
constexpr std::string_view connectRequest =
    "CONNECT probe.example:443 HTTP/1.1\r\nHost: probe.example:443\r\n\r\n";

bool socksAnswered(std::string_view reply) {
  return reply.size() == 2 && reply[0] == 0x05 && (reply[1] == 0x00 || reply[1] == 0x02);
}

/// A status line of "407 proxy authentication required" or "200 connection established".
bool httpAnswered(std::string_view reply) {
  if (reply.size() < 12) return false;
  const std::string_view line = reply.substr(0, reply.find("\r\n"));
  if (!line.starts_with("HTTP/")) return false;
  // Only ASCII words are looked for, so bytes that are not ASCII (valid UTF-8 or not) can stay.
  std::string lowered(line);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered.find(" 407") != lowered.npos ||
         (lowered.find(" 200") != lowered.npos && lowered.find("establish") != lowered.npos);
}

/// One port's probes over a non-blocking socket: SOCKS5 first, HTTP CONNECT when that fails.
/// Each step (connect, send, receive) has probeTimeout to finish, as a blocking socket with send
/// and receive timeouts would; a thread drives many of these with poll.
class PortProbe {
 public:
  PortProbe(std::uint16_t port, Clock::time_point now) : port_(port) {
    start(ProxyProtocol::socks5, now);
  }

  std::uint16_t port() const { return port_; }
  bool done() const { return stage_ == Stage::done; }
  std::optional<ProxyProtocol> answer() const { return answer_; }
  Clock::time_point deadline() const { return deadline_; }
  pollfd pollRequest() const {
    return {fd_.get(), static_cast<short>(stage_ == Stage::receiving ? POLLIN : POLLOUT), 0};
  }

  /// Moves on after poll reported events (or none) for this socket.
  void advance(short events, Clock::time_point now) {
    if (events == 0) {
      if (now >= deadline_) fail(now);
      return;
    }
    switch (stage_) {
      case Stage::connecting: {
        int error = 0;
        socklen_t size = sizeof error;
        if (::getsockopt(fd_.get(), SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
          fail(now);
        } else {
          startSending(now);
        }
        return;
      }
      case Stage::sending:
        send(now);
        return;
      case Stage::receiving:
        receive(now);
        return;
      case Stage::done:
        return;
    }
  }

 private:
  enum class Stage { connecting, sending, receiving, done };

  std::string_view request() const {
    return attempt_ == ProxyProtocol::socks5 ? socksGreeting : connectRequest;
  }

  void start(ProxyProtocol attempt, Clock::time_point now) {
    attempt_ = attempt;
    sent_ = 0;
    fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd_) return fail(now);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port_);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
      return startSending(now);
    }
    if (errno != EINPROGRESS) return fail(now);
    stage_ = Stage::connecting;
    deadline_ = now + LocalProxyScanner::probeTimeout;
  }

  void startSending(Clock::time_point now) {
    stage_ = Stage::sending;
    deadline_ = now + LocalProxyScanner::probeTimeout;
    send(now);
  }

  void send(Clock::time_point now) {
    const std::string_view bytes = request();
    while (sent_ < bytes.size()) {
      const ssize_t count = ::send(fd_.get(), bytes.data() + sent_, bytes.size() - sent_,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
      if (count > 0) {
        sent_ += static_cast<std::size_t>(count);
      } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;
      } else {
        return fail(now);
      }
    }
    stage_ = Stage::receiving;
    deadline_ = now + LocalProxyScanner::probeTimeout;
  }

  void receive(Clock::time_point now) {
    // One read, as a blocking receive would do: an answer split across packets does not count.
    char buffer[128];
    const std::size_t wanted = attempt_ == ProxyProtocol::socks5 ? 2 : sizeof buffer;
    const ssize_t count = ::recv(fd_.get(), buffer, wanted, MSG_DONTWAIT);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    const std::string_view reply(buffer, count > 0 ? static_cast<std::size_t>(count) : 0);
    const bool answered =
        attempt_ == ProxyProtocol::socks5 ? socksAnswered(reply) : httpAnswered(reply);
    if (!answered) return fail(now);
    answer_ = attempt_;
    finish();
  }

  void fail(Clock::time_point now) {
    if (attempt_ == ProxyProtocol::socks5) return start(ProxyProtocol::http, now);
    finish();
  }

  void finish() {
    stage_ = Stage::done;
    fd_.reset();
  }

  std::uint16_t port_;
  ProxyProtocol attempt_ = ProxyProtocol::socks5;
  Stage stage_ = Stage::done;
  UniqueFd fd_;
  std::size_t sent_ = 0;
  Clock::time_point deadline_;
  std::optional<ProxyProtocol> answer_;
};

/// Sockets one thread keeps open at once, so that a scan of many ports stays well inside the
/// usual limit of open files.
constexpr std::size_t maxSocketsPerThread = 128;

/// Probes the ports until each has answered or failed, calling report with every port's result.
template <typename Report>
void probePorts(const std::vector<std::uint16_t>& ports, Report report) {
  std::vector<PortProbe> active;
  std::size_t next = 0;
  std::vector<pollfd> requests;
  Clock::time_point now = Clock::now();
  while (true) {
    while (next < ports.size() && active.size() < maxSocketsPerThread) {
      active.emplace_back(ports[next++], now);
    }
    std::erase_if(active, [&](const PortProbe& probe) {
      if (probe.done()) report(probe.port(), probe.answer());
      return probe.done();
    });
    if (active.empty() && next == ports.size()) return;
    if (active.empty()) continue;

    requests.clear();
    Clock::time_point earliest = active.front().deadline();
    for (const PortProbe& probe : active) {
      requests.push_back(probe.pollRequest());
      earliest = std::min(earliest, probe.deadline());
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(earliest - now);
    ::poll(requests.data(), requests.size(),
           static_cast<int>(std::max<std::int64_t>(0, wait.count())));
    now = Clock::now();
    for (std::size_t i = 0; i < active.size(); ++i) active[i].advance(requests[i].revents, now);
  }
}

/// Every port's answer, in the order of ports (ascending), from a bounded pool of threads that
/// have all ended when this returns.
std::vector<std::optional<ProxyProtocol>> probeInParallel(const std::vector<std::uint16_t>& ports) {
  // Each port has its slot; every thread takes every n-th port and writes only its own slots.
  std::vector<std::optional<ProxyProtocol>> answers(ports.size());
  std::mutex answersLock;
  const std::size_t threadCount =
      std::min<std::size_t>(LocalProxyScanner::maxProbeThreads, ports.size());
  std::vector<std::jthread> threads;
  for (std::size_t t = 0; t < threadCount; ++t) {
    threads.emplace_back([&, t] {
      std::vector<std::uint16_t> share;
      for (std::size_t i = t; i < ports.size(); i += threadCount) share.push_back(ports[i]);
      probePorts(share, [&](std::uint16_t port, std::optional<ProxyProtocol> answer) {
        const auto slot = std::lower_bound(ports.begin(), ports.end(), port) - ports.begin();
        const std::lock_guard lock(answersLock);
        answers[static_cast<std::size_t>(slot)] = answer;
      });
    });
  }
  threads.clear();  // joins
  return answers;
}

}  // namespace

ProxyServer LocalProxyScanner::Candidate::proxyServer() const {
  return ProxyServer{.id = UUID::random(),
                     .name = name,
                     .address = "127.0.0.1",
                     .port = port,
                     .proto = proto,
                     .credentials = std::nullopt};
}

json::Value toJSON(const LocalProxyScanner::Candidate& candidate) {
  return {{"name", candidate.name},
          {"port", candidate.port},
          {"proto", rawValue(candidate.proto)},
          {"source", candidate.source},
          {"listening", candidate.listening}};
}

std::vector<LocalProxyScanner::Candidate> LocalProxyScanner::scan() const {
  std::vector<ListeningSocket> sockets;
  collectListening(proc_, "net/tcp", sockets);
  collectListening(proc_, "net/tcp6", sockets);
  std::vector<std::uint16_t> ports;
  for (const ListeningSocket& socket : sockets) ports.push_back(socket.port);
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());

  const std::vector<std::optional<ProxyProtocol>> answers = probeInParallel(ports);

  // Owners are looked up only for the ports that answered, after the probes.
  std::map<std::uint64_t, std::uint16_t> answeringSockets;
  for (const ListeningSocket& socket : sockets) {
    const auto slot = std::lower_bound(ports.begin(), ports.end(), socket.port) - ports.begin();
    if (answers[static_cast<std::size_t>(slot)])
      answeringSockets.emplace(socket.inode, socket.port);
  }
  const std::map<std::uint16_t, std::string> owners = portOwners(proc_, answeringSockets);
  // Ports no visible process holds are named after the running proxy client, if there is one.
  std::optional<std::string> proxyClient;
  for (std::size_t i = 0; i < ports.size() && !proxyClient; ++i) {
    if (!answers[i] || owners.contains(ports[i])) continue;
    const auto path = ProcessOwner(proc_).runningProxyCorePath();
    if (!path) break;
    proxyClient = ProcessOwner::displayName(*path);
  }

  std::vector<Candidate> candidates;
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (!answers[i]) continue;
    const std::uint16_t port = ports[i];
    const auto owner = owners.find(port);
    // Velmora's own proxy is where routed connections come from, never a way out of them.
    if (owner != owners.end() && owner->second == ownProxyProcess) continue;
    Candidate candidate{.port = port,
                        .proto = *answers[i],
                        .source = std::string(unattributedSource),
                        .listening = true};
    if (owner != owners.end()) {
      candidate.name = friendly(owner->second) + " " + std::to_string(port);
      candidate.source = owner->second;
    } else {
      candidate.name =
          proxyClient ? *proxyClient + " " + std::to_string(port) : VL("本地代理 %lld", port);
    }
    candidates.push_back(std::move(candidate));
  }
  return candidates;
}

std::vector<ProxyServer> LocalProxyScanner::discoverProxies(IncludeAll includeAll) const {
  std::vector<ProxyServer> proxies;
  for (const Candidate& candidate : scan()) {
    if (includeAll == IncludeAll::no && candidate.source == unattributedSource) continue;
    proxies.push_back(candidate.proxyServer());
  }
  return proxies;
}

}  // namespace velmora
