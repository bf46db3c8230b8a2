// The cgroup v2 hierarchy as the helper meets it: where it is mounted, its cgroups opened without
// following links, their owners and ids, and the names nft gives them.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "kit/error.h"
#include "kit/unique_fd.h"

namespace velmora::netd {

/// A cgroup that cannot be used, or a hierarchy the helper cannot work with.
class CgroupError : public Error {
 public:
  using Error::Error;
};

/// One cgroup, opened: its directory (O_PATH), the owner of the directory and its inode number,
/// which is the id the kernel matches sockets against.
struct CgroupNode {
  UniqueFd directory;
  uid_t owner = 0;
  ino_t id = 0;
};

/// A cgroup as nft names it in `socket cgroupv2 level N "path"`: the path relative to
/// /sys/fs/cgroup, where nft looks it up, and its depth in the hierarchy, which is the level the
/// kernel compares ("/a/b" is level 2, also when the hierarchy is mounted at
/// /sys/fs/cgroup/unified and nft's path reads "unified/a/b").
struct NftCgroup {
  std::string path;
  unsigned level = 0;
};

/// The mounted cgroup v2 hierarchy. Cgroup paths are the ones /proc/PID/cgroup shows, checked by
/// the protocol: absolute, without empty, "." or ".." components.
class CgroupTree {
 public:
  /// The hierarchy mounted at mountPoint. Throws CgroupError when no cgroup v2 file system is
  /// there or when it lies outside /sys/fs/cgroup, where nft could not find its cgroups.
  explicit CgroupTree(std::string mountPoint);
  /// The hierarchy as this process's /proc/self/mountinfo shows it.
  static CgroupTree mounted();

  const std::string& mountPoint() const { return mountPoint_; }

  /// Opens a cgroup one component at a time, never following a link. Throws CgroupError when it
  /// does not exist.
  CgroupNode open(std::string_view cgroup) const;
  /// The cgroup's id now; nothing when it is gone.
  std::optional<ino_t> idOf(std::string_view cgroup) const;
  /// Whether any process lives in the cgroup with this id or below it; nothing when that cgroup
  /// is gone.
  std::optional<bool> populated(std::string_view cgroup, ino_t id) const;
  /// Watches the cgroup's cgroup.events, which changes when the cgroup empties, with inotify;
  /// the watch descriptor, or nothing when the cgroup with this id is gone. Throws CgroupError
  /// when inotify refuses.
  std::optional<int> watchEvents(int inotify, std::string_view cgroup, ino_t id) const;
  /// How nft names the cgroup.
  NftCgroup nftName(std::string_view cgroup) const;

 private:
  std::optional<CgroupNode> lookUp(std::string_view cgroup) const;

  std::string mountPoint_;
  std::string nftPrefix_;  // the mount point relative to /sys/fs/cgroup, with a trailing "/"
  UniqueFd root_;
};

}  // namespace velmora::netd
