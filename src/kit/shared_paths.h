// The locations and names that the application and the tool share.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace velmora {

/// The locations and names shared by the application and the tool.
namespace SharedPaths {
inline constexpr std::string_view appGroupID = "group.io.velmora";
/// The well-known D-Bus name of the running application.
inline constexpr std::string_view automationMachService = "io.velmora.Automation";
inline constexpr std::string_view extensionMachService = "group.io.velmora.xpc";

/// $HOME, else the home directory of the user's account; nothing when neither is known.
std::optional<std::filesystem::path> homeDirectory();

/// The user's configuration home ($XDG_CONFIG_HOME when absolute, else ~/.config) plus
/// "Velmora". Computes only; creates nothing.
std::filesystem::path storeDirectory();

/// Where velmorad keeps what must outlive one run of it but not the session: the user's runtime
/// directory ($XDG_RUNTIME_DIR, emptied at logout) plus "velmora", else the state home
/// ($XDG_STATE_HOME when absolute, else ~/.local/state) plus "velmora". Computes only.
std::filesystem::path stateDirectory();
}  // namespace SharedPaths

}  // namespace velmora
