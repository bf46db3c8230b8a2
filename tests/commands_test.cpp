// Every command of velmoractl through the built binary, on the profile files of a scratch home,
// with no application to talk to.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "kit/file_io.h"
#include "kit/profile_store.h"
#include "test_support.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::RunResult;
using testing::ScratchDirectory;

const std::string kNotRunning = "Velmora 没有在运行 — 打开它，或用 --offline 直接改配置文件";

class Commands : public ::testing::Test {
 protected:
  RunResult run(const std::vector<std::string>& arguments) {
    return testing::runVelmoractl(arguments, home_.path());
  }

  /// Runs a command that must succeed and returns its standard output.
  std::string ok(const std::vector<std::string>& arguments) {
    const RunResult result = run(arguments);
    EXPECT_EQ(result.status, 0) << ::testing::PrintToString(arguments) << result.err;
    EXPECT_EQ(result.err, "") << ::testing::PrintToString(arguments);
    return result.out;
  }

  /// Runs a command that must fail with this one line, and checks that no profile file changed.
  void fails(const std::vector<std::string>& arguments, const std::string& message) {
    const auto before = snapshot();
    const RunResult result = run(arguments);
    EXPECT_EQ(result.status, 1) << ::testing::PrintToString(arguments);
    EXPECT_EQ(result.out, "") << ::testing::PrintToString(arguments);
    EXPECT_EQ(result.err, "错误：" + message + "\n") << ::testing::PrintToString(arguments);
    EXPECT_EQ(snapshot(), before) << ::testing::PrintToString(arguments);
  }

  fs::path storeDirectory() const { return home_.path() / ".config" / "Velmora"; }
  const fs::path& home() const { return home_.path(); }

  /// Every file of the store and its bytes.
  std::map<std::string, std::string> snapshot() const {
    std::map<std::string, std::string> files;
    if (!fs::exists(storeDirectory())) return files;
    for (const auto& entry : fs::recursive_directory_iterator(storeDirectory())) {
      if (entry.is_regular_file()) files[entry.path().string()] = readFile(entry.path());
    }
    return files;
  }

 private:
  ScratchDirectory home_;
};

TEST_F(Commands, StatusReadsTheFilesWhenTheApplicationIsAway) {
  const std::string expected =
      "状态      : 已停止（应用未运行，读取的是配置文件）\n当前 profile: Default\n";
  EXPECT_EQ(ok({"status", "--offline"}), expected);
  EXPECT_EQ(ok({"status"}), expected);  // no bus at all: the files, at once
  const json::Value status = json::parse(ok({"status", "--json"}));
  EXPECT_EQ(status["activeProfile"], "Default");
  EXPECT_EQ(status["enabled"], false);
  EXPECT_EQ(status["automationWritesAllowed"], true);
  EXPECT_FALSE(status.contains("currentEnvironment"));
  EXPECT_EQ(status["stats"]["totalConnections"], 0);
}

TEST_F(Commands, ApplicationOnlyCommandsSayItIsNotRunning) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{{"on"},
                                                                     {"off", "--offline"},
                                                                     {"env", "bind", "Default"},
                                                                     {"logs"},
                                                                     {"logs", "--follow"}}) {
    fails(arguments, kNotRunning);
  }
}

TEST_F(Commands, ProfilesAreListedCreatedAndSwitched) {
  EXPECT_EQ(ok({"profile", "create", "Work"}), "已创建「Work」\n");
  EXPECT_EQ(ok({"profile"}), "▸ Default  (2 条规则, 0 个代理)\n  Work  (2 条规则, 0 个代理)\n");
  EXPECT_EQ(ok({"profile", "switch", "work"}), "已切换到「work」\n");
  EXPECT_EQ(ok({"profile", "list"}),
            "  Default  (2 条规则, 0 个代理)\n▸ Work  (2 条规则, 0 个代理)\n");
  const json::Value list = json::parse(ok({"profile", "list", "--json"}));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[1], (json::Value{{"name", "Work"},
                                  {"isActive", true},
                                  {"ruleCount", 2},
                                  {"proxyCount", 0},
                                  {"boundEnvironments", json::Value::array()}}));

  fails({"profile", "create", "WORK"}, "已存在同名 profile「WORK」");
  fails({"profile", "switch"}, "请指定 profile 名称");
  fails({"profile", "switch", "Nope"}, "找不到 profile「Nope」");
  fails({"profile", "rename", "x"}, "未知子命令 profile rename");
}

TEST_F(Commands, EnvironmentsListFromTheFiles) {
  EXPECT_EQ(ok({"env"}),
            "还没有 profile 绑定网络环境。用 `velmoractl env bind <profile>` 把当前网络绑上去。\n");
  EXPECT_EQ(ok({"env", "list", "--json"}), "[]\n");
  fails({"env", "bind"}, "请指定 profile 名称");
  fails({"env", "forget"}, "未知子命令 env forget");

  ProfileStore store(storeDirectory());
  Profile profile = store.activeProfile();
  profile.environments = {
      NetworkEnvironment{UUID::random(), "Office", NetworkEnvironment::Kind::wifi("corp")}};
  store.save(profile);
  EXPECT_EQ(ok({"env", "list"}), "Default ← Office\n");
  EXPECT_EQ(ok({"profile", "list"}), "▸ Default  (2 条规则, 0 个代理)  ← Office\n");
}

TEST_F(Commands, RulesAreAddedListedSwitchedAndRemoved) {
  EXPECT_EQ(ok({"rule", "add", "Work", "--app", " Safari;; com.apple.mail ;", "--host",
                "*.corp.example", "--port", "443;8000-8080", "-a", "block"}),
            "已添加规则「Work」\n");
  EXPECT_EQ(ok({"rule", "add", "Everything", "--action", "direct"}), "已添加规则「Everything」\n");
  EXPECT_EQ(ok({"rule"}),
            "✓ Localhost 🔒  主机=localhost;127.0.0.1;::1;%ComputerName%  → direct\n"
            "✓ Work  应用=Safari;com.apple.mail 主机=*.corp.example 端口=443;8000-8080  → block\n"
            "✓ Everything  任意  → direct\n"
            "✓ Default 🔒  任意  → direct\n");
  EXPECT_EQ(ok({"rule", "disable", "work"}), "规则「work」已停用\n");
  EXPECT_EQ(ok({"rule", "list", "-s", "CORP"}),
            "✗ Work  应用=Safari;com.apple.mail 主机=*.corp.example 端口=443;8000-8080  → block\n");
  const json::Value rules = json::parse(ok({"rule", "list", "--json", "--search", "corp"}));
  EXPECT_EQ(
      rules,
      json::parse(
          R"([{"action":"block","apps":["Safari","com.apple.mail"],"enabled":false,)"
          R"("hosts":["*.corp.example"],"locked":false,"name":"Work","ports":["443","8000-8080"]}])"));
  EXPECT_EQ(ok({"rule", "enable", "Work"}), "规则「Work」已启用\n");
  EXPECT_EQ(ok({"rule", "rm", "Everything"}), "已删除规则「Everything」\n");
  EXPECT_EQ(ok({"rule", "remove", "work"}), "已删除规则「work」\n");
  EXPECT_EQ(ok({"rule", "list"}).find("Work"), std::string::npos);

  fails({"rule", "add", "x", "--app", "A"},
        "用法: rule add <名称> --app <应用> --action <direct|block|proxy:名称>");
  fails({"rule", "add", "--action", "direct"},
        "用法: rule add <名称> --app <应用> --action <direct|block|proxy:名称>");
  fails({"rule", "add", "x", "--action", "proxy:ghost"}, "找不到 profile「代理「ghost」」");
  fails({"rule", "enable"}, "请指定规则名称");
  fails({"rule", "rm", "Default"},
        "「Default」是内置保护规则，不能删除（它防止本机 localhost 流量被误代理）");
  fails({"rule", "rm", "ghost"}, "找不到 profile「规则「ghost」」");
  fails({"rule", "edit", "x"}, "未知子命令 rule edit");
}

TEST_F(Commands, ProxiesAreAddedAndListed) {
  EXPECT_EQ(ok({"proxy"}),
            "还没有配置代理。用 `velmoractl proxy add Clash 127.0.0.1 7890` 加一个。\n");
  EXPECT_EQ(ok({"proxy", "list", "--json"}), "[]\n");
  EXPECT_EQ(ok({"proxy", "add", "Clash", "127.0.0.1", "7890"}),
            "已添加代理「Clash」127.0.0.1:7890 socks5\n");
  EXPECT_EQ(ok({"proxy", "add", "Corp", "proxy.corp", "+3128", "--type", "http", "--user", "me",
                "--pass", "p/w"}),
            "已添加代理「Corp」proxy.corp:3128 http\n");
  EXPECT_EQ(ok({"proxy", "add", "Typo", "::1", "1080", "--type", "htpp", "--user", "me"}),
            "已添加代理「Typo」::1:1080 socks5\n");
  EXPECT_EQ(ok({"proxy", "list"}),
            "Clash  127.0.0.1:7890  socks5\nCorp  proxy.corp:3128  http\nTypo  ::1:1080  socks5\n");
  const json::Value proxies = json::parse(ok({"proxy", "--json"}));
  EXPECT_EQ(proxies[1]["credentials"], (json::Value{{"username", "me"}, {"password", "p/w"}}));
  EXPECT_FALSE(proxies[2].contains("credentials"));

  const std::string usage = "用法: proxy add <名称> <地址> <端口> [--type socks5|http]";
  fails({"proxy", "add", "X", "127.0.0.1"}, usage);
  fails({"proxy", "add", "X", "127.0.0.1", "65536"}, usage);
  fails({"proxy", "add", "X", "127.0.0.1", "80a"}, usage);
  fails({"proxy", "delete", "X"}, "未知子命令 proxy delete");
}

TEST_F(Commands, RouteSetCreatesThenUpdatesTheAppRule) {
  ok({"proxy", "add", "Home", "10.0.0.1", "1080"});
  EXPECT_EQ(ok({"route", "set", "com.tencent.微信", "block"}), "「com.tencent.微信」→ block\n");
  EXPECT_EQ(ok({"route", "set", "com.tencent.微信", "home"}), "「com.tencent.微信」→ home\n");
  EXPECT_EQ(ok({"rule", "list", "-s", "微信"}),
            "✓ App: com.tencent.微信  应用=com.tencent.微信  → proxy:Home\n");
  fails({"route", "set", "X", "proxy:Nope"}, "找不到代理「Nope」。可用：Home");
  fails({"route", "list"}, "用法: route set <应用> <direct|block|proxy:名称>");
  fails({"route", "set", "X"}, "用法: route set <应用> <direct|block|proxy:名称>");
}

TEST_F(Commands, TestExplainsTheDecision) {
  ok({"rule", "add", "Web", "--app", "Safari", "--port", "8080", "--action", "block"});
  EXPECT_EQ(ok({"test", "Safari", "example.com:8080"}),
            "Safari → example.com:8080\n"
            "  跳过「Localhost」：目标主机不匹配（example.com）\n"
            "  命中「Web」\n"
            "结果: block\n");
  EXPECT_EQ(ok({"test", "Safari", "example.com"}).substr(0, 27), "Safari → example.com:443\n");
  EXPECT_NE(ok({"test", "Safari", "example.com:http"}).find("example.com:443\n"),
            std::string::npos);
  const json::Value verdict = json::parse(ok({"test", "Safari", "example.com:8080", "--json"}));
  EXPECT_EQ(verdict["matchedRule"], "Web");
  EXPECT_EQ(verdict["action"], "block");
  fails({"test", "Safari"}, "用法: test <应用> <主机:端口>");
  fails({"test", "Safari", ":::"}, "用法: test <应用> <主机:端口>");
}

TEST_F(Commands, ExportAndImportMoveProfiles) {
  ok({"rule", "add", "Mine", "--app", "A", "--action", "block"});
  const std::string exported = ok({"export"});
  EXPECT_EQ(exported.back(), '\n');
  const Profile profile = decodeProfileDocument(exported);
  EXPECT_EQ(profile.rules.size(), 3u);

  // An export holds passwords: a file that was readable by others is made private.
  const fs::path file = home() / "out.json";
  std::ofstream(file) << "old";
  fs::permissions(file, fs::perms(0644));
  EXPECT_EQ(ok({"export", "Default", "-o", file.string()}), "已导出到 " + file.string() + "\n");
  EXPECT_EQ(readFile(file) + "\n", exported);
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0600));
  fails(
      {"export", "--output", (home() / "missing" / "out.json").string()},
      "无法写入「" + (home() / "missing" / "out.json").string() + "」：No such file or directory");
  fails({"export", "Nope"}, "找不到 profile「Nope」");

  Profile edited = profile;
  edited.name = "Renamed";
  std::ofstream(home() / "edited.json") << encodeProfileDocument(edited);
  EXPECT_EQ(ok({"import", (home() / "edited.json").string()}),
            "已导入 " + (home() / "edited.json").string() + "\n");
  EXPECT_EQ(ok({"profile"}), "▸ Renamed  (3 条规则, 0 个代理)\n");

  fails({"import"}, "请指定要导入的文件");
  fails({"import", (home() / "nothing.ppx").string()},
        "无法读取「" + (home() / "nothing.ppx").string() + "」：No such file or directory");
  std::ofstream(home() / "notes.txt") << "hello";
  fails({"import", (home() / "notes.txt").string()}, "无法识别的配置格式");
}

TEST_F(Commands, ImportedProxifierProfileRoutesAsTheFileSaysAndReportsWhatItLeftOut) {
  // Shaped like the files the tool writes on Windows: CRLF, quoted names, lists with and
  // without ";", spaced ranges, proxy ids in the element text, and a catch-all through a proxy.
  const std::string file = R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<ProxifierProfile version="102" platform="Windows">
  <Options><Resolve><ViaProxy enabled="true" /></Resolve></Options>
  <ProxyList>
    <Proxy id="100" type="SOCKS5"><Port>1080</Port><Address>127.0.0.1</Address><Label>Home</Label></Proxy>
    <Proxy id="101" type="HTTPS"><Port>3128</Port><Address>10.0.0.2</Address></Proxy>
  </ProxyList>
  <ChainList />
  <RuleList>
    <Rule enabled="true"><Action type="Direct" /><Name>Localhost</Name><Targets>localhost</Targets></Rule>
    <Rule enabled="true"><Action type="Direct" /><Name>LAN</Name>
      <Targets>10.0.0.0 - 10.255.255.255;
fc00:: - fdff:ffff:ffff:ffff:ffff:ffff:ffff:ffff;</Targets></Rule>
    <Rule enabled="true"><Action type="Proxy">101</Action><Name>Games</Name>
      <Applications>"Game Launcher.exe";
steam.exe</Applications></Rule>
    <Rule enabled="true"><Action type="Block" /><Name>Ads</Name><Targets>*.ads.example
tracker.example</Targets></Rule>
    <Rule enabled="true"><Action type="Proxy">100</Action><Name>Default</Name></Rule>
  </RuleList>
</ProxifierProfile>)";
  std::string crlf;
  for (const char c : file) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const fs::path path = home() / "Work.ppx";
  std::ofstream(path, std::ios::binary) << crlf;

  const std::string out = ok({"import", path.string()});
  EXPECT_TRUE(out.starts_with("已导入 " + path.string() + "\n  ")) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 7) << out;  // counts and five notes

  const auto routed = [&](const std::string& app, const std::string& target) {
    return json::parse(ok({"test", "--offline", app, target, "--json"}))["action"];
  };
  EXPECT_EQ(routed("Game Launcher.exe", "example.com:443"),
            "proxy 10.0.0.2:3128 (10.0.0.2:3128 http)");
  EXPECT_EQ(routed("steam.exe", "example.com:443"), "proxy 10.0.0.2:3128 (10.0.0.2:3128 http)");
  EXPECT_EQ(routed("Safari", "10.1.2.3:80"), "direct");
  EXPECT_EQ(routed("Safari", "tracker.example:443"), "block");
  EXPECT_EQ(routed("Safari", "example.com:443"), "proxy Home (127.0.0.1:1080 socks5)");

  // The same file again adds nothing, and the record says what was reused.
  const std::string before = ok({"export"});
  const json::Value report = json::parse(ok({"import", path.string(), "--json"}));
  EXPECT_EQ(ok({"export"}), before);
  EXPECT_EQ(report["proxies"], 0);
  EXPECT_EQ(report["rules"], 0);
  std::vector<std::string> kinds;
  for (const json::Value& note : report["notes"]) kinds.push_back(note["kind"]);
  EXPECT_EQ(kinds, (std::vector<std::string>{"sectionsNotRead", "proxyReused", "hostRewritten",
                                             "hostLeftOut", "ruleAlreadyPresent",
                                             "localhostDropped", "defaultTaken"}));
}

TEST_F(Commands, ADamagedActiveProfileIsReportedAndLeftAlone) {
  ok({"status"});
  ProfileStore store(storeDirectory());
  const fs::path file = storeDirectory() / "profiles" / (store.activeID().string() + ".json");
  json::Value document = json::parse(readFile(file));
  document["rules"][0].erase("tags");
  std::ofstream(file) << document.dump();
  const RunResult result = run({"rule", "add", "x", "--app", "A", "--action", "direct"});
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.err.find("rules[0].tags"), std::string::npos) << result.err;
  EXPECT_EQ(readFile(file), document.dump());
}

TEST_F(Commands, WordsThatAreNotUTF8AreRefusedBeforeAnythingIsWritten) {
  ok({"proxy", "add", "P", "127.0.0.1", "1080"});
  const struct {
    std::vector<std::string> arguments;
    std::string shown;
  } cases[] = {
      {{"rule", "add", "x\xFF", "--app", "A", "--action", "direct"}, "x\\xFF"},
      {{"rule", "add", "x", "--app", "A;\xC3(", "--action", "direct"}, "A;\\xC3("},
      {{"route", "set", "微\xE4\xBF", "direct"}, "微\\xE4\\xBF"},
      {{"proxy", "add", "Q", "\xED\xA0\x80", "1080"}, "\\xED\\xA0\\x80"},  // a surrogate
      {{"profile", "create", "\xFE"}, "\\xFE"},
      {{"rule", "enable", "x", "--\xFF"}, "--\\xFF"},
  };
  for (const auto& c : cases) fails(c.arguments, "参数「" + c.shown + "」不是有效的 UTF-8 文本");

  // Imported text that names no character is replaced, each byte of it as the Unicode standard
  // counts ill-formed sequences, and the profile stays readable.
  std::ofstream(home() / "bad.ppx")
      << "<ProxifierProfile><RuleList><Rule><Name>x&#xD800;</Name><Applications>A</Applications>"
         "<Action type=\"Block\"/></Rule></RuleList></ProxifierProfile>";
  ok({"import", (home() / "bad.ppx").string()});
  EXPECT_NE(ok({"rule", "list"}).find("✓ x\uFFFD\uFFFD\uFFFD  应用=A  → block\n"),
            std::string::npos);
}

}  // namespace
}  // namespace velmora
