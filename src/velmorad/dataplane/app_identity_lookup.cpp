#include "app_identity_lookup.h"

#include <libmnl/libmnl.h>
#include <linux/inet_diag.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

#include "kit/error.h"
#include "kit/localize.h"

namespace velmora::dataplane {
namespace {

constexpr std::size_t recentLimit = 16;

std::string readSmallFile(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<pid_t> pidOf(std::string_view name) {
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
  if (error != std::errc() || end != name.data() + name.size() || pid <= 0) return std::nullopt;
  return pid;
}

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

bool allDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<std::string> applicationIDFromCgroup(std::string_view cgroup) {
  std::optional<std::string> found;
  std::size_t at = 0;
  while (at <= cgroup.size()) {
    std::size_t end = cgroup.find_first_of("/\n", at);
    if (end == std::string_view::npos) end = cgroup.size();
    std::string_view unit = cgroup.substr(at, end - at);
    at = end + 1;
    const bool scope = unit.ends_with(".scope");
    if (!unit.starts_with("app-") || (!scope && !unit.ends_with(".service"))) continue;
    unit.remove_prefix(4);
    unit.remove_suffix(scope ? 6 : 8);
    if (const std::size_t random = unit.find('@'); random != std::string_view::npos) {
      unit = unit.substr(0, random);
    } else if (const std::size_t dash = unit.rfind('-');
               scope && dash != std::string_view::npos && allDigits(unit.substr(dash + 1))) {
      unit = unit.substr(0, dash);
    }
    // What remains is "launcher-ID" or "ID"; an ID holds no unescaped dash.
    if (const std::size_t dash = unit.find('-'); dash != std::string_view::npos)
      unit = unit.substr(dash + 1);
    if (!unit.empty()) found = unescapeUnitPart(unit);
  }
  return found;
}

AppIdentity identityOfProcess(const std::filesystem::path& procRoot, pid_t pid) {
  const std::filesystem::path process = procRoot / std::to_string(pid);
  AppIdentity identity;
  std::error_code error;
  std::string executable = std::filesystem::read_symlink(process / "exe", error).filename();
  if (error) return identity;
  if (executable.ends_with(" (deleted)")) executable.resize(executable.size() - 10);
  identity.executableName = executable;
  std::string comm = readSmallFile(process / "comm");
  if (!comm.empty() && comm.back() == '\n') comm.pop_back();
  // The kernel keeps 15 bytes of a process's name: a cut executable name is shown whole.
  const bool cut = comm.size() == 15 && executable.starts_with(comm);
  identity.displayName = comm.empty() || cut ? executable : comm;
  identity.bundleID = applicationIDFromCgroup(readSmallFile(process / "cgroup"));
  return identity;
}

AppIdentityLookup::AppIdentityLookup(std::filesystem::path procRoot)
    : procRoot_(std::move(procRoot)) {
  netlink_ = mnl_socket_open2(NETLINK_SOCK_DIAG, SOCK_CLOEXEC);
  if (!netlink_ || mnl_socket_bind(netlink_, 0, MNL_SOCKET_AUTOPID) < 0) {
    const int error = errno;
    if (netlink_) mnl_socket_close(netlink_);
    throw Error(VL("无法打开 sock_diag：%@", std::strerror(error)));
  }
}

AppIdentityLookup::~AppIdentityLookup() {
  mnl_socket_close(netlink_);
}

AppIdentity AppIdentityLookup::identify(const SocketAddress& peer, const SocketAddress& local) {
  const std::optional<Owner> owner = socketOwner(peer, local);
  if (!owner || owner->uid != geteuid()) return {};
  const std::optional<pid_t> pid = processHolding(*owner);
  if (!pid) return {};
  return identityOfProcess(procRoot_, *pid);
}

std::optional<AppIdentityLookup::Owner> AppIdentityLookup::socketOwner(const SocketAddress& peer,
                                                                       const SocketAddress& local) {
  // One reply to one exact query: far below a page.
  char buffer[8192];
  nlmsghdr* header = mnl_nlmsg_put_header(buffer);
  header->nlmsg_type = SOCK_DIAG_BY_FAMILY;
  header->nlmsg_flags = NLM_F_REQUEST;
  header->nlmsg_seq = ++sequence_;
  auto* request =
      static_cast<inet_diag_req_v2*>(mnl_nlmsg_put_extra_header(header, sizeof(inet_diag_req_v2)));
  request->sdiag_family = static_cast<std::uint8_t>(peer.family);
  request->sdiag_protocol = IPPROTO_TCP;
  request->idiag_states = ~0u;
  // The peer's socket: its source is the client's end, its destination ours.
  request->id.idiag_sport = htons(peer.port);
  request->id.idiag_dport = htons(local.port);
  const std::size_t length = peer.family == AF_INET ? 4 : 16;
  std::memcpy(request->id.idiag_src, peer.address.data(), length);
  std::memcpy(request->id.idiag_dst, local.address.data(), length);
  request->id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request->id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  if (mnl_socket_sendto(netlink_, header, header->nlmsg_len) < 0) return std::nullopt;

  std::optional<Owner> owner;
  const auto onMessage = [](const nlmsghdr* message, void* data) {
    const auto* diag = static_cast<const inet_diag_msg*>(mnl_nlmsg_get_payload(message));
    *static_cast<std::optional<Owner>*>(data) = Owner{diag->idiag_uid, diag->idiag_inode};
    return MNL_CB_OK;
  };
  const unsigned portID = mnl_socket_get_portid(netlink_);
  while (true) {
    const ssize_t received = mnl_socket_recvfrom(netlink_, buffer, sizeof buffer);
    if (received <= 0) return std::nullopt;
    // An unknown socket comes back as an error message: the connection is already gone.
    const int result = mnl_cb_run(buffer, static_cast<std::size_t>(received), sequence_, portID,
                                  onMessage, &owner);
    if (result <= MNL_CB_STOP || owner) break;
  }
  if (owner && owner->inode == 0) return std::nullopt;
  return owner;
}

bool AppIdentityLookup::holds(pid_t pid, std::string_view link) const {
  std::error_code error;
  std::filesystem::directory_iterator entries(procRoot_ / std::to_string(pid) / "fd", error);
  if (error) return false;
  char target[64];
  for (; entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    if (error) return false;
    const ssize_t size = ::readlink(entries->path().c_str(), target, sizeof target);
    if (size == static_cast<ssize_t>(link.size()) &&
        std::string_view(target, static_cast<std::size_t>(size)) == link)
      return true;
  }
  return false;
}

std::optional<pid_t> AppIdentityLookup::processHolding(const Owner& owner) {
  const std::string link = "socket:[" + std::to_string(owner.inode) + "]";
  const auto remember = [&](pid_t pid) {
    std::erase(recent_, pid);
    recent_.push_front(pid);
    if (recent_.size() > recentLimit) recent_.pop_back();
    return pid;
  };
  for (const pid_t pid : std::deque<pid_t>(recent_)) {
    if (holds(pid, link)) return remember(pid);
  }
  std::error_code error;
  std::filesystem::directory_iterator entries(procRoot_, error);
  for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
    const std::optional<pid_t> pid = pidOf(entries->path().filename().native());
    if (!pid || std::find(recent_.begin(), recent_.end(), *pid) != recent_.end()) continue;
    struct stat info {};
    if (::stat(entries->path().c_str(), &info) != 0 || info.st_uid != owner.uid) continue;
    if (holds(*pid, link)) return remember(*pid);
  }
  return std::nullopt;
}

}  // namespace velmora::dataplane
