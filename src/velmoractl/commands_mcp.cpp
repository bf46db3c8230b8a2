// The mcp command: the MCP server on standard input and output, and entering it into the
// configuration files of the MCP clients people use.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "commands.h"
#include "kit/file_io.h"
#include "kit/localize.h"
#include "kit/mcp/mcp_installer.h"
#include "kit/shared_paths.h"
#include "mcp/mcp_server.h"

namespace velmora::cli {
namespace {

std::filesystem::path home() {
  const auto directory = SharedPaths::homeDirectory();
  if (!directory) throw Error(VL("无法确定主目录：没有 HOME"));
  return *directory;
}

/// The installer for this very program: its absolute path, "mcp serve", and the server name.
MCPInstaller installer(const CommandContext& context) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) throw FileError(VL("无法确定 velmoractl 的路径：%@", error.message()));
  return MCPInstaller{.command = self.string(),
                      .serverName = context.args.flag({"--name"}).value_or("velmora"),
                      .args = {"mcp", "serve"},
                      .integrations = MCPInstaller::knownClients()};
}

/// The clients named with --client, in the order given; every known one when none is named.
std::vector<MCPClientIntegration> namedClients(const CommandContext& context,
                                               const MCPInstaller& installer) {
  const std::vector<std::string> ids = context.args.values("--client");
  if (ids.empty()) return installer.integrations;
  std::vector<MCPClientIntegration> chosen;
  for (const std::string& id : ids) {
    const auto found =
        std::find_if(installer.integrations.begin(), installer.integrations.end(),
                     [&](const MCPClientIntegration& client) { return client.id == id; });
    if (found == installer.integrations.end()) {
      std::string known;
      for (const MCPClientIntegration& client : installer.integrations) {
        if (!known.empty()) known += ", ";
        known += client.id;
      }
      throw Error(VL("未知的 MCP 客户端「%@」。可用：%@", id, known));
    }
    if (std::find(chosen.begin(), chosen.end(), *found) == chosen.end()) chosen.push_back(*found);
  }
  return chosen;
}

/// "~/.claude.json" for a file under the home directory, the path as it is otherwise.
std::string shown(const std::filesystem::path& file, const std::filesystem::path& home) {
  const std::string text = file.string();
  const std::string prefix = home.string() + "/";
  return text.starts_with(prefix) ? "~/" + text.substr(prefix.size()) : text;
}

json::Value toJSON(const MCPInstallResult& result) {
  return {{"id", result.id},
          {"displayName", result.displayName},
          {"installed", result.installed},
          {"detail", result.detail}};
}

json::Value toJSON(const MCPClientState& state) {
  return {{"id", state.integration.id},
          {"displayName", state.integration.displayName},
          {"detected", state.detected},
          {"configFile", state.configFile.string()},
          {"entryPresent", state.entryPresent}};
}

template <typename T>
json::Value records(const std::vector<T>& values) {
  json::Value array = json::Value::array();
  for (const T& value : values) array.push_back(toJSON(value));
  return array;
}

void runInstall(CommandContext& context) {
  const MCPInstaller installer = cli::installer(context);
  const std::filesystem::path home = cli::home();
  std::vector<MCPInstallResult> results;
  if (context.args.values("--client").empty()) {
    results = installer.installIntoDetected(home);
    if (results.empty()) {
      throw Error(
          VL("没有发现 MCP 客户端。用 --client <id> 指定要写入的客户端，运行 `velmoractl mcp "
             "clients` 查看可用的 id"));
    }
  } else {
    for (const MCPClientIntegration& client : namedClients(context, installer)) {
      results.push_back(installer.install(client, home));
    }
  }
  if (context.json()) {
    context.out.emitJSON(records(results));
  } else {
    for (const MCPInstallResult& result : results) {
      const auto client =
          std::find_if(installer.integrations.begin(), installer.integrations.end(),
                       [&](const MCPClientIntegration& c) { return c.id == result.id; });
      context.out.emit(result.installed ? "✓ " + result.displayName + "  已写入 " +
                                              shown(installer.state(*client, home).configFile, home)
                                        : "✗ " + result.displayName + "  " + result.detail);
    }
  }
  const auto failed =
      std::count_if(results.begin(), results.end(),
                    [](const MCPInstallResult& result) { return !result.installed; });
  if (failed > 0) throw Error(VL("有 %lld 个客户端没有写入", static_cast<long long>(failed)));
}

void runUninstall(CommandContext& context) {
  const MCPInstaller installer = cli::installer(context);
  const std::filesystem::path home = cli::home();
  json::Value records = json::Value::array();
  bool anyLeft = false, anyFound = false;
  for (const MCPClientIntegration& client : namedClients(context, installer)) {
    const MCPClientState before = installer.state(client, home);
    if (!before.entryPresent) continue;
    anyFound = true;
    installer.uninstall(client, home);
    const bool removed = !installer.state(client, home).entryPresent;
    anyLeft |= !removed;
    records.push_back({{"id", client.id},
                       {"displayName", client.displayName},
                       {"configFile", before.configFile.string()},
                       {"removed", removed}});
    if (!context.json()) {
      context.out.emit(removed ? "✓ " + client.displayName + "  已从 " +
                                     shown(before.configFile, home) + " 移除「" +
                                     installer.serverName + "」"
                               : "✗ " + client.displayName + "  " + shown(before.configFile, home) +
                                     " 无法安全修改，未移除");
    }
  }
  if (context.json()) context.out.emitJSON(records);
  if (!anyFound && !context.json()) {
    context.out.emit("没有 MCP 客户端配置了「" + installer.serverName + "」");
  }
  if (anyLeft) throw Error(VL("有的客户端配置没能修改"));
}

void runClients(CommandContext& context) {
  const MCPInstaller installer = cli::installer(context);
  const std::filesystem::path home = cli::home();
  std::vector<MCPClientState> states;
  for (const MCPClientIntegration& client : installer.integrations) {
    states.push_back(installer.state(client, home));
  }
  if (context.json()) {
    context.out.emitJSON(records(states));
    return;
  }
  for (const MCPClientState& state : states) {
    context.out.emit(std::string(state.detected ? "✓" : "✗") + " " + state.integration.displayName +
                     " (" + state.integration.id + ")  " + shown(state.configFile, home) + "  " +
                     (state.entryPresent ? "已接入「" + installer.serverName + "」" : "未接入"));
  }
}

}  // namespace

void runMCP(CommandContext& context) {
  const std::string& sub = context.word(1);
  if (sub == "serve") {
    MCPServer server(context.backend);
    server.run(STDIN_FILENO, context.out);
  } else if (sub == "install") {
    runInstall(context);
  } else if (sub == "uninstall") {
    runUninstall(context);
  } else if (sub == "clients") {
    runClients(context);
  } else {
    throw Error(VL("用法: mcp serve"));
  }
}

}  // namespace velmora::cli
