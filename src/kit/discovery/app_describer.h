// What an application is on Linux: a process described by its executable, the desktop
// session's unit it runs in and that unit's .desktop file; the one description routing uses,
// for the data plane's connections and the tool's dry run alike.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "kit/discovery/desktop_entries.h"
#include "kit/discovery/proc_file_system.h"
#include "kit/matchers.h"

namespace velmora {

/// The unit of the desktop session an application runs in, from its cgroup path.
struct ApplicationScope {
  /// The cgroup path of the unit itself; processes in cgroups below it belong to it too.
  std::string path;
  /// The application id: "org.mozilla.firefox" of "app-flatpak-org.mozilla.firefox-2481.scope",
  /// "firefox.geckodriver" (snap name, a dot, app name) of "snap.firefox.geckodriver-UUID.scope".
  std::string id;
  /// The file name of its .desktop file without ".desktop": the id, or "SNAP_APP" for a snap.
  std::string desktopID;

  bool operator==(const ApplicationScope&) const = default;
};

/// The innermost application unit on a cgroup path: "app-[LAUNCHER-]ID-RANDOM.scope" and
/// "app-[LAUNCHER-]ID[@RANDOM].service" as desktop launchers and Flatpak start applications,
/// "snap.SNAP.APP[-UUID].{scope,service}" as snapd does; nothing outside such a unit.
std::optional<ApplicationScope> applicationScope(std::string_view cgroupPath);

/// Describes processes and executable paths as the AppIdentity rules match:
/// - bundleID: the id of the process's application scope, absent outside one;
/// - displayName: the Name of the scope's .desktop file, else the process name;
/// - executableName, appBundleName: the executable's file name and its full path;
/// - responsibleBundleID, responsibleAppName, responsibleExecutable: the scope's id and the
///   name and executable of the scope's main process, absent outside a scope. The main process
///   is the oldest process of the scope (and the cgroups below it) whose executable's file name
///   is, ignoring case, the id's last dot-separated part ("firefox" of "org.mozilla.firefox");
///   without such a process, the oldest process of the scope.
/// Used from one thread at a time: it keeps the .desktop names it has read.
class AppDescriber {
 public:
  /// Reads processes through proc, scopes' members under cgroupMount (the cgroup v2 hierarchy)
  /// and names from desktop.
  AppDescriber(ProcFileSystem proc, std::optional<std::filesystem::path> cgroupMount,
               DesktopEntries desktop);
  /// The live system: /proc, the cgroup v2 mount this process sees, the session's .desktop files.
  AppDescriber();

  /// The application of process pid; every field absent when the process is gone or its
  /// executable cannot be read.
  AppIdentity process(pid_t pid) const;
  /// The application of process pid when user owns it; throws velmora::Error when there is no
  /// such process or another user's it is.
  AppIdentity ownProcess(pid_t pid, uid_t user) const;

  /// A program by its absolute path as a process running it outside any application scope is
  /// described: its file name as executable and display name, the path as appBundleName. A link
  /// is followed to the file it leads to, as the kernel names a running program's executable.
  static AppIdentity executable(const std::filesystem::path& path);
  /// How the dry run describes the application a user names by one word: an absolute path as
  /// that executable, any other word as bundleID, displayName and executableName at once.
  static AppIdentity named(const std::string& word);

 private:
  /// The oldest member of scope by the rule above; nothing when no member can be read.
  std::optional<pid_t> mainProcess(const ApplicationScope& scope, pid_t member) const;
  /// The name a process gives itself (comm), or its executable's name when comm cut it short.
  std::string processName(pid_t pid, const std::string& executableName) const;

  ProcFileSystem proc_;
  std::optional<std::filesystem::path> cgroupMount_;
  DesktopEntries desktop_;
};

}  // namespace velmora
