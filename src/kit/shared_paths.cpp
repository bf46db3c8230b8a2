#include "shared_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "file_io.h"
#include "localize.h"

namespace velmora {

std::optional<std::filesystem::path> SharedPaths::homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return std::filesystem::path(home);
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir && *entry->pw_dir) {
    return std::filesystem::path(entry->pw_dir);
  }
  return std::nullopt;
}

std::filesystem::path SharedPaths::storeDirectory() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
    return std::filesystem::path(config) / "Velmora";
  }
  if (const auto home = homeDirectory()) return *home / ".config" / "Velmora";
  throw FileError(VL("无法确定配置目录：没有 HOME，也没有 XDG_CONFIG_HOME"));
}

std::filesystem::path SharedPaths::stateDirectory() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/')
    return std::filesystem::path(runtime) / "velmora";
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
    return std::filesystem::path(state) / "velmora";
  if (const auto home = homeDirectory()) return *home / ".local" / "state" / "velmora";
  throw FileError(VL("无法确定状态目录：没有 HOME，也没有 XDG_RUNTIME_DIR"));
}

}  // namespace velmora
