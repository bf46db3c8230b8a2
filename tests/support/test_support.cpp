#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace velmora::testing {
namespace {

[[noreturn]] void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

/// Reads both pipes to their ends without letting either fill up and stall the child.
void drain(int outFD, int errFD, RunResult& result) {
  std::array<pollfd, 2> fds = {pollfd{outFD, POLLIN, 0}, pollfd{errFD, POLLIN, 0}};
  std::array<std::string*, 2> sinks = {&result.out, &result.err};
  int open = 2;
  char buffer[4096];
  while (open > 0) {
    if (poll(fds.data(), fds.size(), -1) < 0) {
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

RunResult runVelmoractl(const std::vector<std::string>& arguments, const std::filesystem::path& home) {
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
  // A bus address nobody listens on: the tool must never reach a real session bus from a test.
  std::string busVariable = "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (home / "no-bus").string();
  std::vector<char*> environment = {homeVariable.data(), tmpVariable.data(), busVariable.data(),
                                    const_cast<char*>("LANG=C.UTF-8"), nullptr};

  const pid_t pid = fork();
  if (pid < 0) throwErrno("fork");
  if (pid == 0) {
    dup2(outPipe[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    execve(argv[0], argv.data(), environment.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  RunResult result;
  drain(outPipe[0], errPipe[0], result);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throwErrno("waitpid");
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace velmora::testing
