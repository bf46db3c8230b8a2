// The completion entry point: its candidates for each kind of word, on a scratch store, and the
// command table held against the help text.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "commands.h"
#include "commands_complete.h"
#include "kit/profile_store.h"
#include "test_support.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using cli::CompletionSources;
using testing::ScratchDirectory;

/// Keeps what a command printed.
class CapturedOutput final : public cli::Output {
 public:
  void flush() override {}
  std::string text;

 private:
  void write(std::string_view bytes) override { text += bytes; }
};

/// Every file under the directory and its bytes.
std::map<std::string, std::string> snapshot(const fs::path& directory) {
  std::map<std::string, std::string> files;
  if (!fs::exists(directory)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(directory))
    files[entry.path().string()] = entry.is_regular_file() ? readFile(entry.path()) : "/";
  return files;
}

class Completion : public ::testing::Test {
 protected:
  Completion() {
    ProfileStore store(storeDirectory());
    Profile active = store.activeProfile();
    active.proxies = {ProxyServer{.name = "Clash", .address = "127.0.0.1", .port = 7890},
                      ProxyServer{.name = "Tor Relay", .address = "127.0.0.1", .port = 9050}};
    Rule work = active.rules.front().with({.name = "App: Firefox"});
    work.id = UUID::random();
    work.locked = false;
    active.rules.insert(active.rules.begin() + 1, work);
    store.save(active);
    store.create("Work");
    store.create("Home Office");
  }

  fs::path storeDirectory() const { return scratch_.path() / "Velmora"; }

  std::string complete(const std::vector<std::string>& words) {
    CapturedOutput out;
    const CompletionSources sources{.storeDirectory = storeDirectory(), .interfaceNames = [] {
                                      return std::vector<std::string>{"wg0", "tun1"};
                                    }};
    cli::complete(words, sources, out);
    return out.text;
  }

 private:
  ScratchDirectory scratch_;
};

TEST_F(Completion, OffersWhatMayComeNextForEachKindOfWord) {
  struct Case {
    std::vector<std::string> words;
    std::string answer;
  };
  const std::vector<Case> cases = {
      // Commands, sub-commands and options from the table.
      {{"pro"}, "words\nprofile\nproxy\n"},
      {{"--offline", "r"}, "words\nrule\nroute\nrun\n"},
      {{"rule", "e"}, "words\nenable\n"},
      {{"mcp", ""}, "words\nserve\ninstall\nuninstall\nclients\n"},
      {{"rule", "list", "-"}, "words\n--search\n-s\n--json\n--offline\n"},
      {{"logs", "--f"}, "words\n--follow\n"},
      {{"proxy", "add", "x", "--type", ""}, "words\nsocks5\nhttp\n"},
      // Profile names for profile switch, env bind and export.
      {{"profile", "switch", ""}, "words\nDefault\nHome Office\nWork\n"},
      {{"env", "bind", "W"}, "words\nWork\n"},
      {{"--json", "export", "H"}, "words\nHome Office\n"},
      // Rule names of the active profile, whatever options stand between.
      {{"rule", "disable", ""}, "words\nLocalhost\nApp: Firefox\nDefault\n"},
      {{"rule", "--offline", "rm", "App"}, "words\nApp: Firefox\n"},
      {{"rule", "enable", "Localhost", ""}, "words\n"},
      // Actions, then proxy names after proxy: and interface names after interface:.
      {{"rule", "add", "Mail", "--app", "Mail", "-a", ""},
       "words\ndirect\nblock\nproxy:\nchain:\ninterface:\n"},
      {{"route", "set", "firefox", "proxy:"}, "words\nproxy:Clash\nproxy:Tor Relay\n"},
      {{"rule", "add", "Mail", "--action", "proxy:T"}, "words\nproxy:Tor Relay\n"},
      {{"route", "set", "firefox", "interface:w"}, "words\ninterface:wg0\n"},
      // Proxy names, for as many proxies as a chain takes; policies by their names.
      {{"proxy", "rm", ""}, "words\nClash\nTor Relay\n"},
      {{"chain", "add", "Out", "Clash", "T"}, "words\nTor Relay\n"},
      {{"rule", "set", "x", "--quic", ""}, "words\nproxy\nfallback\ndirect\n"},
      {{"rule", "move", "x", "--before", "L"}, "words\nLocalhost\n"},
      // An option's value is not taken for a command word.
      {{"route", "set", "--json", "firefox", "b"}, "words\nblock\n"},
      // Client ids for --client, repeated or not.
      {{"mcp", "install", "--client", "codex", "--client", "c"},
       "words\nclaude-desktop\nclaude-code\ncodex\ncursor\n"},
      // Free text offers nothing; files and programs are the shell's to complete.
      {{"profile", "create", ""}, "words\n"},
      {{"rule", "list", "--search", ""}, "words\n"},
      {{"import", ""}, "files\n"},
      {{"export", "-o", "pro"}, "files\n"},
      {{"run", ""}, "programs\n"},
      {{"run", "--", "cu"}, "programs\n"},
      {{"run", "curl", "-"}, "delegate 1\n"},
      {{"--offline", "run", "--", "git", "com"}, "delegate 3\n"},
      {{"run", "--t"}, "words\n--transparent\n"},
      {{"run", "--transparent", "--", "git", "com"}, "delegate 3\n"},
      {{"run", "--transparent", "cu"}, "programs\n"},
      // Words that name nothing known.
      {{"frobnicate", ""}, "words\n"},
      {{}, "words\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(complete(c.words), c.answer) << ::testing::PrintToString(c.words);
  }
}

TEST_F(Completion, NamesThatCannotStandOnOneLineAreLeftOut) {
  ProfileStore store(storeDirectory());
  store.create("two\nlines");
  store.create("tab\there");
  EXPECT_EQ(complete({"profile", "switch", ""}), "words\nDefault\nHome Office\nWork\n");
}

TEST(CompletionWithoutStore, OffersNoNamesAndCreatesNothing) {
  ScratchDirectory scratch;
  const fs::path directory = scratch.path() / "Velmora";
  const CompletionSources sources{.storeDirectory = directory, .interfaceNames = {}};
  for (const std::vector<std::string>& words :
       std::vector<std::vector<std::string>>{{"profile", "switch", ""},
                                             {"rule", "rm", ""},
                                             {"route", "set", "a", "proxy:"},
                                             {"route", "set", "a", "interface:"}}) {
    CapturedOutput out;
    cli::complete(words, sources, out);
    EXPECT_EQ(out.text, "words\n") << ::testing::PrintToString(words);
  }
  EXPECT_FALSE(fs::exists(directory));
}

TEST_F(Completion, TheBuiltToolAnswersFromTheFilesAndChangesNothing) {
  ScratchDirectory home;
  const fs::path store = home.path() / ".config" / "Velmora";
  // No store yet: nothing offered, nothing created.
  auto result = testing::runVelmoractl({"__complete", "profile", "switch", ""}, home.path());
  EXPECT_EQ(result.out, "words\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.status, 0);
  EXPECT_FALSE(fs::exists(store));

  ProfileStore(store).create("Work");
  const auto before = snapshot(store);
  result = testing::runVelmoractl({"__complete", "env", "bind", ""}, home.path());
  EXPECT_EQ(result.out, "words\nDefault\nWork\n");
  // Words the command line would refuse are only words here.
  result = testing::runVelmoractl({"__complete", "--help", "\xff", "st"}, home.path());
  EXPECT_EQ(result.out, "words\n");
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(snapshot(store), before);
}

TEST(CompletionTable, CoversEveryCommandAndOptionOfTheHelpText) {
  const auto& table = cli::completionTable();
  const auto entry = [&](const std::string& words) -> const cli::CompletionCommand* {
    for (const auto& command : table)
      if (command.words == words) return &command;
    return nullptr;
  };
  const auto offers = [&](const cli::CompletionCommand* command, const std::string& option) {
    const auto named = [&](const cli::CompletionOption& o) {
      return std::find(o.names.begin(), o.names.end(), option) != o.names.end();
    };
    const auto& global = cli::globalCompletionOptions();
    return std::any_of(command->options.begin(), command->options.end(), named) ||
           std::any_of(global.begin(), global.end(), named);
  };
  const std::regex commandLine("^  [a-z]");
  const std::regex optionWord(R"(^\[?(--?[a-z]+))");
  std::istringstream help{std::string(cli::usage)};
  std::size_t checked = 0;
  for (std::string line; std::getline(help, line);) {
    if (!std::regex_search(line, commandLine) || line.starts_with("  velmoractl ")) continue;
    // "on | off" and "rule enable <名称> | rule disable <名称>" hold two commands.
    for (std::size_t start = 0; start != std::string::npos;) {
      const std::size_t bar = line.find(" | ", start);
      std::istringstream words(line.substr(start, bar == std::string::npos ? bar : bar - start));
      start = bar == std::string::npos ? bar : bar + 3;
      std::string command, sub;
      words >> command >> sub;
      const cli::CompletionCommand* found = entry(command + " " + sub);
      if (!found) found = entry(command);
      ASSERT_NE(found, nullptr) << line;
      ++checked;
      for (std::string word; words >> word;) {
        std::smatch option;
        if (std::regex_search(word, option, optionWord)) {
          EXPECT_TRUE(offers(found, option[1])) << option[1] << " in: " << line;
        }
      }
    }
  }
  EXPECT_GE(checked, 25u);
}

}  // namespace
}  // namespace velmora
