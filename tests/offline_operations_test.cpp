// The file backend over scratch stores, operation by operation; every failure leaves the profile
// file as it was, byte for byte.
#include "kit/offline_operations.h"

#include <gtest/gtest.h>

#include "kit/file_io.h"
#include "kit/import_error.h"
#include "test_support.h"

namespace velmora {
namespace {

using testing::ScratchDirectory;
using velmora::ClientErrorMessage;
using velmora::OfflineOperations;

class OfflineOperationsTest : public ::testing::Test {
 protected:
  OfflineOperationsTest() : store_(scratch_.path() / "store"), operations_(store_) {}

  ProfileStore& store() { return store_; }
  OfflineOperations& operations() { return operations_; }
  Profile active() { return store_.activeProfile(); }
  std::string activeBytes() {
    return readFile(store_.directory() / "profiles" / (store_.activeID().string() + ".json"));
  }

  /// Runs an operation that must be refused, and checks that nothing was saved. Its message is
  /// the command line's to check.
  template <typename Operation>
  void expectRefused(Operation operation) {
    const std::string before = activeBytes();
    EXPECT_THROW(operation(), Error);
    EXPECT_EQ(activeBytes(), before);
  }

  void addProxies(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
      operations_.addProxy(
          ProxyServer{.id = UUID::random(), .name = name, .address = "127.0.0.1", .port = 1080});
    }
  }

  std::vector<std::string> ruleNames() {
    std::vector<std::string> names;
    for (const Rule& rule : active().rules) names.push_back(rule.name);
    return names;
  }

  const ScratchDirectory& scratch() const { return scratch_; }

 private:
  ScratchDirectory scratch_;
  ProfileStore store_;
  OfflineOperations operations_;
};

TEST_F(OfflineOperationsTest, ProfilesSummariseEveryProfileByName) {
  operations().createProfile("Work");
  Profile work = store().find("work");
  work.environments = {
      NetworkEnvironment{UUID::random(), "Office", NetworkEnvironment::Kind::wifi("corp")},
      NetworkEnvironment{UUID::random(), "Lab", NetworkEnvironment::Kind::wired("aa", {})}};
  work.proxies = {ProxyServer{.name = "p"}};
  store().save(work);

  const auto summaries = operations().profiles();
  ASSERT_EQ(summaries.size(), 2u);
  EXPECT_EQ(summaries[0], (ProfileSummaryDTO{"Default", true, 2, 0, {}}));
  EXPECT_EQ(summaries[1], (ProfileSummaryDTO{"Work", false, 2, 1, {"Office", "Lab"}}));
  EXPECT_EQ(operations().environments(), (std::vector<std::string>{"Work ← Office", "Work ← Lab"}));

  operations().switchProfile("WORK");
  EXPECT_EQ(active().id, work.id);
  EXPECT_THROW(operations().createProfile("work"), ProfileStore::Error);
  std::filesystem::remove(store().directory() / "active");
  EXPECT_FALSE(operations().profiles()[0].isActive);
}

TEST_F(OfflineOperationsTest, RulesAreListedInEvaluationOrderAndSearched) {
  addProxies({"Home"});
  operations().addRule(RuleDTO{.name = "Work web",
                               .apps = {"Safari"},
                               .hosts = {"*.Corp.example"},
                               .ports = {"8443"},
                               .action = "proxy:home"});
  Profile profile = active();
  profile.rules[1].tags = {"办公"};
  std::rotate(profile.rules.begin(), profile.rules.begin() + 1,
              profile.rules.end());  // Localhost stored last
  store().save(profile);

  const auto all = operations().rules(std::nullopt);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].name, "Localhost");
  EXPECT_EQ(all[1].action, "proxy:Home");
  EXPECT_EQ(all[2].name, "Default");
  EXPECT_EQ(operations().rules("").size(), 3u);

  const auto names = [&](const std::string& word) {
    std::vector<std::string> found;
    for (const RuleDTO& rule : operations().rules(word)) found.push_back(rule.name);
    return found;
  };
  EXPECT_EQ(names("corp.EXAMPLE"), std::vector<std::string>{"Work web"});
  EXPECT_EQ(names("safari"), std::vector<std::string>{"Work web"});
  EXPECT_EQ(names("办公"), std::vector<std::string>{"Work web"});
  EXPECT_EQ(names("LOCALHOST"), std::vector<std::string>{"Localhost"});
  EXPECT_TRUE(names("8443").empty());   // ports are not searched
  EXPECT_TRUE(names("proxy").empty());  // nor is the action
}

TEST_F(OfflineOperationsTest, AddRulePutsTheRuleBeforeTheFallback) {
  Profile profile = active();
  Rule a{.id = UUID::random(), .name = "A", .apps = {"A"}};
  Rule pinned{.id = UUID::random(), .name = "Pinned", .locked = true};
  profile.rules = {profile.rules[1], a, profile.rules[0], pinned};  // Default, A, Localhost, Pinned
  store().save(profile);
  operations().addRule(RuleDTO{.name = "New", .apps = {"X"}, .action = "block", .locked = true});
  EXPECT_EQ(ruleNames(), (std::vector<std::string>{"Localhost", "A", "New", "Default"}));
  EXPECT_FALSE(active().rules[2].locked);
  expectRefused([&] { operations().addRule(RuleDTO{.name = "Bad", .action = "socks:foo"}); });
}

TEST_F(OfflineOperationsTest, MovedRulesStayBetweenTheGuards) {
  for (const std::string name : {"A", "B", "C"})
    operations().addRule(RuleDTO{.name = name, .apps = {name}, .action = "direct"});
  using Where = RulePlacement::Where;
  const struct {
    std::string rule;
    RulePlacement placement;
    std::vector<std::string> order;  // of the unlocked rules afterwards
  } moves[] = {
      {"c", {Where::top, {}}, {"C", "A", "B"}},
      {"C", {Where::bottom, {}}, {"A", "B", "C"}},
      {"A", {Where::after, "b"}, {"B", "A", "C"}},
      {"C", {Where::before, "B"}, {"C", "B", "A"}},
      {"A", {Where::after, "Localhost"}, {"A", "C", "B"}},
      {"A", {Where::before, "Default"}, {"C", "B", "A"}},
      {"B", {Where::before, "B"}, {"C", "B", "A"}},
  };
  for (const auto& move : moves) {
    operations().moveRule(move.rule, move.placement);
    std::vector<std::string> expected = move.order;
    expected.insert(expected.begin(), "Localhost");
    expected.push_back("Default");
    EXPECT_EQ(ruleNames(), expected) << move.rule;
  }
  expectRefused([&] { operations().moveRule("A", {Where::before, "Localhost"}); });
  expectRefused([&] { operations().moveRule("A", {Where::after, "default"}); });
  expectRefused([&] { operations().moveRule("Default", {Where::top, {}}); });
}

TEST_F(OfflineOperationsTest, RuleEditsKeepTheRestAndOnlyTheFallbackActionOfTheGuards) {
  addProxies({"Home"});
  operations().addRule(RuleDTO{.name = "Web", .apps = {"Safari"}, .action = "direct"});
  operations().addRule(RuleDTO{.name = "Mail", .apps = {"Mail"}, .action = "direct"});
  const Rule before = active().rules[1];
  operations().setRule("web",
                       {.name = "WEB", .action = "proxy:home", .quicPolicy = QUICPolicy::direct});
  const Rule after = active().rules[1];
  EXPECT_EQ(after, before.with({.name = "WEB",
                                .action = RuleAction::proxy(active().proxies[0].id),
                                .quicPolicy = QUICPolicy::direct}));
  operations().setRule("Default", {.action = "block"});
  EXPECT_EQ(active().rules.back().action, RuleAction::block());

  expectRefused([&] { operations().setRule("WEB", {.name = "mail"}); });
  expectRefused([&] { operations().setRule("Default", {.apps = std::vector<std::string>{"x"}}); });
  expectRefused([&] { operations().setRule("Localhost", {.action = "block"}); });
  expectRefused([&] { operations().removeRule("default"); });
  operations().setRuleEnabled("DEFAULT", false);
  EXPECT_FALSE(active().rules.back().enabled);
}

TEST_F(OfflineOperationsTest, ProxiesInUseStayAndChainsNameTheirProxies) {
  addProxies({"A", "B", "C"});
  operations().addChain("AB", {"a", "B"});
  operations().setRoute("Safari", "proxy:C");
  EXPECT_EQ(operations().chains(), (std::vector<ChainSummary>{{"AB", {"A", "B"}}}));
  expectRefused([&] { operations().removeProxy("A"); });  // in the chain
  expectRefused([&] { operations().removeProxy("c"); });  // routed to
  expectRefused([&] { addProxies({"a"}); });
  expectRefused([&] { operations().addChain("ab", {"A"}); });
  expectRefused([&] { operations().setProxy("B", {.name = "C"}); });

  operations().setProxy("B",
                        {.name = "B2", .port = 3128, .credentials = ProxyCredentials{"u", "p"}});
  EXPECT_EQ(operations().chains()[0].proxies, (std::vector<std::string>{"A", "B2"}));
  EXPECT_EQ(active().proxies[1].credentials, (ProxyCredentials{"u", "p"}));
  operations().setProxy("B2", {.credentials = std::optional<ProxyCredentials>()});
  EXPECT_EQ(active().proxies[1].credentials, std::nullopt);

  operations().removeRoute("SAFARI");
  operations().removeProxy("C");
  operations().removeChain("ab");
  operations().removeProxy("A");
  EXPECT_EQ(active().proxies.size(), 1u);
  EXPECT_EQ(ruleNames(), (std::vector<std::string>{"Localhost", "Default"}));
}

TEST_F(OfflineOperationsTest, SetRouteParsesTargets) {
  addProxies({"A", "B"});
  const Profile profile = active();
  struct Case {
    std::string target;
    RuleAction action;
  };
  const std::vector<Case> accepted = {
      {"Direct", RuleAction::direct()},
      {"BLOCK", RuleAction::block()},
      {"b", RuleAction::proxy(profile.proxies[1].id)},
      {"Proxy:a", RuleAction::proxy(profile.proxies[0].id)},
      {"interface: utun4 ", RuleAction::interface("utun4")},
  };
  for (const Case& c : accepted) {
    EXPECT_EQ(OfflineOperations::parseTarget(c.target, profile), c.action) << c.target;
  }

  operations().setRoute("com.tencent.微信", "block");
  operations().setRoute("COM.tencent.微信", "proxy:B");
  const Rule route = active().rules[1];
  EXPECT_EQ(route.name, "App: com.tencent.微信");
  EXPECT_EQ(route.action, RuleAction::proxy(profile.proxies[1].id));
  EXPECT_EQ(active().rules.size(), 3u);
  expectRefused([&] { operations().setRoute("X", "chain:AB"); });
}

TEST_F(OfflineOperationsTest, ProfilesAreRenamedRemovedAndUnbound) {
  operations().createProfile("Work");
  const auto bound = [](std::string name) {
    return NetworkEnvironment{UUID::random(), std::move(name), NetworkEnvironment::Kind::wifi("x")};
  };
  store().save(
      store().find("Work").with({.environments = std::vector{bound("Office"), bound("Lab")}}));
  store().save(active().with({.environments = std::vector{bound("Lab")}}));

  operations().unbindEnvironmentNamed("Lab");
  EXPECT_EQ(operations().environments(), std::vector<std::string>{"Work ← Office"});
  EXPECT_EQ(operations().unbindEnvironments("work"), 1u);
  EXPECT_TRUE(operations().environments().empty());
  expectRefused([&] { operations().unbindEnvironmentNamed("Lab"); });

  operations().renameProfile("work", "Home");
  operations().renameProfile("home", "HOME");  // its own name in another case
  expectRefused([&] { operations().renameProfile("Home", "default"); });
  expectRefused([&] { operations().removeProfile("default"); });  // the active one
  operations().removeProfile("home");
  EXPECT_EQ(operations().profiles().size(), 1u);
}

TEST_F(OfflineOperationsTest, TestRouteNamesTheAppEveryWay) {
  operations().addRule(RuleDTO{.name = "By bundle",
                               .apps = {"com.example.app"},
                               .hosts = {"*.example.com"},
                               .action = "block"});
  const TestRouteDTO byBundle =
      operations().testRoute("com.example.app.helper", "www.example.com", 443);
  EXPECT_EQ(byBundle.matchedRule, "By bundle");
  EXPECT_EQ(byBundle.action, "block");
  EXPECT_EQ(byBundle.trace,
            (std::vector<std::string>{"跳过「Localhost」：目标主机不匹配（www.example.com）",
                                      "命中「By bundle」"}));
  const TestRouteDTO other = operations().testRoute("Firefox", "127.0.0.1", 80);
  EXPECT_EQ(other.matchedRule, "Localhost");
  EXPECT_EQ(operations().testRoute("Firefox", "www.example.com", 443).trace[1],
            "跳过「By bundle」：应用不匹配（Firefox）");
}

TEST_F(OfflineOperationsTest, ExportedProfileImportsBackInPlace) {
  operations().createProfile("Work");
  const std::string exported = operations().exportProfile(std::nullopt);
  EXPECT_EQ(decodeProfileDocument(exported), active());
  EXPECT_EQ(decodeProfileDocument(operations().exportProfile("WORK")).name, "Work");
  EXPECT_THROW(operations().exportProfile("nope"), ProfileStore::Error);

  Profile changed = decodeProfileDocument(exported);
  changed.name = "Default, edited";
  EXPECT_EQ(operations().importProfile(encodeProfileDocument(changed)), std::nullopt);
  EXPECT_EQ(store().list().size(), 2u);
  EXPECT_EQ(active().name, "Default, edited");

  Profile other = Profile::makeDefault("Imported profile");
  operations().importProfile(json::compact(toJSON(other)));
  EXPECT_EQ(store().list().size(), 3u);
  EXPECT_EQ(active().name, "Default, edited");  // importing never switches
}

TEST_F(OfflineOperationsTest, ForeignConfigurationMergesIntoTheActiveProfile) {
  std::filesystem::create_directory(scratch().path() / "tmp");
  setenv("TMPDIR", (scratch().path() / "tmp").c_str(), 1);
  addProxies({"Existing"});
  const std::string ppx = R"(<?xml version="1.0" encoding="UTF-8"?>
<ProxifierProfile version="102">
  <ProxyList>
    <Proxy id="100" type="SOCKS5"><Address>127.0.0.1</Address><Port>1080</Port></Proxy>
    <Proxy id="101" type="HTTPS"><Address>10.0.0.2</Address><Port>3128</Port></Proxy>
  </ProxyList>
  <RuleList>
    <Rule enabled="true"><Name>Browsers</Name><Applications>firefox; chrome</Applications><Action type="Proxy" proxy="101"/></Rule>
    <Rule enabled="true"><Name>Default</Name><Action type="Direct"/></Rule>
  </RuleList>
</ProxifierProfile>)";
  const std::optional<ImportReport> report = operations().importProfile(ppx);
  ASSERT_TRUE(report);
  EXPECT_EQ(report->proxies, 1);
  EXPECT_EQ(report->rules, 1);
  const Profile profile = active();
  ASSERT_EQ(profile.proxies.size(), 2u);  // 127.0.0.1:1080 socks5 is already there
  EXPECT_EQ(profile.proxies[1].name, "10.0.0.2:3128");
  EXPECT_EQ(ruleNames(), (std::vector<std::string>{"Localhost", "Browsers", "Default"}));
  EXPECT_EQ(profile.rules[1].action, RuleAction::proxy(profile.proxies[1].id));
  EXPECT_EQ(profile.rules[1].apps, (std::vector<std::string>{"firefox", "chrome"}));
  expectRefused([&] { operations().importProfile("just some text"); });
  expectRefused([&] { operations().importProfile("<Other/>"); });
  // The temporary copy of every import is gone, whether it succeeded or not.
  EXPECT_TRUE(std::filesystem::is_empty(scratch().path() / "tmp"));
  unsetenv("TMPDIR");
}

}  // namespace
}  // namespace velmora
