// The profile document: its JSON form both ways, rule order, route setting and environments.
#include "kit/model.h"

#include <gtest/gtest.h>

#include "kit/profile_store.h"

namespace velmora {
namespace {

Profile read(const std::string& text) {
  return profileFromJSON(json::Reader(json::parse(text)));
}

Rule unlockedRule(std::string name, RuleAction action = RuleAction::direct()) {
  return Rule{
      .id = UUID::random(), .name = std::move(name), .apps = {"App"}, .action = std::move(action)};
}

std::vector<std::string> names(const std::vector<Rule>& rules) {
  std::vector<std::string> result;
  for (const Rule& rule : rules) result.push_back(rule.name);
  return result;
}

Profile sampleProfile() {
  Profile profile = Profile::makeDefault("工作");
  const ProxyServer plain{.id = UUID::random(),
                          .name = "corp",
                          .address = "proxy.corp",
                          .port = 3128,
                          .proto = ProxyProtocol::http,
                          .credentials = std::nullopt};
  const ProxyServer secured{.id = UUID::random(),
                            .name = "home",
                            .address = "::1",
                            .port = 1080,
                            .proto = ProxyProtocol::socks5,
                            .credentials = ProxyCredentials{"me", "p/w"}};
  const ProxyChain chain{
      .id = UUID::random(), .name = "both", .proxyIDs = {plain.id, secured.id, UUID::random()}};
  profile.proxies = {plain, secured};
  profile.chains = {chain};
  profile.rules.insert(profile.rules.begin() + 1,
                       unlockedRule("chain", RuleAction::chain(chain.id)));
  profile.rules.insert(profile.rules.begin() + 1,
                       unlockedRule("tun", RuleAction::interface("utun3")));
  profile.rules.insert(profile.rules.begin() + 1,
                       unlockedRule("proxy", RuleAction::proxy(plain.id)));
  profile.rules.insert(profile.rules.begin() + 1, unlockedRule("block", RuleAction::block()));
  profile.environments = {
      NetworkEnvironment{UUID::random(), "Office", NetworkEnvironment::Kind::wifi("Corp-WiFi")},
      NetworkEnvironment{UUID::random(), "Desk",
                         NetworkEnvironment::Kind::wired("AA:BB:CC:00:11:22", std::nullopt)},
      NetworkEnvironment{UUID::random(), "Lab",
                         NetworkEnvironment::Kind::wired(std::nullopt, std::nullopt)},
  };
  profile.schemaVersion = 7;
  return profile;
}

TEST(Profile, NewProfileHasTheTwoLockedDirectGuards) {
  const Profile profile = Profile::makeDefault(" Mixed Case ");
  EXPECT_EQ(profile.schemaVersion, 1);
  EXPECT_EQ(profile.name, " Mixed Case ");
  ASSERT_EQ(names(profile.rules), (std::vector<std::string>{"Localhost", "Default"}));
  for (const Rule& rule : profile.rules) {
    EXPECT_TRUE(rule.locked);
    EXPECT_TRUE(rule.enabled);
    EXPECT_EQ(rule.action, RuleAction::direct());
    EXPECT_EQ(rule.transport, FlowTransport::any);
    EXPECT_EQ(rule.quicPolicy, QUICPolicy::fallback);
  }
  EXPECT_EQ(profile.rules[0].hosts,
            (std::vector<std::string>{"localhost", "127.0.0.1", "::1", "%ComputerName%"}));
  EXPECT_TRUE(profile.rules[1].hosts.empty());
  EXPECT_NE(profile.rules[0].id, profile.rules[1].id);
  EXPECT_EQ(profile.dns.exclusions,
            (std::vector<std::string>{"localhost", "*.local", "%ComputerName%"}));
  EXPECT_TRUE(profile.dns.resolveViaProxy);
  EXPECT_TRUE(profile.general.loopDetection && profile.general.failsafeOnCrash);
  EXPECT_NE(Profile::makeDefault("x").id, Profile::makeDefault("x").id);
}

TEST(Profile, OrderedRulesPutsGuardsAroundUnlockedRules) {
  Profile profile = Profile::makeDefault("p");
  const Rule localhost = profile.rules[0];
  const Rule fallback = profile.rules[1];
  Rule otherLocked = unlockedRule("Pinned");
  otherLocked.locked = true;
  Rule lowerCaseGuard = Profile::localhostGuardRule();
  lowerCaseGuard.name = "localhost";
  profile.rules = {fallback,  unlockedRule("A"), otherLocked,
                   localhost, lowerCaseGuard,    unlockedRule("B")};
  EXPECT_EQ(names(profile.orderedRules()),
            (std::vector<std::string>{"Localhost", "A", "B", "Default"}));
}

TEST(Profile, SettingRouteTwiceKeepsOneRuleWithTheSecondAction) {
  Profile profile = Profile::makeDefault("p");
  Rule pinned = unlockedRule("Pinned");
  pinned.locked = true;
  profile.rules.push_back(pinned);
  profile.rules.insert(profile.rules.begin(), unlockedRule("Mine"));

  const UUID proxyID = UUID::random();
  const Profile first = profile.settingRoute("com.tencent.微信", RuleAction::block());
  EXPECT_EQ(names(first.rules),
            (std::vector<std::string>{"Localhost", "Mine", "App: com.tencent.微信", "Default"}));
  const Rule& created = first.rules[2];
  EXPECT_EQ(created.apps, std::vector<std::string>{"com.tencent.微信"});
  EXPECT_TRUE(created.enabled && !created.locked && created.hosts.empty() && created.ports.empty());
  EXPECT_EQ(created.quicPolicy, QUICPolicy::fallback);

  Profile disabled = first;
  disabled.rules[2].enabled = false;
  disabled.rules[2].ports = {"443"};
  const Profile second = disabled.settingRoute("com.tencent.微信", RuleAction::proxy(proxyID));
  ASSERT_EQ(names(second.rules), names(first.rules));
  EXPECT_EQ(second.rules[2].id, created.id);
  EXPECT_EQ(second.rules[2].action, RuleAction::proxy(proxyID));
  EXPECT_FALSE(second.rules[2].enabled);
  EXPECT_EQ(second.rules[2].ports, std::vector<std::string>{"443"});
  EXPECT_EQ(second.name, profile.name);
  EXPECT_EQ(second.id, profile.id);
}

TEST(ProfileJSON, WritesOptionalsOnlyWhenPresent) {
  const Profile profile = sampleProfile();
  const json::Value document = toJSON(profile);
  EXPECT_FALSE(document["proxies"][0].contains("credentials"));
  EXPECT_EQ(document["proxies"][1]["credentials"],
            (json::Value{{"username", "me"}, {"password", "p/w"}}));
  EXPECT_EQ(document["environments"][2]["kind"], (json::Value{{"type", "wired"}}));
  EXPECT_EQ(document["environments"][1]["kind"],
            (json::Value{{"type", "wired"}, {"gatewayMAC", "AA:BB:CC:00:11:22"}}));
  EXPECT_EQ(document["rules"][3]["action"],
            (json::Value{{"kind", "interface"}, {"name", "utun3"}}));
  EXPECT_EQ(document["rules"][1]["action"], (json::Value{{"kind", "block"}}));
  EXPECT_EQ(document["schemaVersion"], 7);
}

TEST(ProfileJSON, ReadsNullOptionalsAndIgnoresUnknownKeys) {
  json::Value document = toJSON(sampleProfile());
  document["proxies"][0]["credentials"] = nullptr;
  document["environments"][1]["kind"]["subnet"] = nullptr;
  document["rules"][1]["action"]["id"] = "not even a uuid";
  document["rules"][0]["colour"] = "red";  // the top level's unknown keys: the reader table
  const Profile profile = read(document.dump());
  EXPECT_FALSE(profile.proxies[0].credentials.has_value());
  EXPECT_FALSE(profile.environments[1].kind.subnet.has_value());
  EXPECT_EQ(profile.rules[1].action, RuleAction::block());
}

TEST(ProfileJSON, RejectsEveryMalformedDocumentNamingThePlace) {
  const json::Value valid = toJSON(sampleProfile());
  struct Case {
    std::string what;
    std::function<void(json::Value&)> damage;
    std::string expectedPlace;
  };
  const std::vector<Case> cases = {
      {"missing tags", [](json::Value& d) { d["rules"][1].erase("tags"); }, "rules[1].tags"},
      {"missing environments", [](json::Value& d) { d.erase("environments"); }, "environments"},
      {"null name", [](json::Value& d) { d["name"] = nullptr; }, "name"},
      {"port too high", [](json::Value& d) { d["proxies"][0]["port"] = 65536; }, "proxies[0].port"},
      {"negative port", [](json::Value& d) { d["proxies"][0]["port"] = -1; }, "proxies[0].port"},
      {"port as text", [](json::Value& d) { d["proxies"][0]["port"] = "80"; }, "proxies[0].port"},
      {"upper-case proto", [](json::Value& d) { d["proxies"][0]["proto"] = "HTTP"; },
       "proxies[0].proto"},
      {"unknown action", [](json::Value& d) { d["rules"][1]["action"]["kind"] = "reject"; },
       "rules[1].action.kind"},
      {"proxy action without id", [](json::Value& d) { d["rules"][2]["action"].erase("id"); },
       "rules[2].action.id"},
      {"interface without name", [](json::Value& d) { d["rules"][3]["action"].erase("name"); },
       "rules[3].action.name"},
      {"bad transport", [](json::Value& d) { d["rules"][0]["transport"] = "quic"; },
       "rules[0].transport"},
      {"bad quic policy", [](json::Value& d) { d["rules"][0]["quicPolicy"] = "Proxy"; },
       "rules[0].quicPolicy"},
      {"bad uuid", [](json::Value& d) { d["chains"][0]["proxyIDs"][1] = "1234"; },
       "chains[0].proxyIDs[1]"},
      {"credentials without password",
       [](json::Value& d) { d["proxies"][1]["credentials"].erase("password"); },
       "proxies[1].credentials.password"},
      {"enabled as number", [](json::Value& d) { d["rules"][0]["enabled"] = 1; },
       "rules[0].enabled"},
      {"schema as float", [](json::Value& d) { d["schemaVersion"] = 1.5; }, "schemaVersion"},
      {"wifi without ssid", [](json::Value& d) { d["environments"][0]["kind"].erase("ssid"); },
       "environments[0].kind.ssid"},
      {"unknown environment type",
       [](json::Value& d) { d["environments"][0]["kind"]["type"] = "cellular"; },
       "environments[0].kind.type"},
      {"dns missing", [](json::Value& d) { d["dns"].erase("exclusions"); }, "dns.exclusions"},
      {"apps holds a number", [](json::Value& d) { d["rules"][1]["apps"][0] = 5; },
       "rules[1].apps[0]"},
  };
  for (const Case& c : cases) {
    json::Value document = valid;
    c.damage(document);
    EXPECT_FALSE(detail::readProfileDirectly(document.dump())) << c.what;
    EXPECT_THROW(decodeProfileOutline(document.dump()), json::DecodingError) << c.what;
    try {
      read(document.dump());
      ADD_FAILURE() << c.what << " was accepted";
    } catch (const json::DecodingError& error) {
      EXPECT_NE(std::string(error.what()).find("「" + c.expectedPlace + "」"), std::string::npos)
          << c.what << ": " << error.what();
    }
  }
  EXPECT_THROW(read("[]"), json::DecodingError);
  EXPECT_THROW(read("{\"schemaVersion\": 1"), json::DecodingError);
}

TEST(ProfileDocument, TheDirectReaderAgreesWithTheTreeOrLeavesTheDocumentToIt) {
  const std::string pretty = encodeProfileDocument(sampleProfile());
  const auto replaced = [&](std::string_view from, std::string_view to) {
    std::string text = pretty;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  enum class Outcome { direct, tree, refused };  // who reads it, if anyone
  struct Case {
    std::string what;
    std::string text;
    Outcome outcome;
  };
  const std::vector<Case> cases = {
      {"as written", pretty, Outcome::direct},
      {"compact", json::compact(toJSON(sampleProfile())), Outcome::direct},
      {"escapes and pairs",
       replaced(R"("工作")", R"("\u5DE5\u4f5c \ud83d\ude00 \/ \" \\ \b\f\n\r\t \u0000")"),
       Outcome::direct},
      {"minus zero", replaced(R"("schemaVersion" : 7)", R"("schemaVersion" : -0)"),
       Outcome::direct},
      {"unknown members",
       replaced(R"("dns" : {)", R"("x" : [{"y" : [-1, 0, true, null]}], "dns" : {)"),
       Outcome::direct},
      {"id of a block action ignored",
       replaced(R"("kind" : "block")", R"("kind" : "block", "id" : 5)"), Outcome::direct},
      {"a key named twice, the last one counts",
       replaced(R"("name" : "工作")", R"("name" : "first", "name" : "工作")"), Outcome::tree},
      {"an escaped key", replaced(R"("name" : "工作")", R"("n\u0061me" : "工作")"), Outcome::tree},
      {"a fraction in an unknown member", replaced(R"("dns" : {)", R"("x" : 1.5, "dns" : {)"),
       Outcome::tree},
      {"a byte order mark", "\xEF\xBB\xBF" + pretty, Outcome::tree},
      {"a lone surrogate", replaced(R"("工作")", R"("\ud800")"), Outcome::refused},
      {"an overlong sequence", replaced(R"("工作")", "\"\xC0\xAF\""), Outcome::refused},
      {"a raw control character", replaced(R"("工作")", "\"a\tb\""), Outcome::refused},
      {"a leading zero", replaced(R"("schemaVersion" : 7)", R"("schemaVersion" : 07)"),
       Outcome::refused},
      {"a number beyond a double", replaced(R"("dns" : {)", R"("x" : 1e400, "dns" : {)"),
       Outcome::refused},
      {"trailing text", pretty + " x", Outcome::refused},
  };
  for (const Case& c : cases) {
    const std::optional<Profile> direct = detail::readProfileDirectly(c.text);
    EXPECT_EQ(direct.has_value(), c.outcome == Outcome::direct) << c.what;
    if (c.outcome == Outcome::refused) {
      EXPECT_THROW(decodeProfileDocument(c.text), json::DecodingError) << c.what;
      EXPECT_THROW(read(c.text), json::DecodingError) << c.what;
      continue;
    }
    const Profile expected = read(c.text);
    EXPECT_EQ(decodeProfileDocument(c.text), expected) << c.what;
    EXPECT_EQ(decodeProfileOutline(c.text), ProfileOutline::of(expected)) << c.what;
  }
}

TEST(UUID, ReadsTheCanonicalFormInEitherCaseAndWritesItUpperCase) {
  const std::string canonical = "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0";
  for (const std::string& text : {canonical, std::string("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0")}) {
    const auto parsed = UUID::parse(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(parsed->string(), canonical);
  }
  for (const std::string text :
       {"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F", "0F1E2D3C4B5A-6978-8796-A5B4C3D2E1F0-",
        "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1FG", "{F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F}",
        " F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0", ""}) {
    EXPECT_FALSE(UUID::parse(text)) << text;
  }
  const UUID first = UUID::random(), second = UUID::random();
  EXPECT_NE(first, second);
  EXPECT_EQ(first.string()[14], '4');                                          // version 4
  EXPECT_NE(std::string("89AB").find(first.string()[19]), std::string::npos);  // variant 1
}

TEST(NetworkEnvironment, MatchesFingerprints) {
  using Fingerprint = NetworkEnvironment::Fingerprint;
  using Type = Fingerprint::InterfaceType;
  const auto environment = [](NetworkEnvironment::Kind kind) {
    return NetworkEnvironment{UUID::random(), "e", kind};
  };
  const auto wifi = environment(NetworkEnvironment::Kind::wifi("corp-wifi"));
  EXPECT_TRUE(wifi.matches({Type::wifi, "CORP-WiFi", std::nullopt, std::nullopt}));
  EXPECT_FALSE(wifi.matches({Type::wifi, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_FALSE(wifi.matches({Type::wired, "corp-wifi", std::nullopt, std::nullopt}));
  EXPECT_TRUE(environment(NetworkEnvironment::Kind::wifi("咖啡馆"))
                  .matches({Type::wifi, "咖啡馆", {}, {}}));

  const auto byGateway =
      environment(NetworkEnvironment::Kind::wired("AA:BB:CC:DD:EE:FF", std::nullopt));
  EXPECT_TRUE(byGateway.matches({Type::wired, std::nullopt, "aa:bb:cc:dd:ee:ff", "10.0.0.0/24"}));
  EXPECT_FALSE(byGateway.matches({Type::wired, std::nullopt, std::nullopt, "10.0.0.0/24"}));

  const auto bySubnet = environment(NetworkEnvironment::Kind::wired("", "fe80::/64"));
  EXPECT_TRUE(bySubnet.matches({Type::wired, std::nullopt, "11:22:33:44:55:66", "fe80::/64"}));
  EXPECT_FALSE(bySubnet.matches({Type::wired, std::nullopt, std::nullopt, "FE80::/64"}));
  EXPECT_FALSE(bySubnet.matches({Type::wired, std::nullopt, std::nullopt, std::nullopt}));

  const auto anyWired = environment(NetworkEnvironment::Kind::wired(std::nullopt, ""));
  EXPECT_TRUE(anyWired.matches({Type::wired, std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_FALSE(anyWired.matches({Type::other, std::nullopt, std::nullopt, std::nullopt}));
}

TEST(NetworkEnvironment, FingerprintJSONLeavesOutAbsentKeys) {
  using Fingerprint = NetworkEnvironment::Fingerprint;
  const Fingerprint fingerprint{Fingerprint::InterfaceType::wired, std::nullopt, "aa:bb",
                                std::nullopt};
  EXPECT_EQ(json::compact(toJSON(fingerprint)),
            R"({"gatewayMAC":"aa:bb","interfaceType":"wired"})");
  EXPECT_EQ(fingerprintFromJSON(json::Reader(
                json::parse(R"({"interfaceType":"wired","gatewayMAC":"aa:bb","ssid":null})"))),
            fingerprint);
  EXPECT_THROW(fingerprintFromJSON(json::Reader(json::parse(R"({"interfaceType":"Wired"})"))),
               json::DecodingError);
}

TEST(ProfileJSON, EveryRecordWithAwkwardTextsReadsBackEqualAndBrokenTextIsNeverWritten) {
  // Quotes, slashes, controls (NUL too), CJK, emoji, a direction override and wildcard text.
  const std::string awkward =
      std::string("a\"/\\ \n\t") + '\0' + "\x01微ßé😀\xE2\x80\xAE%ComputerName%*?";
  Profile profile = sampleProfile();
  profile.name = awkward;
  profile.schemaVersion = 4294967295;
  profile.proxies[1].credentials = ProxyCredentials{awkward, awkward};
  profile.proxies[0].address = awkward;
  profile.chains[0].name = awkward;
  profile.rules[1].name = awkward;
  profile.rules[1].apps = {awkward, ""};
  profile.rules[1].hosts = profile.rules[1].ports = profile.rules[1].tags = {awkward};
  profile.rules[3].action = RuleAction::interface(awkward);
  profile.environments[0].kind = NetworkEnvironment::Kind::wifi(awkward);
  profile.environments[1].name = awkward;
  profile.dns.exclusions.push_back(awkward);
  const std::string document = encodeProfileDocument(profile);
  EXPECT_EQ(read(document), profile) << document;
  EXPECT_EQ(encodeProfileDocument(read(document)), document);
  EXPECT_EQ(detail::readProfileDirectly(document), profile) << document;
  EXPECT_EQ(decodeProfileOutline(document), ProfileOutline::of(profile)) << document;

  for (const std::string broken : {"\xFF", "\xED\xA0\x80", "\xC3"}) {
    Profile damaged = sampleProfile();
    damaged.rules[1].tags = {"tag" + broken};
    EXPECT_THROW(encodeProfileDocument(damaged), json::EncodingError) << broken.size();
    damaged = sampleProfile();
    damaged.environments[1].name = broken + "x";
    EXPECT_THROW(encodeProfileDocument(damaged), json::EncodingError) << broken.size();
  }
}

}  // namespace
}  // namespace velmora
