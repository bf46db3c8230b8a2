// Importing foreign configurations: the Proxifier adapter on hand-written profiles, the merge into
// a profile, and the scanner's discovery and adapter choice over a scratch home directory.
#include "kit/importers.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <set>

#include "kit/file_io.h"
#include "kit/import_error.h"
#include "test_support.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDirectory;

/// A Proxifier profile with the given proxy list, rule list and chain list contents.
std::string ppx(std::string_view proxies, std::string_view rules = "",
                std::string_view chains = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ProxifierProfile><ProxyList>" +
         std::string(proxies) + "</ProxyList><ChainList>" + std::string(chains) +
         "</ChainList><RuleList>" + std::string(rules) + "</RuleList></ProxifierProfile>\n";
}

std::string proxyElement(std::string_view id, std::string_view address, std::string_view port,
                         std::string_view type = "SOCKS5") {
  return "<Proxy id=\"" + std::string(id) + "\" type=\"" + std::string(type) + "\"><Address>" +
         std::string(address) + "</Address><Port>" + std::string(port) +
         "</Port><Options>48</Options></Proxy>";
}

std::string ruleElement(std::string_view name, std::string_view inside) {
  return "<Rule enabled=\"true\"><Name>" + std::string(name) + "</Name>" + std::string(inside) +
         "</Rule>";
}

ImportedConfig read(std::string_view data) {
  return PPXImportAdapter().parse(data);
}

/// The kind and description of the ImportError the call throws; fails the test when it throws
/// nothing or something else.
std::pair<ImportError::Kind, std::string> importErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const ImportError& error) {
    return {error.kind(), error.description()};
  }
  ADD_FAILURE() << "no ImportError";
  return {};
}

const std::pair<ImportError::Kind, std::string> notXML{ImportError::Kind::malformed,
                                                       "配置文件内容异常：不是有效的 XML"};
const std::pair<ImportError::Kind, std::string> unrecognized{ImportError::Kind::unrecognizedFormat,
                                                             "无法识别的配置格式"};

template <typename Item>
std::vector<std::string> namesOf(const std::vector<Item>& items) {
  std::vector<std::string> names;
  for (const Item& item : items) names.push_back(item.name);
  return names;
}

// Proxifier adapter: proxies -------------------------------------------------------------------

TEST(PPXImport, ProxyTakesProtocolFromTypeNameFromLabelAndOnlyEnabledCredentials) {
  const auto socks5 = ProxyProtocol::socks5, http = ProxyProtocol::http;
  const std::string endpoint = "10.0.0.2:3128", plain = R"(type="SOCKS5")";
  const std::string secret = R"(<Authentication enabled="true"><Password>secret</Password>
      <Username>me</Username></Authentication>)";
  struct Case {
    std::string type;
    std::string inside;
    std::string name;
    ProxyProtocol protocol;
    std::optional<ProxyCredentials> credentials;
  };
  const std::vector<Case> cases = {
      {plain, secret, endpoint, socks5, ProxyCredentials{"me", "secret"}},
      {R"(type="SOCKS4")", "", endpoint, socks5, {}},
      {R"(type="socks5")", "", endpoint, socks5, {}},
      {"", "", endpoint, socks5, {}},
      {R"(type="HTTPS")", secret, endpoint, http, ProxyCredentials{"me", "secret"}},
      {R"(type="Shadowsocks")", "", endpoint, http, {}},
      {plain, "<Label>Office</Label>", "Office", socks5, {}},
      {plain, "<Label> <!-- a note --> </Label>", endpoint, socks5, {}},
      {plain,
       R"(<Authentication enabled="false"><Username>me</Username><Password>pw</Password>
          </Authentication>)",
       endpoint,
       socks5,
       {}},
      {plain,
       R"(<Authentication enabled="true"><Username>me</Username><Password /></Authentication>)",
       endpoint, socks5, ProxyCredentials{"me", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type + c.inside);
    const ImportedConfig config = read(ppx("<Proxy id=\"1\" " + c.type + ">" + c.inside +
                                           "<Options>48</Options><Port>3128</Port>"
                                           "<Address>10.0.0.2</Address></Proxy>"));
    const ProxyServer& proxy = config.proxies.at(0);
    EXPECT_EQ(proxy, (ProxyServer{proxy.id, c.name, "10.0.0.2", 3128, c.protocol, c.credentials}));
    if (c.type == plain) {
      EXPECT_EQ(config.report.notes, std::vector<ImportNote>{});
    }
  }
}

TEST(PPXImport, ProxyWithABadPortIsSkippedAndTheOthersKept) {
  const std::vector<std::pair<std::string, std::optional<int>>> cases = {
      {"1080", 1080}, {"+80", 80}, {"-0", 0}, {"65535", 65535}, {"65536", {}},
      {"70000", {}},  {"8o", {}},  {"", {}},  {"-1", {}},
  };
  for (const auto& [text, port] : cases) {
    SCOPED_TRACE("port text \"" + text + "\"");
    // The last proxy has no address and is skipped too.
    const ImportedConfig config =
        read(ppx(proxyElement("1", "10.0.0.1", "1") + proxyElement("2", "host", text) +
                 proxyElement("3", "10.0.0.3", "3") + R"(<Proxy id="4"><Port>4</Port></Proxy>)"));
    std::vector<std::string> expected = {"10.0.0.1:1", "10.0.0.3:3"};
    if (port) expected.insert(expected.begin() + 1, "host:" + std::to_string(*port));
    EXPECT_EQ(namesOf(config.proxies), expected);
  }
}

// Proxifier adapter: rules ---------------------------------------------------------------------

TEST(PPXImport, RuleCarriesItsListsAndFixedDefaults) {
  const ImportedConfig config = read(ppx(proxyElement("100", "127.0.0.1", "1086"), R"(
      <Rule enabled="false">
        <Name>Work</Name>
        <Applications> a.exe;;b.exe</Applications>
        <Targets>*.example.com;
          10.0.0.0 - 10.255.255.255
          b.example</Targets>
        <Ports>80;443</Ports>
        <Action type="Proxy">100</Action>
      </Rule>)"));
  ASSERT_EQ(config.rules.size(), 1u);
  const Rule& rule = config.rules[0];
  // Transport, QUIC policy, lock and tags keep the defaults of a new rule.
  EXPECT_EQ(rule, (Rule{.id = rule.id,
                        .name = "Work",
                        .enabled = false,
                        .apps = {"a.exe", "a", "b.exe", "b"},
                        .hosts = {"*.example.com", "10.0.0.0-10.255.255.255", "b.example"},
                        .ports = {"80", "443"},
                        .action = RuleAction::proxy(config.proxies[0].id)}));
}

TEST(PPXImport, RuleIsNamedImportedWithoutANameAndOnlyFalseDisablesIt) {
  // The file's copies of the built-in rules, named exactly so, are left out.
  const ImportedConfig config = read(ppx("", R"(
      <Rule enabled="False"><Action type="Direct" /></Rule>
      <Rule enabled="0"><Name /></Rule>
      <Rule enabled="true"><Name>Localhost</Name><Targets>localhost</Targets></Rule>
      <Rule enabled="false"><Name>localhost</Name></Rule>
      <Rule><Name>Default</Name></Rule>)"));
  std::vector<std::pair<std::string, bool>> rules;
  for (const Rule& rule : config.rules) rules.emplace_back(rule.name, rule.enabled);
  EXPECT_EQ(rules, (std::vector<std::pair<std::string, bool>>{
                       {"Imported", true}, {"Imported", true}, {"localhost", false}}));
}

/// Two proxies numbered 100 and 101, in that order.
const std::string twoProxies =
    proxyElement("100", "127.0.0.1", "1080") + proxyElement("101", "10.0.0.2", "3128", "HTTPS");

TEST(PPXImport, ActionsLandOnTheProxyOrChainTheyName) {
  enum Outcome { direct, block, first, second, chain };
  const std::vector<std::pair<std::string, Outcome>> cases = {
      {"", direct},
      {R"(<Action type="Direct" />)", direct},
      {R"(<Action type="Block" />)", block},
      {R"(<Action type="Proxy">101</Action>)", second},
      {"<Action type=\"Proxy\">\n  101\n</Action>", second},
      {R"(<Action type="Proxy" proxy="101" />)", second},
      {R"(<Action type="Proxy">100</Action>)", first},
      // Chain 100 and proxy 100 are different things.
      {R"(<Action type="Chain">100</Action>)", chain},
      {R"(<Action type="Chain" proxy="100" />)", chain},
      // Targets that name nothing: the first proxy stands in, and the report says so.
      {R"(<Action type="Proxy" />)", first},
      {R"(<Action type="Proxy">999</Action>)", first},
      {R"(<Action type="Chain">101</Action>)", first},
  };
  std::string rules;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    rules += ruleElement("R" + std::to_string(i), cases[i].first);
  }
  const ImportedConfig config = read(ppx(
      twoProxies, rules,
      R"(<Chain id="100" type="simple"><Name>Both</Name><Proxy>101</Proxy><Proxy>100</Proxy></Chain>)"));
  ASSERT_EQ(config.rules.size(), cases.size());
  ASSERT_EQ(config.chains.size(), 1u);
  const std::vector<RuleAction> outcomes = {
      RuleAction::direct(), RuleAction::block(), RuleAction::proxy(config.proxies.at(0).id),
      RuleAction::proxy(config.proxies.at(1).id), RuleAction::chain(config.chains[0].id)};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].first);
    EXPECT_EQ(config.rules[i].action, outcomes[cases[i].second]);
  }
  EXPECT_EQ(config.report.notes,
            (std::vector<ImportNote>{{ImportNote::Kind::unknownTarget, 3, "R9"}}));

  // Without a usable proxy in the file a proxy action stays direct.
  const ImportedConfig noProxy =
      read(ppx(proxyElement("100", "127.0.0.1", "70000"),
               ruleElement("R", R"(<Action type="Proxy">100</Action>)")));
  EXPECT_EQ(noProxy.rules.at(0).action, RuleAction::direct());
  EXPECT_EQ(noProxy.report.notes,
            (std::vector<ImportNote>{{ImportNote::Kind::proxySkipped, 1, "127.0.0.1"},
                                     {ImportNote::Kind::unknownTargetDirect, 1, "R"}}));
}

TEST(PPXImport, ChainsKeepTheirEnabledImportedMembersInFileOrder) {
  const ImportedConfig config = read(ppx(twoProxies, "", R"(
      <Chain id="100" type="simple">
        <Proxy enabled="true">101</Proxy><Proxy enabled="false">100</Proxy>
        <Proxy enabled="true">100</Proxy><Proxy enabled="true">7</Proxy>
      </Chain>
      <Chain id="101" type="load_balancing">
        <LoadBalancingSameProxyForPid>false</LoadBalancingSameProxyForPid>
        <Proxy enabled="true">100</Proxy><Name>Pool</Name>
      </Chain>
      <Chain id="102" type="redundancy"><Name>Spare</Name><Proxy enabled="false">100</Proxy></Chain>
      <Chain id="103"><Name>Empty</Name></Chain>)"));
  const UUID first = config.proxies.at(0).id;
  const UUID second = config.proxies.at(1).id;
  ASSERT_EQ(config.chains.size(), 2u);
  EXPECT_EQ(config.chains[0], (ProxyChain{config.chains[0].id, "Chain 100", {second, first}}));
  EXPECT_EQ(config.chains[1], (ProxyChain{config.chains[1].id, "Pool", {first}}));
  using K = ImportNote::Kind;
  EXPECT_EQ(config.report.notes,
            (std::vector<ImportNote>{{K::chainMemberLeftOut, 3, "Chain 100"},
                                     {K::chainLeftOut, 2, "Spare"},
                                     {K::chainMadeOrdered, 1, "Pool（load_balancing）"}}));
}

TEST(PPXImport, ListsSplitAtSemicolonsAndLineBreaksAndLoseQuotesAndRepeats) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"a;b", {"a", "b"}},
      {"a\nb\r\nc\rd", {"a", "b", "c", "d"}},
      {"a; \n\n\tb;\n\n\n", {"a", "b"}},
      {R"("Ableton Live 10 Suite";
          "Web Helper")",
       {"Ableton Live 10 Suite", "Web Helper"}},
      {R"(""; " "; " y "; "x)", {"y", "\"x"}},
      {"b;a;b;;;;a", {"b", "a"}},
      {" ;\n; ", {}},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    const ImportedConfig config =
        read(ppx("", ruleElement("R", "<Applications>" + text + "</Applications>")));
    ASSERT_EQ(config.rules.size(), 1u);
    EXPECT_EQ(config.rules[0].apps, expected);
  }
}

TEST(PPXImport, WindowsProgramNamesAlsoMatchTheSameProgramOnLinux) {
  struct Case {
    std::string applications;
    std::vector<std::string> imported;
    std::int64_t added;  // how many names the report counts, the first as its example
  };
  const std::vector<Case> cases = {
      {"Discord.exe", {"Discord.exe", "Discord"}, 1},
      {R"("node.exe"; Telegram.EXE)", {"node.exe", "node", "Telegram.EXE", "Telegram"}, 2},
      {"Web Helper.exe", {"Web Helper.exe", "Web Helper"}, 1},
      {"chrome*.exe", {"chrome*.exe", "chrome*"}, 1},
      {"node.exe;node;node.exe", {"node.exe", "node"}, 1},
      {"node;node.exe", {"node", "node.exe"}, 0},
      {"firefox;.exe;setup.exe.bak", {"firefox", ".exe", "setup.exe.bak"}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.applications);
    const ImportedConfig config =
        read(ppx("", ruleElement("R", "<Applications>" + c.applications + "</Applications>")));
    ASSERT_EQ(config.rules.size(), 1u);
    EXPECT_EQ(config.rules[0].apps, c.imported);
    std::vector<ImportNote> notes;
    if (c.added > 0) {
      notes.push_back(
          {ImportNote::Kind::appNameAdded, c.added, c.imported[0] + " → " + c.imported[1]});
    }
    EXPECT_EQ(config.report.notes, notes);
  }
}

TEST(PPXImport, HostAndPortEntriesAreMadeMatchableOrLeftOut) {
  using K = ImportNote::Kind;
  struct Case {
    std::string list;  // "Targets" or "Ports"
    std::string entry;
    std::optional<std::string> imported;  // nothing: left out
  };
  const std::vector<Case> cases = {
      {"Targets", "*.example.com", "*.example.com"},
      {"Targets", "github-cloud.s3.amazonaws.com", "github-cloud.s3.amazonaws.com"},
      {"Targets", "192.168.1.*", "192.168.1.*"},
      {"Targets", "10.0.0.1-10.0.0.9", "10.0.0.1-10.0.0.9"},
      {"Targets", "10.0.0.0 - 10.255.255.255", "10.0.0.0-10.255.255.255"},
      {"Targets", "10.0.0.0 / 8", "10.0.0.0/8"},
      {"Targets", "::1", "::1"},
      {"Targets", "bücher.example", "bücher.example"},
      {"Targets", "fc00:: - fdff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", std::nullopt},
      {"Targets", "fc00::/7", std::nullopt},
      {"Targets", "10.0.0.9-10.0.0.1", std::nullopt},
      {"Targets", "10.0.0.0/33", std::nullopt},
      {"Targets", "%ComputerName%", "%ComputerName%"},
      {"Targets", "%computername%", "%computername%"},
      {"Targets", "%SimpleHostnames%", std::nullopt},
      {"Targets", "two words", std::nullopt},
      {"Targets", "example.com:443", std::nullopt},
      {"Ports", "443", "443"},
      {"Ports", "8000-9000", "8000-9000"},
      {"Ports", "8000 - 9000", "8000-9000"},
      {"Ports", "9000-8000", std::nullopt},
      {"Ports", "http", std::nullopt},
      {"Ports", "70000", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.list + " " + c.entry);
    const bool host = c.list == "Targets";
    // A second entry that is kept, so the rule itself stays.
    const std::string keep = host ? "kept.example" : "1";
    const ImportedConfig config = read(ppx(
        "", ruleElement("R", "<" + c.list + ">" + c.entry + ";\n" + keep + "</" + c.list + ">")));
    ASSERT_EQ(config.rules.size(), 1u);
    std::vector<std::string> expected = {keep};
    if (c.imported) expected.insert(expected.begin(), *c.imported);
    EXPECT_EQ(host ? config.rules[0].hosts : config.rules[0].ports, expected);

    std::vector<ImportNote> notes;
    if (!c.imported) {
      notes.push_back({host ? K::hostLeftOut : K::portLeftOut, 1, c.entry});
    } else if (*c.imported != c.entry) {
      notes.push_back(
          {host ? K::hostRewritten : K::portRewritten, 1, c.entry + " → " + *c.imported});
    }
    EXPECT_EQ(config.report.notes, notes);
  }
}

TEST(PPXImport, RuleWhoseEveryHostOrPortIsLeftOutIsNotImported) {
  // Imported with no hosts or ports, such a rule would take every connection.
  const ImportedConfig config = read(ppx("", ruleElement("V6", R"(
      <Targets>fc00:: - fdff:ffff:ffff:ffff:ffff:ffff:ffff:ffff;%SimpleHostnames%</Targets>)") +
                                                 ruleElement("Web", "<Ports>http</Ports>") +
                                                 ruleElement("Kept", "<Targets>;;</Targets>")));
  EXPECT_EQ(namesOf(config.rules), std::vector<std::string>{"Kept"});
  EXPECT_EQ(config.report.notes[2], (ImportNote{ImportNote::Kind::ruleLeftOut, 2, "V6"}));
}

TEST(PPXImport, DefaultRuleLendsItsActionAndLocalhostKeepsOnlyWhatTheGuardLacks) {
  const ImportedConfig config = read(ppx(twoProxies, R"(
      <Rule enabled="true"><Name>Localhost</Name><Targets>localhost; ::1; %ComputerName%</Targets></Rule>
      <Rule enabled="true"><Name>Default</Name><Action type="Proxy">101</Action></Rule>)"));
  EXPECT_TRUE(config.rules.empty());
  EXPECT_EQ(config.defaultAction, RuleAction::proxy(config.proxies.at(1).id));
  EXPECT_EQ(config.report.notes,
            (std::vector<ImportNote>{{ImportNote::Kind::localhostDropped, 1, "Localhost"}}));
  EXPECT_EQ(read(ppx(twoProxies)).defaultAction, std::nullopt);

  // Local networks the file keeps direct next to the guard's own hosts stay direct.
  const ImportedConfig wider = read(ppx("", R"(
      <Rule enabled="true"><Name>Localhost</Name>
        <Targets>LOCALHOST; 127.0.0.1; 192.168.0.0 - 192.168.255.255; *.lan</Targets>
        <Action type="Direct" /></Rule>)"));
  ASSERT_EQ(wider.rules.size(), 1u);
  EXPECT_EQ(wider.rules[0].name, "Localhost（导入）");
  EXPECT_EQ(wider.rules[0].hosts,
            (std::vector<std::string>{"192.168.0.0-192.168.255.255", "*.lan"}));
  EXPECT_EQ(wider.report.notes.back(),
            (ImportNote{ImportNote::Kind::localhostExtended, 2, "192.168.0.0-192.168.255.255"}));

  // Extra entries that no connection could match add nothing to the guard.
  const ImportedConfig placeholders = read(ppx("", R"(
      <Rule><Name>Localhost</Name><Targets>localhost; %SimpleHostnames%</Targets></Rule>)"));
  EXPECT_TRUE(placeholders.rules.empty());
  EXPECT_EQ(placeholders.report.notes,
            (std::vector<ImportNote>{{ImportNote::Kind::hostLeftOut, 1, "%SimpleHostnames%"},
                                     {ImportNote::Kind::localhostDropped, 1, "Localhost"}}));
}

TEST(PPXImport, PartsThatAreNotReadAreNoted) {
  const ImportedConfig config = read(R"(<ProxifierProfile>
      <Options><Resolve><ViaProxy enabled="true" /></Resolve></Options>
      <ProxyList><Proxy id="1" type="SOCKS4"><Address>a</Address><Port>1</Port>
        <UserAgent>Mozilla</UserAgent><Options>48</Options></Proxy></ProxyList>
      <ChainList /><RuleList /><Extra />
    </ProxifierProfile>)");
  using K = ImportNote::Kind;
  EXPECT_EQ(config.report.notes,
            (std::vector<ImportNote>{{K::sectionsNotRead, 2, "Options、Extra"},
                                     {K::proxyTypeChanged, 1, "SOCKS4 → socks5"},
                                     {K::proxySettingNotRead, 1, "UserAgent"}}));
}

// Proxifier adapter: how the bytes arrive ------------------------------------------------------

TEST(PPXImport, EncodingsAndLineEndsOfWindowsToolsAreRead) {
  const auto profile = [](std::string_view encoding, std::string_view name, bool crlf = false) {
    const std::string eol = crlf ? "\r\n" : "\n";
    return "<?xml version=\"1.0\" encoding=\"" + std::string(encoding) + "\"?>" + eol +
           "<ProxifierProfile><RuleList><Rule><Name>" + std::string(name) +
           "</Name><Targets>a.example;" + eol + "b.example</Targets></Rule></RuleList>" + eol +
           "</ProxifierProfile>" + eol;
  };
  const std::string utf8 = "\xD0\x9F\xD1\x80\xD0\xBE\xD0\xBA\xD1\x81\xD0\xB8";  // "Прокси"
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"byte-order mark and CRLF", "\xEF\xBB\xBF" + profile("UTF-8", utf8, true)},
      {"UTF-8 declared as windows-1251", profile("windows-1251", utf8)},
      {"UTF-8 declared as ISO-8859-1", profile("ISO-8859-1", utf8)},
      {"windows-1251 bytes", profile("windows-1251", "\xCF\xF0\xEE\xEA\xF1\xE8")}};
  for (const auto& [label, bytes] : cases) {
    SCOPED_TRACE(label);
    const ImportedConfig config = read(bytes);
    ASSERT_EQ(config.rules.size(), 1u);
    EXPECT_EQ(config.rules[0].name, utf8);
    EXPECT_EQ(config.rules[0].hosts, (std::vector<std::string>{"a.example", "b.example"}));
  }
}

TEST(PPXImport, BytesThatAreNotXMLAreMalformedAndAnotherRootIsUnrecognized) {
  const std::vector<std::pair<std::string, std::pair<ImportError::Kind, std::string>>> cases = {
      {"just some words", notXML},
      {"<ProxifierProfile><ProxyList></ProxifierProfile>", notXML},
      // Not UTF-8, and no declaration saying what else it is.
      {"<ProxifierProfile><RuleList><Rule><Name>\xCF\xF0</Name></Rule></RuleList>"
       "</ProxifierProfile>",
       notXML},
      {"<?xml version=\"1.0\" encoding=\"no-such-charset\"?><ProxifierProfile>\xCF"
       "</ProxifierProfile>",
       notXML},
      {"<proxifierprofile><ProxyList /></proxifierprofile>", unrecognized},
      {"<html><body /></html>", unrecognized}};
  for (const auto& [bytes, error] : cases) {
    SCOPED_TRACE(bytes);
    EXPECT_EQ(importErrorOf([&] { read(bytes); }), error);
  }
}

// Merge ----------------------------------------------------------------------------------------

ProxyServer proxyAt(std::string address, std::uint16_t port, ProxyProtocol proto) {
  const std::string name = address + ":" + std::to_string(port) + std::string(rawValue(proto));
  return ProxyServer{UUID::random(), name, std::move(address), port, proto};
}

Rule rule(std::string name, RuleAction action = RuleAction::direct(), bool locked = false) {
  return Rule{
      .id = UUID::random(), .name = std::move(name), .action = std::move(action), .locked = locked};
}

TEST(Merging, ProxyWithAnExistingEndpointIsReusedAndADifferingOneAdded) {
  Profile profile = Profile::makeDefault("home");
  const ProxyServer existing = proxyAt("127.0.0.1", 1080, ProxyProtocol::socks5);
  profile.proxies = {existing};
  const ProxyServer same = proxyAt("127.0.0.1", 1080, ProxyProtocol::socks5);
  const ProxyServer otherProtocol = proxyAt("127.0.0.1", 1080, ProxyProtocol::http);
  const ProxyServer otherPort = proxyAt("127.0.0.1", 1081, ProxyProtocol::socks5);
  const ImportedConfig imported{
      .proxies = {same, otherProtocol, otherPort},
      .rules = {rule("A", RuleAction::proxy(same.id)), rule("B", RuleAction::proxy(otherPort.id))}};

  const Profile merged = merging(profile, imported);
  EXPECT_EQ(merged.proxies, (std::vector<ProxyServer>{existing, otherProtocol, otherPort}));
  EXPECT_EQ(merged.rule(imported.rules[0].id)->action, RuleAction::proxy(existing.id));
  EXPECT_EQ(merged.rule(imported.rules[1].id)->action, RuleAction::proxy(otherPort.id));
}

TEST(Merging, ImportedRulesGoAfterTheProfilesOwnAndBeforeTheFallback) {
  Profile profile = Profile::makeDefault("home");
  profile.rules = {Profile::defaultFallbackRule(), rule("A"), Profile::localhostGuardRule()};
  const ImportedConfig imported{.rules = {rule("X"), rule("Y")}};
  const std::vector<std::string> expected = {"Localhost", "A", "X", "Y", "Default"};
  EXPECT_EQ(namesOf(merging(profile, imported).rules), expected);

  // A locked rule that is neither guard is not carried over.
  profile.rules.insert(profile.rules.begin() + 2, rule("Pinned", RuleAction::block(), true));
  EXPECT_EQ(namesOf(merging(profile, imported).rules), expected);
}

TEST(Merging, FileCatchAllActionGoesToTheProfilesLockedLastDefaultRule) {
  Profile profile = Profile::makeDefault("home");
  const Rule fallback = profile.rules.back();
  ImportedConfig imported =
      read(ppx(twoProxies, R"(
      <Rule><Name>Web</Name><Targets>*.example.com</Targets><Action type="Chain">5</Action></Rule>
      <Rule><Name>Default</Name><Action type="Chain">5</Action></Rule>)",
               R"(<Chain id="5"><Proxy>100</Proxy><Proxy>101</Proxy></Chain>)"));
  const MergedImport merged = mergeImport(profile, imported);
  EXPECT_EQ(namesOf(merged.profile.rules),
            (std::vector<std::string>{"Localhost", "Web", "Default"}));
  EXPECT_EQ(merged.profile.rules.back(),
            fallback.with({.action = RuleAction::chain(imported.chains.at(0).id)}));
  EXPECT_EQ(merged.profile.chains, imported.chains);
  EXPECT_EQ(merged.report.notes,
            (std::vector<ImportNote>{{ImportNote::Kind::defaultTaken, 1, "chain:Chain 5"}}));

  // A profile without a fallback rule of its own has nowhere to put the action.
  profile.rules.pop_back();
  EXPECT_EQ(mergeImport(profile, imported).report.notes,
            (std::vector<ImportNote>{{ImportNote::Kind::defaultNotTaken, 1, ""}}));
}

TEST(Merging, SameFileImportedTwiceChangesNothingTheSecondTime) {
  const std::string file = ppx(
      twoProxies + R"(<Proxy id="102" type="SOCKS5"><Address>10.0.0.3</Address><Port>1080</Port>
          <Authentication enabled="true"><Username>me</Username><Password>pw</Password>
          </Authentication></Proxy>)",
      ruleElement("Web", R"(<Targets>*.example.com</Targets><Action type="Proxy">101</Action>)") +
          ruleElement("Same twice", "<Applications>a</Applications>") +
          ruleElement("Same twice", "<Applications>a</Applications>") +
          ruleElement("web", "<Applications>b</Applications>") +
          ruleElement("Pool", R"(<Action type="Chain">1</Action>)") +
          R"(<Rule><Name>Default</Name><Action type="Proxy">100</Action></Rule>)",
      R"(<Chain id="1" type="simple"><Proxy>100</Proxy><Proxy>102</Proxy></Chain>)");
  const MergedImport once = mergeImport(Profile::makeDefault("home"), read(file));
  EXPECT_EQ(once.report.proxies, 3);
  EXPECT_EQ(once.report.chains, 1);
  EXPECT_EQ(once.report.rules, 5);  // the file's own repeat is kept, under a name of its own
  std::vector<std::string> names;
  for (const Rule& rule : once.profile.rules) names.push_back(rule.name);
  EXPECT_EQ(names, (std::vector<std::string>{"Localhost", "Web", "Same twice", "Same twice (2)",
                                             "web (2)", "Pool", "Default"}));
  EXPECT_EQ(once.report.notes[0],
            (ImportNote{ImportNote::Kind::nameMadeUnique, 2, "Same twice → Same twice (2)"}));

  const MergedImport twice = mergeImport(once.profile, read(file));
  EXPECT_EQ(twice.profile, once.profile);
  using K = ImportNote::Kind;
  EXPECT_EQ(twice.report, (ImportReport{.proxies = 0,
                                        .chains = 0,
                                        .rules = 0,
                                        .notes = {{K::proxyReused, 3, "127.0.0.1:1080"},
                                                  {K::chainReused, 1, "Chain 1"},
                                                  {K::ruleAlreadyPresent, 5, "Web"},
                                                  {K::defaultTaken, 1, "proxy:127.0.0.1:1080"}}}));

  // An endpoint the profile already has keeps the profile's credentials, and says so.
  Profile changed = once.profile;
  changed.proxies[2].credentials = ProxyCredentials{"other", "pw"};
  EXPECT_EQ(mergeImport(changed, read(file)).report.notes[1],
            (ImportNote{K::credentialsNotTaken, 1, "10.0.0.3:1080"}));
}

TEST(ImportReport, ReadsAsLinesAndAsOneRecord) {
  ImportReport report{.proxies = 2, .chains = 1, .rules = 7};
  report.note(ImportNote::Kind::hostLeftOut, "fc00:: - fdff::");
  report.note(ImportNote::Kind::sectionsNotRead, "Options", 1);
  report.note(ImportNote::Kind::hostLeftOut, "%SimpleHostnames%");
  report.note(ImportNote::Kind::localhostDropped, "Localhost");
  EXPECT_EQ(report.lines(), (std::vector<std::string>{
                                "导入了 2 个代理、1 条代理链、7 条规则",
                                "未读取文件中的 Options（选项与 DNS 设置不导入）",
                                "2 个主机条目无法匹配任何连接，未导入，例如「fc00:: - fdff::」",
                                "文件中的「Localhost」规则未导入，本配置自带同名的内置规则"}));
  const json::Value record = toJSON(report);
  EXPECT_EQ(record["rules"], 7);
  EXPECT_EQ(record["notes"].size(), 3u);
  EXPECT_EQ(record["notes"][1], (json::Value{{"kind", "hostLeftOut"},
                                             {"count", 2},
                                             {"example", "fc00:: - fdff::"},
                                             {"message", report.lines()[2]}}));
}

// Scanner --------------------------------------------------------------------------------------

/// An adapter for ".conf" files that takes anything it is given and counts how often it is asked.
class ConfAdapter : public ConfigImportAdapter {
 public:
  std::string adapterID() const override { return "conf"; }
  std::vector<std::string> fileExtensions() const override { return {"conf"}; }
  std::vector<std::string> searchPaths() const override { return {}; }
  ImportedConfig parse(std::string_view) const override {
    ++calls;
    return {};
  }
  mutable int calls = 0;
};

void writeText(const fs::path& path, std::string_view text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

TEST(ConfigImportScanner, DiscoversClaimedFilesInTheSearchPathsWithoutDescending) {
  ScratchDirectory home;
  const fs::path profiles = home.path() / "Library/Application Support/Proxifier3/Profiles";
  for (const std::string name : {"Default.ppx", "Work.PPX", "notes.txt", "nested/deep.ppx"})
    writeText(profiles / name, "x");
  writeText(home.path() / "Documents" / "Shared.ppx", "x");
  writeText(home.path() / "Desktop" / "Elsewhere.ppx", "x");

  const ConfigImportScanner scanner{{std::make_shared<PPXImportAdapter>()}};
  const std::vector<DiscoveredConfig> found = scanner.discover(home.path());
  std::set<fs::path> urls;
  for (const DiscoveredConfig& config : found) {
    EXPECT_EQ(config.displayName, "同类工具配置 · " + config.url.filename().string());
    EXPECT_EQ(config.adapterID, "ppx");
    urls.insert(config.url);
  }
  EXPECT_EQ(found.size(), 3u);
  EXPECT_EQ(urls, (std::set<fs::path>{profiles / "Default.ppx", profiles / "Work.PPX",
                                      home.path() / "Documents" / "Shared.ppx"}));
  EXPECT_TRUE(scanner.discover(home.path() / "no such home").empty());
}

/// A scanner with an adapter of another format ahead of the Proxifier one, over three files.
class ScannerReading : public ::testing::Test {
 protected:
  ScannerReading() {
    writeText(home.path() / "Work.PPX", ppx(proxyElement("100", "127.0.0.1", "1080")));
    writeText(home.path() / "broken.ppx", "not xml");
    writeText(home.path() / "profile.txt", ppx(""));
  }

  ScratchDirectory home;
  const std::shared_ptr<ConfAdapter> other = std::make_shared<ConfAdapter>();
  const ConfigImportScanner scanner{{other, std::make_shared<PPXImportAdapter>()}};
};

TEST_F(ScannerReading, FileIsReadByTheAdapterThatFoundItOrOneClaimingItsExtensionInAnyCase) {
  const auto found = [&](std::string name, std::string adapterID) {
    return DiscoveredConfig{.url = home.path() / name, .adapterID = std::move(adapterID)};
  };
  const std::vector<std::string> proxies = {"127.0.0.1:1080"};
  EXPECT_EQ(namesOf(scanner.parse(found("Work.PPX", "ppx")).proxies), proxies);
  EXPECT_EQ(importErrorOf([&] { scanner.parse(found("broken.ppx", "ppx")); }), notXML);
  EXPECT_EQ(importErrorOf([&] { scanner.parse(found("Work.PPX", "clash")); }), unrecognized);

  EXPECT_EQ(namesOf(scanner.parse(home.path() / "Work.PPX").proxies), proxies);
  // Chosen by extension, the adapter's own complaint is not what the user sees; nor is a file of
  // an extension no adapter claims shown to any adapter.
  EXPECT_EQ(importErrorOf([&] { scanner.parse(home.path() / "broken.ppx"); }), unrecognized);
  EXPECT_EQ(importErrorOf([&] { scanner.parse(home.path() / "profile.txt"); }), unrecognized);
  EXPECT_THROW(scanner.parse(home.path() / "missing.ppx"), FileError);
  EXPECT_EQ(other->calls, 0);
}

}  // namespace
}  // namespace velmora
