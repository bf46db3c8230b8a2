// What an application is on Linux: application scopes from cgroup paths, names from .desktop
// files, and processes described from a fake /proc, cgroup tree and applications directories.
#include "kit/discovery/app_describer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fake_proc.h"
#include "kit/discovery/desktop_entries.h"
#include "kit/error.h"
#include "test_support.h"

namespace velmora {

void PrintTo(const AppIdentity& identity, std::ostream* out) {
  for (const std::optional<std::string>* name : identity.names())
    *out << (*name ? "\"" + **name + "\"" : "-") << " ";
}

namespace {

using testing::FakeProc;

TEST(ApplicationScope, TheInnermostApplicationUnitOfACgroupPathNamesTheApplication) {
  const std::string apps = "/user.slice/user-1000.slice/user@1000.service/app.slice/";
  const std::pair<std::string, std::optional<ApplicationScope>> cases[] = {
      {apps + "app-flatpak-org.mozilla.firefox-2481.scope",
       ApplicationScope{apps + "app-flatpak-org.mozilla.firefox-2481.scope", "org.mozilla.firefox",
                        "org.mozilla.firefox"}},
      {apps + "app-gnome-org.gnome.Terminal-3321.scope/tab-2",
       ApplicationScope{apps + "app-gnome-org.gnome.Terminal-3321.scope", "org.gnome.Terminal",
                        "org.gnome.Terminal"}},
      {apps + "app-org.kde.konsole-a1b2c3d4.scope",
       ApplicationScope{apps + "app-org.kde.konsole-a1b2c3d4.scope", "org.kde.konsole",
                        "org.kde.konsole"}},
      {apps + "app-org.example.My\\x2dTool@7f2c.service",
       ApplicationScope{apps + "app-org.example.My\\x2dTool@7f2c.service", "org.example.My-Tool",
                        "org.example.My-Tool"}},
      {apps + "snap.firefox.firefox-0e4c1f52-7a3b-4f4e-9d3e-2b9a7c1d5e6f.scope",
       ApplicationScope{apps + "snap.firefox.firefox-0e4c1f52-7a3b-4f4e-9d3e-2b9a7c1d5e6f.scope",
                        "firefox.firefox", "firefox_firefox"}},
      {apps + "snap.code.code.0e4c1f52-7a3b-4f4e-9d3e-2b9a7c1d5e6f.scope",
       ApplicationScope{apps + "snap.code.code.0e4c1f52-7a3b-4f4e-9d3e-2b9a7c1d5e6f.scope",
                        "code.code", "code_code"}},
      {"/user.slice/user-1000.slice/session-2.scope", std::nullopt},
      {"/system.slice/cron.service", std::nullopt},
      {apps + "app-nothing.scope", std::nullopt},
      {apps + "snap.lonely.scope", std::nullopt},
  };
  for (const auto& [path, scope] : cases) EXPECT_EQ(applicationScope(path), scope) << path;
}

TEST(DesktopEntries, TheUnlocalizedNameOfTheDesktopEntryGroupIsTheName) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"[Desktop Entry]\nName[de]=Netz\nName = Web Browser \nExec=x\n", "Web Browser"},
      {"[Desktop Action new]\nName=New Window\n[Desktop Entry]\r\nName=Editor\r\n", "Editor"},
      {"[Desktop Entry]\nNameX=Wrong\nGenericName=Wrong\n", std::nullopt},
      {"Name=Outside a group\n", std::nullopt},
      {"[Desktop Entry]\nName=\n", std::nullopt},
  };
  for (const auto& [text, name] : cases) EXPECT_EQ(DesktopEntries::nameFrom(text), name) << text;
}

TEST(DesktopEntries, TheFirstDirectoryHoldingTheFileWinsAndEachFileIsReadOnce) {
  FakeProc first;
  FakeProc second;
  first.file("a.desktop", "[Desktop Entry]\nName=First\n");
  second.file("a.desktop", "[Desktop Entry]\nName=Second\n");
  second.file("b.desktop", "[Desktop Entry]\nName=Only Second\n");
  const DesktopEntries entries({first.root(), second.root()});
  EXPECT_EQ(entries.name("a"), "First");
  EXPECT_EQ(entries.name("b"), "Only Second");
  EXPECT_EQ(entries.name("../a"), std::nullopt);
  std::filesystem::remove(first.root() / "a.desktop");
  EXPECT_EQ(entries.name("a"), "First");
}

TEST(DesktopEntries, TheSessionLooksInItsDataDirectoriesAndFlatpaksAndSnapdsExports) {
  const testing::ScopedEnvironmentVariable home("HOME", "/home/u");
  const testing::ScopedEnvironmentVariable dataHome("XDG_DATA_HOME", std::nullopt);
  const testing::ScopedEnvironmentVariable dataDirs("XDG_DATA_DIRS", "/opt/share:relative");
  const std::vector<std::filesystem::path> expected = {
      "/home/u/.local/share/applications", "/opt/share/applications",
      "/home/u/.local/share/flatpak/exports/share/applications",
      "/var/lib/flatpak/exports/share/applications", "/var/lib/snapd/desktop/applications"};
  EXPECT_EQ(DesktopEntries::sessionDirectories(), expected);
}

/// A process of the fake machine: where it runs from, its name, its cgroup and start time.
struct FakeProcess {
  pid_t pid;
  std::string exe;
  std::string comm;
  std::string cgroup;
  unsigned long long started;
};

class AppDescriberTest : public ::testing::Test {
 protected:
  void add(const FakeProcess& process) {
    proc.process(process.pid, process.exe, process.comm);
    const std::string directory = std::to_string(process.pid);
    proc.file(directory + "/cgroup", "0::" + process.cgroup + "\n");
    // Fields 3 to 21 of stat, then the start time; the name may hold spaces and parentheses.
    std::string stat = directory + " (" + process.comm + ") S";
    for (int field = 4; field <= 21; ++field) stat += " 0";
    proc.file(directory + "/stat", stat + " " + std::to_string(process.started) + " 0 0\n");
    const std::filesystem::path members = cgroups.root() / process.cgroup.substr(1);
    std::filesystem::create_directories(members);
    std::ofstream(members / "cgroup.procs", std::ios::app) << process.pid << "\n";
  }

  AppDescriber describer() {
    return AppDescriber(ProcFileSystem(proc.root()), cgroups.root(),
                        DesktopEntries({applications.root()}));
  }

  FakeProc proc;
  FakeProc cgroups;
  FakeProc applications;
};

const std::string appSlice = "/user.slice/user-1000.slice/user@1000.service/app.slice/";
const std::string terminal = appSlice + "app-gnome-org.gnome.Terminal-3321.scope";
const std::string flatpak = appSlice + "app-flatpak-org.mozilla.firefox-2481.scope";
const std::string snap =
    appSlice + "snap.firefox.firefox-0e4c1f52-7a3b-4f4e-9d3e-2b9a7c1d5e6f.scope";

TEST_F(AppDescriberTest, ProcessesAreDescribedByTheirScopeItsDesktopFileAndItsMainProcess) {
  applications.file("org.gnome.Terminal.desktop", "[Desktop Entry]\nName=Terminal\n");
  applications.file("org.mozilla.firefox.desktop", "[Desktop Entry]\nName=Firefox Web\n");
  applications.file("firefox_firefox.desktop", "[Desktop Entry]\nName=Firefox\n");
  // A launcher's scope: no process is named like the id, so the oldest owns it.
  add({500, "/usr/libexec/gnome-terminal-server", "gnome-terminal-", terminal, 100});
  add({510, "/usr/bin/bash", "bash", terminal, 200});
  // Flatpak's scope: the sandbox starts first, the process named like the id owns it; a helper
  // in a cgroup below the scope belongs to it too.
  add({600, "/usr/bin/bwrap", "bwrap", flatpak, 50});
  add({610, "/app/lib/firefox/firefox", "firefox", flatpak, 60});
  add({620, "/app/lib/firefox/firefox", "Web Content", flatpak + "/helpers", 70});
  add({630, "/app/lib/firefox/glxtest", "glxtest", flatpak + "/helpers", 40});
  add({700, "/snap/firefox/4/usr/lib/firefox/firefox", "firefox", snap, 10});
  // An application unit without a .desktop file: names come from its processes.
  add({900, "/opt/tool/tool", "tool-main", appSlice + "app-org.example.Tool@7f2c.service", 5});
  add({800, "/usr/bin/curl", "curl", "/user.slice/user-1000.slice/session-2.scope", 300});

  const std::pair<pid_t, AppIdentity> cases[] = {
      {510,
       {.bundleID = "org.gnome.Terminal",
        .displayName = "Terminal",
        .executableName = "bash",
        .responsibleBundleID = "org.gnome.Terminal",
        .responsibleAppName = "Terminal",
        .responsibleExecutable = "gnome-terminal-server",
        .appBundleName = "/usr/bin/bash"}},
      {630,
       {.bundleID = "org.mozilla.firefox",
        .displayName = "Firefox Web",
        .executableName = "glxtest",
        .responsibleBundleID = "org.mozilla.firefox",
        .responsibleAppName = "Firefox Web",
        .responsibleExecutable = "firefox",
        .appBundleName = "/app/lib/firefox/glxtest"}},
      {620,
       {.bundleID = "org.mozilla.firefox",
        .displayName = "Firefox Web",
        .executableName = "firefox",
        .responsibleBundleID = "org.mozilla.firefox",
        .responsibleAppName = "Firefox Web",
        .responsibleExecutable = "firefox",
        .appBundleName = "/app/lib/firefox/firefox"}},
      {700,
       {.bundleID = "firefox.firefox",
        .displayName = "Firefox",
        .executableName = "firefox",
        .responsibleBundleID = "firefox.firefox",
        .responsibleAppName = "Firefox",
        .responsibleExecutable = "firefox",
        .appBundleName = "/snap/firefox/4/usr/lib/firefox/firefox"}},
      {900,
       {.bundleID = "org.example.Tool",
        .displayName = "tool-main",
        .executableName = "tool",
        .responsibleBundleID = "org.example.Tool",
        .responsibleAppName = "tool-main",
        .responsibleExecutable = "tool",
        .appBundleName = "/opt/tool/tool"}},
      {800, {.displayName = "curl", .executableName = "curl", .appBundleName = "/usr/bin/curl"}},
      {999, {}},
  };
  const AppDescriber describe = describer();
  for (const auto& [pid, identity] : cases) EXPECT_EQ(describe.process(pid), identity) << pid;
}

TEST_F(AppDescriberTest, OnlyTheUsersOwnRunningProcessesAreDescribedOnRequest) {
  add({800, "/usr/bin/curl", "curl", "/user.slice/user-1000.slice/session-2.scope", 300});
  const AppDescriber describe = describer();
  EXPECT_EQ(describe.ownProcess(800, ::getuid()).appBundleName, "/usr/bin/curl");
  const auto message = [&](pid_t pid, uid_t user) {
    try {
      describe.ownProcess(pid, user);
    } catch (const Error& error) {
      return std::string(error.what());
    }
    return std::string("described");
  };
  EXPECT_EQ(message(800, ::getuid() + 1), "进程 800 属于其他用户，不能查看它是哪个应用");
  EXPECT_EQ(message(999, ::getuid()), "找不到进程 999");
}

TEST(AppDescriber, AWordIsAnExecutableWhenItIsAnAbsolutePathAndEveryNameOtherwise) {
  const testing::ScratchDirectory scratch;
  std::ofstream(scratch.path() / "tool") << "#!/bin/sh\n";
  const std::filesystem::path tool = std::filesystem::canonical(scratch.path() / "tool");
  std::filesystem::create_symlink(tool, scratch.path() / "link");
  const auto executable = [](const std::string& name, const std::string& path) {
    return AppIdentity{.displayName = name, .executableName = name, .appBundleName = path};
  };
  const std::pair<std::string, AppIdentity> cases[] = {
      {tool.string(), executable("tool", tool.string())},
      {(scratch.path() / "link").string(), executable("tool", tool.string())},
      {"/nowhere/curl", executable("curl", "/nowhere/curl")},
      {"curl", {.bundleID = "curl", .displayName = "curl", .executableName = "curl"}},
  };
  for (const auto& [word, identity] : cases) EXPECT_EQ(AppDescriber::named(word), identity) << word;
}

}  // namespace
}  // namespace velmora
