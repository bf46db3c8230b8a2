// What the data plane adds per connection besides the relay: finding the application behind a
// loopback connection (sock_diag, then /proc), and the rule decision.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "app_identity_lookup.h"
#include "data_plane.h"

namespace {

using namespace velmora;
using namespace velmora::dataplane;

SocketAddress addressOf(const sockaddr_in& at) {
  SocketAddress result{.family = AF_INET, .port = ntohs(at.sin_port)};
  std::memcpy(result.address.data(), &at.sin_addr, 4);
  return result;
}

/// Looks up the test's own connection: range(0) 1 reads the process afresh each time (as for a
/// program seen for the first time in a second), 0 takes what was read of it a moment ago.
void BM_IdentityLookup(benchmark::State& state) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{.sin_family = AF_INET};
  inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
  socklen_t size = sizeof at;
  bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at);
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size);
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at);
  sockaddr_in peer{};
  size = sizeof peer;
  const int accepted = accept(listener, reinterpret_cast<sockaddr*>(&peer), &size);
  AppIdentityLookup lookup(geteuid());
  auto now = AppIdentityLookup::Clock::now();
  for (auto _ : state) {
    if (state.range(0)) now += std::chrono::seconds(10);
    const PeerIdentity identity = lookup.identify(addressOf(peer), addressOf(at), now);
    if (!identity.app.executableName) state.SkipWithError("no identity found");
    benchmark::DoNotOptimize(identity);
  }
  close(accepted);
  close(client);
  close(listener);
}
BENCHMARK(BM_IdentityLookup)->Arg(0)->Arg(1)->MinTime(1.0);

void BM_DecisionWithDefaultRules(benchmark::State& state) {
  Profile profile = Profile::makeDefault("Bench");
  for (int i = 0; i < 20; ++i) {
    Rule rule;
    rule.id = UUID::random();
    rule.name = "App " + std::to_string(i);
    rule.apps = {"app" + std::to_string(i)};
    rule.action = RuleAction::block();
    profile.rules.insert(profile.rules.begin() + 1, rule);
  }
  const RoutingPolicy policy{.enabled = true,
                             .engine = std::make_shared<const RuleEngine>(profile)};
  const AppIdentity app{.displayName = "curl", .executableName = "curl"};
  for (auto _ : state) benchmark::DoNotOptimize(decide(policy, app, "example.com", 443));
}
BENCHMARK(BM_DecisionWithDefaultRules)->MinTime(1.0);

}  // namespace
