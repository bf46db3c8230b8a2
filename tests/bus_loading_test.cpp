// Runs that do not talk to the application never load the bus library: the tool is run with the
// dynamic loader reporting every library it maps, with and without a session bus to reach.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include "kit/file_io.h"
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
  report.out = readFile(out);
  report.loaded = readFile(err);
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

TEST(BusLoading, OnlyAnAddressTheToolCannotRuleOutLoadsTheClientWhichStillFindsNobody) {
  ScratchDirectory home;
  // A socket path can be looked for in the file system; an abstract socket cannot.
  for (const auto& [address, loads] : std::vector<std::pair<std::string, bool>>{
           {"unix:path=" + (home.path() / "no-bus").string(), false},
           {"unix:abstract=velmora-test-nobody", true}}) {
    const LoaderReport report = runReportingLibraries(
        {"status"}, home.path(),
        {"DBUS_SESSION_BUS_ADDRESS=" + address, "XDG_RUNTIME_DIR=" + home.path().string()});
    EXPECT_EQ(WEXITSTATUS(report.status), 0) << address;
    EXPECT_NE(report.out.find("Default"), std::string::npos) << address;
    EXPECT_EQ(loadedBusLibrary(report), loads) << address;
  }
}

}  // namespace
}  // namespace velmora
