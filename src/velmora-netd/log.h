// The helper's log: one line per event on standard error, which the service manager's journal
// collects.
#pragma once

#include <string_view>

namespace velmora::netd {

/// Writes "velmora-netd: " + line as one line, in one write, so that lines never interleave.
void log(std::string_view line);

}  // namespace velmora::netd
