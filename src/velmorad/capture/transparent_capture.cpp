#include "transparent_capture.h"

#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "kit/discovery/cgroups.h"
#include "kit/discovery/proc_file_system.h"
#include "kit/localize.h"
#include "log.h"

namespace velmora::daemon {
namespace {

using namespace std::chrono_literals;

/// The cgroups `velmoractl run --transparent` makes itself where no service manager makes one:
/// velmorad removes them once they are empty.
constexpr std::string_view madeByTheTool = "velmora-run-";

/// The cgroup of the user's systemd manager (user@UID.service) above own; nothing without one.
std::optional<std::string> systemdSession(const std::string& own) {
  const std::string manager = "/user@" + std::to_string(::getuid()) + ".service";
  for (std::size_t at = own.find(manager); at != std::string::npos;
       at = own.find(manager, at + 1)) {
    const std::size_t end = at + manager.size();
    if (end == own.size() || own[end] == '/') return own.substr(0, end);
  }
  return std::nullopt;
}

}  // namespace

TransparentCapture::TransparentCapture(MainLoop& loop, std::string socketPath)
    : loop_(loop),
      socketPath_(std::move(socketPath)),
      mount_(cgroups::mount()),
      inotify_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)),
      retry_(loop, 2s, [this] {
        if (helper_ || desired().empty()) return;
        if (!connect()) retry_.request();
      }) {
  // Without a watch, captures could never end: capture is then unavailable, and says why.
  if (!inotify_) {
    unwatchable_ = VL("无法监视 cgroup：%@", std::strerror(errno));
    return;
  }
  loop_.watch(inotify_.get(), [this] { cgroupsChanged(); });
}

void TransparentCapture::follow(bool enabled, std::optional<std::uint16_t> port,
                                std::optional<std::uint16_t> dnsPort, bool failsafe,
                                DaemonSettings::Capture mode, const std::string& sessionCgroup) {
  enabled_ = enabled;
  port_ = port;
  dnsPort_ = dnsPort;
  failsafe_ = failsafe;
  mode_ = mode;
  session_.reset();
  sessionUnknown_.clear();
  if (!sessionCgroup.empty()) {
    session_ = sessionCgroup;
  } else if (const std::optional<std::string> own = cgroups::ofProcess(::getpid())) {
    session_ = systemdSession(*own);
  }
  if (!session_) {
    sessionUnknown_ =
        VL("找不到会话的 cgroup：velmorad 不在 systemd 用户管理器（user@%lld.service）"
           "之下，velmorad.json 里也没有设置 sessionCgroup",
           static_cast<long long>(::getuid()));
  }
  // The first time, the helper is asked even with nothing to capture: it may hold cgroups for
  // us that an earlier velmorad captured.
  if (!helper_ && (!started_ || !desired().empty())) connect();
  started_ = true;
  if (helper_ && port_ != udpAsked_) {
    stopUdp();
    startUdp();
  }
  apply();
}

std::optional<std::string> TransparentCapture::refusal() const {
  if (!mount_) return VL("这台机器没有挂载 cgroup v2");
  if (unwatchable_) return unwatchable_;
  if (!port_) return VL("透明监听没有启动 — 看看 velmorad 的日志");
  if (mode_ == DaemonSettings::Capture::off)
    return VL("透明捕获已关闭 — 用 velmoractl capture programs 或 velmoractl capture session 打开");
  if (mode_ == DaemonSettings::Capture::session && !session_) return sessionUnknown_;
  return std::nullopt;
}

void TransparentCapture::capture(const std::string& cgroup) {
  if (const std::optional<std::string> why = refusal()) throw Error(*why);
  if (!enabled_) throw Error(VL("路由已关闭 — 先用 velmoractl on 打开"));
  if (!connect()) throw Error(problem_);
  if (mode_ == DaemonSettings::Capture::session && cgroups::contains(*session_, cgroup)) {
    if (!applied_.contains(*session_)) throw Error(VL("无法捕获整个会话：%@", sessionRefused_));
    return;
  }
  const netd::Capture asked{.cgroup = cgroup,
                            .port = *port_,
                            .failsafe = failsafe_,
                            .dnsPort = dnsPort_,
                            .udpPort = udpPort_};
  netd::Reply reply;
  try {
    reply = helper_->ask(asked);
  } catch (const Error& error) {
    lost(error.description());
    throw;
  }
  if (!reply.ok) throw Error(reply.error);
  applied_[cgroup] = asked;
  watch(cgroup);
  log(VL("透明捕获 cgroup %@，转到端口 %lld", cgroup, static_cast<long long>(asked.port)));
}

Application::Capture TransparentCapture::state() {
  if (const std::optional<std::string> why = refusal()) return {.problem = why};
  if (!connect()) return {.problem = problem_};
  if (!sessionRefused_.empty()) return {.problem = VL("无法捕获整个会话：%@", sessionRefused_)};
  return {.programs = enabled_ ? applied_.size() : 0};
}

bool TransparentCapture::connect() {
  if (helper_) return true;
  std::string why;
  try {
    NetdClient client(socketPath_);
    const netd::Reply hello = client.ask(netd::Hello{});
    if (hello.ok) {
      const netd::Reply held = client.ask(netd::List{});
      helper_.emplace(std::move(client));
      loop_.watch(helper_->descriptor(), [this] {
        char byte;
        const ssize_t got = ::recv(helper_->descriptor(), &byte, 1, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
        lost(got < 0 ? std::strerror(errno) : VL("连接已关闭"));
      });
      log(VL("已连上 velmora-netd（%@）", socketPath_));
      problem_.clear();
      // A crash of an earlier velmorad left these refused; from now on they are routed again.
      for (const std::string& cgroup : held.held) watch(cgroup);
      if (!held.held.empty())
        log(VL("接手了 %lld 个在 velmorad 停止期间被拦下的 cgroup",
               static_cast<long long>(held.held.size())));
      startUdp();
      apply();
      return helper_.has_value();
    }
    why = VL("velmora-netd 无法捕获：%@", hello.error);
  } catch (const Error& error) {
    why = error.description();
  }
  if (why != problem_) log(VL("透明捕获不可用：%@", why));
  problem_ = why;
  return false;
}

void TransparentCapture::lost(const std::string& why) {
  if (!helper_) return;
  loop_.unwatch(helper_->descriptor());
  helper_.reset();
  applied_.clear();
  stopUdp();
  problem_ = VL("velmora-netd 断开了：%@", why);
  log(VL("透明捕获中断：%@；它回来后会重新捕获", problem_));
  retry_.request();
}

void TransparentCapture::captureUdp(CarryUdp carry, std::function<void()> stop) {
  carryUdp_ = std::move(carry);
  stopUdp_ = std::move(stop);
}

void TransparentCapture::startUdp() {
  if (!carryUdp_ || !port_ || !helper_) return;
  udpAsked_ = port_;
  try {
    NetdClient client(socketPath_);
    std::vector<UniqueFd> sockets;
    const netd::Reply reply = client.ask(netd::UdpSockets{*port_}, sockets);
    if (!reply.ok) throw Error(reply.error);
    if (sockets.empty()) throw Error(VL("velmora-netd 没有交出套接字"));
    carryUdp_(std::move(sockets), std::make_shared<NetdUdpHelper>(std::move(client)));
    udpPort_ = port_;
    log(VL("被捕获程序的 UDP 经端口 %lld 交给 velmorad", static_cast<long long>(*port_)));
  } catch (const Error& error) {
    log(VL("被捕获程序的 UDP 不经 velmorad（只拒绝 QUIC）：%@", error.description()));
  }
}

void TransparentCapture::stopUdp() {
  udpAsked_.reset();
  if (!udpPort_) return;
  udpPort_.reset();
  stopUdp_();
}

std::map<std::string, netd::Capture> TransparentCapture::desired() const {
  std::map<std::string, netd::Capture> result;
  if (!enabled_ || !port_ || mode_ == DaemonSettings::Capture::off) return result;
  const bool session = mode_ == DaemonSettings::Capture::session && session_;
  for (const auto& [cgroup, captured] : wanted_) {
    // The helper refuses captures that overlap; inside the session a program is captured anyway.
    if (session && cgroups::contains(*session_, cgroup)) continue;
    result[cgroup] = {.cgroup = cgroup,
                      .port = *port_,
                      .failsafe = failsafe_,
                      .dnsPort = dnsPort_,
                      .udpPort = udpPort_};
  }
  if (session) {
    result[*session_] = {.cgroup = *session_,
                         .port = *port_,
                         .failsafe = failsafe_,
                         .exceptClient = true,
                         .dnsPort = dnsPort_,
                         .udpPort = udpPort_};
  }
  return result;
}

void TransparentCapture::apply() {
  if (!helper_) return;
  const std::map<std::string, netd::Capture> wanted = desired();
  if (!wanted.contains(session_.value_or(""))) sessionRefused_.clear();
  try {
    for (auto it = applied_.begin(); it != applied_.end();) {
      if (wanted.contains(it->first)) {
        ++it;
        continue;
      }
      const netd::Reply reply = helper_->ask(netd::Release{it->first});
      if (!reply.ok) log(VL("velmora-netd 没有放开 cgroup %@：%@", it->first, reply.error));
      it = applied_.erase(it);
    }
    for (const auto& [cgroup, asked] : wanted) {
      const auto current = applied_.find(cgroup);
      if (current != applied_.end() && current->second == asked) continue;
      const netd::Reply reply = helper_->ask(asked);
      if (reply.ok) {
        applied_[cgroup] = asked;
        if (asked.exceptClient) {
          sessionRefused_.clear();
          log(VL("透明捕获整个会话（cgroup %@），velmorad 自己除外", cgroup));
        }
        continue;
      }
      if (asked.exceptClient) {
        if (reply.error != sessionRefused_)
          log(VL("velmora-netd 不捕获会话 cgroup %@：%@", cgroup, reply.error));
        sessionRefused_ = reply.error;
        continue;
      }
      log(VL("velmora-netd 不再捕获 cgroup %@：%@", cgroup, reply.error));
      forget(cgroup);
      if (!helper_) return;
    }
  } catch (const Error& error) {
    lost(error.description());
  }
}

void TransparentCapture::watch(const std::string& cgroup) {
  if (wanted_.contains(cgroup) || !mount_) return;
  const std::filesystem::path events = *mount_ / cgroup.substr(1) / "cgroup.events";
  const int watch = ::inotify_add_watch(inotify_.get(), events.c_str(), IN_MODIFY);
  if (watch < 0) {
    log(VL("无法监视 cgroup %@：%@", cgroup, std::strerror(errno)));
    return;
  }
  wanted_[cgroup] = Captured{watch};
  // It may have emptied before the watch was in place.
  if (!populated(cgroup)) forget(cgroup);
}

bool TransparentCapture::populated(const std::string& cgroup) const {
  const std::optional<std::string> events =
      ProcFileSystem(*mount_).read(cgroup.substr(1) + "/cgroup.events");
  return events && cgroups::populatedFrom(*events) == true;
}

void TransparentCapture::forget(const std::string& cgroup) {
  const auto found = wanted_.find(cgroup);
  if (found == wanted_.end()) return;
  ::inotify_rm_watch(inotify_.get(), found->second.watch);
  wanted_.erase(found);
  if (helper_ && applied_.erase(cgroup) > 0) {
    try {
      helper_->ask(netd::Release{cgroup});
    } catch (const Error& error) {
      lost(error.description());
    }
  }
  log(VL("cgroup %@ 里的程序都已结束，不再捕获", cgroup));
  const std::filesystem::path directory = *mount_ / cgroup.substr(1);
  if (directory.filename().string().starts_with(madeByTheTool)) ::rmdir(directory.c_str());
}

void TransparentCapture::cgroupsChanged() {
  alignas(inotify_event) char buffer[4096];
  std::vector<std::string> ended;
  for (;;) {
    const ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
    if (got <= 0) break;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      for (const auto& [cgroup, captured] : wanted_) {
        if (captured.watch == event->wd) ended.push_back(cgroup);
      }
    }
  }
  for (const std::string& cgroup : ended) {
    if (!populated(cgroup)) forget(cgroup);
  }
}

}  // namespace velmora::daemon
