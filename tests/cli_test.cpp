// velmoractl as a user runs it: help, exit statuses and the unknown-command error.
#include <gtest/gtest.h>

#include <csignal>

#include "commands.h"
#include "test_support.h"

namespace velmora {
namespace {

using testing::runVelmoractl;
using testing::ScratchDirectory;

class CommandLine : public ::testing::Test {
 protected:
  testing::RunResult run(const std::vector<std::string>& arguments) {
    return runVelmoractl(arguments, home_.path());
  }
  const std::string help = std::string(cli::usage) + "\n";

 protected:
  ScratchDirectory home_;
};

TEST_F(CommandLine, HelpStatusesFollowTheWordsGiven) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
  };
  const std::vector<Case> cases = {
      {{}, 1},                      // nothing at all
      {{"--json"}, 0},              // options only
      {{"help"}, 0},                // the help command
      {{"status", "-h"}, 0},        // -h anywhere
      {{"--help", "nonsense"}, 0},  // even before an unknown command
  };
  for (const Case& c : cases) {
    const auto result = run(c.arguments);
    EXPECT_EQ(result.out, help) << ::testing::PrintToString(c.arguments);
    EXPECT_EQ(result.err, "") << ::testing::PrintToString(c.arguments);
    EXPECT_EQ(result.status, c.status) << ::testing::PrintToString(c.arguments);
  }
  EXPECT_EQ(help.find('\t'), std::string::npos);  // the columns line up in any terminal
}

TEST_F(CommandLine, UnknownCommandIsOneLineOnStandardError) {
  const auto result = run({"foo", "--json"});
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "错误：未知命令「foo」。运行 `velmoractl help` 查看用法。\n");
  EXPECT_EQ(result.status, 1);
  // Command words are case-sensitive.
  EXPECT_EQ(run({"HELP"}).err, "错误：未知命令「HELP」。运行 `velmoractl help` 查看用法。\n");
}

TEST_F(CommandLine, OutputThatCannotBeWrittenIsAFailureUnlessTheReaderLeft) {
  using testing::StandardOutput;
  const struct {
    StandardOutput output;
    std::string err;
    int status;
  } cases[] = {
      {StandardOutput::deviceFull, "错误：无法写入标准输出：No space left on device\n", 1},
      {StandardOutput::closed, "错误：无法写入标准输出：Bad file descriptor\n", 1},
      // A reader that stopped early (`| head -1`) ends the run quietly, by SIGPIPE.
      {StandardOutput::closedPipe, "", 128 + SIGPIPE},
  };
  for (const auto& c : cases) {
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"export"}, {"rule", "list"}, {"profile", "list", "--json"}, {"help"}}) {
      const auto result = runVelmoractl(arguments, home_.path(), {.output = c.output});
      EXPECT_EQ(result.err, c.err) << ::testing::PrintToString(arguments);
      EXPECT_EQ(result.status, c.status) << ::testing::PrintToString(arguments);
    }
  }
}

}  // namespace
}  // namespace velmora
