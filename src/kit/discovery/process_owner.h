// What discovery asks about programs: the executable behind a process, a name to show for it,
// whether it belongs to the system, and which proxy client is running.
#pragma once

#include <sys/types.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "kit/discovery/proc_file_system.h"

namespace velmora {

/// Process and path look-ups shared by the tunnel and the local proxy scans. A Linux program has
/// no application bundle around it: the executable itself is the owner's path and gives its name.
class ProcessOwner {
 public:
  /// Where the system's own programs live; a plain, case-sensitive prefix test.
  static constexpr std::array<std::string_view, 4> systemLocations = {
      "/usr/sbin/", "/sbin/", "/usr/libexec/", "/usr/lib/systemd/"};
  /// Words in the executable path of a proxy client, tried in this order.
  static constexpr std::array<std::string_view, 12> proxyClientKeywords = {
      "clash", "mihomo", "verge", "sing-box", "singbox",  "surge",
      "stash", "v2ray",  "xray",  "trojan",   "hysteria", "outline"};

  explicit ProcessOwner(ProcFileSystem proc = ProcFileSystem()) : proc_(std::move(proc)) {}

  /// The executable of a process; absent for a kernel thread, another user's process or one that
  /// ended. A program replaced on disk while running keeps its path, without " (deleted)".
  std::optional<std::string> executablePath(pid_t pid) const;
  /// The executable of the first running process (by id) whose path contains a proxy-client
  /// keyword, ignoring case, and lies outside the system locations.
  std::optional<std::string> runningProxyCorePath() const;

  /// The last path component; absent for an empty path.
  static std::optional<std::string> displayName(std::string_view executable);
  static bool isSystemExecutable(std::string_view path);

 private:
  ProcFileSystem proc_;
};

}  // namespace velmora
