#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace velmora::testing {
namespace {

[[noreturn]] void throwErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

/// Reads both pipes to their ends without letting either fill up and stall the child.
/// When interruptAt is given, the child gets SIGINT then, as a user's Ctrl-C.
void drain(int outFD, int errFD, RunResult& result, pid_t child,
           std::optional<std::chrono::steady_clock::time_point> interruptAt) {
  std::array<pollfd, 2> fds = {pollfd{outFD, POLLIN, 0}, pollfd{errFD, POLLIN, 0}};
  std::array<std::string*, 2> sinks = {&result.out, &result.err};
  int open = outFD < 0 ? 1 : 2;
  char buffer[4096];
  while (open > 0) {
    int timeout = -1;
    if (interruptAt) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          *interruptAt - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        kill(child, SIGINT);
        interruptAt.reset();
      } else {
        timeout = static_cast<int>(left.count());
      }
    }
    if (poll(fds.data(), fds.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      throwErrno("poll");
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

/// The address of the live PrivateBus, handed to the velmoractl children instead of no bus.
std::optional<std::string> privateBusAddress;

/// The first line the daemon writes on fd, without its line end; throws when the daemon ends or
/// stays silent.
std::string readAddressLine(int fd) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::string text;
  char buffer[256];
  while (text.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw std::runtime_error("dbus-daemon printed no address in time");
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throwErrno("poll");
    }
    if (ready == 0) continue;
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwErrno("read");
    }
    if (n == 0)
      throw std::runtime_error(
          "dbus-daemon ended before printing its address; run dbus-daemon --session --nofork "
          "--print-address to see why");
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text.substr(0, text.find('\n'));
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throwErrno("mkdtemp");
  path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string asAnotherUser(const std::function<std::string()>& work) {
  int answers[2];
  if (pipe2(answers, O_CLOEXEC) != 0) throwErrno("pipe2");
  const pid_t child = fork();
  if (child == 0) {
    close(answers[0]);
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(3);
    const std::string told = work();
    _exit(write(answers[1], told.data(), told.size()) == static_cast<ssize_t>(told.size()) ? 0 : 4);
  }
  close(answers[1]);
  std::string told;
  std::array<char, 4096> chunk{};
  for (ssize_t n; (n = read(answers[0], chunk.data(), chunk.size())) > 0;)
    told.append(chunk.data(), static_cast<std::size_t>(n));
  close(answers[0]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    throw std::runtime_error("the child as user 65534 did not finish its work");
  return told;
}

RunResult runVelmoractl(const std::vector<std::string>& arguments,
                        const std::filesystem::path& home, const RunOptions& options) {
  const StandardOutput output = options.output;
  const auto start = std::chrono::steady_clock::now();
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throwErrno("pipe2");

  std::vector<std::string> argvStrings = {VELMORACTL_PATH};
  argvStrings.insert(argvStrings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : argvStrings) argv.push_back(s.data());
  argv.push_back(nullptr);
  std::string homeVariable = "HOME=" + home.string();
  std::string tmpVariable = "TMPDIR=" + home.string();
  // A bus address nobody listens on, unless the test started a bus of its own: the tool must never
  // reach a real session bus from a test.
  std::string busVariable =
      "DBUS_SESSION_BUS_ADDRESS=" +
      (privateBusAddress ? *privateBusAddress : "unix:path=" + (home / "no-bus").string());
  std::vector<std::string> further = options.environment;
  std::vector<char*> environment = {homeVariable.data(), tmpVariable.data(), busVariable.data(),
                                    const_cast<char*>("LANG=C.UTF-8")};
  for (std::string& variable : further) environment.push_back(variable.data());
  environment.push_back(nullptr);

  // The input waits in a memory file, so that no pipe can fill up while the child is starting.
  const int inputFD = memfd_create("velmoractl-input", MFD_CLOEXEC);
  if (inputFD < 0) throwErrno("memfd_create");
  if (write(inputFD, options.input.data(), options.input.size()) !=
          static_cast<ssize_t>(options.input.size()) ||
      lseek(inputFD, 0, SEEK_SET) != 0) {
    throwErrno("write");
  }

  const pid_t pid = fork();
  if (pid < 0) throwErrno("fork");
  if (pid == 0) {
    dup2(inputFD, STDIN_FILENO);
    switch (output) {
      case StandardOutput::captured:
      case StandardOutput::closedPipe:
        dup2(outPipe[1], STDOUT_FILENO);
        break;
      case StandardOutput::deviceFull:
        dup2(open("/dev/full", O_WRONLY | O_CLOEXEC), STDOUT_FILENO);
        break;
      case StandardOutput::closed:
        close(STDOUT_FILENO);
        break;
    }
    dup2(errPipe[1], STDERR_FILENO);
    execve(argv[0], argv.data(), environment.data());
    _exit(127);
  }
  close(inputFD);
  close(outPipe[1]);
  close(errPipe[1]);
  if (output != StandardOutput::captured) {
    // Nobody reads the child's standard output; for a closed pipe, nobody ever will.
    close(outPipe[0]);
    outPipe[0] = -1;
  }
  RunResult result;
  drain(outPipe[0], errPipe[0], result, pid,
        options.interruptAfter ? std::optional(start + *options.interruptAfter) : std::nullopt);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throwErrno("waitpid");
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

ScopedEnvironmentVariable::ScopedEnvironmentVariable(std::string name,
                                                     const std::optional<std::string>& value)
    : name_(std::move(name)) {
  if (const char* previous = std::getenv(name_.c_str())) previous_ = previous;
  const int result = value ? setenv(name_.c_str(), value->c_str(), 1) : unsetenv(name_.c_str());
  if (result != 0) throwErrno("setenv");
}

ScopedEnvironmentVariable::~ScopedEnvironmentVariable() {
  if (previous_) {
    setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

PrivateBus::PrivateBus(BusKind kind) : kind_(kind) {
  // The daemon prints its address on a pipe of its own, fd 3 in the child, so that nothing else
  // it might write on its standard output can get in the way.
  constexpr int addressFD = 3;
  int addressPipe[2];
  if (pipe2(addressPipe, O_CLOEXEC) != 0) throwErrno("pipe2");
  std::string printAddress = "--print-address=" + std::to_string(addressFD);
  std::array<char*, 5> argv = {const_cast<char*>("dbus-daemon"), const_cast<char*>("--session"),
                               const_cast<char*>("--nofork"), printAddress.data(), nullptr};
  const pid_t parent = getpid();

  pid_ = fork();
  if (pid_ < 0) {
    const int error = errno;
    close(addressPipe[0]);
    close(addressPipe[1]);
    throw std::system_error(error, std::generic_category(), "fork");
  }
  if (pid_ == 0) {
    // A test that crashes must not leave its daemon behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    // Its complaints about this environment (fd limits and the like) would only clutter the
    // test output; a daemon that cannot start shows as a missing address.
    const int devNull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull >= 0) {
      dup2(devNull, STDIN_FILENO);
      dup2(devNull, STDOUT_FILENO);
      dup2(devNull, STDERR_FILENO);
    }
    if (addressPipe[1] == addressFD) {
      fcntl(addressFD, F_SETFD, 0);
    } else {
      dup2(addressPipe[1], addressFD);
    }
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(addressPipe[1]);
  try {
    address_ = readAddressLine(addressPipe[0]);
  } catch (...) {
    close(addressPipe[0]);
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    throw;
  }
  close(addressPipe[0]);
  if (kind_ == BusKind::system) {
    variable_.emplace("DBUS_SYSTEM_BUS_ADDRESS", address_);
    return;
  }
  variable_.emplace("DBUS_SESSION_BUS_ADDRESS", address_);
  privateBusAddress = address_;
}

PrivateBus::~PrivateBus() {
  if (kind_ == BusKind::session) privateBusAddress.reset();
  variable_.reset();
  kill(pid_, SIGTERM);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace velmora::testing
