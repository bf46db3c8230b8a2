#include "daemon_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <stdexcept>
#include <system_error>

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

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& arguments) {
  std::vector<std::string> copies = arguments;
  std::vector<char*> argv;
  for (std::string& argument : copies) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) throwErrno("fork");
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int devNull = open("/dev/null", O_RDWR);
    dup2(devNull, STDIN_FILENO);
    dup2(devNull, STDOUT_FILENO);
    dup2(devNull, STDERR_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
}

BackgroundProgram::~BackgroundProgram() {
  end(SIGTERM);
}

void BackgroundProgram::end(int signal) {
  if (pid_ < 0) return;
  kill(pid_, signal);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
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

PeerEchoServer::PeerEchoServer(const std::string& address) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{.sin_family = AF_INET};
  inet_pton(AF_INET, address.c_str(), &at.sin_addr);
  if (bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      listen(listener_, 16) != 0) {
    close(listener_);
    throw std::runtime_error("cannot listen on " + address);
  }
  socklen_t size = sizeof at;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &size);
  port_ = ntohs(at.sin_port);
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
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd < 0) return;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    const std::string line = std::string(text) + "\n";
    ssize_t n = write(fd, line.data(), line.size());
    char buffer[4096];
    while (n > 0 && (n = read(fd, buffer, sizeof buffer)) > 0)
      n = write(fd, buffer, static_cast<std::size_t>(n));
    close(fd);
  }
}

}  // namespace velmora::testing
