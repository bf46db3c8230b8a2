// The MCP server of velmoractl: JSON-RPC 2.0 over standard input and output, one message a line,
// with the tool catalogue served over the same backends as the commands.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "backend.h"
#include "kit/json_text.h"
#include "output.h"

namespace velmora::cli {

/// Answers one request at a time, in arrival order, and keeps nothing from one to the next.
class MCPServer {
 public:
  static constexpr std::string_view protocolVersion = "2024-11-05";

  /// Opens the profile store; its failure is the command's.
  explicit MCPServer(Backend& backends);

  /// Reads requests from descriptor input until it ends, writing each reply line to out and
  /// handing it on at once.
  void run(int input, Output& out);

  /// The reply line to one request line, without its line end; nothing when it gets no reply.
  std::optional<std::string> handleLine(std::string_view line);

  /// The fifteen tool descriptors, in catalogue order.
  static const json::Value& toolDefinitions();

 private:
  json::Value handleToolCall(const json::Value& params);
  /// Runs one tool and returns its result text; throws velmora::Error for a failed call.
  std::string invoke(const std::string& tool, const json::Value& arguments);

  Backend& backends_;
};

}  // namespace velmora::cli
