// velmorad's DNS responder over UDP: answers per second and their latency, fake addresses against
// questions relayed to a resolver, in a network namespace of the benchmark's own (root needed);
// and, apart, what it does for every question: the sender check through sock_diag, and reading
// the question and writing a fake answer.
#include <benchmark/benchmark.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "dns_responder.h"
#include "fixed_resolver.h"
#include "kit/discovery/socket_table.h"
#include "own_namespace.h"

namespace velmora::dns {
namespace {

using Clock = std::chrono::steady_clock;
using bench::FixedResolver;
using bench::queryMessage;

/// Where relayed questions go: the namespace's own resolver, and the address it answers with.
constexpr const char* resolverAddress = "127.0.0.2";
constexpr const char* resolvedAddress = "10.1.2.3";
/// Names asked in turn: known to the responder after the first round, as a program's usual
/// hosts are.
constexpr int nameCount = 1024;

/// Moves the process's main thread into a new network namespace with loopback up, so that the
/// resolver can take port 53 and nothing else answers there; false where that is not allowed.
bool ownNetworkNamespace() {
  static const bool entered = bench::enterOwnNetworkNamespace();
  return entered;
}

/// Keeps the calling thread on one CPU while it lives, when the machine has two or more; threads
/// it starts meanwhile stay on that CPU. The end gives the thread back the CPUs it had.
class OnCpu {
 public:
  explicit OnCpu(int cpu) {
    ::sched_getaffinity(0, sizeof original_, &original_);
    if (std::thread::hardware_concurrency() < 2) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    ::sched_setaffinity(0, sizeof one, &one);
  }
  ~OnCpu() { ::sched_setaffinity(0, sizeof original_, &original_); }
  OnCpu(const OnCpu&) = delete;
  OnCpu& operator=(const OnCpu&) = delete;

 private:
  cpu_set_t original_;
};

/// The responder with its thread on CPU 0, the resolver with its thread on CPU 1, names under
/// fake.bench faked and names under relayed.bench relayed to the resolver. The calling thread
/// stays on CPU 1, beside the resolver, as long as this lives.
class Responding {
 public:
  Responding()
      : resolvConf_(std::filesystem::temp_directory_path() /
                    ("velmora-dns-bench-" + std::to_string(::getpid()) + ".conf")) {
    std::ofstream(resolvConf_) << "nameserver " << resolverAddress << "\n";
    {
      const OnCpu responderCpu(0);
      responder_.emplace(DnsResponder::Options{.resolvConf = resolvConf_},
                         std::make_shared<FakeNames>(), [](std::string_view) {});
    }
    responder_->follow(DNSSettings{.resolveViaProxy = true, .exclusions = {"*.relayed.bench"}});
    clientCpu_.emplace(1);
    resolver_.emplace(resolverAddress, resolvedAddress);
  }
  ~Responding() {
    responder_.reset();
    resolver_.reset();
    std::filesystem::remove(resolvConf_);
  }
  Responding(const Responding&) = delete;
  Responding& operator=(const Responding&) = delete;

  std::uint16_t port() const { return responder_->port(); }

 private:
  std::filesystem::path resolvConf_;
  std::optional<DnsResponder> responder_;
  std::optional<OnCpu> clientCpu_;
  std::optional<FixedResolver> resolver_;
};

/// A UDP client on 127.0.0.1 that keeps a number of questions outstanding, each with its own id.
class Asking {
 public:
  Asking(const char* address, std::uint16_t port, std::string_view zone) {
    for (int n = 0; n < nameCount; ++n)
      questions_.push_back(
          queryMessage("h" + std::to_string(n) + "." + std::string(zone), bench::typeA));
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{.sin_family = AF_INET, .sin_port = htons(port)};
    inet_pton(AF_INET, address, &at.sin_addr);
    ::connect(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at);
  }
  ~Asking() { ::close(fd_); }
  Asking(const Asking&) = delete;
  Asking& operator=(const Asking&) = delete;

  /// Sends the next question.
  void ask() {
    std::vector<std::uint8_t>& question = questions_[next_ % questions_.size()];
    const std::uint16_t id = static_cast<std::uint16_t>(next_++);
    question[0] = static_cast<std::uint8_t>(id >> 8);
    question[1] = static_cast<std::uint8_t>(id);
    sentAt_[id] = Clock::now();
    ::send(fd_, question.data(), question.size(), 0);
  }

  /// Waits for an answer to an outstanding question: the time since it was asked, or nothing
  /// when none came for a second or it is no answer with one address.
  std::optional<Clock::duration> answer() {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, 1000) != 1) return std::nullopt;
    const ssize_t size = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
    if (size < 12) return std::nullopt;
    const std::uint16_t id = static_cast<std::uint16_t>(buffer_[0] << 8 | buffer_[1]);
    const bool oneAddress = (buffer_[3] & 0x0f) == 0 && buffer_[6] == 0 && buffer_[7] == 1;
    if (!oneAddress || !sentAt_[id]) return std::nullopt;
    const Clock::duration took = Clock::now() - *sentAt_[id];
    sentAt_[id].reset();
    return took;
  }

 private:
  std::vector<std::vector<std::uint8_t>> questions_;
  std::array<std::optional<Clock::time_point>, 65536> sentAt_{};
  std::array<std::uint8_t, 4096> buffer_{};
  std::uint32_t next_ = 0;
  int fd_ = -1;
};

/// Who answers: the responder with a fake address, the responder with what it relayed from the
/// resolver, or a second resolver on CPU 0 asked straight, the floor of a UDP exchange between
/// the two CPUs.
enum class Path { fake, relayed, resolverAlone };

/// One iteration is one answer, with range(0) questions kept outstanding. Latency is from a
/// question's send to its answer; with several outstanding it includes the wait behind the
/// others.
void BM_Answers(benchmark::State& state, Path path) {
  if (!ownNetworkNamespace()) {
    state.SkipWithError("needs CAP_SYS_ADMIN for a network namespace of its own");
    return;
  }
  const auto outstanding = state.range(0);
  const Responding responding;
  std::optional<FixedResolver> alone;
  if (path == Path::resolverAlone) {
    const OnCpu resolverCpu(0);
    alone.emplace("127.0.0.3", resolvedAddress);
  }
  Asking asking(path == Path::resolverAlone ? "127.0.0.3" : "127.0.0.1",
                path == Path::resolverAlone ? 53 : responding.port(),
                path == Path::relayed ? "relayed.bench" : "fake.bench");
  // Every name once, so that the fake ones are known before the measurement.
  for (int n = 0; n < nameCount; ++n) {
    asking.ask();
    if (!asking.answer()) {
      state.SkipWithError("no answer");
      return;
    }
  }
  std::vector<double> latencies;
  latencies.reserve(1 << 20);
  std::int64_t missing = 0;
  for (std::int64_t n = 0; n < outstanding; ++n) asking.ask();
  for (auto _ : state) {
    std::optional<Clock::duration> took;
    while (!(took = asking.answer())) {
      // A question whose answer did not come, or came wrong, is replaced by another.
      if (++missing > 100) {
        state.SkipWithError("more than 100 questions got no answer");
        return;
      }
      asking.ask();
    }
    if (latencies.size() < latencies.capacity())
      latencies.push_back(std::chrono::duration<double, std::micro>(*took).count());
    asking.ask();
  }
  std::sort(latencies.begin(), latencies.end());
  const auto at = [&](double q) {
    return latencies.empty() ? 0.0
                             : latencies[static_cast<std::size_t>(q * (latencies.size() - 1))];
  };
  state.SetItemsProcessed(state.iterations());
  state.counters["p50_us"] = at(0.5);
  state.counters["p99_us"] = at(0.99);
  state.counters["missing"] = static_cast<double>(missing);
}
BENCHMARK_CAPTURE(BM_Answers, fake, Path::fake)
    ->ArgName("outstanding")
    ->Arg(1)
    ->Arg(16)
    ->UseRealTime()
    ->MinTime(2);
BENCHMARK_CAPTURE(BM_Answers, relayed, Path::relayed)
    ->ArgName("outstanding")
    ->Arg(1)
    ->Arg(16)
    ->UseRealTime()
    ->MinTime(2);
BENCHMARK_CAPTURE(BM_Answers, resolver_alone, Path::resolverAlone)
    ->ArgName("outstanding")
    ->Arg(1)
    ->Arg(16)
    ->UseRealTime()
    ->MinTime(2);

/// What the responder asks sock_diag for every UDP question from an IPv4 socket: the sockets
/// bound to its port in the kernel's IPv4 table, then in its IPv6 table (range(0) 2), or in the
/// IPv4 table only (1).
void BM_SenderCheck(benchmark::State& state) {
  const OnCpu cpu(0);
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{.sin_family = AF_INET};
  inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
  socklen_t size = sizeof at;
  ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &size);
  const std::uint16_t port = ntohs(at.sin_port);
  SocketTable sockets;
  for (auto _ : state) {
    benchmark::DoNotOptimize(sockets.boundTo(IPPROTO_UDP, AF_INET, port));
    if (state.range(0) == 2) benchmark::DoNotOptimize(sockets.boundTo(IPPROTO_UDP, AF_INET6, port));
  }
  ::close(fd);
}
BENCHMARK(BM_SenderCheck)->ArgName("tables")->Arg(1)->Arg(2);

/// The work of a fake answer without the sockets: reading the question, the policy, the name's
/// address and writing the answer.
void BM_FakeReply(benchmark::State& state) {
  const OnCpu cpu(0);
  const FakeAddressPolicy policy(DNSSettings{.resolveViaProxy = true}, std::string("bench"));
  FakeNames names;
  std::vector<std::uint8_t> question = queryMessage("www.fake.bench", bench::typeA);
  for (auto _ : state) {
    const std::optional<DnsQuery> query = readQuery(question);
    const std::optional<std::string> host = policy.fakedName(*query);
    benchmark::DoNotOptimize(addressAnswer(*query, names.ipv4(*host), std::chrono::seconds(10)));
  }
}
BENCHMARK(BM_FakeReply);

}  // namespace
}  // namespace velmora::dns
