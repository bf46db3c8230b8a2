// The MCP client installer: enters this system's MCP server into the configuration files of the
// MCP client applications in a home directory, and takes it out again.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace velmora {

/// An MCP client application and where it keeps its server table.
struct MCPClientIntegration {
  /// How the client's file holds its servers.
  enum class Format {
    mcpServersObject,  // JSON: {"mcpServers": {name: {"command", "args"}}}
    codexTOML,         // TOML: a table [mcp_servers.<name>] with command and args
    openCodeMCP,       // JSON: {"mcp": {name: {"type": "local", "command": [...], "enabled"}}}
  };
  std::string id;
  std::string displayName;
  std::vector<std::string> configPaths;  // relative to home, in order of preference
  Format format;
  std::vector<std::string> detectPaths;  // "/..." absolute, else relative to home
  bool operator==(const MCPClientIntegration&) const = default;
};

/// What one install did.
struct MCPInstallResult {
  std::string id;
  std::string displayName;
  bool installed;
  std::string detail;  // success: the file's last path component; failure: the reason, in Chinese
  bool operator==(const MCPInstallResult&) const = default;
};

/// Where one client stands, for listing.
struct MCPClientState {
  MCPClientIntegration integration;
  bool detected;
  std::filesystem::path
      configFile;     // the first existing config path, else the first one (under home)
  bool entryPresent;  // the file holds our entry under serverName
  bool operator==(const MCPClientState&) const = default;
};

/// Enters the MCP server into the configuration files of MCP clients, and takes it out again.
/// Every other setting in a client's file survives; a file that cannot be edited safely is
/// reported and left as it is. Files are replaced atomically through any symbolic link, keeping
/// their mode (0600 for a new file).
struct MCPInstaller {
  std::string command;
  std::string serverName;
  std::vector<std::string> args;
  std::vector<MCPClientIntegration> integrations;

  /// The clients people use on Linux, in the order they are listed and installed.
  static const std::vector<MCPClientIntegration>& knownClients();

  /// The integrations whose client is present in home, in order.
  std::vector<MCPClientIntegration> detected(const std::filesystem::path& home) const;
  /// Writes the entry into the client's file, creating it when needed. Never throws.
  MCPInstallResult install(const MCPClientIntegration& integration,
                           const std::filesystem::path& home) const;
  /// install for each detected integration, in order.
  std::vector<MCPInstallResult> installIntoDetected(const std::filesystem::path& home) const;
  /// Removes the entry from the client's file. Never throws; a failure leaves the file as it was.
  void uninstall(const MCPClientIntegration& integration, const std::filesystem::path& home) const;
  /// Whether the client is present, its file and whether the entry is in it. Never throws.
  MCPClientState state(const MCPClientIntegration& integration,
                       const std::filesystem::path& home) const;
};

}  // namespace velmora
