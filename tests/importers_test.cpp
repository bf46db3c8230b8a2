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

/// A Proxifier profile with the given proxy list and rule list contents.
std::string ppx(std::string_view proxies, std::string_view rules = "") {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ProxifierProfile><ProxyList>" +
         std::string(proxies) + "</ProxyList><ChainList /><RuleList>" + std::string(rules) +
         "</RuleList></ProxifierProfile>\n";
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

TEST(PPXImport, ProxyTakesProtocolFromTypeAndIsNamedByItsEndpoint) {
  const std::vector<std::pair<std::string, ProxyProtocol>> cases = {
      {R"(type="SOCKS5")", ProxyProtocol::socks5}, {R"(type="SOCKS4")", ProxyProtocol::socks5},
      {R"(type="socks5")", ProxyProtocol::socks5}, {"", ProxyProtocol::socks5},
      {R"(type="HTTPS")", ProxyProtocol::http},    {R"(type="Shadowsocks")", ProxyProtocol::http}};
  for (const auto& [type, protocol] : cases) {
    SCOPED_TRACE(type);
    const ImportedConfig config = read(ppx("<Proxy id=\"100\" " + type + R"(>
        <Authentication enabled="true"><Password>secret</Password><Username>me</Username></Authentication>
        <Port>3128</Port><Address>10.0.0.2</Address></Proxy>)"));
    const ProxyServer& proxy = config.proxies.at(0);
    EXPECT_EQ(proxy, (ProxyServer{proxy.id, "10.0.0.2:3128", "10.0.0.2", 3128, protocol}));
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
  // Pieces are trimmed of spaces and tabs, empty ones dropped, and line breaks kept.
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
                        .apps = {"a.exe", "b.exe"},
                        .hosts = {"*.example.com",
                                  "\n          10.0.0.0 - 10.255.255.255\n          b.example"},
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

TEST(PPXImport, ActionsResolveTheirKindAndProxy) {
  enum Outcome { direct, block, first, second };
  const std::vector<std::pair<std::string, Outcome>> cases = {
      {"", direct},
      {R"(<Action type="Direct" />)", direct},
      {R"(<Action type="Block" />)", block},
      {R"(<Action type="Proxy" proxy="101" />)", second},
      {R"(<Action type="Proxy" />)", first},
      {R"(<Action type="Proxy" proxy="999" />)", first},
      // Chains are not imported: the proxy the action names, or else the first one, stands in.
      {R"(<Action type="Chain">101</Action>)", first},
      {R"(<Action type="Chain" proxy="101" />)", second},
  };
  std::string rules;
  for (const auto& [action, outcome] : cases) rules += ruleElement("R", action);
  const ImportedConfig config = read(ppx(
      proxyElement("100", "127.0.0.1", "1080") + proxyElement("101", "10.0.0.2", "3128", "HTTPS"),
      rules));
  ASSERT_EQ(config.rules.size(), cases.size());
  const std::vector<RuleAction> outcomes = {RuleAction::direct(), RuleAction::block(),
                                            RuleAction::proxy(config.proxies.at(0).id),
                                            RuleAction::proxy(config.proxies.at(1).id)};
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].first);
    EXPECT_EQ(config.rules[i].action, outcomes[cases[i].second]);
  }

  // Without a usable proxy in the file a proxy action stays direct.
  const ImportedConfig noProxy =
      read(ppx(proxyElement("100", "127.0.0.1", "70000"),
               ruleElement("R", R"(<Action type="Proxy" proxy="100" />)")));
  EXPECT_EQ(noProxy.rules.at(0).action, RuleAction::direct());
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
    EXPECT_EQ(config.rules[0].hosts, (std::vector<std::string>{"a.example", "\nb.example"}));
  }
}

TEST(PPXImport, BytesThatAreNotXMLAreMalformed) {
  for (const std::string bytes :
       {"just some words", "<ProxifierProfile><ProxyList></ProxifierProfile>",
        // Not UTF-8, and no declaration saying what else it is.
        "<ProxifierProfile><RuleList><Rule><Name>\xCF\xF0</Name></Rule></RuleList>"
        "</ProxifierProfile>",
        "<?xml version=\"1.0\" encoding=\"no-such-charset\"?><ProxifierProfile>\xCF"
        "</ProxifierProfile>"}) {
    SCOPED_TRACE(bytes);
    EXPECT_EQ(importErrorOf([&] { read(bytes); }), notXML);
  }
}

TEST(PPXImport, DocumentWithAnotherRootIsUnrecognized) {
  for (const std::string bytes :
       {"<proxifierprofile><ProxyList /></proxifierprofile>", "<html><body /></html>"}) {
    SCOPED_TRACE(bytes);
    EXPECT_EQ(importErrorOf([&] { read(bytes); }), unrecognized);
  }
}

// Merge ----------------------------------------------------------------------------------------

ProxyServer proxyAt(std::string address, std::uint16_t port, ProxyProtocol proto) {
  return ProxyServer{UUID::random(), "", std::move(address), port, proto};
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

TEST_F(ScannerReading, DiscoveredFileIsReadByTheAdapterThatFoundIt) {
  const auto found = [&](std::string name, std::string adapterID) {
    return DiscoveredConfig{.url = home.path() / name, .adapterID = std::move(adapterID)};
  };
  EXPECT_EQ(namesOf(scanner.parse(found("Work.PPX", "ppx")).proxies),
            std::vector<std::string>{"127.0.0.1:1080"});
  EXPECT_EQ(importErrorOf([&] { scanner.parse(found("broken.ppx", "ppx")); }), notXML);
  EXPECT_EQ(importErrorOf([&] { scanner.parse(found("Work.PPX", "clash")); }), unrecognized);
  EXPECT_EQ(other->calls, 0);
}

TEST_F(ScannerReading, FileIsReadByAnAdapterClaimingItsExtensionInAnyCase) {
  EXPECT_EQ(namesOf(scanner.parse(home.path() / "Work.PPX").proxies),
            std::vector<std::string>{"127.0.0.1:1080"});
  // The adapter's own complaint is not what the user sees here.
  EXPECT_EQ(importErrorOf([&] { scanner.parse(home.path() / "broken.ppx"); }), unrecognized);
  // Nor is a file of an extension no adapter claims shown to any adapter.
  EXPECT_EQ(importErrorOf([&] { scanner.parse(home.path() / "profile.txt"); }), unrecognized);
  EXPECT_THROW(scanner.parse(home.path() / "missing.ppx"), FileError);
  EXPECT_EQ(other->calls, 0);
}

}  // namespace
}  // namespace velmora
