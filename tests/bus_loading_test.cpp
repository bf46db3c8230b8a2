// Runs that do not talk to the application never load the bus library: the tool is run with the
// dynamic loader reporting every library it maps, with and without a session bus to reach.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "test_support.h"

namespace velmora {
namespace {

using velmora::testing::ScratchDirectory;

/// What the loader reported while the tool ran the arguments in the environment, and how it ended.
struct LoaderReport {
  std::string out;
  std::string loaded;
  int status = -1;
};

std::string contents(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

LoaderReport runReportingLibraries(const std::vector<std::string>& arguments,
                                   const std::filesystem::path& home,
                                   std::vector<std::string> environment) {
  const std::filesystem::path out = home / "out.txt";
  const std::filesystem::path err = home / "err.txt";
  environment.push_back("HOME=" + home.string());
  environment.push_back("LANG=C.UTF-8");
  environment.push_back("LD_DEBUG=files");
  std::vector<std::string> words = {VELMORACTL_PATH};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  LoaderReport report;
  if (spawned != 0) return report;
  waitpid(pid, &report.status, 0);
  report.out = contents(out);
  report.loaded = contents(err);
  return report;
}

bool loadedBusLibrary(const LoaderReport& report) {
  return report.loaded.find("libsdbus-c++") != std::string::npos;
}

TEST(BusLoading, OfflineRunsWithoutASessionBusNeverLoadTheBusLibrary) {
  ScratchDirectory home;
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"status"},
                                                    {"status", "--offline"},
                                                    {"rule", "list", "--offline"},
                                                    {"test", "--offline", "App", "example.com:443"},
                                                    {"profile", "list"}}) {
    const LoaderReport report = runReportingLibraries(arguments, home.path(), {});
    ASSERT_TRUE(WIFEXITED(report.status)) << arguments.front();
    EXPECT_EQ(WEXITSTATUS(report.status), 0) << arguments.front() << "\n" << report.loaded;
    // The loader did report: the C library is always there.
    EXPECT_NE(report.loaded.find("libc.so"), std::string::npos);
    EXPECT_FALSE(loadedBusLibrary(report)) << arguments.front();
  }
}

TEST(BusLoading, AnAddressWhoseSocketIsMissingCountsAsNoBus) {
  ScratchDirectory home;
  const LoaderReport report = runReportingLibraries(
      {"status"}, home.path(),
      {"DBUS_SESSION_BUS_ADDRESS=unix:path=" + (home.path() / "no-bus").string(),
       "XDG_RUNTIME_DIR=" + home.path().string()});
  EXPECT_EQ(WEXITSTATUS(report.status), 0);
  EXPECT_NE(report.out.find("Default"), std::string::npos);
  EXPECT_FALSE(loadedBusLibrary(report));
}

TEST(BusLoading, AnAddressTheToolCannotRuleOutLoadsTheClientAndStillFindsNobody) {
  ScratchDirectory home;
  // An abstract socket cannot be looked for in the file system, so the client tries it.
  const LoaderReport report = runReportingLibraries(
      {"status"}, home.path(), {"DBUS_SESSION_BUS_ADDRESS=unix:abstract=velmora-test-nobody"});
  EXPECT_EQ(WEXITSTATUS(report.status), 0);
  EXPECT_NE(report.out.find("Default"), std::string::npos);
  EXPECT_TRUE(loadedBusLibrary(report));
}

}  // namespace
}  // namespace velmora
