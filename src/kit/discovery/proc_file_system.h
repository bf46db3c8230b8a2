// The one way discovery reads the kernel's process and network tables: files and links under a
// root directory, "/proc" on a live system and a tree of plain files in tests.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

/// Read-only access to a /proc tree under a root path. Every look-up degrades to absent or empty
/// when the entry is missing, unreadable or vanishes while it is read; nothing throws.
class ProcFileSystem {
 public:
  /// An open file descriptor of a process and what its link in fd/ names.
  struct Descriptor {
    int number = -1;
    std::string target;

    bool operator==(const Descriptor&) const = default;
  };

  explicit ProcFileSystem(std::filesystem::path root = "/proc") : root_(std::move(root)) {}

  /// The whole content of a file, relative to the root ("net/tcp", "42/comm").
  std::optional<std::string> read(const std::filesystem::path& relative) const;
  /// The target of a symbolic link, relative to the root ("42/exe").
  std::optional<std::string> readLink(const std::filesystem::path& relative) const;
  /// The user owning a process (its directory's owner); absent when there is no such process.
  std::optional<uid_t> owner(pid_t pid) const;
  /// The ids of the processes listed at the root, ascending.
  std::vector<pid_t> processes() const;
  /// The open descriptors of a process with their link targets, ascending by number; those that
  /// cannot be read (another user's process, a process that ended) are left out.
  std::vector<Descriptor> descriptors(pid_t pid) const;

 private:
  std::filesystem::path root_;
};

}  // namespace velmora
