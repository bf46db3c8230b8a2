#include "cgroup_tree.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "kit/discovery/cgroups.h"
#include "kit/localize.h"

namespace velmora::netd {
namespace {

/// Where nft looks up the paths of `socket cgroupv2`.
constexpr std::string_view nftCgroupRoot = "/sys/fs/cgroup";

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  while (true) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

}  // namespace

CgroupTree::CgroupTree(std::string mountPoint) : mountPoint_(std::move(mountPoint)) {
  if (mountPoint_ != nftCgroupRoot) {
    if (!mountPoint_.starts_with(nftCgroupRoot) || mountPoint_[nftCgroupRoot.size()] != '/') {
      throw CgroupError(VL("cgroup v2 挂载在「%@」，不在 %@ 之下，nftables 找不到其中的 cgroup",
                           mountPoint_, nftCgroupRoot));
    }
    nftPrefix_ = mountPoint_.substr(nftCgroupRoot.size() + 1) + "/";
  }
  root_.reset(::open(mountPoint_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct statfs system {};
  if (!root_ || ::fstatfs(root_.get(), &system) != 0 || system.f_type != CGROUP2_SUPER_MAGIC)
    throw CgroupError(VL("「%@」不是 cgroup v2 文件系统", mountPoint_));
}

CgroupTree CgroupTree::mounted() {
  const std::optional<std::filesystem::path> mountPoint = cgroups::mount();
  if (!mountPoint) throw CgroupError(VL("没有挂载 cgroup v2"));
  return CgroupTree(mountPoint->string());
}

CgroupNode CgroupTree::open(std::string_view cgroup) const {
  std::optional<CgroupNode> node = lookUp(cgroup);
  if (!node) throw CgroupError(VL("cgroup「%@」不存在", cgroup));
  return std::move(*node);
}

std::optional<ino_t> CgroupTree::idOf(std::string_view cgroup) const {
  if (const std::optional<CgroupNode> node = lookUp(cgroup)) return node->id;
  return std::nullopt;
}

std::optional<bool> CgroupTree::populated(std::string_view cgroup, ino_t id) const {
  const std::optional<CgroupNode> node = lookUp(cgroup);
  if (!node || node->id != id) return std::nullopt;
  const UniqueFd events(::openat(node->directory.get(), "cgroup.events", O_RDONLY | O_CLOEXEC));
  if (!events) return std::nullopt;
  char buffer[256];
  ssize_t size;
  do {
    size = ::read(events.get(), buffer, sizeof buffer);
  } while (size < 0 && errno == EINTR);
  if (size <= 0) return std::nullopt;
  return cgroups::populatedFrom(std::string_view(buffer, static_cast<std::size_t>(size)));
}

std::optional<int> CgroupTree::watchEvents(int inotify, std::string_view cgroup, ino_t id) const {
  const std::optional<CgroupNode> node = lookUp(cgroup);
  if (!node || node->id != id) return std::nullopt;
  // Through the open directory, so that the file watched is the one of this very cgroup.
  const std::string events =
      "/proc/self/fd/" + std::to_string(node->directory.get()) + "/cgroup.events";
  const int watch = ::inotify_add_watch(inotify, events.c_str(), IN_MODIFY);
  if (watch < 0) throw CgroupError(VL("无法监视 cgroup「%@」：%@", cgroup, std::strerror(errno)));
  return watch;
}

NftCgroup CgroupTree::nftName(std::string_view cgroup) const {
  return {nftPrefix_ + std::string(cgroup.substr(1)),
          static_cast<unsigned>(std::ranges::count(cgroup, '/'))};
}

std::optional<CgroupNode> CgroupTree::lookUp(std::string_view cgroup) const {
  UniqueFd directory;
  for (const std::string_view component : split(cgroup.substr(1), '/')) {
    const std::string name(component);
    UniqueFd next(::openat(directory ? directory.get() : root_.get(), name.c_str(),
                           O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return std::nullopt;
    directory = std::move(next);
  }
  struct stat status {};
  if (!directory || ::fstat(directory.get(), &status) != 0) return std::nullopt;
  return CgroupNode{std::move(directory), status.st_uid, status.st_ino};
}

}  // namespace velmora::netd
