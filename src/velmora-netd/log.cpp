#include "log.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace velmora::netd {

void log(std::string_view line) {
  const std::string text = "velmora-netd: " + std::string(line) + "\n";
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(STDERR_FILENO, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    // A log that cannot be written is not a reason to stop serving.
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}

}  // namespace velmora::netd
