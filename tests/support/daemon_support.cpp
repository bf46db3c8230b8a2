#include "daemon_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "kit/discovery/cgroups.h"

namespace velmora::testing {
namespace {

using namespace std::chrono_literals;

[[noreturn]] void throwErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

int exitStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

RunningDaemon::RunningDaemon(const Options& options) {
  int logPipe[2];
  if (pipe2(logPipe, O_CLOEXEC) != 0) throwErrno("pipe2");
  std::string home = "HOME=" + options.home.string();
  std::string tmp = "TMPDIR=" + options.home.string();
  std::string session = "DBUS_SESSION_BUS_ADDRESS=" + options.sessionBus;
  // Never the machine's own system bus: an address nobody listens on unless the test has one.
  std::string system =
      "DBUS_SYSTEM_BUS_ADDRESS=" +
      options.systemBus.value_or("unix:path=" + (options.home / "no-system-bus").string());
  std::string netd =
      "VELMORA_NETD_SOCKET=" + options.netdSocket.value_or(options.home / "no-netd.sock").string();
  std::vector<char*> environment = {home.data(),   tmp.data(),  session.data(),
                                    system.data(), netd.data(), const_cast<char*>("LANG=C.UTF-8"),
                                    nullptr};
  std::vector<std::string> command = options.command;
  if (command.empty()) {
    command.push_back(VELMORAD_PATH);
    if (options.testHooks) command.push_back("--test-hooks");
  }
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  const std::string namespacePath =
      options.networkNamespace ? "/run/netns/" + *options.networkNamespace : "";
  const pid_t parent = getpid();

  pid_ = fork();
  if (pid_ < 0) throwErrno("fork");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    if (!namespacePath.empty()) {
      const int fd = open(namespacePath.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(126);
    }
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, STDIN_FILENO);
    dup2(devNull, STDOUT_FILENO);
    dup2(logPipe[1], STDERR_FILENO);
    execve(argv[0], argv.data(), environment.data());
    _exit(127);
  }
  close(logPipe[1]);
  logFD_ = logPipe[0];
}

RunningDaemon::~RunningDaemon() {
  if (!status_) stop();
  close(logFD_);
}

void RunningDaemon::readLog(std::chrono::milliseconds limit) {
  pollfd entry{logFD_, POLLIN, 0};
  if (poll(&entry, 1, static_cast<int>(limit.count())) <= 0) return;
  char buffer[4096];
  const ssize_t n = read(logFD_, buffer, sizeof buffer);
  if (n > 0) log_.append(buffer, static_cast<std::size_t>(n));
}

const std::string& RunningDaemon::log() {
  readLog(0ms);
  return log_;
}

bool RunningDaemon::waitForLog(std::string_view text, std::chrono::milliseconds limit,
                               std::size_t from) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (log_.find(text, from) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const std::size_t before = log_.size();
    readLog(std::min(left, std::chrono::milliseconds(100)));
    if (log_.size() == before && waitForExit(0ms))
      return log_.find(text, from) != std::string::npos;
  }
  return true;
}

std::optional<int> RunningDaemon::waitForExit(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!status_) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = exitStatus(status);
      break;
    }
    if (done < 0 && errno != EINTR) throwErrno("waitpid");
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    // The log pipe doubles as the wait: it ends when the daemon does.
    readLog(std::chrono::milliseconds(20));
  }
  readLog(0ms);
  return status_;
}

int RunningDaemon::stop() {
  if (!status_) kill(pid_, SIGTERM);
  if (const std::optional<int> status = waitForExit(10s)) return *status;
  kill(pid_, SIGKILL);
  return *waitForExit(10s);
}

namespace {

/// Waits a bounded time until something accepts on 127.0.0.1:port.
void waitUntilAccepting(std::uint16_t port) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < deadline) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{.sin_family = AF_INET, .sin_port = htons(port)};
    inet_pton(AF_INET, "127.0.0.1", &at.sin_addr);
    const bool up = connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) == 0;
    close(fd);
    if (up) return;
    std::this_thread::yield();
  }
}

}  // namespace

Microsocks::Microsocks(std::uint16_t port, const std::string& bindAddress,
                       const std::optional<std::pair<std::string, std::string>>& login,
                       const std::optional<std::filesystem::path>& log) {
  std::vector<std::string> words = {"microsocks",         "-i", "127.0.0.1", "-p",
                                    std::to_string(port), "-b", bindAddress};
  if (login) words.insert(words.end(), {"-u", login->first, "-P", login->second});
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throwErrno("fork");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int devNull = open("/dev/null", O_RDWR);
    const int out = log ? open(log->c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600) : devNull;
    dup2(devNull, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  waitUntilAccepting(port);
}

Microsocks::~Microsocks() {
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

Dante::Dante(std::uint16_t port, const std::string& outgoing,
             const std::filesystem::path& directory) {
  const std::filesystem::path configuration = directory / "danted.conf";
  std::ofstream(configuration) << "logoutput: /dev/null\n"
                               << "internal: 127.0.0.1 port = " << port << "\n"
                               << "external: " << outgoing << "\n"
                               << "socksmethod: none\nclientmethod: none\n"
                               << "user.privileged: root\nuser.unprivileged: nobody\n"
                               << "client pass { from: 0.0.0.0/0 to: 0.0.0.0/0 }\n"
                               << "socks pass { from: 0.0.0.0/0 to: 0.0.0.0/0 "
                               << "command: connect udpassociate udpreply }\n";
  const std::string file = configuration.string();
  const std::string pidFile = (directory / "danted.pid").string();
  pid_ = fork();
  if (pid_ < 0) throwErrno("fork");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A group of its own, so that the end reaches the processes it forks too.
    setpgid(0, 0);
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    execlp("danted", "danted", "-f", file.c_str(), "-p", pidFile.c_str(), nullptr);
    _exit(127);
  }
  setpgid(pid_, pid_);
  waitUntilAccepting(port);
}

Dante::~Dante() {
  kill(-pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

bool runQuietly(const std::vector<std::string>& arguments) {
  std::vector<std::string> copies = arguments;
  std::vector<char*> argv;
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throwErrno("fork");
  if (pid == 0) {
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throwErrno("waitpid");
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

NetworkNamespace::NetworkNamespace()
    : name_("velmora-test-" + std::to_string(getpid()) + "-" +
            std::to_string(std::random_device{}() % 100000)) {
  created_ = geteuid() == 0 && runQuietly({"ip", "netns", "add", name_});
}

NetworkNamespace::~NetworkNamespace() {
  // Deleting the namespace takes its interfaces, addresses, routes and neighbours with it.
  if (created_) runQuietly({"ip", "netns", "delete", name_});
}

bool NetworkNamespace::ip(const std::vector<std::string>& arguments) const {
  std::vector<std::string> command = {"ip", "-n", name_};
  command.insert(command.end(), arguments.begin(), arguments.end());
  return runQuietly(command);
}

InsideNamespace::InsideNamespace(const std::string& name)
    : original_(open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC)) {
  const int target = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  entered_ = target >= 0 && setns(target, CLONE_NEWNET) == 0;
  if (target >= 0) close(target);
}

InsideNamespace::~InsideNamespace() {
  if (entered_) setns(original_, CLONE_NEWNET);
  close(original_);
}

namespace {

/// The socket address of an IPv4 or IPv6 address text and a port.
sockaddr_storage socketAddressOf(const std::string& address, std::uint16_t port) {
  sockaddr_storage at{};
  if (address.find(':') != std::string::npos) {
    auto& ip = reinterpret_cast<sockaddr_in6&>(at);
    ip.sin6_family = AF_INET6;
    ip.sin6_port = htons(port);
    inet_pton(AF_INET6, address.c_str(), &ip.sin6_addr);
  } else {
    auto& ip = reinterpret_cast<sockaddr_in&>(at);
    ip.sin_family = AF_INET;
    ip.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &ip.sin_addr);
  }
  return at;
}

std::uint16_t portOf(const sockaddr_storage& at) {
  return ntohs(at.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(at).sin6_port
                                        : reinterpret_cast<const sockaddr_in&>(at).sin_port);
}

std::string addressTextOf(const sockaddr_storage& at) {
  char text[INET6_ADDRSTRLEN] = {};
  if (at.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(at).sin6_addr, text, sizeof text);
  else
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(at).sin_addr, text, sizeof text);
  return text;
}

}  // namespace

PeerEchoServer::PeerEchoServer(const std::string& address) {
  sockaddr_storage at = socketAddressOf(address, 0);
  socklen_t size = sizeof at;
  listener_ = socket(at.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&at), size) != 0 || listen(listener_, 16) != 0) {
    close(listener_);
    throw std::runtime_error("cannot listen on " + address);
  }
  getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &size);
  port_ = portOf(at);
  thread_ = std::thread([this] { serve(); });
}

PeerEchoServer::~PeerEchoServer() {
  // Shutting the listener down ends the accept the thread waits in.
  shutdown(listener_, SHUT_RDWR);
  thread_.join();
  close(listener_);
}

void PeerEchoServer::serve() {
  while (true) {
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd < 0) return;
    const std::string line = addressTextOf(peer) + "\n";
    ssize_t n = write(fd, line.data(), line.size());
    char buffer[4096];
    while (n > 0 && (n = read(fd, buffer, sizeof buffer)) > 0)
      n = write(fd, buffer, static_cast<std::size_t>(n));
    close(fd);
  }
}

UdpPeerEcho::UdpPeerEcho(const std::string& address, std::uint16_t port) {
  sockaddr_storage at = socketAddressOf(address, port);
  socket_ = socket(at.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (bind(socket_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      pipe2(stop_, O_CLOEXEC) != 0) {
    close(socket_);
    throw std::runtime_error("cannot receive on " + address);
  }
  socklen_t size = sizeof at;
  getsockname(socket_, reinterpret_cast<sockaddr*>(&at), &size);
  port_ = portOf(at);
  thread_ = std::thread([this] {
    char buffer[2048];
    while (true) {
      pollfd watched[] = {{socket_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
      if (poll(watched, 2, -1) < 0 || watched[1].revents) return;
      sockaddr_storage from{};
      socklen_t fromSize = sizeof from;
      const ssize_t got = recvfrom(socket_, buffer, sizeof buffer, 0,
                                   reinterpret_cast<sockaddr*>(&from), &fromSize);
      if (got < 0) continue;
      const std::string reply =
          addressTextOf(from) + "\n" + std::string(buffer, static_cast<std::size_t>(got));
      sendto(socket_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), fromSize);
    }
  });
}

UdpPeerEcho::~UdpPeerEcho() {
  close(stop_[1]);
  thread_.join();
  close(stop_[0]);
  close(socket_);
}

TestCgroup::TestCgroup(std::string path) : path_(std::move(path)) {
  const std::optional<std::filesystem::path> mount = cgroups::mount();
  if (!mount) return;
  directory_ = mount->string() + path_;
  procs_ = directory_ + "/cgroup.procs";
  made_ = mkdir(directory_.c_str(), 0755) == 0;
}

TestCgroup::~TestCgroup() {
  if (!made_) return;
  std::ofstream(directory_ + "/cgroup.kill") << 1 << std::flush;
  // Killed processes leave their cgroups a moment later, and a program of the test's may be
  // removing a cgroup below at the same time.
  for (int attempt = 0; attempt < 500; ++attempt) {
    std::vector<std::filesystem::path> inner;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(directory_, error), end;
         !error && it != end; it.increment(error)) {
      if (it->is_directory(error)) inner.push_back(it->path());
    }
    // The deepest first.
    for (auto it = inner.rbegin(); it != inner.rend(); ++it) rmdir(it->c_str());
    if (rmdir(directory_.c_str()) == 0 || errno == ENOENT) return;
    std::this_thread::sleep_for(10ms);
  }
}

bool TestCgroup::enter() const {
  const int fd = open(procs_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool moved = write(fd, "0", 1) == 1;
  close(fd);
  return moved;
}

Redirection::Redirection(std::uint16_t port, Scope scope) {
  const std::filesystem::path base = "/sys/fs/cgroup";
  const std::optional<std::filesystem::path> mount = cgroups::mount();
  if (!mount || !(*mount == base || mount->string().starts_with(base.string() + "/"))) {
    problem_ = "no cgroup v2 hierarchy is mounted under /sys/fs/cgroup";
    return;
  }
  const std::string unique =
      std::to_string(getpid()) + "_" + std::to_string(std::random_device{}() % 100000);
  group_ = std::make_unique<TestCgroup>("/velmora-test-" + unique);
  table_ = "velmora_test_" + unique;
  if (!group_->made()) {
    problem_ = "cannot make the cgroup " + group_->directory() + ": " + std::strerror(errno);
    group_.reset();
    return;
  }
  // The group sits right below the hierarchy's root: level 1.
  const std::string match =
      scope == Scope::group
          ? "socket cgroupv2 level 1 \"" +
                std::filesystem::path(group_->directory()).lexically_relative(base).string() + "\" "
          : "";
  const std::string to = "redirect to :" + std::to_string(port) + "; ";
  tableMade_ = runQuietly({"nft", "table inet " + table_ +
                                      " { chain output { type nat hook output priority -100; "
                                      "meta l4proto tcp ip daddr != 127.0.0.0/8 " +
                                      match + to + "meta l4proto tcp ip6 daddr != ::1 " + match +
                                      to + "}; }"});
  if (!tableMade_) problem_ = "nft refused the redirecting table (nftables missing?)";
}

Redirection::~Redirection() {
  if (tableMade_) runQuietly({"nft", "delete", "table", "inet", table_});
}

std::string Redirection::exchange(const std::string& host, std::uint16_t port, uid_t uid) const {
  return inChild([&]() -> std::string {
    if (!group_->enter()) return "not in the group";
    if (uid != getuid() && (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0))
      return "not user " + std::to_string(uid);
    sockaddr_storage at{};
    if (host.find(':') != std::string::npos) {
      auto& ip = reinterpret_cast<sockaddr_in6&>(at);
      ip = {.sin6_family = AF_INET6, .sin6_port = htons(port)};
      inet_pton(AF_INET6, host.c_str(), &ip.sin6_addr);
    } else {
      auto& ip = reinterpret_cast<sockaddr_in&>(at);
      ip = {.sin_family = AF_INET, .sin_port = htons(port)};
      inet_pton(AF_INET, host.c_str(), &ip.sin_addr);
    }
    const int fd = socket(at.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{.tv_sec = 10, .tv_usec = 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return "unreachable";
    std::string seen;
    ssize_t n = send(fd, "ping", 4, MSG_NOSIGNAL);
    char buffer[256];
    while (n > 0 && !seen.ends_with("ping") && (n = recv(fd, buffer, sizeof buffer, 0)) > 0)
      seen.append(buffer, static_cast<std::size_t>(n));
    if (n < 0) return errno == ECONNRESET || errno == EPIPE ? "reset" : std::strerror(errno);
    return seen.empty() ? "closed" : seen;
  });
}

std::string inChild(const std::function<std::string()>& body) {
  int answer[2];
  if (pipe2(answer, O_CLOEXEC) != 0) throwErrno("pipe2");
  const pid_t child = fork();
  if (child == 0) {
    close(answer[0]);
    const std::string said = body();
    _exit(write(answer[1], said.data(), said.size()) == static_cast<ssize_t>(said.size()) ? 0 : 1);
  }
  close(answer[1]);
  std::string said;
  char buffer[512];
  ssize_t n;
  while ((n = read(answer[0], buffer, sizeof buffer)) > 0)
    said.append(buffer, static_cast<std::size_t>(n));
  close(answer[0]);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? said : "child failed";
}

}  // namespace velmora::testing
