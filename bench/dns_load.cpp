// Load for the DNS benchmark of captured programs: a resolver that answers every A question with
// one address, and a program that times its connections by name against those by address, the
// first byte back included. Every run is bounded in count and every wait in time: a second for
// the sink, the C library's own limits for a resolution.
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fixed_resolver.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int maxCount = 100000;

double microseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::micro>(duration).count();
}

/// The address name has for a TCP connection over IPv4, as the program's C library finds it;
/// false when it has none.
bool resolve(const char* name, in_addr& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0) return false;
  address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

/// How an exchange with the sink ended: refused is an orderly end or a reset before the byte
/// came, timedOut no byte within a second.
enum class Outcome { done, refused, timedOut };

/// Connects to address:port, asks the sink to echo one byte and reads it back; every step is
/// given a second.
Outcome exchange(in_addr address, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  const timeval limit{.tv_sec = 1, .tv_usec = 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  const sockaddr_in at{.sin_family = AF_INET,
                       .sin_port = htons(static_cast<std::uint16_t>(port)),
                       .sin_addr = address};
  char echo[2] = {'e', '!'};
  Outcome outcome = Outcome::refused;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) == 0 &&
      write(fd, echo, 2) == 2) {
    const ssize_t got = read(fd, echo, 1);
    if (got == 1) outcome = Outcome::done;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) outcome = Outcome::timedOut;
  } else if (errno == EINPROGRESS || errno == EAGAIN) {
    outcome = Outcome::timedOut;
  }
  close(fd);
  return outcome;
}

/// Times of one kind of connection, in microseconds, and how many failed which way.
struct Times {
  std::vector<double> all;
  int refused = 0;
  int timedOut = 0;

  /// Adds the time since begun when the exchange was done, else counts its failure.
  void add(Outcome outcome, Clock::time_point begun) {
    if (outcome == Outcome::done) all.push_back(microseconds(Clock::now() - begun));
    if (outcome == Outcome::refused) ++refused;
    if (outcome == Outcome::timedOut) ++timedOut;
  }
  double at(double q) {
    if (all.empty()) return 0;
    std::sort(all.begin(), all.end());
    return all[static_cast<std::size_t>(q * static_cast<double>(all.size() - 1))];
  }
  void print(const char* what) {
    std::printf("%-28s %6zu  p50 %7.1f us  p99 %7.1f us  refused %d  timed out %d\n", what,
                all.size(), at(0.5), at(0.99), refused, timedOut);
  }
};

/// count rounds of, in turn: resolving name and connecting to what it resolved to; connecting
/// to the address name resolved to in the first round, as a program that keeps what it was told
/// does; connecting to address. All to port.
int connections(const char* name, const char* address, int port, int count) {
  in_addr direct{};
  in_addr held{};
  if (inet_pton(AF_INET, address, &direct) != 1 || !resolve(name, held)) {
    std::fprintf(stderr, "dns_load: %s has no address\n", name);
    return 1;
  }
  Times resolving, byName, byHeldAddress, byAddress;
  for (int round = 0; round < count; ++round) {
    auto begun = Clock::now();
    in_addr found{};
    if (resolve(name, found)) {
      resolving.add(Outcome::done, begun);
      byName.add(exchange(found, port), begun);
    } else {
      resolving.add(Outcome::refused, begun);
    }
    begun = Clock::now();
    byHeldAddress.add(exchange(held, port), begun);
    begun = Clock::now();
    byAddress.add(exchange(direct, port), begun);
  }
  char heldText[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &held, heldText, sizeof heldText);
  std::printf("%s is %s\n", name, heldText);
  resolving.print("resolve only");
  byName.print("resolve, connect, first byte");
  byHeldAddress.print("fake address, first byte");
  byAddress.print("address, first byte");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "resolver" && argc == 4) {
    const velmora::bench::FixedResolver resolver(argv[2], argv[3]);
    // Serves from its thread until the process is ended.
    pause();
    return 0;
  }
  if (mode == "connect" && argc == 6 && std::atoi(argv[5]) > 0 && std::atoi(argv[5]) <= maxCount)
    return connections(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
  std::fputs(
      "usage: dns_load resolver <address> <answer>\n"
      "       dns_load connect <name> <address> <port> <count, at most 100000>\n",
      stderr);
  return 2;
}
