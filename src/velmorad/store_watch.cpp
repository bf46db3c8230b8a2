#include "store_watch.h"

#include <sys/inotify.h>

#include <cerrno>
#include <cstring>

#include "kit/error.h"
#include "kit/localize.h"

namespace velmora::daemon {

StoreWatch::StoreWatch(const std::filesystem::path& storeDirectory)
    : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (!fd_) throw Error(VL("无法监视配置目录：%@", std::strerror(errno)));
  // Atomic replacement arrives as a move into the directory; editors that write in place
  // close the file after writing.
  constexpr std::uint32_t changes =
      IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE;
  for (const std::filesystem::path& directory : {storeDirectory, storeDirectory / "profiles"}) {
    if (inotify_add_watch(fd_.get(), directory.c_str(), changes) < 0)
      throw Error(VL("无法监视「%@」：%@", directory.string(), std::strerror(errno)));
  }
}

void StoreWatch::drain() {
  alignas(inotify_event) char buffer[8192];
  while (::read(fd_.get(), buffer, sizeof buffer) > 0 || errno == EINTR) {
  }
}

}  // namespace velmora::daemon
