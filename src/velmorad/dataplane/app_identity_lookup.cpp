#include "app_identity_lookup.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

#include "kit/error.h"
#include "kit/localize.h"

namespace velmora::dataplane {
namespace {

constexpr std::size_t recentLimit = 16;
/// How long what was read of a process stands for it: an exec, a new name (prctl) or a move to
/// another unit, all rare once a program has connected, are seen after this.
constexpr auto freshFor = std::chrono::seconds(1);

constexpr std::array<int, 8> noDescriptors = {-1, -1, -1, -1, -1, -1, -1, -1};

std::optional<pid_t> pidOf(std::string_view name) {
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
  if (error != std::errc() || end != name.data() + name.size() || pid <= 0) return std::nullopt;
  return pid;
}

/// Whether the symbolic link name (relative to directory, or absolute) points at link.
bool pointsAt(int directory, const char* name, std::string_view link) {
  char target[64];
  const ssize_t size = ::readlinkat(directory, name, target, sizeof target);
  return size == static_cast<ssize_t>(link.size()) &&
         std::string_view(target, static_cast<std::size_t>(size)) == link;
}

/// Whether descriptor of pid is link, read with one readlink(2).
bool holdsAt(const std::filesystem::path& procRoot, pid_t pid, int descriptor,
             std::string_view link) {
  char path[64];
  std::snprintf(path, sizeof path, "%s/%d/fd/%d", procRoot.c_str(), pid, descriptor);
  return pointsAt(AT_FDCWD, path, link);
}

/// The descriptor under which pid holds link, from all of its descriptors; -1 when it holds none.
int descriptorOf(const std::filesystem::path& procRoot, pid_t pid, std::string_view link) {
  DIR* descriptors = ::opendir((procRoot / std::to_string(pid) / "fd").c_str());
  if (!descriptors) return -1;
  int found = -1;
  while (const dirent* entry = ::readdir(descriptors)) {
    if (entry->d_name[0] != '.' && pointsAt(::dirfd(descriptors), entry->d_name, link)) {
      found = std::atoi(entry->d_name);
      break;
    }
  }
  ::closedir(descriptors);
  return found;
}

/// What /proc/PID/fd/N says of a socket.
std::string socketLink(std::uint64_t inode) {
  return "socket:[" + std::to_string(inode) + "]";
}

}  // namespace

AppIdentityLookup::AppIdentityLookup(uid_t user, std::filesystem::path procRoot,
                                     AppDescriber describer)
    : user_(user), procRoot_(std::move(procRoot)), describer_(std::move(describer)) {}

AppIdentityLookup::~AppIdentityLookup() = default;

PeerIdentity AppIdentityLookup::identify(const SocketAddress& peer, const SocketAddress& local,
                                         Clock::time_point now, int protocol) {
  Recent found = identifyRecent(peer, local, now, protocol);
  if (found.searchFor) {
    if (const std::optional<Holder> holder = search(procRoot_, user_, *found.searchFor)) {
      found.peer.app = remember(*holder, now);
      found.peer.pid = holder->pid;
    }
  }
  return found.peer;
}

AppIdentityLookup::Recent AppIdentityLookup::identifyRecent(const SocketAddress& peer,
                                                            const SocketAddress& local,
                                                            Clock::time_point now, int protocol) {
  const std::optional<Owner> owner = socketOwner(peer, local, protocol);
  if (!owner) return {};
  Recent result{.peer = {.uid = owner->uid, .app = {}}, .searchFor = std::nullopt};
  if (owner->uid != user_) return result;
  const std::string link = socketLink(owner->inode);
  // The descriptors recent connections had first, one readlink(2) each; then all of theirs.
  std::optional<Holder> holder;
  for (auto known = recent_.begin(); known != recent_.end() && !holder; ++known) {
    // Longest unused first: threads that each reconnect in turn come back in the order they
    // were last seen, and a program with one connection at a time has a single descriptor.
    for (auto at = known->descriptors.rbegin(); at != known->descriptors.rend(); ++at) {
      const int descriptor = *at;
      if (descriptor < 0) continue;
      if (holdsAt(procRoot_, known->pid, descriptor, link)) {
        holder = Holder{known->pid, descriptor};
        break;
      }
    }
  }
  for (auto known = recent_.begin(); known != recent_.end() && !holder; ++known) {
    if (const int descriptor = descriptorOf(procRoot_, known->pid, link); descriptor >= 0)
      holder = Holder{known->pid, descriptor};
  }
  if (holder) {
    result.peer.app = remember(*holder, now);
    result.peer.pid = holder->pid;
    return result;
  }
  result.searchFor = owner->inode;
  return result;
}

std::optional<AppIdentityLookup::Holder> AppIdentityLookup::search(
    const std::filesystem::path& procRoot, uid_t user, std::uint64_t inode) {
  std::vector<pid_t> processes;
  std::error_code error;
  std::filesystem::directory_iterator entries(procRoot, error);
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    if (const std::optional<pid_t> pid = pidOf(entries->path().filename().native()))
      processes.push_back(*pid);
  }
  // A program seen for the first time has most likely just started: the newest pids first.
  std::sort(processes.begin(), processes.end(), std::greater<>());
  const std::string link = socketLink(inode);
  for (const pid_t pid : processes) {
    struct stat info {};
    if (::stat((procRoot / std::to_string(pid)).c_str(), &info) != 0 || info.st_uid != user)
      continue;
    if (const int descriptor = descriptorOf(procRoot, pid, link); descriptor >= 0)
      return Holder{pid, descriptor};
  }
  return std::nullopt;
}

AppIdentity AppIdentityLookup::remember(const Holder& holder, Clock::time_point now) {
  const pid_t pid = holder.pid;
  const auto known =
      std::find_if(recent_.begin(), recent_.end(), [&](const Known& k) { return k.pid == pid; });
  Known entry{pid, {}, now, noDescriptors};
  if (known != recent_.end()) entry.descriptors = known->descriptors;
  if (known != recent_.end() && now - known->read < freshFor) {
    entry.identity = std::move(known->identity);
    entry.read = known->read;
  } else {
    entry.identity = describer_.process(pid);
  }
  Descriptors& descriptors = entry.descriptors;
  const auto seen = std::find(descriptors.begin(), descriptors.end(), holder.descriptor);
  std::rotate(descriptors.begin(), seen == descriptors.end() ? descriptors.end() - 1 : seen,
              seen == descriptors.end() ? descriptors.end() : seen + 1);
  descriptors.front() = holder.descriptor;
  if (known != recent_.end()) recent_.erase(known);
  recent_.push_front(std::move(entry));
  if (recent_.size() > recentLimit) recent_.pop_back();
  return recent_.front().identity;
}

std::optional<AppIdentityLookup::Owner> AppIdentityLookup::socketOwner(const SocketAddress& peer,
                                                                       const SocketAddress& local,
                                                                       int protocol) {
  // The peer's socket: its own end is the client's, its far end ours.
  std::array<std::uint32_t, 4> peerAddress{};
  std::array<std::uint32_t, 4> localAddress{};
  const std::size_t length = peer.family == AF_INET ? 4 : 16;
  std::memcpy(peerAddress.data(), peer.address.data(), length);
  std::memcpy(localAddress.data(), local.address.data(), length);
  const std::optional<SocketEntry> socket =
      sockets_.connection(protocol, static_cast<sa_family_t>(peer.family), peerAddress, peer.port,
                          localAddress, local.port);
  if (!socket || socket->inode == 0) return std::nullopt;
  return Owner{socket->uid, socket->inode};
}

}  // namespace velmora::dataplane
