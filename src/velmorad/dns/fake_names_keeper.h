// The names behind fake addresses, kept in a file across restarts of velmorad: a program handed
// an address before the restart goes on reaching the name it asked for.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string_view>

#include "kit/fake_names.h"
#include "kit/unique_fd.h"

namespace velmora::dns {

/// Takes up the file at construction and writes it again, atomically, whenever its timer fires
/// and the names changed. Used from one thread.
class FakeNamesKeeper {
 public:
  using Log = std::function<void(std::string_view)>;
  static constexpr std::chrono::seconds interval{2};

  /// Takes up what file holds. A file that cannot be read as names is set aside as
  /// file + ".damaged" and logged, never written over. Throws velmora::Error when the timer
  /// cannot be made.
  FakeNamesKeeper(std::filesystem::path file, std::shared_ptr<FakeNames> names, Log log);

  /// Readable every interval; then call save().
  int fd() const { return timer_.get(); }
  /// Writes the file when the names changed since it was last written or read; logs a failure
  /// once until a write succeeds again.
  void save();

 private:
  const std::filesystem::path file_;
  const std::shared_ptr<FakeNames> names_;
  const Log log_;
  UniqueFd timer_;
  std::uint64_t savedVersion_ = 0;
  bool failing_ = false;
};

}  // namespace velmora::dns
