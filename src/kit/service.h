// What the two long-running programs, velmorad and velmora-netd, do alike: their one-line log
// on standard error, which the service manager's journal collects, and the signals that end them.
#pragma once

#include <string_view>

#include "kit/unique_fd.h"

namespace velmora::service {

/// Writes program + ": " + line as one line, in one write, so that lines never interleave. A
/// log that cannot be written is not a reason to stop serving: failures are ignored.
void log(std::string_view program, std::string_view line);

/// SIGINT and SIGTERM blocked and readable on the returned descriptor, so that they end a poll
/// loop between two pieces of work; SIGPIPE ignored. Throws velmora::Error when that fails.
UniqueFd stopSignals();

}  // namespace velmora::service
