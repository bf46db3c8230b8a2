// The rule engine's decisions and traces, resolution fallbacks and the test-route record.
#include "kit/rule_engine.h"

#include <gtest/gtest.h>

#include "kit/automation_protocol.h"

namespace velmora {
namespace {

using Entry = Verdict::TraceEntry;

Rule rule(std::string name, std::vector<std::string> apps = {}, std::vector<std::string> hosts = {},
          std::vector<std::string> ports = {}, RuleAction action = RuleAction::direct()) {
  return Rule{.id = UUID::random(),
              .name = std::move(name),
              .apps = std::move(apps),
              .hosts = std::move(hosts),
              .ports = std::move(ports),
              .action = std::move(action)};
}

/// A new profile with the given unlocked rules between its two guards.
Profile profileWith(std::vector<Rule> rules) {
  Profile profile = Profile::makeDefault("test");
  profile.rules.insert(profile.rules.begin() + 1, rules.begin(), rules.end());
  return profile;
}

const AppIdentity safari{
    .bundleID = "com.apple.Safari", .displayName = "Safari", .executableName = "Safari"};

Verdict matchTCP(const Profile& profile, std::string_view host, std::uint16_t port = 443,
                 const AppIdentity& app = safari) {
  return RuleEngine(profile).match(app, host, port, FlowTransport::tcp);
}

std::string matchedName(const Verdict& verdict) {
  return verdict.matchedRule ? verdict.matchedRule->name : "(none)";
}

TEST(RuleEngine, EmptyProfileEndsWithTheNoRuleEntry) {
  Profile profile = Profile::makeDefault("empty");
  profile.rules.clear();
  const Verdict verdict = matchTCP(profile, "example.com");
  EXPECT_EQ(verdict.resolved, Verdict::Resolved::direct());
  EXPECT_FALSE(verdict.matchedRule);
  EXPECT_EQ(verdict.quicPolicy, QUICPolicy::direct);
  EXPECT_EQ(verdict.trace, (std::vector<Entry>{{"(无兜底规则)", true, "默认直连"}}));
}

TEST(RuleEngine, GuardsComeFirstAndLastWhateverTheStoredOrder) {
  Profile profile = profileWith({rule("Safari web", {"com.apple.Safari"}, {"*.example.com"})});
  std::rotate(profile.rules.begin(), profile.rules.begin() + 1,
              profile.rules.end());  // Localhost last
  Rule pinned = rule("Pinned");
  pinned.locked = true;
  profile.rules.insert(profile.rules.begin(), pinned);

  const Verdict local = matchTCP(profile, "LOCALHOST");
  EXPECT_EQ(matchedName(local), "Localhost");
  EXPECT_EQ(local.trace.size(), 1u);

  const Verdict web = matchTCP(profile, "www.example.com");
  EXPECT_EQ(matchedName(web), "Safari web");
  EXPECT_EQ(web.trace,
            (std::vector<Entry>{{"Localhost", false, "目标主机不匹配（www.example.com）"},
                                {"Safari web", true, "命中"}}));

  const Verdict other = matchTCP(profile, "example.org", 80);
  EXPECT_EQ(matchedName(other), "Default");
  for (const Entry& entry : other.trace) EXPECT_NE(entry.ruleName, "Pinned");
}

TEST(RuleEngine, EachTestFailsWithItsReasonInOrder) {
  Rule disabled = rule("off", {"Safari"});
  disabled.enabled = false;
  Rule udpOnly = rule("udp only");
  udpOnly.transport = FlowTransport::udp;
  const Profile profile =
      profileWith({disabled, udpOnly, rule("chrome", {"Google Chrome", "com.google.*"}),
                   rule("hosts", {}, {"10.0.0.0/8", "a.test"}),
                   rule("ports", {}, {}, {"80", "8000-9000"}), rule("winner", {" Safari\t"})});
  const Verdict verdict = matchTCP(profile, "example.com", 443);
  EXPECT_EQ(matchedName(verdict), "winner");
  EXPECT_EQ(verdict.trace, (std::vector<Entry>{
                               {"Localhost", false, "目标主机不匹配（example.com）"},
                               {"off", false, "规则已停用"},
                               {"udp only", false, "传输层不匹配（规则限 udp）"},
                               {"chrome", false, "应用不匹配（Safari）"},
                               {"hosts", false, "目标主机不匹配（example.com）"},
                               {"ports", false, "端口不匹配（443）"},
                               {"winner", true, "命中"},
                           }));
}

TEST(RuleEngine, TransportAnyOnEitherSidePasses) {
  Rule tcpOnly = rule("tcp only");
  tcpOnly.transport = FlowTransport::tcp;
  const RuleEngine engine(profileWith({tcpOnly}));
  EXPECT_EQ(matchedName(engine.match(safari, "x.test", 1, FlowTransport::any)), "tcp only");
  const Verdict udp = engine.match(safari, "x.test", 1, FlowTransport::udp);
  EXPECT_EQ(udp.trace[1], (Entry{"tcp only", false, "传输层不匹配（规则限 tcp）"}));
  EXPECT_EQ(matchedName(udp), "Default");
}

TEST(RuleEngine, AppMismatchNamesTheIdentityByBestDescription) {
  const Profile profile = profileWith({rule("only chrome", {"Google Chrome"})});
  EXPECT_EQ(matchTCP(profile, "x.test", 1, AppIdentity{.bundleID = "org.mozilla.firefox"})
                .trace[1]
                .reason,
            "应用不匹配（org.mozilla.firefox）");
  EXPECT_EQ(matchTCP(profile, "x.test", 1, AppIdentity{}).trace[1].reason, "应用不匹配（unknown）");
}

TEST(RuleEngine, CompilesEntriesTheWayUsersWriteThem) {
  // An unparseable port is dropped, so the rule takes every port; blank entries are skipped.
  EXPECT_EQ(matchedName(matchTCP(profileWith({rule("any port", {}, {}, {"abc"})}), "x.test", 5)),
            "any port");
  EXPECT_EQ(matchedName(matchTCP(profileWith({rule("blank", {""}, {""}, {""})}), "x.test", 5)),
            "blank");
  // An app entry of blanks only becomes a pattern over "", which no named program matches.
  EXPECT_EQ(matchedName(matchTCP(profileWith({rule("spaces", {"  "})}), "x.test")), "Default");
  // A rule that places no condition takes everything, and later rules leave no trace.
  const Verdict all = matchTCP(profileWith({rule("all"), rule("never")}), "x.test");
  EXPECT_EQ(matchedName(all), "all");
  EXPECT_EQ(all.trace.size(), 2u);
}

TEST(RuleEngine, ComputerNameStandsForTheNameTheEngineIsGiven) {
  struct Case {
    std::optional<std::string> computerName;
    std::string host;
    bool taken;  // by a host entry "%ComputerName%"
  };
  const std::vector<Case> cases = {
      {"workstation", "workstation", true},       // the name itself
      {"workstation", "WorkStation", true},       // in any case
      {"workstation", "%ComputerName%", false},   // no longer the text itself
      {"workstation", "workstation.lan", false},  // only the very name
      {"workstation", "other", false},
      {std::nullopt, "%ComputerName%", true},  // without a name: the text itself
      {std::nullopt, "workstation", false},    // ... and nothing else
  };
  // The Localhost guard lists the entry as the profile stores it; a rule of one's own may write
  // it in any case, with blanks around.
  Profile own = Profile::makeDefault("own");
  own.rules = {rule("Own", {}, {" %computername%\t"})};
  const Profile guarded = profileWith({});
  // Each profile with the rule that takes the connection when the entry matches, and the one
  // that takes it otherwise.
  const struct {
    const Profile& profile;
    std::string taking;
    std::string otherwise;
  } profiles[] = {{own, "Own", "(none)"}, {guarded, "Localhost", "Default"}};
  for (const Case& c : cases) {
    for (const auto& [profile, taking, otherwise] : profiles) {
      SCOPED_TRACE(c.computerName.value_or("(no name)") + " " + c.host + " " + taking);
      const RuleEngine engine(profile, c.computerName);
      const std::string& expected = c.taken ? taking : otherwise;
      EXPECT_EQ(matchedName(engine.match(safari, c.host, 443, FlowTransport::tcp)), expected);
      const RuleEngine::Decision decision = engine.decide(safari, c.host, 443, FlowTransport::tcp);
      EXPECT_EQ(decision.rule ? decision.rule->name : "(none)", expected);
    }
  }
}

TEST(RuleEngine, ResolvesProxiesAndChainsAndFallsBackToDirect) {
  const ProxyServer a{.id = UUID::random(),
                      .name = "A",
                      .address = "10.0.0.1",
                      .port = 1080,
                      .proto = ProxyProtocol::socks5};
  const ProxyServer b{.id = UUID::random(),
                      .name = "B",
                      .address = "10.0.0.2",
                      .port = 8080,
                      .proto = ProxyProtocol::http};
  ProxyServer aTwin = a;
  aTwin.name = "A twin";
  const ProxyChain chain{
      .id = UUID::random(), .name = "AB", .proxyIDs = {a.id, UUID::random(), b.id}};
  const ProxyChain hollow{.id = UUID::random(), .name = "hollow", .proxyIDs = {UUID::random()}};
  const ProxyChain empty{.id = UUID::random(), .name = "empty", .proxyIDs = {}};

  struct Case {
    RuleAction action;
    Verdict::Resolved resolved;
    std::string fallback;  // empty when resolution needs none
    std::string description;
  };
  const std::vector<Case> cases = {
      {RuleAction::proxy(a.id), Verdict::Resolved::proxy({a}), "",
       "proxy A (10.0.0.1:1080 socks5)"},
      {RuleAction::chain(chain.id), Verdict::Resolved::proxy({a, b}), "",
       "proxy A (10.0.0.1:1080 socks5) → B (10.0.0.2:8080 http)"},
      {RuleAction::proxy(UUID::random()), Verdict::Resolved::direct(),
       "规则指向的代理不存在，回退直连", "direct"},
      {RuleAction::chain(UUID::random()), Verdict::Resolved::direct(),
       "规则指向的代理链不存在，回退直连", "direct"},
      {RuleAction::chain(hollow.id), Verdict::Resolved::direct(), "代理链为空，回退直连", "direct"},
      {RuleAction::chain(empty.id), Verdict::Resolved::direct(), "代理链为空，回退直连", "direct"},
      {RuleAction::interface("utun4"), Verdict::Resolved::interface("utun4"), "",
       "interface utun4"},
      {RuleAction::block(), Verdict::Resolved::block(), "", "block"},
  };
  for (const Case& c : cases) {
    Rule decider = rule("decider", {}, {}, {}, c.action);
    decider.quicPolicy = QUICPolicy::proxy;
    Profile profile = profileWith({decider});
    profile.proxies = {a, aTwin, b};
    profile.chains = {chain, hollow, empty};
    const Verdict verdict = matchTCP(profile, "x.test");
    EXPECT_EQ(verdict.resolved, c.resolved) << c.description;
    EXPECT_EQ(verdict.actionDescription(), c.description);
    EXPECT_EQ(matchedName(verdict), "decider");
    EXPECT_EQ(verdict.quicPolicy, QUICPolicy::proxy);
    std::vector<Entry> tail = {{"decider", true, "命中"}};
    if (!c.fallback.empty()) tail.insert(tail.begin(), Entry{"decider", false, c.fallback});
    EXPECT_EQ(std::vector<Entry>(verdict.trace.end() - static_cast<long>(tail.size()),
                                 verdict.trace.end()),
              tail)
        << c.description;
  }
}

TEST(TestRouteDTO, CarriesTheVerdictAsText) {
  const ProxyServer p{.id = UUID::random(),
                      .name = "P",
                      .address = "127.0.0.1",
                      .port = 1080,
                      .proto = ProxyProtocol::socks5};
  Profile profile = profileWith({rule("via P", {"Safari"}, {}, {}, RuleAction::proxy(p.id))});
  profile.proxies = {p};
  const TestRouteDTO record = TestRouteDTO::fromVerdict(matchTCP(profile, "example.com"));
  EXPECT_EQ(record, (TestRouteDTO{.action = "proxy P (127.0.0.1:1080 socks5)",
                                  .matchedRule = "via P",
                                  .trace = {"跳过「Localhost」：目标主机不匹配（example.com）",
                                            "命中「via P」"}}));
  EXPECT_EQ(json::compact(toJSON(record)),
            R"js({"action":"proxy P (127.0.0.1:1080 socks5)","matchedRule":"via P","trace":)js"
            R"js(["跳过「Localhost」：目标主机不匹配（example.com）","命中「via P」"]})js");
  EXPECT_EQ(testRouteDTOFromJSON(json::Reader(toJSON(record))), record);
  const TestRouteDTO unmatched{.action = "direct", .matchedRule = std::nullopt, .trace = {}};
  EXPECT_EQ(json::compact(toJSON(unmatched)), R"({"action":"direct","trace":[]})");
  EXPECT_THROW(testRouteDTOFromJSON(json::Reader(json::parse(R"({"action":"direct"})"))),
               json::DecodingError);
}

}  // namespace
}  // namespace velmora
