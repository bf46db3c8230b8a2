// Executables of processes from /proc/PID/exe, and the running proxy client among them.
#include "kit/discovery/process_owner.h"

#include <algorithm>

#include "kit/unicode.h"

namespace velmora {

std::optional<std::string> ProcessOwner::executablePath(pid_t pid) const {
  std::optional<std::string> path = proc_.readLink(std::to_string(pid) + "/exe");
  if (!path) return std::nullopt;
  constexpr std::string_view deleted = " (deleted)";
  if (path->ends_with(deleted)) path->resize(path->size() - deleted.size());
  if (path->empty()) return std::nullopt;
  return path;
}

std::optional<std::string> ProcessOwner::runningProxyCorePath() const {
  for (const pid_t pid : proc_.processes()) {
    const std::optional<std::string> path = executablePath(pid);
    if (!path || isSystemExecutable(*path)) continue;
    const std::string lowered = unicode::lowercased(*path);
    const bool matches = std::any_of(
        proxyClientKeywords.begin(), proxyClientKeywords.end(),
        [&](std::string_view keyword) { return lowered.find(keyword) != lowered.npos; });
    if (matches) return path;
  }
  return std::nullopt;
}

std::optional<std::string> ProcessOwner::displayName(std::string_view executable) {
  if (executable.empty()) return std::nullopt;
  const std::size_t slash = executable.rfind('/');
  return std::string(slash == executable.npos ? executable : executable.substr(slash + 1));
}

bool ProcessOwner::isSystemExecutable(std::string_view path) {
  return std::any_of(systemLocations.begin(), systemLocations.end(),
                     [&](std::string_view prefix) { return path.starts_with(prefix); });
}

}  // namespace velmora
