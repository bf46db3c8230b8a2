// What the two long-running programs, velmorad and velmora-netd, do alike: their one-line log
// on standard error, which the service manager's journal collects, and the signals that end them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>

#include "kit/unique_fd.h"

namespace velmora::service {

/// Writes program + ": " + line as one line, in one write, so that lines never interleave. A
/// log that cannot be written is not a reason to stop serving: failures are ignored.
void log(std::string_view program, std::string_view line);

/// SIGINT and SIGTERM blocked and readable on the returned descriptor, so that they end a poll
/// loop between two pieces of work; SIGPIPE ignored. Throws velmora::Error when that fails.
UniqueFd stopSignals();

/// Counts what was refused to other users, so that a program that keeps knocking costs one log
/// line a minute, not one per attempt. Safe to share between threads.
class RefusalLog {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::minutes interval{1};

  /// Counts one refusal of uid (nothing for a sender whose owner is unknown). Returns how many
  /// there were since the last line when a line is due, and nothing when it is not.
  std::optional<std::uint64_t> count(std::optional<uid_t> uid,
                                     Clock::time_point now = Clock::now());

 private:
  struct Seen {
    std::optional<Clock::time_point> logged;
    std::uint64_t since = 0;
  };
  std::mutex lock_;
  std::map<std::optional<uid_t>, Seen> seen_;
};

}  // namespace velmora::service
