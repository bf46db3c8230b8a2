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

TEST_F(OfflineOperationsTest, RulesAreListedInEvaluationOrderAndSearchedByTag) {
  operations().addRule(
      RuleDTO{.name = "Work web", .apps = {"Safari"}, .ports = {"8443"}, .action = "direct"});
  Profile profile = active();
  profile.rules[1].tags = {"办公"};
  // Localhost stored last, as only a file edited by hand has it.
  std::rotate(profile.rules.begin(), profile.rules.begin() + 1, profile.rules.end());
  store().save(profile);
  std::vector<std::string> listed;
  for (const RuleDTO& rule : operations().rules(std::nullopt)) listed.push_back(rule.name);
  EXPECT_EQ(listed, (std::vector<std::string>{"Localhost", "Work web", "Default"}));
  EXPECT_EQ(operations().rules("办公").size(), 1u);
  EXPECT_TRUE(operations().rules("8443").empty());  // ports are not searched
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

TEST_F(OfflineOperationsTest, ImportingADocumentNeverSwitches) {
  operations().importProfile(json::compact(toJSON(Profile::makeDefault("Imported profile"))));
  EXPECT_EQ(store().list().size(), 2u);
  EXPECT_EQ(active().name, "Default");
  // Without a readable marker no profile is shown as active.
  std::filesystem::remove(store().directory() / "active");
  EXPECT_FALSE(operations().profiles()[0].isActive);
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
  EXPECT_EQ(report->proxies, 1);  // 127.0.0.1:1080 socks5 is already there
  const Profile profile = active();
  EXPECT_EQ(ruleNames(), (std::vector<std::string>{"Localhost", "Browsers", "Default"}));
  EXPECT_EQ(profile.rules[1].action, RuleAction::proxy(profile.proxies.at(1).id));
  expectRefused([&] { operations().importProfile("just some text"); });
  expectRefused([&] { operations().importProfile("<Other/>"); });
  // The temporary copy of every import is gone, whether it succeeded or not.
  EXPECT_TRUE(std::filesystem::is_empty(scratch().path() / "tmp"));
  unsetenv("TMPDIR");
}

}  // namespace
}  // namespace velmora
