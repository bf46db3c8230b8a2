// The names desktop applications give themselves in their .desktop files, found by application
// id in the XDG data directories, Flatpak's exports and snapd's among them.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

/// Application names from .desktop files, each file read once. Used from one thread at a time.
class DesktopEntries {
 public:
  /// Looks in these "applications" directories, the first holding a file winning.
  explicit DesktopEntries(std::vector<std::filesystem::path> directories)
      : directories_(std::move(directories)) {}

  /// The applications directories of this user's session: $XDG_DATA_HOME (~/.local/share) and
  /// each of $XDG_DATA_DIRS (/usr/local/share:/usr/share), then the user's and the system's
  /// Flatpak exports and snapd's desktop files.
  static std::vector<std::filesystem::path> sessionDirectories();

  /// The Name of ID.desktop; nothing when no directory has the file or it names nothing.
  std::optional<std::string> name(const std::string& desktopID) const;

  /// The unlocalized Name key of the [Desktop Entry] group in the text of a .desktop file.
  static std::optional<std::string> nameFrom(std::string_view desktopFile);

 private:
  std::vector<std::filesystem::path> directories_;
  mutable std::map<std::string, std::optional<std::string>, std::less<>> names_;
};

}  // namespace velmora
