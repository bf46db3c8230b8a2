// Importing foreign configurations: the Proxifier adapter on hand-written profiles, the merge into
// a profile, and the scanner's discovery and adapter choice over a scratch home directory.
#include "kit/importers.h"

#include <gtest/gtest.h>

#include <algorithm>
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
  std::string text = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<ProxifierProfile version="101" platform="Windows" product_id="0" product_minver="310">
  <Options><Encryption mode="basic" /></Options>
  <ProxyList>)";
  text += proxies;
  text += "</ProxyList>\n  <ChainList />\n  <RuleList>";
  text += rules;
  text += "</RuleList>\n</ProxifierProfile>\n";
  return text;
}

std::string proxyElement(std::string_view id, std::string_view address, std::string_view port,
                         std::string_view type = "SOCKS5") {
  return "<Proxy id=\"" + std::string(id) + "\" type=\"" + std::string(type) + "\"><Address>" +
         std::string(address) + "</Address><Port>" + std::string(port) +
         "</Port><Options>48</Options></Proxy>";
}

std::string ruleElement(std::string_view name, std::string_view action) {
  return "<Rule enabled=\"true\"><Name>" + std::string(name) + "</Name>" + std::string(action) +
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

std::vector<std::string> ruleNames(const std::vector<Rule>& rules) {
  std::vector<std::string> names;
  for (const Rule& rule : rules) names.push_back(rule.name);
  return names;
}

// Proxifier adapter: proxies -------------------------------------------------------------------

TEST(PPXImport, ProxyTakesProtocolFromTypeAndIsNamedByItsEndpoint) {
  struct Case {
    std::string typeAttribute;
    ProxyProtocol expected;
  };
  const std::vector<Case> cases = {
      {R"(type="SOCKS5")", ProxyProtocol::socks5}, {R"(type="SOCKS4")", ProxyProtocol::socks5},
      {R"(type="socks5")", ProxyProtocol::socks5}, {"", ProxyProtocol::socks5},
      {R"(type="HTTPS")", ProxyProtocol::http},    {R"(type="HTTP")", ProxyProtocol::http},
      {R"(type="")", ProxyProtocol::http},         {R"(type="Shadowsocks")", ProxyProtocol::http},
      {R"(type=" SOCKS5")", ProxyProtocol::http},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typeAttribute);
    const ImportedConfig config = read(ppx("<Proxy id=\"100\" " + c.typeAttribute +
                                           R"(>
        <Authentication enabled="true"><Password>secret</Password><Username>me</Username></Authentication>
        <Options>50</Options><Port>3128</Port><Address>10.0.0.2</Address></Proxy>)"));
    ASSERT_EQ(config.proxies.size(), 1u);
    const ProxyServer& proxy = config.proxies[0];
    EXPECT_EQ(proxy, (ProxyServer{.id = proxy.id,
                                  .name = "10.0.0.2:3128",
                                  .address = "10.0.0.2",
                                  .port = 3128,
                                  .proto = c.expected,
                                  .credentials = std::nullopt}));
    EXPECT_TRUE(config.rules.empty());
  }
}

TEST(PPXImport, PortTextIsAcceptedExactlyAsADecimalSixteenBitNumber) {
  struct Case {
    std::string text;
    std::optional<std::uint16_t> port;
  };
  const std::vector<Case> cases = {
      {"1080", 1080},
      {"+1080", 1080},
      {"0080", 80},
      {"65535", 65535},
      {"0", 0},
      {"-0", 0},
      {"-000", 0},
      {"0000065535", 65535},
      {"65536", {}},
      {"70000", {}},
      {"99999999999999999999", {}},
      {"10a0", {}},
      {"", {}},
      {"-1", {}},
      {"-01", {}},
      {"+", {}},
      {"-", {}},
      {"+-0", {}},
      {"--0", {}},
      {" 1080", {}},
      {"1080 ", {}},
      {"0x50", {}},
      {"1,080", {}},
      {"\xD9\xA1\xD9\xA2", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("port text \"" + c.text + "\"");
    // A good proxy on either side shows that a bad one is skipped without disturbing the others.
    const ImportedConfig config =
        read(ppx(proxyElement("1", "10.0.0.1", "1") + proxyElement("2", "host", c.text) +
                 proxyElement("3", "10.0.0.3", "3")));
    std::vector<std::string> names;
    for (const ProxyServer& proxy : config.proxies) names.push_back(proxy.name);
    if (c.port) {
      EXPECT_EQ(names, (std::vector<std::string>{"10.0.0.1:1", "host:" + std::to_string(*c.port),
                                                 "10.0.0.3:3"}));
    } else {
      EXPECT_EQ(names, (std::vector<std::string>{"10.0.0.1:1", "10.0.0.3:3"}));
    }
  }
}

TEST(PPXImport, ProxyWithoutAddressOrPortIsSkipped) {
  const ImportedConfig config = read(ppx(R"(
      <Proxy id="1" type="SOCKS5"><Port>1080</Port></Proxy>
      <Proxy id="2" type="SOCKS5"><Address /><Port>1080</Port></Proxy>
      <Proxy id="3" type="SOCKS5"><Address>no-port.example</Address></Proxy>
      <Proxy id="4" type="SOCKS5"><Address>empty-port.example</Address><Port></Port></Proxy>
      <Proxy id="5" type="SOCKS5"><Label>Proxy</Label><Port>1086</Port><Address><![CDATA[proxy.example]]></Address></Proxy>
      <!-- a comment among the proxies -->
      <Proxy id="6"><Address>first.example</Address><Address>second.example</Address><Port>8080</Port><Port>1</Port></Proxy>
  )"));
  ASSERT_EQ(config.proxies.size(), 2u);
  EXPECT_EQ(config.proxies[0].name, "proxy.example:1086");
  EXPECT_EQ(config.proxies[1].name, "first.example:8080");
  EXPECT_EQ(config.proxies[1].proto, ProxyProtocol::socks5);
  EXPECT_NE(config.proxies[0].id, config.proxies[1].id);
}

TEST(PPXImport, OnlyDirectChildrenOfTheRootListsAreRead) {
  const ImportedConfig config = read(R"(<ProxifierProfile>
      <ProxyList><Group><Proxy><Address>nested.example</Address><Port>1</Port></Proxy></Group></ProxyList>
      <Other><ProxyList><Proxy><Address>elsewhere.example</Address><Port>2</Port></Proxy></ProxyList></Other>
      <ProxyList><Proxy><Address>second-list.example</Address><Port>3</Port></Proxy></ProxyList>
      <RuleList><Rule><Name>Kept</Name></Rule><Group><Rule><Name>Nested</Name></Rule></Group></RuleList>
      <ChainList><Chain><Rule><Name>In a chain</Name></Rule></Chain></ChainList>
    </ProxifierProfile>)");
  ASSERT_EQ(config.proxies.size(), 1u);
  EXPECT_EQ(config.proxies[0].name, "second-list.example:3");
  EXPECT_EQ(ruleNames(config.rules), std::vector<std::string>{"Kept"});
}

// Proxifier adapter: rules ---------------------------------------------------------------------

TEST(PPXImport, RuleCarriesItsListsAndFixedDefaults) {
  const ImportedConfig config = read(ppx(proxyElement("100", "127.0.0.1", "1086"), R"(
      <Rule enabled="false">
        <Name>Work</Name>
        <Applications> chrome.exe;;"Ableton Live 10 Suite.exe" ;	</Applications>
        <Targets>*.example.com; 10.0.0.0 - 10.255.255.255;;  ;</Targets>
        <Ports>80;443</Ports>
        <Action type="Proxy">100</Action>
      </Rule>)"));
  ASSERT_EQ(config.rules.size(), 1u);
  const Rule& rule = config.rules[0];
  EXPECT_EQ(rule, (Rule{.id = rule.id,
                        .name = "Work",
                        .enabled = false,
                        .apps = {"chrome.exe", "\"Ableton Live 10 Suite.exe\""},
                        .hosts = {"*.example.com", "10.0.0.0 - 10.255.255.255"},
                        .ports = {"80", "443"},
                        .transport = FlowTransport::any,
                        .action = RuleAction::proxy(config.proxies[0].id),
                        .quicPolicy = QUICPolicy::fallback,
                        .locked = false,
                        .tags = {}}));
}

TEST(PPXImport, ListsSplitAtSemicolonsAndTrimOnlySpacesAndTabs) {
  struct Case {
    std::string element;
    std::vector<std::string> apps;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"<Applications />", {}},
      {"<Applications>;;; ;\t;</Applications>", {}},
      {"<Applications> a.exe;;b.exe</Applications>", {"a.exe", "b.exe"}},
      {"<Applications>\t a b \t;c</Applications>", {"a b", "c"}},
      {"<Applications>b.exe;a.exe;b.exe</Applications>", {"b.exe", "a.exe", "b.exe"}},
      // Line breaks are part of the pieces; pieces separated only by them stay one piece.
      {"<Applications>a.exe;\n  b.exe\nc.exe</Applications>", {"a.exe", "\n  b.exe\nc.exe"}},
      {"<Applications>x<!-- note -->y;<![CDATA[z;w]]></Applications>", {"xy", "z", "w"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.element);
    const ImportedConfig config = read(ppx("", "<Rule><Name>R</Name>" + c.element + "</Rule>"));
    ASSERT_EQ(config.rules.size(), 1u);
    EXPECT_EQ(config.rules[0].apps, c.apps);
    EXPECT_TRUE(config.rules[0].hosts.empty());
    EXPECT_TRUE(config.rules[0].ports.empty());
  }
}

TEST(PPXImport, OnlyTheExactTextFalseDisablesARule) {
  const ImportedConfig config = read(ppx("", R"(
      <Rule enabled="false"><Name>a</Name></Rule>
      <Rule enabled="False"><Name>b</Name></Rule>
      <Rule enabled="0"><Name>c</Name></Rule>
      <Rule enabled=""><Name>d</Name></Rule>
      <Rule><Name>e</Name></Rule>
      <Rule enabled="true"><Name>f</Name></Rule>)"));
  std::vector<bool> enabled;
  for (const Rule& rule : config.rules) enabled.push_back(rule.enabled);
  EXPECT_EQ(enabled, (std::vector<bool>{false, true, true, true, true, true}));
}

TEST(PPXImport, NamesDefaultToImportedAndBuiltInNamesAreDropped) {
  const ImportedConfig config = read(ppx(proxyElement("100", "127.0.0.1", "1080"), R"(
      <Rule><Action type="Direct" /></Rule>
      <Rule><Name /></Rule>
      <Rule><Name>Localhost</Name><Targets>localhost;127.0.0.1</Targets></Rule>
      <Rule><Name>localhost</Name></Rule>
      <Rule><Name>Default</Name><Action type="Proxy" proxy="100" /></Rule>
      <Rule><Name> Default</Name></Rule>
      <Rule><Name>DEFAULT</Name></Rule>
      <Rule><Name>CLion</Name></Rule>
      <Rule><Name>CLion</Name></Rule>
      <Rule><Action type="Block" /><Name>Name after action</Name></Rule>)"));
  EXPECT_EQ(ruleNames(config.rules),
            (std::vector<std::string>{"Imported", "Imported", "localhost", " Default", "DEFAULT",
                                      "CLion", "CLion", "Name after action"}));
  std::set<UUID> ids;
  for (const Rule& rule : config.rules) ids.insert(rule.id);
  EXPECT_EQ(ids.size(), config.rules.size());
}

TEST(PPXImport, ActionsResolveTheirKindAndProxy) {
  struct Case {
    std::string action;
    std::string expected;  // "direct", "block", or "proxy <index of the imported proxy>"
  };
  const std::vector<Case> cases = {
      {"", "direct"},
      {R"(<Action />)", "direct"},
      {R"(<Action type="Direct" />)", "direct"},
      {R"(<Action type="Block" />)", "block"},
      {R"(<Action type="BLOCK" />)", "block"},
      {R"(<Action>Block</Action>)", "block"},
      {R"(<Action type="">Block</Action>)", "block"},
      {R"(<Action type="Direct">Block</Action>)", "direct"},
      {R"(<Action type="ProxyBlock" />)", "block"},
      {R"(<Action type="Something else" proxy="101" />)", "direct"},
      {R"(<Action type="Proxy" proxy="101" />)", "proxy 1"},
      {R"(<Action type="proxy" proxy="100" />)", "proxy 0"},
      {R"(<Action type="Proxy" />)", "proxy 0"},
      {R"(<Action type="Proxy" proxy="999" />)", "proxy 0"},
      {R"(<Action type="Proxy" proxy="" />)", "proxy 0"},
      {R"(<Action proxy="101">Proxy</Action>)", "proxy 1"},
      // Chains have their own id space and are not imported: the first proxy stands in.
      {R"(<Action type="Chain">101</Action>)", "proxy 0"},
      {R"(<Action type="Chain" proxy="101" />)", "proxy 1"},
  };
  std::string rules;
  for (std::size_t i = 0; i < cases.size(); ++i)
    rules += ruleElement("rule " + std::to_string(i), cases[i].action);
  const ImportedConfig config = read(ppx(
      proxyElement("100", "127.0.0.1", "1080") + proxyElement("101", "10.0.0.2", "3128", "HTTPS"),
      rules));
  ASSERT_EQ(config.proxies.size(), 2u);
  ASSERT_EQ(config.rules.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].action);
    const std::string& expected = cases[i].expected;
    const RuleAction action =
        expected == "direct" ? RuleAction::direct()
        : expected == "block"
            ? RuleAction::block()
            : RuleAction::proxy(
                  config.proxies.at(static_cast<std::size_t>(expected.back() - '0')).id);
    EXPECT_EQ(config.rules[i].action, action);
  }
}

TEST(PPXImport, ProxyActionWithoutUsableProxyStaysDirect) {
  const ImportedConfig config = read(ppx(proxyElement("100", "127.0.0.1", "70000"), R"(
      <Rule><Name>Named</Name><Action type="Proxy" proxy="100" /></Rule>
      <Rule><Name>First</Name><Action type="Proxy" /></Rule>
      <Rule><Name>Chain</Name><Action type="Chain">100</Action></Rule>)"));
  EXPECT_TRUE(config.proxies.empty());
  for (const Rule& rule : config.rules) EXPECT_EQ(rule.action, RuleAction::direct()) << rule.name;
}

TEST(PPXImport, LaterProxyWithTheSameIdTakesItsReferences) {
  const ImportedConfig config =
      read(ppx(proxyElement("7", "first.example", "1") + proxyElement("7", "second.example", "2") +
                   proxyElement("8", "third.example", "3"),
               ruleElement("R", R"(<Action type="Proxy" proxy="7" />)")));
  ASSERT_EQ(config.proxies.size(), 3u);
  EXPECT_EQ(config.rules.at(0).action, RuleAction::proxy(config.proxies[1].id));
}

TEST(PPXImport, EmptyListsGiveAnEmptyImport) {
  for (const std::string& document : {std::string("<ProxifierProfile />"), ppx("")}) {
    SCOPED_TRACE(document);
    EXPECT_EQ(read(document), ImportedConfig{});
  }
}

// Proxifier adapter: how the bytes arrive ------------------------------------------------------

/// UTF-16LE bytes of ASCII text, with a byte-order mark.
std::string utf16LE(std::string_view ascii) {
  std::string bytes = "\xFF\xFE";
  for (const char c : ascii) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

std::string withCRLF(std::string_view text) {
  std::string result;
  for (const char c : text) {
    if (c == '\n') result += '\r';
    result += c;
  }
  return result;
}

TEST(PPXImport, EncodingsAndLineEndsOfWindowsToolsAreRead) {
  const std::string body =
      "<ProxifierProfile>\n<ProxyList>\n<Proxy id=\"100\" "
      "type=\"SOCKS5\">\n<Address>127.0.0.1</Address>\n"
      "<Port>1080</Port>\n</Proxy>\n</ProxyList>\n<RuleList>\n<Rule "
      "enabled=\"true\">\n<Name>NAME</Name>\n"
      "<Targets>a.example;\nb.example</Targets>\n<Action type=\"Proxy\" proxy=\"100\" "
      "/>\n</Rule>\n</RuleList>\n"
      "</ProxifierProfile>\n";
  const auto withName = [&](std::string_view name) {
    std::string text = body;
    text.replace(text.find("NAME"), 4, name);
    return text;
  };
  const std::string cyrillic =
      "\xD0\x9F\xD1\x80\xD0\xBE\xD0\xBA\xD1\x81\xD0\xB8";            // "Прокси" in UTF-8
  const std::string chinese = "\xE4\xB8\xAD\xE6\x96\x87";            // "中文" in UTF-8
  const std::string mixed = cyrillic + " " + chinese + " \xC3\xA9";  // "Прокси 中文 é"
  const auto declared = [](std::string_view encoding) {
    return "<?xml version=\"1.0\" encoding=\"" + std::string(encoding) +
           "\" standalone=\"yes\"?>\n";
  };
  struct Case {
    std::string label;
    std::string bytes;
    std::string name;
  };
  const std::vector<Case> cases = {
      {"UTF-8 with declaration", declared("UTF-8") + withName(mixed), mixed},
      {"byte-order mark and CRLF", withCRLF("\xEF\xBB\xBF" + declared("UTF-8") + withName(mixed)),
       mixed},
      {"no declaration", withName(mixed), mixed},
      {"UTF-8 declared as windows-1251", declared("windows-1251") + withName(mixed), mixed},
      {"UTF-8 declared as UTF-16, with mark and CRLF",
       withCRLF("\xEF\xBB\xBF" + declared("UTF-16") + withName(mixed)), mixed},
      {"UTF-8 declared as ISO-8859-1", declared("ISO-8859-1") + withName(mixed), mixed},
      {"windows-1251 bytes", declared("windows-1251") + withName("\xCF\xF0\xEE\xEA\xF1\xE8"),
       cyrillic},
      {"GBK bytes", withCRLF(declared("GBK") + withName("\xD6\xD0\xCE\xC4")), chinese},
      {"ISO-8859-1 bytes", declared("ISO-8859-1") + withName("caf\xE9"), "caf\xC3\xA9"},
      {"UTF-16LE with mark", utf16LE(withCRLF(declared("UTF-16") + withName("Wide"))), "Wide"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const ImportedConfig config = read(c.bytes);
    ASSERT_EQ(config.proxies.size(), 1u);
    EXPECT_EQ(config.proxies[0].name, "127.0.0.1:1080");
    ASSERT_EQ(config.rules.size(), 1u);
    EXPECT_EQ(config.rules[0].name, c.name);
    // Line ends arrive as "\n" alone, never with a carriage return left in a piece.
    EXPECT_EQ(config.rules[0].hosts, (std::vector<std::string>{"a.example", "\nb.example"}));
    EXPECT_EQ(config.rules[0].action, RuleAction::proxy(config.proxies[0].id));
  }
}

TEST(PPXImport, BytesThatAreNotXMLAreMalformed) {
  const std::vector<std::string> cases = {
      "",
      "   \n",
      "just some words",
      R"({"proxies": [], "rules": []})",
      "<ProxifierProfile><ProxyList></ProxifierProfile>",
      "<ProxifierProfile><RuleList><Rule><Name>x</Name></Rule>",
      "<ProxifierProfile attribute=unquoted />",
      // Not UTF-8 and no declaration saying what else it is.
      "<ProxifierProfile><RuleList><Rule><Name>\xCF\xF0</Name></Rule></RuleList></"
      "ProxifierProfile>",
      // A byte the declared code page does not have.
      "<?xml version=\"1.0\" "
      "encoding=\"Shift_JIS\"?><ProxifierProfile><Name>\xFF\xFF</Name></ProxifierProfile>",
      "<?xml version=\"1.0\" "
      "encoding=\"no-such-charset\"?><ProxifierProfile><Name>\xCF</Name></ProxifierProfile>",
  };
  for (const std::string& bytes : cases) {
    SCOPED_TRACE(bytes);
    EXPECT_EQ(importErrorOf([&] { read(bytes); }), notXML);
  }
}

TEST(PPXImport, DocumentWithAnotherRootIsUnrecognized) {
  const std::vector<std::string> cases = {
      "<ProxifierProfil />",
      "<proxifierprofile><ProxyList /></proxifierprofile>",
      "<?xml version=\"1.0\"?><Profile><ProxifierProfile><ProxyList "
      "/></ProxifierProfile></Profile>",
      "<ns:ProxifierProfile xmlns:ns=\"urn:x\" />",
      "<html><body>ProxifierProfile</body></html>",
  };
  for (const std::string& bytes : cases) {
    SCOPED_TRACE(bytes);
    EXPECT_EQ(importErrorOf([&] { read(bytes); }), unrecognized);
  }
}

TEST(PPXImport, AdapterDescribesItsFiles) {
  const PPXImportAdapter adapter;
  EXPECT_EQ(adapter.adapterID(), "ppx");
  EXPECT_EQ(adapter.fileExtensions(), std::vector<std::string>{"ppx"});
  EXPECT_EQ(
      adapter.searchPaths(),
      (std::vector<std::string>{"Library/Application Support/Proxifier3/Profiles", "Documents"}));
}

// Merge ----------------------------------------------------------------------------------------

ProxyServer proxyAt(std::string address, std::uint16_t port, ProxyProtocol proto,
                    std::string name = "") {
  return ProxyServer{.id = UUID::random(),
                     .name = std::move(name),
                     .address = std::move(address),
                     .port = port,
                     .proto = proto};
}

Rule rule(std::string name, RuleAction action = RuleAction::direct(), bool locked = false) {
  return Rule{
      .id = UUID::random(), .name = std::move(name), .action = std::move(action), .locked = locked};
}

TEST(Merging, ImportedProxyWithAnExistingEndpointIsReused) {
  Profile profile = Profile::makeDefault("home");
  const ProxyServer existing = proxyAt("127.0.0.1", 1080, ProxyProtocol::socks5, "Local SOCKS");
  profile.proxies = {existing};

  const ProxyServer same = proxyAt("127.0.0.1", 1080, ProxyProtocol::socks5, "127.0.0.1:1080");
  const ImportedConfig imported{.proxies = {same},
                                .rules = {rule("Via proxy", RuleAction::proxy(same.id))}};
  const Profile merged = merging(profile, imported);

  EXPECT_EQ(merged.proxies, std::vector<ProxyServer>{existing});
  EXPECT_EQ(merged.rule(imported.rules[0].id)->action, RuleAction::proxy(existing.id));
}

TEST(Merging, ProxiesDifferingInAddressPortOrProtocolAreAdded) {
  Profile profile = Profile::makeDefault("home");
  const ProxyServer existing = proxyAt("proxy.example", 1080, ProxyProtocol::socks5);
  profile.proxies = {existing};

  const ImportedConfig imported{.proxies = {proxyAt("proxy.example", 1080, ProxyProtocol::http),
                                            proxyAt("Proxy.example", 1080, ProxyProtocol::socks5),
                                            proxyAt("proxy.example", 1081, ProxyProtocol::socks5)}};
  std::vector<ProxyServer> expected = {existing};
  expected.insert(expected.end(), imported.proxies.begin(), imported.proxies.end());
  EXPECT_EQ(merging(profile, imported).proxies, expected);
}

TEST(Merging, ImportedProxiesSharingAnEndpointBecomeOne) {
  const Profile profile = Profile::makeDefault("home");
  const ProxyServer first = proxyAt("10.0.0.1", 3128, ProxyProtocol::http);
  const ProxyServer second = proxyAt("10.0.0.1", 3128, ProxyProtocol::http);
  const ImportedConfig imported{
      .proxies = {first, second},
      .rules = {rule("A", RuleAction::proxy(first.id)), rule("B", RuleAction::proxy(second.id))}};
  const Profile merged = merging(profile, imported);

  EXPECT_EQ(merged.proxies, std::vector<ProxyServer>{first});
  EXPECT_EQ(merged.rule(imported.rules[0].id)->action, RuleAction::proxy(first.id));
  EXPECT_EQ(merged.rule(imported.rules[1].id)->action, RuleAction::proxy(first.id));
}

TEST(Merging, OnlyProxyActionsOfReusedProxiesAreRewritten) {
  Profile profile = Profile::makeDefault("home");
  const ProxyServer existing = proxyAt("127.0.0.1", 1080, ProxyProtocol::socks5);
  profile.proxies = {existing};
  const ProxyServer reused = proxyAt("127.0.0.1", 1080, ProxyProtocol::socks5);
  const ProxyServer added = proxyAt("10.0.0.2", 3128, ProxyProtocol::http);
  const UUID unknown = UUID::random();

  // A chain or interface action naming the reused proxy's id must not be touched.
  const std::vector<Rule> rules = {
      rule("to added", RuleAction::proxy(added.id)), rule("to unknown", RuleAction::proxy(unknown)),
      rule("chain", RuleAction::chain(reused.id)),
      rule("interface", RuleAction::interface("utun3")), rule("block", RuleAction::block())};
  const Profile merged = merging(profile, {.proxies = {reused, added}, .rules = rules});
  for (const Rule& original : rules) {
    SCOPED_TRACE(original.name);
    EXPECT_EQ(*merged.rule(original.id), original);
  }
}

TEST(Merging, ImportedRulesGoBetweenTheProfilesRulesAndTheFallback) {
  Profile profile = Profile::makeDefault("home");
  const Rule localhost = Profile::localhostGuardRule();
  const Rule fallback = Profile::defaultFallbackRule();
  profile.rules = {fallback,  rule("A"),       rule("Pinned", RuleAction::block(), true),
                   localhost, rule("Default"), rule("B")};
  const ImportedConfig imported{.rules = {rule("X"), rule("Y")}};

  const Profile merged = merging(profile, imported);
  EXPECT_EQ(ruleNames(merged.rules),
            (std::vector<std::string>{"Localhost", "A", "Default", "B", "X", "Y", "Default"}));
  EXPECT_EQ(merged.rules.front(), localhost);
  EXPECT_EQ(merged.rules.back(), fallback);
  EXPECT_EQ(merged.rules[4], imported.rules[0]);
}

TEST(Merging, GivesTheOrderOfTheEvaluationWithImportsBeforeTheFallback) {
  Profile profile = Profile::makeDefault("home");
  profile.rules = {Profile::defaultFallbackRule(), rule("A"), Profile::localhostGuardRule()};
  const Profile merged = merging(profile, {.rules = {rule("X"), rule("Y")}});
  EXPECT_EQ(ruleNames(merged.rules),
            (std::vector<std::string>{"Localhost", "A", "X", "Y", "Default"}));
}

TEST(Merging, LeavesEverythingElseOfTheProfileAlone) {
  Profile profile = Profile::makeDefault("home");
  profile.chains = {
      ProxyChain{.id = UUID::random(), .name = "chain", .proxyIDs = {UUID::random()}}};
  profile.dns = DNSSettings{.resolveViaProxy = false, .exclusions = {"*.lan"}};
  profile.general = GeneralSettings{.loopDetection = false, .failsafeOnCrash = false};
  profile.environments = {NetworkEnvironment{
      .id = UUID::random(), .name = "Office", .kind = NetworkEnvironment::Kind::wifi("corp")}};

  const ProxyServer proxy = proxyAt("10.0.0.2", 3128, ProxyProtocol::http);
  const Rule imported = rule("X", RuleAction::proxy(proxy.id));
  Profile expected = profile;
  expected.proxies = {proxy};
  expected.rules = {profile.rules[0], imported, profile.rules[1]};  // the guards, around the import
  EXPECT_EQ(merging(profile, {.proxies = {proxy}, .rules = {imported}}), expected);
  EXPECT_EQ(merging(profile, {}), profile);
}

// Scanner --------------------------------------------------------------------------------------

/// An adapter whose answers the test chooses and whose parse calls it counts.
class ScriptedAdapter : public ConfigImportAdapter {
 public:
  ScriptedAdapter(std::string id, std::vector<std::string> extensions,
                  std::vector<std::string> paths,
                  std::function<ImportedConfig(std::string_view)> parse)
      : id_(std::move(id)),
        extensions_(std::move(extensions)),
        paths_(std::move(paths)),
        parse_(std::move(parse)) {}

  std::string adapterID() const override { return id_; }
  std::vector<std::string> fileExtensions() const override { return extensions_; }
  std::vector<std::string> searchPaths() const override { return paths_; }
  ImportedConfig parse(std::string_view data) const override {
    ++calls;
    return parse_(data);
  }

  mutable int calls = 0;

 private:
  std::string id_;
  std::vector<std::string> extensions_;
  std::vector<std::string> paths_;
  std::function<ImportedConfig(std::string_view)> parse_;
};

/// An import with one proxy named after the adapter, so a test sees which adapter answered.
ImportedConfig importNamed(std::string name) {
  return ImportedConfig{.proxies = {ProxyServer{.id = UUID::random(), .name = std::move(name)}}};
}

std::shared_ptr<ScriptedAdapter> succeeding(std::string id, std::vector<std::string> extensions,
                                            std::vector<std::string> paths = {}) {
  return std::make_shared<ScriptedAdapter>(id, std::move(extensions), std::move(paths),
                                           [id](std::string_view) { return importNamed(id); });
}

std::shared_ptr<ScriptedAdapter> failing(std::string id, std::vector<std::string> extensions) {
  return std::make_shared<ScriptedAdapter>(
      id, std::move(extensions), std::vector<std::string>{},
      [](std::string_view) -> ImportedConfig { throw ImportError::malformed("broken"); });
}

void writeText(const fs::path& path, std::string_view text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

const std::string proxifierDir = "Library/Application Support/Proxifier3/Profiles";

TEST(ConfigImportScanner, DiscoversClaimedFilesInTheSearchPathsOnly) {
  ScratchDirectory home;
  const fs::path profiles = home.path() / proxifierDir;
  for (const std::string name :
       {"Default.ppx", "Work.PPX", ".hidden.ppx", "notes.txt", "ppx", "trailing.ppx.bak"}) {
    writeText(profiles / name, "x");
  }
  writeText(profiles / "nested" / "deep.ppx", "x");
  writeText(home.path() / "Documents" / "Shared.ppx", "x");
  writeText(home.path() / "Desktop" / "Elsewhere.ppx", "x");
  writeText(home.path() / "Shared.ppx", "x");

  const std::vector<DiscoveredConfig> found =
      ConfigImportScanner{{std::make_shared<PPXImportAdapter>()}}.discover(home.path());

  // Entries of one directory come in listing order; the search paths in the adapter's order.
  ASSERT_EQ(found.size(), 4u);
  std::set<fs::path> firstDirectory;
  for (std::size_t i = 0; i < 3; ++i) firstDirectory.insert(found[i].url);
  EXPECT_EQ(firstDirectory, (std::set<fs::path>{profiles / "Default.ppx", profiles / "Work.PPX",
                                                profiles / ".hidden.ppx"}));
  EXPECT_EQ(found[3].url, home.path() / "Documents" / "Shared.ppx");

  std::set<UUID> ids;
  for (const DiscoveredConfig& config : found) {
    EXPECT_EQ(config.displayName, "同类工具配置 · " + config.url.filename().string());
    EXPECT_EQ(config.adapterID, "ppx");
    ids.insert(config.id);
  }
  EXPECT_EQ(ids.size(), found.size());
}

TEST(ConfigImportScanner, DiscoveryPassesOverMissingOrUnlistableDirectories) {
  ScratchDirectory home;
  const ConfigImportScanner scanner{{std::make_shared<PPXImportAdapter>()}};
  EXPECT_TRUE(scanner.discover(home.path()).empty());
  EXPECT_TRUE(scanner.discover(home.path() / "no such home").empty());

  writeText(home.path() / "Documents", "a file where a directory is expected");
  writeText(home.path() / proxifierDir / "Only.ppx", "x");
  const auto found = scanner.discover(home.path());
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].displayName, "同类工具配置 · Only.ppx");
}

TEST(ConfigImportScanner, EveryClaimIsReportedWithoutDeduplication) {
  ScratchDirectory home;
  writeText(home.path() / "Documents" / "both.ppx", "x");
  writeText(home.path() / "Documents" / "other.conf", "x");
  const auto other = succeeding("other", {"ppx", "conf"}, {"Documents", "Documents/."});

  const auto found =
      ConfigImportScanner{{std::make_shared<PPXImportAdapter>(), other}}.discover(home.path());
  std::vector<std::pair<std::string, std::string>> claims;
  for (const DiscoveredConfig& config : found)
    claims.emplace_back(config.adapterID, config.url.filename().string());
  // The PPX adapter's claim comes first; each of the other adapter's two paths lists both files.
  ASSERT_EQ(claims.size(), 5u);
  EXPECT_EQ(claims[0], (std::pair<std::string, std::string>{"ppx", "both.ppx"}));
  std::sort(claims.begin() + 1, claims.begin() + 3);
  std::sort(claims.begin() + 3, claims.end());
  EXPECT_EQ(std::vector(claims.begin() + 1, claims.end()),
            (std::vector<std::pair<std::string, std::string>>{{"other", "both.ppx"},
                                                              {"other", "other.conf"},
                                                              {"other", "both.ppx"},
                                                              {"other", "other.conf"}}));
  EXPECT_EQ(other->calls, 0);
}

TEST(ConfigImportScanner, DiscoveredFileIsReadByTheAdapterThatFoundIt) {
  ScratchDirectory home;
  const fs::path file = home.path() / "Documents" / "Work.ppx";
  writeText(file, ppx(proxyElement("100", "127.0.0.1", "1080")));
  const auto first = succeeding("first", {"ppx"});
  const auto second = succeeding("second", {"ppx"});
  const auto twin = succeeding("second", {"ppx"});
  const ConfigImportScanner scanner{{first, second, twin, std::make_shared<PPXImportAdapter>()}};

  EXPECT_EQ(scanner.parse(DiscoveredConfig{.url = file, .adapterID = "second"}).proxies.at(0).name,
            "second");
  EXPECT_EQ(first->calls, 0);
  EXPECT_EQ(twin->calls, 0);
  EXPECT_EQ(scanner.parse(DiscoveredConfig{.url = file, .adapterID = "ppx"}).proxies.at(0).name,
            "127.0.0.1:1080");
}

TEST(ConfigImportScanner, DiscoveredFileFailuresKeepTheirOwnKind) {
  ScratchDirectory home;
  const fs::path broken = home.path() / "broken.ppx";
  writeText(broken, "not xml");
  const ConfigImportScanner scanner{{std::make_shared<PPXImportAdapter>()}};

  EXPECT_EQ(
      importErrorOf([&] { scanner.parse(DiscoveredConfig{.url = broken, .adapterID = "ppx"}); }),
      notXML);
  EXPECT_EQ(
      importErrorOf([&] { scanner.parse(DiscoveredConfig{.url = broken, .adapterID = "clash"}); }),
      unrecognized);
  EXPECT_THROW(scanner.parse(DiscoveredConfig{.url = home.path() / "gone.ppx", .adapterID = "ppx"}),
               FileError);
}

TEST(ConfigImportScanner, FileIsReadByItsExtensionCaseInsensitively) {
  ScratchDirectory home;
  const fs::path upper = home.path() / "Exported.PPX";
  writeText(upper, ppx(proxyElement("100", "10.0.0.2", "3128", "HTTPS"),
                       ruleElement("Browsers", R"(<Action type="Proxy" proxy="100" />)")));
  const ImportedConfig config =
      ConfigImportScanner{{std::make_shared<PPXImportAdapter>()}}.parse(upper);
  ASSERT_EQ(config.proxies.size(), 1u);
  EXPECT_EQ(config.proxies[0].name, "10.0.0.2:3128");
  EXPECT_EQ(ruleNames(config.rules), std::vector<std::string>{"Browsers"});
}

TEST(ConfigImportScanner, FileOfAnUnclaimedExtensionIsUnrecognizedWithoutAskingAnyAdapter) {
  ScratchDirectory home;
  const auto ppxLike = succeeding("ppx-like", {"ppx"});
  const auto bare = succeeding("bare", {""});
  const ConfigImportScanner scanner{{ppxLike, bare}};
  for (const std::string name : {"profile.txt", "profile.ppx.txt", "ppx"}) {
    SCOPED_TRACE(name);
    writeText(home.path() / name, ppx(""));
    if (name == "ppx") {
      // No extension at all is the empty one, which only an adapter claiming it reads.
      EXPECT_EQ(scanner.parse(home.path() / name).proxies.at(0).name, "bare");
    } else {
      EXPECT_EQ(importErrorOf([&] { scanner.parse(home.path() / name); }), unrecognized);
    }
  }
  EXPECT_EQ(ppxLike->calls, 0);
}

TEST(ConfigImportScanner, FileFallsThroughFailingAdaptersAndReportsOnlyUnrecognized) {
  ScratchDirectory home;
  const fs::path file = home.path() / "profile.ppx";
  writeText(file, "<?xml version=\"1.0\"?><NotProxifier />");

  const auto broken = failing("broken", {"ppx"});
  const auto other = succeeding("other", {"conf"});
  const auto reader = succeeding("reader", {"ppx"});
  const auto later = succeeding("later", {"ppx"});
  const ConfigImportScanner scanner{{broken, other, reader, later}};
  EXPECT_EQ(scanner.parse(file).proxies.at(0).name, "reader");
  EXPECT_EQ(broken->calls, 1);
  EXPECT_EQ(other->calls, 0);
  EXPECT_EQ(later->calls, 0);

  // The PPX adapter's own complaint (not XML, wrong root) is not what the user sees here.
  EXPECT_EQ(importErrorOf([&] {
              ConfigImportScanner{{std::make_shared<PPXImportAdapter>(), broken}}.parse(file);
            }),
            unrecognized);
  writeText(file, "not xml");
  EXPECT_EQ(importErrorOf(
                [&] { ConfigImportScanner{{std::make_shared<PPXImportAdapter>()}}.parse(file); }),
            unrecognized);
  EXPECT_EQ(importErrorOf([&] { ConfigImportScanner{}.parse(file); }), unrecognized);
}

TEST(ConfigImportScanner, FileThatCannotBeReadFailsWithTheReadError) {
  ScratchDirectory home;
  const auto any = succeeding("any", {"ppx", "txt"});
  const ConfigImportScanner scanner{{any}};
  for (const fs::path& path :
       {home.path() / "missing.ppx", home.path() / "missing.txt", home.path()}) {
    SCOPED_TRACE(path);
    try {
      scanner.parse(path);
      ADD_FAILURE() << "no failure";
    } catch (const FileError& error) {
      EXPECT_NE(error.description().find(path.string()), std::string::npos) << error.description();
    }
  }
  EXPECT_EQ(any->calls, 0);
}

}  // namespace
}  // namespace velmora
