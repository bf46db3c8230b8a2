// .desktop files read for their Name, and where a session keeps them.
#include "kit/discovery/desktop_entries.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace velmora {
namespace {

/// The absolute directories of a colon-separated list; relative entries are ignored as the XDG
/// base directory rules ask.
std::vector<std::filesystem::path> absoluteEntries(std::string_view list) {
  std::vector<std::filesystem::path> result;
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t end = std::min(list.find(':', start), list.size());
    const std::string_view entry = list.substr(start, end - start);
    if (entry.starts_with('/')) result.emplace_back(entry);
    start = end + 1;
  }
  return result;
}

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

}  // namespace

std::vector<std::filesystem::path> DesktopEntries::sessionDirectories() {
  const std::optional<std::string> home = environment("HOME");
  std::vector<std::filesystem::path> data;
  if (const auto dataHome = environment("XDG_DATA_HOME"); dataHome && dataHome->starts_with('/'))
    data.emplace_back(*dataHome);
  else if (home)
    data.push_back(std::filesystem::path(*home) / ".local/share");
  const std::vector<std::filesystem::path> dataDirs =
      absoluteEntries(environment("XDG_DATA_DIRS").value_or("/usr/local/share:/usr/share"));
  data.insert(data.end(), dataDirs.begin(), dataDirs.end());
  if (home) data.push_back(std::filesystem::path(*home) / ".local/share/flatpak/exports/share");
  data.emplace_back("/var/lib/flatpak/exports/share");
  data.emplace_back("/var/lib/snapd/desktop");

  std::vector<std::filesystem::path> directories;
  for (const std::filesystem::path& directory : data) {
    std::filesystem::path applications = directory / "applications";
    // A session that already lists Flatpak's or snapd's directory names it once.
    if (std::find(directories.begin(), directories.end(), applications) == directories.end())
      directories.push_back(std::move(applications));
  }
  return directories;
}

std::optional<std::string> DesktopEntries::name(const std::string& desktopID) const {
  if (const auto known = names_.find(desktopID); known != names_.end()) return known->second;
  std::optional<std::string> found;
  // An id is a file name: one with a slash or a leading dot names no desktop file.
  if (!desktopID.empty() && desktopID.find('/') == std::string::npos &&
      !desktopID.starts_with('.')) {
    for (const std::filesystem::path& directory : directories_) {
      std::ifstream file(directory / (desktopID + ".desktop"));
      if (!file) continue;
      std::ostringstream text;
      text << file.rdbuf();
      found = nameFrom(text.str());
      break;
    }
  }
  names_.emplace(desktopID, found);
  return found;
}

std::optional<std::string> DesktopEntries::nameFrom(std::string_view desktopFile) {
  bool inEntry = false;
  while (!desktopFile.empty()) {
    const std::size_t end = std::min(desktopFile.find('\n'), desktopFile.size());
    std::string_view line = desktopFile.substr(0, end);
    desktopFile.remove_prefix(std::min(end + 1, desktopFile.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.starts_with('[')) {
      inEntry = line == "[Desktop Entry]";
      continue;
    }
    if (!inEntry || !line.starts_with("Name")) continue;
    std::string_view rest = line.substr(4);
    while (rest.starts_with(' ')) rest.remove_prefix(1);
    if (!rest.starts_with('=')) continue;  // Name[de]=, or another key such as NameX
    rest.remove_prefix(1);
    while (rest.starts_with(' ')) rest.remove_prefix(1);
    while (rest.ends_with(' ')) rest.remove_suffix(1);
    if (rest.empty()) return std::nullopt;
    return std::string(rest);
  }
  return std::nullopt;
}

}  // namespace velmora
