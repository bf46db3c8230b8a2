// Processes described as applications from /proc, the cgroup v2 hierarchy and .desktop files.
#include "kit/discovery/app_describer.h"

#include <algorithm>
#include <charconv>
#include <tuple>
#include <vector>

#include "kit/discovery/cgroups.h"
#include "kit/discovery/process_owner.h"
#include "kit/error.h"
#include "kit/localize.h"
#include "kit/unicode.h"

namespace velmora {
namespace {

/// Systemd escapes "-" inside a unit name's parts as "\x2d".
std::string unescapeUnitPart(std::string_view part) {
  std::string out;
  for (std::size_t i = 0; i < part.size(); ++i) {
    if (part.substr(i, 4) == "\\x2d") {
      out += '-';
      i += 3;
    } else {
      out += part[i];
    }
  }
  return out;
}

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/// Whether text ends with a UUID in its 8-4-4-4-12 text form.
bool endsWithUUID(std::string_view text) {
  constexpr std::size_t length = 36;
  if (text.size() < length) return false;
  const std::string_view uuid = text.substr(text.size() - length);
  for (std::size_t i = 0; i < length; ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? uuid[i] != '-' : !isHex(uuid[i])) return false;
  }
  return true;
}

/// The application of one unit name, as {id, desktop id}; nothing for another kind of unit.
std::optional<std::pair<std::string, std::string>> applicationOfUnit(std::string_view unit) {
  const bool scope = unit.ends_with(".scope");
  if (!scope && !unit.ends_with(".service")) return std::nullopt;
  unit.remove_suffix(scope ? 6 : 8);
  if (unit.starts_with("snap.")) {
    unit.remove_prefix(5);
    // A scope carries a UUID after the app's name, with a dash (newer snapd) or a dot.
    if (endsWithUUID(unit) && unit.size() > 37) unit.remove_suffix(37);
    const std::size_t dot = unit.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == unit.size()) return std::nullopt;
    const std::string snap = unescapeUnitPart(unit.substr(0, dot));
    const std::string app = unescapeUnitPart(unit.substr(dot + 1));
    return std::pair(snap + "." + app, snap + "_" + app);
  }
  if (!unit.starts_with("app-")) return std::nullopt;
  unit.remove_prefix(4);
  // A scope always ends in "-RANDOM"; a service may carry "@RANDOM".
  if (const std::size_t random = unit.find('@'); !scope && random != std::string_view::npos) {
    unit = unit.substr(0, random);
  } else if (const std::size_t dash = unit.rfind('-'); scope) {
    if (dash == std::string_view::npos) return std::nullopt;
    unit = unit.substr(0, dash);
  }
  // What remains is "LAUNCHER-ID" or "ID"; an id holds no unescaped dash.
  if (const std::size_t dash = unit.find('-'); dash != std::string_view::npos)
    unit = unit.substr(dash + 1);
  if (unit.empty()) return std::nullopt;
  std::string id = unescapeUnitPart(unit);
  return std::pair(id, id);
}

/// When the process started, in clock ticks since boot (field 22 of /proc/PID/stat).
std::optional<unsigned long long> startTime(const ProcFileSystem& proc, pid_t pid) {
  const std::optional<std::string> stat = proc.read(std::to_string(pid) + "/stat");
  if (!stat) return std::nullopt;
  // The name in parentheses may hold spaces and parentheses of its own.
  const std::size_t close = stat->rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::string_view rest = std::string_view(*stat).substr(close + 1);
  for (int field = 3; field < 22; ++field) {
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    rest.remove_prefix(std::min(rest.find(' '), rest.size()));
  }
  rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
  unsigned long long ticks = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), ticks);
  if (error != std::errc()) return std::nullopt;
  return ticks;
}

/// The processes of a cgroup and of every cgroup below it, from their cgroup.procs files.
std::vector<pid_t> membersBelow(const std::filesystem::path& cgroup) {
  std::vector<pid_t> members;
  // The cgroup tree reads like /proc: small files that may vanish while they are read.
  const ProcFileSystem files(cgroup);
  const auto add = [&](const std::filesystem::path& relative) {
    const std::optional<std::string> procs = files.read(relative / "cgroup.procs");
    if (!procs) return;
    std::string_view text = *procs;
    while (!text.empty()) {
      const std::size_t end = std::min(text.find('\n'), text.size());
      pid_t pid = 0;
      const std::string_view line = text.substr(0, end);
      const auto [last, error] = std::from_chars(line.data(), line.data() + line.size(), pid);
      if (error == std::errc() && last == line.data() + line.size() && pid > 0)
        members.push_back(pid);
      text.remove_prefix(std::min(end + 1, text.size()));
    }
  };
  add(".");
  std::error_code error;
  std::filesystem::recursive_directory_iterator it(cgroup, error);
  for (; !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory(error)) add(std::filesystem::relative(it->path(), cgroup, error));
  }
  return members;
}

/// A program by the path its process has, taken as it is.
AppIdentity identityOfExecutable(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename();
  return AppIdentity{.displayName = name, .executableName = name, .appBundleName = path};
}

}  // namespace

std::optional<ApplicationScope> applicationScope(std::string_view cgroupPath) {
  std::optional<ApplicationScope> found;
  std::size_t at = 0;
  while (at < cgroupPath.size()) {
    const std::size_t end = std::min(cgroupPath.find('/', at), cgroupPath.size());
    if (auto application = applicationOfUnit(cgroupPath.substr(at, end - at))) {
      found = ApplicationScope{.path = std::string(cgroupPath.substr(0, end)),
                               .id = std::move(application->first),
                               .desktopID = std::move(application->second)};
    }
    at = end + 1;
  }
  return found;
}

AppDescriber::AppDescriber(ProcFileSystem proc, std::optional<std::filesystem::path> cgroupMount,
                           DesktopEntries desktop)
    : proc_(std::move(proc)), cgroupMount_(std::move(cgroupMount)), desktop_(std::move(desktop)) {}

AppDescriber::AppDescriber()
    : AppDescriber(ProcFileSystem(), cgroups::mount(),
                   DesktopEntries(DesktopEntries::sessionDirectories())) {}

AppIdentity AppDescriber::process(pid_t pid) const {
  const std::optional<std::string> path = ProcessOwner(proc_).executablePath(pid);
  if (!path) return {};
  // The path as the process's own mount namespace has it: a Flatpak's /app/bin/... is not
  // resolved against the host's files.
  AppIdentity identity = identityOfExecutable(*path);
  identity.displayName = processName(pid, *identity.executableName);
  const std::optional<std::string> cgroup = cgroups::ofProcess(pid, proc_);
  const std::optional<ApplicationScope> scope = cgroup ? applicationScope(*cgroup) : std::nullopt;
  if (!scope) return identity;
  const std::optional<std::string> desktopName = desktop_.name(scope->desktopID);
  identity.bundleID = scope->id;
  identity.responsibleBundleID = scope->id;
  if (desktopName) identity.displayName = desktopName;
  const pid_t main = mainProcess(*scope, pid).value_or(pid);
  const std::optional<std::string> mainPath =
      main == pid ? path : ProcessOwner(proc_).executablePath(main);
  if (!mainPath) return identity;
  identity.responsibleExecutable = ProcessOwner::displayName(*mainPath);
  identity.responsibleAppName =
      desktopName ? desktopName : processName(main, *identity.responsibleExecutable);
  return identity;
}

AppIdentity AppDescriber::ownProcess(pid_t pid, uid_t user) const {
  const std::optional<uid_t> owner = proc_.owner(pid);
  if (!owner) throw Error(VL("找不到进程 %lld", static_cast<long long>(pid)));
  if (*owner != user)
    throw Error(VL("进程 %lld 属于其他用户，不能查看它是哪个应用", static_cast<long long>(pid)));
  AppIdentity identity = process(pid);
  if (!identity.executableName)
    throw Error(VL("读不到进程 %lld 的可执行文件", static_cast<long long>(pid)));
  return identity;
}

AppIdentity AppDescriber::executable(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path file = std::filesystem::canonical(path, error);
  return identityOfExecutable(error ? path.string() : file.string());
}

AppIdentity AppDescriber::named(const std::string& word) {
  if (word.starts_with('/')) return executable(word);
  return AppIdentity{.bundleID = word, .displayName = word, .executableName = word};
}

std::optional<pid_t> AppDescriber::mainProcess(const ApplicationScope& scope, pid_t member) const {
  std::vector<pid_t> members;
  if (cgroupMount_) members = membersBelow(*cgroupMount_ / scope.path.substr(1));
  if (std::find(members.begin(), members.end(), member) == members.end()) members.push_back(member);
  const std::string_view id = scope.id;
  const std::string lastPart = unicode::lowercased(id.substr(id.rfind('.') + 1));
  // Ranked by: not named like the application, then start time, then pid; smallest first.
  std::optional<std::tuple<bool, unsigned long long, pid_t>> best;
  for (const pid_t pid : members) {
    const std::optional<std::string> path = ProcessOwner(proc_).executablePath(pid);
    const std::optional<unsigned long long> started = startTime(proc_, pid);
    if (!path || !started) continue;
    const bool named = unicode::lowercased(*ProcessOwner::displayName(*path)) == lastPart;
    const std::tuple rank(!named, *started, pid);
    if (!best || rank < *best) best = rank;
  }
  if (!best) return std::nullopt;
  return std::get<2>(*best);
}

std::string AppDescriber::processName(pid_t pid, const std::string& executableName) const {
  std::string comm = proc_.read(std::to_string(pid) + "/comm").value_or("");
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  // The kernel keeps 15 bytes of a process's name: a cut executable name is shown whole.
  const bool cut = comm.size() == 15 && executableName.starts_with(comm);
  return comm.empty() || cut ? executableName : comm;
}

}  // namespace velmora
