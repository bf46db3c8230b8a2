// Watching the store directory: the tool changes profile files directly also while the daemon
// runs, so every change of a file there must reach the daemon.
#pragma once

#include <filesystem>

#include "kit/unique_fd.h"

namespace velmora::daemon {

/// An inotify descriptor that becomes readable when a file in the store directory (the active
/// marker, the settings) or in its "profiles" directory is written, replaced or removed.
class StoreWatch {
 public:
  /// Throws velmora::Error when the directories cannot be watched.
  explicit StoreWatch(const std::filesystem::path& storeDirectory);

  int fd() const { return fd_.get(); }
  /// Reads the pending notifications; their content is not needed, only that they came.
  void drain();

 private:
  UniqueFd fd_;
};

}  // namespace velmora::daemon
