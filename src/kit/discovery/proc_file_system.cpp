// Reading /proc without throwing: files and links that vanish or refuse are simply absent.
#include "kit/discovery/proc_file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string_view>
#include <system_error>

#include "kit/unique_fd.h"

namespace velmora {
namespace {

/// A whole decimal number and nothing else.
template <typename T>
std::optional<T> decimal(std::string_view text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

/// The names in a directory; empty when it cannot be listed.
std::vector<std::string> entries(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  std::error_code error;
  std::filesystem::directory_iterator it(directory, error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  return names;
}

}  // namespace

std::optional<std::string> ProcFileSystem::read(const std::filesystem::path& relative) const {
  // Files under /proc report a size of 0, so read until the end instead of asking for the size.
  const UniqueFd fd(::open((root_ / relative).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::string content;
  char buffer[8192];
  for (;;) {
    const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
    if (count < 0) return std::nullopt;
    if (count == 0) return content;
    content.append(buffer, static_cast<std::size_t>(count));
  }
}

std::optional<std::string> ProcFileSystem::readLink(const std::filesystem::path& relative) const {
  char buffer[4096];
  const ssize_t count = ::readlink((root_ / relative).c_str(), buffer, sizeof buffer);
  if (count <= 0) return std::nullopt;
  return std::string(buffer, static_cast<std::size_t>(count));
}

std::optional<uid_t> ProcFileSystem::owner(pid_t pid) const {
  struct stat info {};
  if (::stat((root_ / std::to_string(pid)).c_str(), &info) != 0) return std::nullopt;
  return info.st_uid;
}

std::vector<pid_t> ProcFileSystem::processes() const {
  std::vector<pid_t> pids;
  for (const std::string& name : entries(root_)) {
    if (const auto pid = decimal<pid_t>(name); pid && *pid > 0) pids.push_back(*pid);
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

std::vector<ProcFileSystem::Descriptor> ProcFileSystem::descriptors(pid_t pid) const {
  const std::filesystem::path directory = std::filesystem::path(std::to_string(pid)) / "fd";
  std::vector<Descriptor> result;
  for (const std::string& name : entries(root_ / directory)) {
    const auto number = decimal<int>(name);
    if (!number) continue;
    if (auto target = readLink(directory / name)) result.push_back({*number, std::move(*target)});
  }
  std::sort(result.begin(), result.end(),
            [](const Descriptor& a, const Descriptor& b) { return a.number < b.number; });
  return result;
}

}  // namespace velmora
