// The MCP client installer over scratch home directories: every client format, files that must
// survive untouched, detection, the choice of file, symbolic links and file modes.
#include "kit/mcp/mcp_installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "kit/file_io.h"
#include "kit/json_text.h"
#include "test_support.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDirectory;

const MCPClientIntegration& client(std::string_view id) {
  for (const MCPClientIntegration& integration : MCPInstaller::knownClients()) {
    if (integration.id == id) return integration;
  }
  throw std::invalid_argument("no such client");
}

mode_t modeOf(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(::stat(path.c_str(), &status), 0) << path;
  return status.st_mode & 07777;
}

class MCPInstallerTest : public ::testing::Test {
 protected:
  const fs::path& home() const { return scratch_.path(); }

  void write(const std::string& relative, std::string_view text) const {
    fs::create_directories((home() / relative).parent_path());
    std::ofstream(home() / relative, std::ios::binary) << text;
  }
  std::string read(const std::string& relative) const { return readFile(home() / relative); }

  MCPInstaller installer{.command = "/usr/bin/velmoractl",
                         .serverName = "velmora",
                         .args = {"mcp", "serve"},
                         .integrations = MCPInstaller::knownClients()};

 private:
  ScratchDirectory scratch_;
};

/// The store's own pretty layout, which the JSON clients' files are written in.
std::string prettyFile(std::string_view compact) {
  return json::pretty(json::parse(compact)) + "\n";
}

const std::string kServersEntry = prettyFile(
    R"({"mcpServers":{"velmora":{"args":["mcp","serve"],"command":"/usr/bin/velmoractl"}}})");
const std::string kOpenCodeEntry = prettyFile(
    R"({"mcp":{"velmora":{"command":["/usr/bin/velmoractl","mcp","serve"],"enabled":true,"type":"local"}}})");

const std::string kCodexEntry = R"([mcp_servers.velmora]
command = "/usr/bin/velmoractl"
args = ["mcp", "serve"]
)";

struct NewFileCase {
  std::string id;
  std::string file;
  std::string text;
};

TEST_F(MCPInstallerTest, InstallCreatesEachClientsFileInItsFormatPrivately) {
  const std::vector<NewFileCase> cases = {
      {"claude-desktop", ".config/Claude/claude_desktop_config.json", kServersEntry},
      {"claude-code", ".claude.json", kServersEntry},
      {"codex", ".codex/config.toml", kCodexEntry},
      {"opencode", ".config/opencode/opencode.json", kOpenCodeEntry},
      {"cursor", ".cursor/mcp.json", kServersEntry},
      {"windsurf", ".codeium/windsurf/mcp_config.json", kServersEntry},
  };
  for (const NewFileCase& c : cases) {
    SCOPED_TRACE(c.id);
    const MCPInstallResult result = installer.install(client(c.id), home());
    EXPECT_EQ(result, (MCPInstallResult{.id = c.id,
                                        .displayName = client(c.id).displayName,
                                        .installed = true,
                                        .detail = fs::path(c.file).filename().string()}));
    EXPECT_EQ(read(c.file), c.text);
    EXPECT_EQ(modeOf(home() / c.file), 0600u);
  }
}

struct KeptMembersCase {
  std::string id;
  std::string file;
  std::string tableKey;
};

TEST_F(MCPInstallerTest, JSONInstallAddsOrReplacesOnlyOurEntryAndKeepsEveryOtherMember) {
  const std::vector<KeptMembersCase> cases = {
      {"claude-desktop", ".config/Claude/claude_desktop_config.json", "mcpServers"},
      {"opencode", ".config/opencode/opencode.json", "mcp"},
  };
  for (const KeptMembersCase& c : cases) {
    SCOPED_TRACE(c.id);
    const json::Value original = {
        {"theme", "dark"},
        {"numbers", {1, 2.5, -3, nullptr}},
        {c.tableKey, {{"other", {{"command", "other-server"}}}, {"velmora", {{"stale", true}}}}}};
    write(c.file, original.dump());
    ASSERT_TRUE(installer.install(client(c.id), home()).installed);

    json::Value written = json::parse(read(c.file));
    EXPECT_EQ(written[c.tableKey]["velmora"].value("stale", false), false);
    json::Value expected = original;
    expected[c.tableKey]["velmora"] = written[c.tableKey]["velmora"];
    EXPECT_EQ(written, expected);
  }
}

const std::string kCodexWithComments = R"(# Codex settings, edited by hand
model = "o3"   # the default model

[mcp_servers.other]
command = "other"   # keep this comment
args = [
  "--flag",
  # a comment inside an array
  "[mcp_servers.velmora]",
]
notes = """
[mcp_servers.velmora]
a line that looks like a header
"""
quoted = """a "quote" at the end""""
literal = '''
[mcp_servers.velmora]'''

# Our server below.
[ mcp_servers . "velm\u006Fra" ]   # an old entry
command = "/old/velmoractl"
args = []

# Environment of the old entry.
[mcp_servers.velmora.env]
DEBUG = "1"

# Said about the profiles, and kept.
[profiles.fast]
model = "o4-mini"
)";

TEST_F(MCPInstallerTest, CodexInstallReplacesOnlyOurTableAndKeepsTheRestByteForByte) {
  write(".codex/config.toml", kCodexWithComments);
  ASSERT_TRUE(installer.install(client("codex"), home()).installed);
  std::string expected = kCodexWithComments;
  const auto replace = [&](const std::string& from, const std::string& to) {
    ASSERT_NE(expected.find(from), std::string::npos) << from;
    expected.replace(expected.find(from), from.size(), to);
  };
  replace(R"([ mcp_servers . "velm\u006Fra" ]   # an old entry
command = "/old/velmoractl"
args = []
)",
          kCodexEntry);
  replace("[mcp_servers.velmora.env]\nDEBUG = \"1\"\n", "");
  EXPECT_EQ(read(".codex/config.toml"), expected);
}

TEST_F(MCPInstallerTest, CodexInstallAppendsOrReplacesInTheFilesLineEndsAndUninstallTakesItOut) {
  const struct {
    std::string original, installed, uninstalled;
  } cases[] = {
      {"# mine\nmodel = \"o3\" # no final line end",
       "# mine\nmodel = \"o3\" # no final line end\n\n" + kCodexEntry,
       "# mine\nmodel = \"o3\" # no final line end\n"},
      {"a = 1\r\n[mcp_servers.velmora]\r\ncommand = \"x\"\r\nargs = []\r\n\r\n[b]\r\nc = 2\r\n",
       "a = 1\r\n" + kCodexEntry + "\r\n[b]\r\nc = 2\r\n", "a = 1\r\n\r\n[b]\r\nc = 2\r\n"},
  };
  for (const auto& c : cases) {
    write(".codex/config.toml", c.original);
    ASSERT_TRUE(installer.install(client("codex"), home()).installed);
    EXPECT_EQ(read(".codex/config.toml"), c.installed);
    installer.uninstall(client("codex"), home());
    EXPECT_EQ(read(".codex/config.toml"), c.uninstalled);
  }
}

TEST_F(MCPInstallerTest, CodexNamesAndTextsThatNeedQuotingAreQuoted) {
  installer.serverName = "velmora dev.1";
  installer.command = "/opt/my \"tools\"/velmoractl\\x";
  installer.args = {"mcp", "tab\there", "中文"};
  ASSERT_TRUE(installer.install(client("codex"), home()).installed);
  EXPECT_EQ(read(".codex/config.toml"),
            "[mcp_servers.\"velmora dev.1\"]\n"
            "command = \"/opt/my \\\"tools\\\"/velmoractl\\\\x\"\n"
            "args = [\"mcp\", \"tab\\there\", \"中文\"]\n");
  EXPECT_TRUE(installer.state(client("codex"), home()).entryPresent);
  installer.uninstall(client("codex"), home());
  EXPECT_EQ(read(".codex/config.toml"), "");
}

struct RefusedCase {
  std::string name;
  std::string id;
  std::string file;
  std::string content;
  std::string reason;  // the detail after the file's path in 「」
};

TEST_F(MCPInstallerTest, FilesThatCannotBeEditedSafelyAreReportedAndLeftUnchanged) {
  const std::vector<RefusedCase> cases = {
      {"broken JSON", "cursor", ".cursor/mcp.json", "{\"mcpServers\": {",
       "无法解析，未作修改：JSON 格式错误：内容在第 17 字节处意外结束"},
      {"JSON with comments", "opencode", ".config/opencode/opencode.json",
       "{\n  // my servers\n  \"mcp\": {}\n}\n",
       "无法解析，未作修改：JSON 格式错误：第 5 字节处有语法错误"},
      {"JSON array", "windsurf", ".codeium/windsurf/mcp_config.json", "[1, 2]",
       "不是 JSON 对象，未作修改"},
      {"server table not an object", "claude-code", ".claude.json",
       "{\"mcpServers\": [\"velmora\"]}", "中的「mcpServers」不是 JSON 对象，未作修改"},
      {"broken TOML", "codex", ".codex/config.toml", "model = \"o3\"\n[mcp_servers\n",
       "不是有效的 TOML（第 2 行第 13 列），未作修改"},
      {"our entry as an inline table", "codex", ".codex/config.toml",
       "[mcp_servers]\nvelmora = { command = \"x\", args = [] }\n",
       "中的「mcp_servers.velmora」不是以独立的表写成的，无法安全替换，未作修改"},
      {"our entry in dotted keys", "codex", ".codex/config.toml",
       "mcp_servers.velmora.command = \"x\"\n",
       "中的「mcp_servers.velmora」不是以独立的表写成的，无法安全替换，未作修改"},
      {"the server table inline", "codex", ".codex/config.toml",
       "mcp_servers = { other = { command = \"y\" } }\n",
       "中安全地写入「mcp_servers.velmora」，未作修改"},
  };
  for (const RefusedCase& c : cases) {
    SCOPED_TRACE(c.name);
    write(c.file, c.content);
    const MCPInstallResult result = installer.install(client(c.id), home());
    EXPECT_FALSE(result.installed);
    const std::string path = (home() / c.file).string();
    const std::string expected = c.reason.starts_with("中安全")
                                     ? "无法在「" + path + "」" + c.reason
                                     : "「" + path + "」" + c.reason;
    EXPECT_EQ(result.detail, expected);
    EXPECT_EQ(read(c.file), c.content);
    installer.uninstall(client(c.id), home());
    EXPECT_EQ(read(c.file), c.content);
    fs::remove(home() / c.file);
  }
}

struct RoundTripCase {
  std::string id;
  std::string file;
  std::string afterUninstall;
};

TEST_F(MCPInstallerTest, InstallingTwiceLeavesOneEntryAndUninstallTakesItOut) {
  const std::vector<RoundTripCase> cases = {
      {"cursor", ".cursor/mcp.json", "{\n  \"mcpServers\" : {}\n}\n"},
      {"opencode", ".config/opencode/opencode.json", "{\n  \"mcp\" : {}\n}\n"},
      {"codex", ".codex/config.toml", ""},
  };
  for (const RoundTripCase& c : cases) {
    SCOPED_TRACE(c.id);
    ASSERT_TRUE(installer.install(client(c.id), home()).installed);
    const std::string once = read(c.file);
    ASSERT_TRUE(installer.install(client(c.id), home()).installed);
    EXPECT_EQ(read(c.file), once);
    EXPECT_TRUE(installer.state(client(c.id), home()).entryPresent);

    installer.uninstall(client(c.id), home());
    EXPECT_EQ(read(c.file), c.afterUninstall);
    EXPECT_FALSE(installer.state(client(c.id), home()).entryPresent);
  }
}

TEST_F(MCPInstallerTest, UninstallLeavesOtherServersAndCreatesNothing) {
  write(".cursor/mcp.json", R"({"mcpServers": {"other": {"command": "x"}}, "z": 1})");
  const std::string untouched = read(".cursor/mcp.json");
  installer.uninstall(client("cursor"), home());
  EXPECT_EQ(read(".cursor/mcp.json"), untouched);  // nothing to take out: not even reformatted

  ASSERT_TRUE(installer.install(client("cursor"), home()).installed);
  installer.uninstall(client("cursor"), home());
  EXPECT_EQ(json::parse(read(".cursor/mcp.json")), json::parse(untouched));

  installer.uninstall(client("windsurf"), home());
  EXPECT_FALSE(fs::exists(home() / ".codeium"));
}

TEST_F(MCPInstallerTest, DetectionFindsOnlyClientsWithAPresentPathAndOnlyTheyAreWritten) {
  fs::create_directories(home() / ".cursor");
  EXPECT_EQ(
      installer.installIntoDetected(home()),
      (std::vector<MCPInstallResult>{
          {.id = "cursor", .displayName = "Cursor", .installed = true, .detail = "mcp.json"}}));
  EXPECT_EQ(read(".cursor/mcp.json"), kServersEntry);
  EXPECT_EQ(std::distance(fs::recursive_directory_iterator(home()), {}), 2);

  std::ofstream(home() / ".claude.json") << "{}";
  const ScratchDirectory elsewhere;
  MCPClientIntegration absolute = client("windsurf");
  absolute.detectPaths = {(elsewhere.path() / "Windsurf").string()};
  fs::create_directories(elsewhere.path() / "Windsurf");
  installer.integrations.push_back(absolute);
  EXPECT_EQ(installer.detected(home()),
            (std::vector<MCPClientIntegration>{client("claude-code"), client("cursor"), absolute}));
}

TEST_F(MCPInstallerTest, ClaudeCodeUsesItsSecondFileWhenOnlyThatExists) {
  // Without either file, the first is named.
  EXPECT_EQ(installer.state(client("claude-code"), home()).configFile, home() / ".claude.json");
  write(".config/claude/config.json", R"({"theme": "light"})");
  const MCPInstallResult result = installer.install(client("claude-code"), home());
  EXPECT_EQ(result.detail, "config.json");
  EXPECT_FALSE(fs::exists(home() / ".claude.json"));
  EXPECT_EQ(json::parse(read(".config/claude/config.json"))["theme"], "light");
  EXPECT_EQ(installer.state(client("claude-code"), home()),
            (MCPClientState{.integration = client("claude-code"),
                            .detected = false,
                            .configFile = home() / ".config/claude/config.json",
                            .entryPresent = true}));
}

TEST_F(MCPInstallerTest, ALinkedFileIsEditedThroughItsLinkWhichStaysALinkAndKeepsItsMode) {
  for (const char* id : {"cursor", "codex"}) {
    SCOPED_TRACE(id);
    const std::string file = client(id).configPaths.front();
    const std::string target = std::string("dotfiles/") + id;
    write(target, "");
    fs::permissions(home() / target, fs::perms(0640));
    fs::create_directories((home() / file).parent_path());
    fs::create_symlink(fs::path("..") / target, home() / file);

    ASSERT_TRUE(installer.install(client(id), home()).installed);
    EXPECT_TRUE(fs::is_symlink(home() / file));
    EXPECT_EQ(modeOf(home() / target), 0640u);
    EXPECT_TRUE(installer.state(client(id), home()).entryPresent);
    installer.uninstall(client(id), home());
    EXPECT_TRUE(fs::is_symlink(home() / file));
    EXPECT_EQ(modeOf(home() / target), 0640u);
    EXPECT_FALSE(installer.state(client(id), home()).entryPresent);
  }
}

TEST_F(MCPInstallerTest, AWriteThatFailsIsReportedInTheResult) {
  write(".cursor", "a file where a directory belongs");
  const MCPInstallResult result = installer.install(client("cursor"), home());
  EXPECT_EQ(result.detail,
            "无法读取「" + (home() / ".cursor/mcp.json").string() + "」：Not a directory");
  EXPECT_FALSE(result.installed);
}

}  // namespace
}  // namespace velmora
