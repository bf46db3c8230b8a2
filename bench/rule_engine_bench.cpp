// Building a RuleEngine and matching one connection, traced and on the trace-free path, for
// profiles of 10 to 10,000 rules with the deciding rule early, in the middle or last.
#include <benchmark/benchmark.h>

#include "kit/rule_engine.h"

namespace velmora {
namespace {

/// A mix like real profiles: bundle identifiers, "*.domain" wildcards, exact hosts, networks,
/// port ranges, and every tenth rule disabled. None of these takes the benchmark's connection.
Rule fillerRule(int i) {
  Rule rule{.id = UUID::random(), .name = "rule " + std::to_string(i)};
  const std::string n = std::to_string(i);
  switch (i % 4) {
    case 0:
      rule.apps = {"com.vendor" + n + ".app"};
      break;
    case 1:
      rule.apps = {"com.vendor" + n + ".app", "Vendor " + n};
      rule.hosts = {"*.vendor" + n + ".com"};
      break;
    case 2:
      rule.hosts = {"api" + n + ".example.net", "cdn" + n + ".example.net"};
      break;
    case 3:
      rule.hosts = {"10." + std::to_string(i % 256) + ".0.0/16", "*.corp" + n + ".internal"};
      break;
  }
  if (i % 5 == 0) rule.ports = {"8000-8100", "9443"};
  if (i % 10 == 9) rule.enabled = false;
  return rule;
}

Rule decidingRule() {
  return Rule{.id = UUID::random(),
              .name = "target",
              .apps = {"com.target.app"},
              .hosts = {"*.target.com"},
              .ports = {"443"},
              .action = RuleAction::block()};
}

enum class Winner { early, middle, last };

Profile profileOf(int rules, Winner winner) {
  Profile profile = Profile::makeDefault("bench");
  std::vector<Rule> unlocked;
  for (int i = 0; i < rules - 1; ++i) unlocked.push_back(fillerRule(i));
  const std::size_t position = winner == Winner::early    ? 0
                               : winner == Winner::middle ? unlocked.size() / 2
                                                          : unlocked.size();
  unlocked.insert(unlocked.begin() + static_cast<long>(position), decidingRule());
  profile.rules.insert(profile.rules.begin() + 1, unlocked.begin(), unlocked.end());
  return profile;
}

const AppIdentity kApp{
    .bundleID = "com.target.app", .displayName = "Target", .executableName = "target"};

void BM_Construct(benchmark::State& state) {
  const Profile profile = profileOf(static_cast<int>(state.range(0)), Winner::last);
  for (auto _ : state) benchmark::DoNotOptimize(RuleEngine(profile));
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_Match(benchmark::State& state) {
  const RuleEngine engine(
      profileOf(static_cast<int>(state.range(0)), static_cast<Winner>(state.range(1))));
  for (auto _ : state) {
    Verdict verdict = engine.match(kApp, "www.target.com", 443, FlowTransport::tcp);
    if (!verdict.matchedRule || verdict.matchedRule->name != "target")
      state.SkipWithError("wrong winner");
    benchmark::DoNotOptimize(verdict);
  }
}

void BM_Decide(benchmark::State& state) {
  const RuleEngine engine(
      profileOf(static_cast<int>(state.range(0)), static_cast<Winner>(state.range(1))));
  for (auto _ : state) {
    const RuleEngine::Decision decision =
        engine.decide(kApp, "www.target.com", 443, FlowTransport::tcp);
    if (!decision.rule || decision.rule->name != "target") state.SkipWithError("wrong winner");
    benchmark::DoNotOptimize(decision);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_Construct)->Arg(10)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Match)
    ->ArgsProduct({{10, 100, 1000, 10000},
                   {static_cast<int>(Winner::early), static_cast<int>(Winner::middle),
                    static_cast<int>(Winner::last)}})
    ->ArgNames({"rules", "winner"})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Decide)
    ->ArgsProduct({{10, 100, 1000, 10000},
                   {static_cast<int>(Winner::early), static_cast<int>(Winner::middle),
                    static_cast<int>(Winner::last)}})
    ->ArgNames({"rules", "winner"})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velmora
