#include "kit/discovery/cgroups.h"

#include <string>
#include <vector>

namespace velmora::cgroups {
namespace {

/// The space-separated fields of one line.
std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> result;
  std::size_t start = 0;
  while (start < line.size()) {
    const std::size_t end = std::min(line.find(' ', start), line.size());
    if (end > start) result.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return result;
}

/// A mountinfo path with its octal escapes ("\040" for a space) undone.
std::string unescape(std::string_view text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto octal = [&](std::size_t at) { return text[at] >= '0' && text[at] <= '7'; };
    if (text[i] == '\\' && i + 3 < text.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      result += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                  (text[i + 3] - '0'));
      i += 3;
    } else {
      result += text[i];
    }
  }
  return result;
}

/// Calls each with every line of text.
template <typename Each>
void forEachLine(std::string_view text, Each each) {
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    each(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
}

}  // namespace

std::optional<std::filesystem::path> mountFrom(std::string_view mountinfo) {
  std::optional<std::filesystem::path> found;
  forEachLine(mountinfo, [&](std::string_view line) {
    // ID PARENT MAJOR:MINOR ROOT MOUNT-POINT OPTIONS [OPTIONAL…] - TYPE SOURCE SUPER-OPTIONS
    const std::vector<std::string_view> parts = fields(line);
    std::size_t separator = 6;
    while (separator < parts.size() && parts[separator] != "-") ++separator;
    if (found || separator + 1 >= parts.size() || parts[separator + 1] != "cgroup2") return;
    if (parts[3] == "/") found = unescape(parts[4]);
  });
  return found;
}

std::optional<std::filesystem::path> mount(const ProcFileSystem& proc) {
  const std::optional<std::string> text = proc.read("self/mountinfo");
  return text ? mountFrom(*text) : std::nullopt;
}

std::optional<std::string> pathFrom(std::string_view procCgroup) {
  std::optional<std::string> found;
  forEachLine(procCgroup, [&](std::string_view line) {
    if (line.starts_with("0::/")) found = std::string(line.substr(3));
  });
  return found;
}

std::optional<std::string> ofProcess(pid_t pid, const ProcFileSystem& proc) {
  const std::optional<std::string> text = proc.read(std::to_string(pid) + "/cgroup");
  return text ? pathFrom(*text) : std::nullopt;
}

std::optional<bool> populatedFrom(std::string_view events) {
  std::optional<bool> found;
  forEachLine(events, [&](std::string_view line) {
    if (line == "populated 1") found = true;
    if (line == "populated 0") found = false;
  });
  return found;
}

bool contains(std::string_view outer, std::string_view inner) {
  if (outer == "/") return inner.starts_with('/');
  return inner.starts_with(outer) && (inner.size() == outer.size() || inner[outer.size()] == '/');
}

}  // namespace velmora::cgroups
