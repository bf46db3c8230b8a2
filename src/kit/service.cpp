#include "kit/service.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <utility>

#include "kit/error.h"
#include "kit/localize.h"

namespace velmora::service {

void log(std::string_view program, std::string_view line) {
  const std::string text = std::string(program) + ": " + std::string(line) + "\n";
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}

std::optional<std::uint64_t> RefusalLog::count(std::optional<uid_t> uid, Clock::time_point now) {
  std::lock_guard guard(lock_);
  Seen& seen = seen_[uid];
  ++seen.since;
  if (seen.logged && now - *seen.logged < interval) return std::nullopt;
  seen.logged = now;
  return std::exchange(seen.since, 0);
}

UniqueFd stopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  UniqueFd fd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!fd) throw Error(VL("signalfd 失败：%@", std::strerror(errno)));
  return fd;
}

}  // namespace velmora::service
