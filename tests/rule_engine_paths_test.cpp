// The engine's two paths agree: over generated profiles and connections, the trace-free decision
// names the same rule, route and QUIC policy as the traced match.
#include <gtest/gtest.h>

#include <random>

#include "kit/rule_engine.h"

namespace velmora {
namespace {

/// Draws profiles and connections from small pools, so that rules often take the connections;
/// the pools mix ASCII with letters whose case folding is not byte-wise (Kelvin sign, "ß",
/// dotted capital I) and invalid UTF-8.
class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  /// Mostly short profiles; every fifth is long enough to span several words of the engine's
  /// candidate sets.
  Profile profile() { return profile(pick(1, chance(5) ? 300 : 40)); }

  Profile profile(int count) {
    Profile profile = Profile::makeDefault("generated");
    for (int i = 0; i < 3; ++i) {
      profile.proxies.push_back(ProxyServer{.name = "proxy " + std::to_string(i),
                                            .address = "10.0.0." + std::to_string(i + 1),
                                            .port = 1080});
    }
    const ProxyChain whole{.id = UUID::random(),
                           .name = "whole",
                           .proxyIDs = {profile.proxies[0].id, profile.proxies[2].id}};
    const ProxyChain dangling{
        .id = UUID::random(), .name = "dangling", .proxyIDs = {UUID::random()}};
    profile.chains = {whole, dangling};
    std::vector<Rule> rules;
    for (int i = 0; i < count; ++i) rules.push_back(rule(profile, i));
    profile.rules.insert(profile.rules.begin() + 1, rules.begin(), rules.end());
    if (chance(4)) profile.rules.back().enabled = false;
    return profile;
  }

  AppIdentity app() {
    AppIdentity identity;
    const auto maybe = [&](std::optional<std::string>& field) {
      if (chance(2)) field = from(names_);
    };
    maybe(identity.bundleID);
    maybe(identity.displayName);
    maybe(identity.executableName);
    maybe(identity.responsibleBundleID);
    maybe(identity.responsibleAppName);
    maybe(identity.responsibleExecutable);
    maybe(identity.appBundleName);
    return identity;
  }

  std::string host() { return from(hosts_); }
  std::uint16_t port() { return from(std::vector<std::uint16_t>{0, 22, 80, 443, 8080, 8443}); }
  FlowTransport transport() {
    return from(std::vector{FlowTransport::tcp, FlowTransport::udp, FlowTransport::any});
  }

 private:
  Rule rule(const Profile& profile, int index) {
    Rule rule{.id = UUID::random(), .name = "rule " + std::to_string(index)};
    rule.enabled = !chance(6);
    for (int i = pick(0, 2); i > 0; --i) rule.apps.push_back(from(appPatterns_));
    for (int i = pick(0, 2); i > 0; --i) rule.hosts.push_back(from(hostPatterns_));
    for (int i = pick(0, 1); i > 0; --i) rule.ports.push_back(from(portPatterns_));
    rule.transport = transport();
    rule.quicPolicy =
        from(std::vector{QUICPolicy::proxy, QUICPolicy::fallback, QUICPolicy::direct});
    const RuleAction actions[] = {
        RuleAction::block(),
        RuleAction::proxy(profile.proxies[static_cast<std::size_t>(pick(0, 2))].id),
        RuleAction::proxy(UUID::random()),
        RuleAction::chain(profile.chains[0].id),
        RuleAction::chain(chance(2) ? profile.chains[1].id : UUID::random()),
        RuleAction::interface("wg0"),
        RuleAction::direct()};
    rule.action = actions[pick(0, 6)];
    return rule;
  }

  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool chance(int oneIn) { return pick(1, oneIn) == 1; }
  template <typename T>
  T from(const std::vector<T>& pool) {
    return pool[static_cast<std::size_t>(pick(0, static_cast<int>(pool.size()) - 1))];
  }

  std::mt19937 random_;
  const std::vector<std::string> names_{"com.example.app",
                                        "com.example.app.helper",
                                        "COM.Example.App",
                                        "Example",
                                        "example",
                                        "Straße",
                                        "STRASSE",
                                        "\u212Aelvin",
                                        "kelvin",
                                        "İstanbul",
                                        "i̇stanbul",
                                        "bad\xFFname",
                                        "",
                                        "curl"};
  const std::vector<std::string> appPatterns_{
      "com.example.app", "Com.Example.App", "com.example", "example",     "Exam*",    "*ple",
      "?xample",         "strasse",         "STRASSE",     "Kelvin",      "K*",       "*",
      " curl ",          "i̇stanbul",        "İSTANBUL",    "bad\xFFname", "bad?name", "\t"};
  const std::vector<std::string> hosts_{"example.com",
                                        "WWW.Example.COM",
                                        "api.example.net",
                                        "a.b.EXAMPLE.com",
                                        "10.1.2.3",
                                        "10.1.2.300",
                                        "192.168.0.10",
                                        "127.0.0.1",
                                        "straße.de",
                                        "STRASSE.de",
                                        "\u212A.org",
                                        "k.org",
                                        "",
                                        "bad\xFF.com",
                                        "localhost"};
  const std::vector<std::string> hostPatterns_{"example.com",
                                               "*.example.com",
                                               "*.EXAMPLE.*",
                                               "10.0.0.0/8",
                                               "10.1.2.0/24",
                                               "10.1.2.3/40",
                                               "192.168.0.1-192.168.0.20",
                                               "10.9.9.9-10.0.0.1",
                                               "strasse.de",
                                               "STRASSE.DE",
                                               "*.de",
                                               "K.ORG",
                                               "?.org",
                                               " localhost ",
                                               "bad\xFF.com",
                                               "*",
                                               "127.0.0.1"};
  const std::vector<std::string> portPatterns_{"443", "80-443", "8000-9000", "x", "22", ""};
};

/// Asks both paths about generated connections; returns how many a generated rule took.
int expectSamePaths(const RuleEngine& engine, Generator& generate, int connections,
                    const std::string& label) {
  int taken = 0;
  for (int c = 0; c < connections; ++c) {
    const AppIdentity app = generate.app();
    const std::string host = generate.host();
    const std::uint16_t port = generate.port();
    const FlowTransport transport = generate.transport();
    const Verdict traced = engine.match(app, host, port, transport);
    const RuleEngine::Decision decided = engine.decide(app, host, port, transport);
    const std::string where = label + ", connection " + std::to_string(c) + ", host " + host;
    EXPECT_EQ(traced.resolved, *decided.resolved) << where;
    EXPECT_EQ(traced.quicPolicy, decided.quicPolicy) << where;
    EXPECT_EQ(traced.matchedRule.has_value(), decided.rule != nullptr) << where;
    if (!traced.matchedRule || !decided.rule) continue;
    EXPECT_EQ(*traced.matchedRule, *decided.rule) << where;
    if (decided.rule->name.starts_with("rule ")) ++taken;
  }
  return taken;
}

TEST(RuleEnginePaths, TheTraceFreeDecisionAgreesWithTheTracedMatch) {
  Generator generate(20261206);
  int taken = 0;
  for (int p = 0; p < 300 && !testing::Test::HasFailure(); ++p) {
    const RuleEngine engine(generate.profile());
    taken += expectSamePaths(engine, generate, 60, "profile " + std::to_string(p));
  }
  // The pools are meant to let generated rules decide often, not only the built-in guards.
  EXPECT_GT(taken, 1000);
}

TEST(RuleEnginePaths, AProfileTooLargeForTheInlineCandidateSetsDecidesTheSame) {
  Generator generate(7);
  const RuleEngine engine(generate.profile(17000));
  expectSamePaths(engine, generate, 40, "large profile");
}

}  // namespace
}  // namespace velmora
