// Where cgroup v2 lives on this machine and which cgroup a process is in, as /proc tells it.
// Desktops with systemd mount the hierarchy at /sys/fs/cgroup, hybrid hosts at
// /sys/fs/cgroup/unified; the mount table says which.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "kit/discovery/proc_file_system.h"

namespace velmora::cgroups {

/// The mount point of the cgroup v2 hierarchy in mountinfo text (the format of
/// /proc/PID/mountinfo), taking only a mount of the hierarchy's root; nothing without one.
std::optional<std::filesystem::path> mountFrom(std::string_view mountinfo);
/// Where this process sees the cgroup v2 hierarchy mounted.
std::optional<std::filesystem::path> mount(const ProcFileSystem& proc = ProcFileSystem());

/// The cgroup v2 path in /proc/PID/cgroup text: "/a/b" from the line "0::/a/b"; nothing
/// without such a line.
std::optional<std::string> pathFrom(std::string_view procCgroup);
/// The cgroup v2 path of process pid; nothing when it is gone or has none.
std::optional<std::string> ofProcess(pid_t pid, const ProcFileSystem& proc = ProcFileSystem());

/// Whether processes live in a cgroup or below it, from its cgroup.events text ("populated 1");
/// nothing when the text does not say.
std::optional<bool> populatedFrom(std::string_view events);

/// True when cgroup path inner is outer or lies below it ("/a/b" in "/a", "/ab" not).
bool contains(std::string_view outer, std::string_view inner);

}  // namespace velmora::cgroups
