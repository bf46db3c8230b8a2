#include "file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "localize.h"

namespace velmora {
namespace {

/// Between the target's name and the random letters of every temporary file of an atomic write.
constexpr std::string_view kTemporaryMarker = ".tmp-";
constexpr std::size_t kRandomLetters = 6;
/// A temporary file younger than this may belong to a writer that has not locked it yet.
constexpr auto kAbandonedAfter = std::chrono::seconds(30);

/// True for ".<name>.tmp-XXXXXX", the names writeFileAtomically gives its temporary files.
bool isTemporaryName(std::string_view name) {
  if (!name.starts_with('.') || name.size() < 1 + kTemporaryMarker.size() + kRandomLetters)
    return false;
  return name.substr(name.size() - kRandomLetters - kTemporaryMarker.size(),
                     kTemporaryMarker.size()) == kTemporaryMarker;
}

[[noreturn]] void throwWriteError(const std::filesystem::path& path, int error) {
  throw FileError(VL("无法写入「%@」：%@", path.string(), std::strerror(error)));
}

/// Closes a descriptor and, unless released, removes the temporary file it was opened for.
class TemporaryFile {
 public:
  TemporaryFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~TemporaryFile() {
    closeDescriptor();
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  int closeDescriptor() {
    const int result = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    return result;
  }
  void release() { path_.clear(); }

 private:
  int fd_;
  std::string path_;
};

}  // namespace

ssize_t FileCalls::write(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size);
}
int FileCalls::fsync(int fd) {
  return ::fsync(fd);
}
int FileCalls::rename(const char* from, const char* to) {
  return ::rename(from, to);
}

FileCalls& FileCalls::system() {
  static FileCalls calls;
  return calls;
}

void writeFileAtomically(const std::filesystem::path& target, std::string_view bytes, mode_t mode,
                         FileCalls& calls) {
  // The temporary name starts with a dot and ends in random letters, so no listing of the
  // directory mistakes it for a finished file. It stays locked while this writer lives: a lock
  // that can be taken marks the leftover of a writer that was killed.
  std::string name = ".";
  name += target.filename().string();
  name += kTemporaryMarker;
  name.append(kRandomLetters, 'X');
  std::string pattern = (target.parent_path() / name).string();
  const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) throwWriteError(target, errno);
  TemporaryFile temporary(fd, pattern);
  if (::flock(fd, LOCK_EX) != 0 || ::fchmod(fd, mode) != 0) throwWriteError(target, errno);

  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = calls.write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throwWriteError(target, n < 0 ? errno : EIO);
    written += static_cast<std::size_t>(n);
  }
  if (calls.fsync(fd) != 0) throwWriteError(target, errno);
  if (temporary.closeDescriptor() != 0) throwWriteError(target, errno);
  if (calls.rename(temporary.path().c_str(), target.c_str()) != 0) throwWriteError(target, errno);
  temporary.release();

  // Make the rename itself durable; the new content is in place whether or not this succeeds.
  const int directory = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
}

void removeAbandonedTemporaryFiles(const std::filesystem::path& directory) {
  std::error_code error;
  for (auto entry = std::filesystem::directory_iterator(directory, error);
       !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
    const std::filesystem::path& path = entry->path();
    if (!isTemporaryName(path.filename().string())) continue;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat status;
    const bool abandoned =
        ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
        std::chrono::system_clock::now() - std::chrono::system_clock::from_time_t(status.st_mtime) >
            kAbandonedAfter &&
        ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    // A live writer holds the lock until its rename; a young file may not be locked yet.
    if (abandoned) ::unlink(path.c_str());
    ::close(fd);
  }
}

void writeFile(const std::filesystem::path& path, std::string_view bytes, mode_t mode) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throwWriteError(path, errno);
  // A file that existed keeps its mode through open; a regular one gets exactly mode all the
  // same. Devices and pipes (/dev/stdout, a fifo) are left as they are.
  struct stat status;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & 07777) != mode &&
      ::fchmod(fd, mode) != 0) {
    const int error = errno;
    ::close(fd);
    throwWriteError(path, error);
  }
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(fd);
      throwWriteError(path, error);
    }
    written += static_cast<std::size_t>(n);
  }
  if (::close(fd) != 0) throwWriteError(path, errno);
}

std::string readFile(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw FileError(VL("无法读取「%@」：%@", path.string(), std::strerror(errno)));
  const auto fail = [&](int error) {
    ::close(fd);
    throw FileError(VL("无法读取「%@」：%@", path.string(), std::strerror(error)));
  };
  // A regular file is read in one go into a buffer of its size; what is not regular, or grew
  // meanwhile, is read on until its end.
  struct stat status {};
  std::size_t expected = 0;
  if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode))
    expected = static_cast<std::size_t>(status.st_size);
  std::string content;
  content.resize(expected + 1);
  std::size_t filled = 0;
  while (true) {
    if (filled == content.size()) content.resize(content.size() * 2 + 16384);
    const ssize_t n = ::read(fd, content.data() + filled, content.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno);
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
  }
  ::close(fd);
  content.resize(filled);
  return content;
}

void createDirectories(const std::filesystem::path& directory, mode_t mode) {
  std::filesystem::path current;
  for (const auto& part : directory) {
    current /= part;
    if (::mkdir(current.c_str(), mode) == 0) {
      // mkdir applies the umask; the store's directories hold passwords and must be private.
      ::chmod(current.c_str(), mode);
    } else if (errno != EEXIST) {
      throw FileError(VL("无法创建目录「%@」：%@", current.string(), std::strerror(errno)));
    }
  }
  struct stat status;
  if (::stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    throw FileError(VL("无法创建目录「%@」：%@", directory.string(), std::strerror(ENOTDIR)));
  }
}

}  // namespace velmora
