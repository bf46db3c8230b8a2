// Every command of velmoractl through the built binary, on the profile files of a scratch home,
// with no application to talk to.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "kit/file_io.h"
#include "kit/profile_store.h"
#include "test_support.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::RunResult;
using testing::ScratchDirectory;

const std::string kNotRunning =
    "Velmora 没有在运行 — 这个命令要用到它：先启动 velmorad（systemctl --user start velmorad）";

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

  /// One run of a family's table: its words, and what it prints or, for a run that must fail
  /// and change nothing, its one error line.
  struct Step {
    std::vector<std::string> arguments;
    std::string out;
    std::string error = {};
  };
  void expectSteps(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      if (step.error.empty()) {
        EXPECT_EQ(ok(step.arguments), step.out) << ::testing::PrintToString(step.arguments);
      } else {
        fails(step.arguments, step.error);
      }
    }
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
      "状态      : 已停止（应用未运行，读取的是配置文件）\n当前 profile: Default\n"
      "捕获范围  : programs（只有 run --transparent 启动的程序）\n";
  EXPECT_EQ(ok({"status", "--offline"}), expected);
  EXPECT_EQ(ok({"status"}), expected);  // no bus at all: the files, at once
  const json::Value status = json::parse(ok({"status", "--json"}));
  EXPECT_EQ(status["activeProfile"], "Default");
  EXPECT_EQ(status["enabled"], false);
  EXPECT_EQ(status["automationWritesAllowed"], true);
  EXPECT_FALSE(status.contains("currentEnvironment"));
  EXPECT_EQ(status["stats"]["totalConnections"], 0);
  EXPECT_EQ(status["captureMode"], "programs");
}

TEST_F(Commands, TheCaptureModeIsReadAndWrittenInTheApplicationsSettings) {
  EXPECT_EQ(ok({"capture"}), "programs（只有 run --transparent 启动的程序）\n");
  EXPECT_EQ(ok({"capture", "session"}), "透明捕获：session（整个会话，velmorad 自己除外）\n");
  EXPECT_EQ(ok({"capture", "--json"}), "{\n  \"capture\" : \"session\"\n}\n");
  fails({"capture", "all"}, "捕获范围「all」无效：应为 session、programs 或 off");
  EXPECT_EQ(ok({"capture"}), "session（整个会话，velmorad 自己除外）\n");
}

TEST_F(Commands, ApplicationOnlyCommandsSayItIsNotRunning) {
  for (const auto& arguments : std::vector<std::vector<std::string>>{{"on"},
                                                                     {"off", "--offline"},
                                                                     {"env", "bind", "Default"},
                                                                     {"env", "unbind"},
                                                                     {"logs"},
                                                                     {"logs", "--follow"}}) {
    fails(arguments, kNotRunning);
  }
}

TEST_F(Commands, Profiles) {
  expectSteps({
      {{"profile", "create", "Work"}, "已创建「Work」\n"},
      {{"profile"}, "▸ Default  (2 条规则, 0 个代理)\n  Work  (2 条规则, 0 个代理)\n"},
      {{"profile", "switch", "work"}, "已切换到「work」\n"},
      {{"profile", "rename", "WORK", "Office"}, "已把「WORK」改名为「Office」\n"},
      {{"profile", "list"}, "  Default  (2 条规则, 0 个代理)\n▸ Office  (2 条规则, 0 个代理)\n"},
      {{"profile", "create", "OFFICE"}, "", "已存在同名 profile「OFFICE」"},
      {{"profile", "rename", "Default", "office"}, "", "已存在同名 profile「office」"},
      {{"profile", "rename", "Default"}, "", "用法: profile rename <名称> <新名称>"},
      {{"profile", "switch"}, "", "请指定 profile 名称"},
      {{"profile", "switch", "Nope"}, "", "找不到 profile「Nope」"},
      {{"profile", "rm", "Office"},
       "",
       "「Office」是当前使用的 profile，不能删除 — 先切换到别的 profile"},
      {{"profile", "drop", "x"}, "", "未知子命令 profile drop"},
      {{"profile", "rm", "default"}, "已删除 profile「default」\n"},
      {{"profile", "rename", "office", "OFFICE"}, "已把「office」改名为「OFFICE」\n"},
  });
  const json::Value list = json::parse(ok({"profile", "list", "--json"}));
  EXPECT_EQ(list, json::parse(R"([{"name":"OFFICE","isActive":true,"ruleCount":2,"proxyCount":0,)"
                              R"("boundEnvironments":[]}])"));
}

TEST_F(Commands, Environments) {
  expectSteps({
      {{"env"},
       "还没有 profile 绑定网络环境。用 `velmoractl env bind <profile>` 把当前网络绑上去。\n"},
      {{"env", "list", "--json"}, "[]\n"},
      {{"env", "bind"}, "", "请指定 profile 名称"},
      {{"env", "unbind", "Default"}, "", "「Default」没有绑定网络环境"},
      {{"env", "forget"}, "", "未知子命令 env forget"},
  });
  ProfileStore store(storeDirectory());
  const auto bound = [](std::string name) {
    return NetworkEnvironment{UUID::random(), std::move(name), NetworkEnvironment::Kind::wifi("x")};
  };
  store.save(
      store.activeProfile().with({.environments = std::vector{bound("Office"), bound("Lab")}}));
  expectSteps({
      {{"env", "list"}, "Default ← Office\nDefault ← Lab\n"},
      {{"profile", "list"}, "▸ Default  (2 条规则, 0 个代理)  ← Office, Lab\n"},
      {{"env", "unbind", "default"}, "已解除「default」的 2 个网络环境绑定\n"},
      {{"env", "list", "--json"}, "[]\n"},
  });
}

TEST_F(Commands, Rules) {
  ok({"proxy", "add", "Home", "10.0.0.1", "1080"});
  expectSteps({
      {{"rule", "add", "Work", "--app", " Safari;; com.apple.mail ;", "--host", "*.corp.example",
        "--port", "443;8000-8080", "-a", "block"},
       "已添加规则「Work」\n"},
      {{"rule", "add", "Everything", "--action", "direct"}, "已添加规则「Everything」\n"},
      {{"rule", "add", "Lab", "--host", "10.0.0.0/8;10.1.2.3", "--action", "proxy:home"},
       "已添加规则「Lab」\n"},
      {{"rule", "move", "lab", "--top"}, "已移动规则「lab」\n"},
      {{"rule", "move", "Everything", "--before", "work"}, "已移动规则「Everything」\n"},
      {{"rule", "set", "Everything", "--name", "All", "--app", "curl", "--port", "80",
        "--transport", "TCP", "--quic", "direct"},
       "已修改规则「All」\n"},
      {{"rule", "set", "Default", "-a", "block"}, "已修改规则「Default」\n"},
      {{"rule", "disable", "work"}, "规则「work」已停用\n"},
      // Anywhere between the guards, and no further.
      {{"rule", "move", "Lab", "--bottom"}, "已移动规则「Lab」\n"},
      {{"rule", "move", "Lab", "--after", "Localhost"}, "已移动规则「Lab」\n"},
      {{"rule", "move", "All", "--before", "Default"}, "已移动规则「All」\n"},
      {{"rule", "move", "Work", "--after", "all"}, "已移动规则「Work」\n"},
      {{"rule", "move", "lab", "--before", "LAB"}, "已移动规则「lab」\n"},
      {{"rule", "set", "lab", "--name", "Lab"}, "已修改规则「Lab」\n"},
      {{"rule"},
       "✓ Localhost 🔒  主机=localhost;127.0.0.1;::1;%ComputerName%  → direct\n"
       "✓ Lab  主机=10.0.0.0/8;10.1.2.3  → proxy:Home\n"
       "✓ All  应用=curl 端口=80  → direct\n"
       "✗ Work  应用=Safari;com.apple.mail 主机=*.corp.example 端口=443;8000-8080  → block\n"
       "✓ Default 🔒  任意  → block\n"},
      {{"rule", "list", "-s", "CORP"},
       "✗ Work  应用=Safari;com.apple.mail 主机=*.corp.example 端口=443;8000-8080  → block\n"},
  });
  const json::Value all = json::parse(ok({"export"}))["rules"][2];
  EXPECT_EQ(all["transport"], "tcp");
  EXPECT_EQ(all["quicPolicy"], "direct");
  expectSteps({
      {{"rule", "disable", "DEFAULT"}, "规则「DEFAULT」已停用\n"},
      {{"rule", "enable", "Work"}, "规则「Work」已启用\n"},
      {{"rule", "rm", "All"}, "已删除规则「All」\n"},
      {{"rule", "remove", "lab"}, "已删除规则「lab」\n"},

      {{"rule", "add", "WORK", "--action", "direct"}, "", "已有名为「WORK」的规则"},
      {{"rule", "set", "Work", "--name", "default"}, "", "已有名为「default」的规则"},
      {{"rule", "add", "x", "--app", "A"},
       "",
       "用法: rule add <名称> --app <应用> --action <direct|block|proxy:名称>"},
      {{"rule", "add", "--action", "direct"},
       "",
       "用法: rule add <名称> --app <应用> --action <direct|block|proxy:名称>"},
      {{"rule", "add", "x", "--action", "proxy:Nope"}, "", "找不到代理「Nope」"},
      {{"rule", "add", "x", "--action", "chain:Nope"}, "", "找不到代理链「Nope」"},
      {{"rule", "enable"}, "", "请指定规则名称"},
      {{"rule", "enable", "Nope"}, "", "找不到规则「Nope」"},
      {{"rule", "move", "Nope", "--top"}, "", "找不到规则「Nope」"},
      {{"rule", "move", "Work", "--top", "--bottom"},
       "",
       "用法: rule move <名称> --before <规则> | --after <规则> | --top | --bottom"},
      {{"rule", "move", "Work", "--after", "Default"}, "", "不能移到内置保护规则「Default」后面"},
      {{"rule", "move", "Localhost", "--bottom"}, "", "「Localhost」是内置保护规则，不能移动"},
      {{"rule", "set", "Default", "--app", "x"}, "", "「Default」是内置保护规则，只能修改它的动作"},
      {{"rule", "set", "Localhost", "-a", "block"}, "", "「Localhost」是内置保护规则，不能修改"},
      {{"rule", "set", "Work", "--transport", "sctp"},
       "",
       "--transport 的值「sctp」无效：应为 tcp / udp / any"},
      {{"rule", "rm", "Default"},
       "",
       "「Default」是内置保护规则，不能删除（它防止本机 localhost 流量被误代理）"},
      {{"rule", "edit", "x"}, "", "未知子命令 rule edit"},
  });
  const json::Value rules = json::parse(ok({"rule", "list", "--json", "--search", "corp"}));
  EXPECT_EQ(
      rules,
      json::parse(
          R"([{"action":"block","apps":["Safari","com.apple.mail"],"enabled":true,)"
          R"("hosts":["*.corp.example"],"locked":false,"name":"Work","ports":["443","8000-8080"]}])"));
}

TEST_F(Commands, Proxies) {
  expectSteps({
      {{"proxy"}, "还没有配置代理。用 `velmoractl proxy add Clash 127.0.0.1 7890` 加一个。\n"},
      {{"proxy", "list", "--json"}, "[]\n"},
      {{"proxy", "add", "Clash", "127.0.0.1", "7890"},
       "已添加代理「Clash」127.0.0.1:7890 socks5\n"},
      {{"proxy", "add", "Corp", "proxy.corp", "+3128", "--type", "HTTP", "--user", "me", "--pass",
        "p/w"},
       "已添加代理「Corp」proxy.corp:3128 http\n"},
      {{"proxy", "set", "clash", "--name", "Local", "--address", "::1", "--port", "1080", "--type",
        "http"},
       "已修改代理「Local」\n"},
      {{"proxy", "set", "Corp", "--no-auth"}, "已修改代理「Corp」\n"},
      {{"proxy", "list"}, "Local  ::1:1080  http\nCorp  proxy.corp:3128  http\n"},
      {{"proxy", "add", "CORP", "h", "1"}, "", "已有名为「CORP」的代理"},
      {{"proxy", "set", "Local", "--name", "corp"}, "", "已有名为「corp」的代理"},
      {{"proxy", "set", "Nope", "--port", "1"}, "", "找不到代理「Nope」"},
      {{"proxy", "set", "Corp", "--user", "u", "--pass", "p", "--no-auth"},
       "",
       "--no-auth 不能和 --user、--pass 一起用"},
      {{"proxy", "rm", "Nope"}, "", "找不到代理「Nope」"},
      {{"proxy", "rm"}, "", "请指定代理名称"},
      {{"proxy", "delete", "X"}, "", "未知子命令 proxy delete"},
      {{"interface", "show"}, "", "未知子命令 interface show"},
      {{"proxy", "rm", "local"}, "已删除代理「local」\n"},
  });
  const json::Value proxies = json::parse(ok({"proxy", "--json"}));
  ASSERT_EQ(proxies.size(), 1u);
  EXPECT_EQ(proxies[0]["name"], "Corp");
  EXPECT_FALSE(proxies[0].contains("credentials"));
}

TEST_F(Commands, Chains) {
  ok({"proxy", "add", "A", "10.0.0.1", "1080"});
  ok({"proxy", "add", "B", "10.0.0.2", "1080"});
  expectSteps({
      {{"chain"},
       "还没有代理链。用 `velmoractl chain add <名称> <代理> <代理>…` 把几个代理串起来。\n"},
      {{"chain", "add", "Out", "a", "B"}, "已添加代理链「Out」a → B\n"},
      {{"chain", "list"}, "Out  A → B\n"},
      {{"proxy", "set", "b", "--name", "B2", "--user", "u", "--pass", "p"}, "已修改代理「B2」\n"},
      {{"chain", "list"}, "Out  A → B2\n"},
      {{"chain", "list", "--json"},
       "[\n  {\n    \"name\" : \"Out\",\n    \"proxies\" : [\n      \"A\",\n      \"B2\"\n    ]\n  "
       "}\n]\n"},
      {{"rule", "add", "Via", "--app", "curl", "-a", "chain:out"}, "已添加规则「Via」\n"},
      {{"chain", "add", "OUT", "A", "B"}, "", "已有名为「OUT」的代理链"},
      {{"chain", "add", "Two", "A", "Nope"}, "", "找不到代理「Nope」"},
      {{"chain", "add", "One", "A"}, "", "用法: chain add <名称> <代理> <代理>…"},
      {{"chain", "rm", "Out"}, "", "代理链「Out」还在被规则「Via」使用，不能删除"},
      {{"proxy", "rm", "A"}, "", "代理「A」还在被代理链「Out」使用，不能删除"},
      {{"chain", "rm", "Nope"}, "", "找不到代理链「Nope」"},
      {{"chain", "join"}, "", "未知子命令 chain join"},
      {{"rule", "rm", "Via"}, "已删除规则「Via」\n"},
      {{"chain", "rm", "out"}, "已删除代理链「out」\n"},
      {{"proxy", "rm", "A"}, "已删除代理「A」\n"},
  });
}

TEST_F(Commands, Routes) {
  ok({"proxy", "add", "Home", "10.0.0.1", "1080"});
  const std::string usage = "用法: route set <应用> <direct|block|proxy:名称> | route rm <应用>";
  expectSteps({
      {{"route", "set", "com.tencent.微信", "block"}, "「com.tencent.微信」→ block\n"},
      {{"route", "set", "com.tencent.微信", "home"}, "「com.tencent.微信」→ home\n"},
      {{"rule", "list", "-s", "微信"},
       "✓ App: com.tencent.微信  应用=com.tencent.微信  → proxy:Home\n"},
      {{"proxy", "rm", "Home"},
       "",
       "代理「Home」还在被规则「App: com.tencent.微信」使用，不能删除"},
      {{"route", "rm", "COM.tencent.微信"}, "已删除「COM.tencent.微信」的路由\n"},
      {{"route", "rm", "com.tencent.微信"}, "", "找不到规则「App: com.tencent.微信」"},
      {{"route", "set", "X", "proxy:Nope"}, "", "找不到代理「Nope」。可用：Home"},
      {{"route", "list"}, "", usage},
      {{"route", "set", "X"}, "", usage},
  });
  // An interface may come up later: the route goes in, and the user hears about it.
  const RunResult result = run({"route", "set", "curl", "interface:nosuch0"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "「curl」→ interface:nosuch0\n");
  EXPECT_EQ(result.err, "注意：网卡「nosuch0」现在不存在，它出现后这条路由才会生效\n");
}

TEST_F(Commands, MisspeltOptionsAndBadValuesChangeNothing) {
  ok({"proxy", "add", "P", "127.0.0.1", "1080"});
  const std::string ruleOptions =
      "rule add 可用的选项：--app --host --port --action -a --json --offline";
  const std::string portRange =
      "无效：应为 1 到 65535 之间的端口，或低不大于高的范围，例如 8000-8080";
  const struct {
    std::vector<std::string> arguments;
    std::string message;
  } cases[] = {
      {{"rule", "add", "X", "--apps", "curl", "--action", "direct"},
       "未知选项「--apps」，是不是「--app」？" + ruleOptions},
      {{"rule", "add", "X", "--action", "direct", "--verbose"},
       "未知选项「--verbose」。" + ruleOptions},
      {{"--jsn", "status"}, "未知选项「--jsn」，是不是「--json」？可用的选项：--json --offline"},
      {{"--verbose", "status"}, "未知选项「--verbose」。可用的选项：--json --offline"},
      {{"rule", "add", "X", "--app"}, "选项「--app」后面要跟一个值"},
      {{"test", "curl", "10.77.0.1:70000"}, "端口「70000」无效：应为 1 到 65535 之间的数"},
      {{"test", "curl", "example.com:http"}, "端口「http」无效：应为 1 到 65535 之间的数"},
      {{"rule", "add", "X", "--port", "99999", "-a", "direct"}, "端口「99999」" + portRange},
      {{"rule", "add", "X", "--port", "80-70", "-a", "direct"}, "端口「80-70」" + portRange},
      {{"rule", "add", "X", "--port", "0", "-a", "direct"}, "端口「0」" + portRange},
      {{"rule", "add", "X", "--port", "1-", "-a", "direct"}, "端口「1-」" + portRange},
      {{"rule", "add", "X", "--host", "10.0.0.0/33", "-a", "direct"},
       "主机「10.0.0.0/33」无效：IPv4 地址应为四个 0 到 255 的数，网段的前缀不超过 32"},
      {{"rule", "add", "X", "--host", "a.com;10.0.0.256", "-a", "direct"},
       "主机「10.0.0.256」无效：IPv4 地址应为四个 0 到 255 的数，网段的前缀不超过 32"},
      {{"proxy", "add", "Q", "h", "0"}, "端口「0」无效：应为 1 到 65535 之间的数"},
      {{"proxy", "add", "Q", "h", "65536"}, "端口「65536」无效：应为 1 到 65535 之间的数"},
      {{"proxy", "add", "Q", "h"}, "用法: proxy add <名称> <地址> <端口> [--type socks5|http]"},
      {{"proxy", "set", "P", "--port", "x"}, "端口「x」无效：应为 1 到 65535 之间的数"},
      {{"proxy", "add", "Q", "h", "1080", "--type", "https"},
       "代理类型「https」无效：应为 socks5 或 http"},
      {{"proxy", "add", "Q", "h", "1080", "--user", "u"},
       "给了 --user「u」却没有 --pass：用户名和密码要一起给"},
      {{"proxy", "set", "P", "--pass", "secret"},
       "给了 --pass 却没有 --user：用户名和密码要一起给"},
  };
  for (const auto& c : cases) fails(c.arguments, c.message);
}

TEST_F(Commands, TestExplainsTheDecision) {
  ok({"rule", "add", "Web", "--app", "Safari", "--port", "8080", "--action", "block"});
  EXPECT_EQ(ok({"test", "Safari", "example.com:8080"}),
            "Safari → example.com:8080\n"
            "  跳过「Localhost」：目标主机不匹配（example.com）\n"
            "  命中「Web」\n"
            "结果: block\n");
  EXPECT_EQ(ok({"test", "Safari", "example.com"}).substr(0, 27), "Safari → example.com:443\n");
  const json::Value verdict = json::parse(ok({"test", "Safari", "example.com:8080", "--json"}));
  EXPECT_EQ(verdict["matchedRule"], "Web");
  EXPECT_EQ(verdict["action"], "block");
  fails({"test", "Safari"}, "用法: test <应用> <主机:端口>");
  fails({"test", "Safari", ":::"}, "用法: test <应用> <主机:端口>");
}

/// A real program that runs until the test ends: sleep(1), killed and reaped on destruction.
class SleepingChild {
 public:
  SleepingChild() : pid_(fork()) {
    if (pid_ == 0) {
      execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Until the exec has happened the child is still this test program.
    const fs::path exe = "/proc/" + std::to_string(pid_) + "/exe";
    for (int tries = 0; tries < 500; ++tries) {
      std::error_code error;
      if (fs::read_symlink(exe, error).filename() == "sleep") break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~SleepingChild() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  SleepingChild(const SleepingChild&) = delete;
  SleepingChild& operator=(const SleepingChild&) = delete;

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

TEST_F(Commands, TestDescribesAPathOrARunningProcessAsTheDataPlaneSeesIt) {
  const SleepingChild child;
  const std::string pid = std::to_string(child.pid());
  const std::string sleep = fs::canonical("/bin/sleep");
  ok({"rule", "add", "Sleepers", "--app", "*/sleep", "--port", "81", "--action", "block"});
  ok({"route", "set", sleep, "block"});
  // The path, the path through a link and the process all match the rule that names the path;
  // the name alone is no path.
  for (const std::string port : {"80", "81"}) {
    const std::string expected = port == "80" ? "App: " + sleep : "Sleepers";
    for (const std::vector<std::string>& words : {std::vector<std::string>{"test", sleep},
                                                  {"test", "/bin/sleep"},
                                                  {"test", "--pid", pid}}) {
      std::vector<std::string> arguments = words;
      arguments.insert(arguments.end(), {"example.com:" + port, "--json"});
      const json::Value verdict = json::parse(ok(arguments));
      EXPECT_EQ(verdict["matchedRule"], expected) << ::testing::PrintToString(arguments);
      EXPECT_EQ(verdict["action"], "block") << ::testing::PrintToString(arguments);
    }
  }
  EXPECT_EQ(json::parse(ok({"test", "sleep", "example.com:80", "--json"}))["action"], "direct");
  const std::string report = ok({"test", "--pid", pid, "example.com:80"});
  EXPECT_EQ(report.substr(0, report.find('\n')), "sleep（进程 " + pid + "） → example.com:80");
  fails({"test", "--pid", pid}, "用法: test --pid <进程号> <主机:端口>");
  fails({"test", "--pid", "0", "example.com"}, "进程号「0」不是正整数");
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

TEST_F(Commands, ImportedProxifierProfileIsReportedAndItsNamesMadeUnique) {
  ok({"rule", "add", "Games", "--app", "game.exe", "--action", "block"});
  const fs::path path = home() / "Work.ppx";
  std::ofstream(path) << R"(<ProxifierProfile><ProxyList>
    <Proxy id="100" type="SOCKS5"><Port>1080</Port><Address>127.0.0.1</Address><Label>Home</Label></Proxy>
  </ProxyList><RuleList>
    <Rule enabled="true"><Action type="Proxy">100</Action><Name>games</Name><Applications>steam.exe</Applications></Rule>
  </RuleList></ProxifierProfile>)";
  EXPECT_EQ(
      ok({"import", path.string()}),
      "已导入 " + path.string() +
          "\n  导入了 1 个代理、0 条代理链、1 条规则\n"
          "  1 个应用条目是 Windows 程序名，另加去掉 .exe 的名称以匹配 Linux 上的同名程序，"
          "例如「steam.exe → steam」\n"
          "  1 个代理、代理链或规则与已有的名称重复，加上了编号，例如「games → games (2)」\n");
  EXPECT_EQ(ok({"rule", "list", "-s", "games"}),
            "✓ Games  应用=game.exe  → block\n✓ games (2)  应用=steam.exe;steam  → proxy:Home\n");
  EXPECT_EQ(json::parse(ok({"test", "steam", "example.org", "--json"}))["matchedRule"],
            "games (2)");

  // The same file again adds nothing, and the record says what was reused.
  const std::string before = ok({"export"});
  const json::Value report = json::parse(ok({"import", path.string(), "--json"}));
  EXPECT_EQ(ok({"export"}), before);
  EXPECT_EQ(report["rules"], 0);
  EXPECT_EQ(report["notes"][2]["kind"], "ruleAlreadyPresent");
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
