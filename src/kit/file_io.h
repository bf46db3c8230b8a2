// Whole-file reads and atomic whole-file writes, with the system calls of a write behind a seam
// so that tests can make one fail half-way.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "error.h"

namespace velmora {

/// A file-system failure, with the path and the system's reason in the message.
class FileError : public Error {
 public:
  using Error::Error;
};

/// The system calls an atomic write makes. The default forwards to the system.
class FileCalls {
 public:
  virtual ~FileCalls() = default;
  virtual ssize_t write(int fd, const void* data, std::size_t size);
  virtual int fsync(int fd);
  virtual int rename(const char* from, const char* to);

  static FileCalls& system();
};

/// Replaces target with bytes in one step: a temporary file in the same directory is written,
/// flushed to disk and renamed over the target. Readers see the old or the new content, never a
/// mixture, and a failure at any point leaves the old file as it was. The file gets exactly mode.
void writeFileAtomically(const std::filesystem::path& target, std::string_view bytes, mode_t mode,
                         FileCalls& calls = FileCalls::system());

/// Removes what killed writers of writeFileAtomically left in directory: temporary files of its
/// naming that no live writer holds. Never fails; what cannot be removed stays.
void removeAbandonedTemporaryFiles(const std::filesystem::path& directory);

/// Writes bytes to path in place, creating it or truncating it: for targets the user names,
/// which may be devices, pipes or links that must not be replaced. A regular file is left with
/// exactly mode, also when it existed before with another.
void writeFile(const std::filesystem::path& path, std::string_view bytes, mode_t mode);

/// The whole content of a file.
std::string readFile(const std::filesystem::path& path);

/// Creates the directory and any missing parents, each new one with exactly mode.
void createDirectories(const std::filesystem::path& directory, mode_t mode);

}  // namespace velmora
