// The daemon's log: one line per notable event on standard error, which the service manager's
// journal collects.
#pragma once

#include <string_view>

namespace velmora::daemon {

/// Writes "velmorad: " + line as one line, in one write, so that lines never interleave.
void log(std::string_view line);

}  // namespace velmora::daemon
