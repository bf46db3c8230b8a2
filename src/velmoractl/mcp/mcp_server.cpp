#include "mcp_server.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kit/error.h"
#include "kit/file_io.h"
#include "kit/localize.h"

namespace velmora::cli {
namespace {

/// A request line longer than this is passed over unread, like any line that does not parse.
constexpr std::size_t kMaxLineLength = 16 * 1024 * 1024;

/// What a request without the object it may carry is handled with.
const json::Value& emptyObject() {
  static const json::Value empty = json::Value::object();
  return empty;
}

/// A reply object: the result or the error, and the request's id when it had one.
json::Value reply(const std::optional<json::Value>& id, const char* member, json::Value body) {
  json::Value message = {{"jsonrpc", "2.0"}, {member, std::move(body)}};
  if (id) message["id"] = *id;
  return message;
}

}  // namespace

MCPServer::MCPServer(Backend& backends) : backends_(backends) {
  backends_.openFiles();
}

std::optional<std::string> MCPServer::handleLine(std::string_view line) {
  if (line.empty()) return std::nullopt;
  json::Value message;
  try {
    message = json::parse(line);
  } catch (const json::DecodingError&) {
    return std::nullopt;  // not JSON at all: no reply
  }
  if (!message.is_object() || message.empty()) return std::nullopt;
  const auto method = message.find("method");
  if (method == message.end() || !method->is_string()) return std::nullopt;

  std::optional<json::Value> id;
  if (const auto found = message.find("id"); found != message.end()) id = *found;
  const auto paramsFound = message.find("params");
  const json::Value& params =
      paramsFound != message.end() && paramsFound->is_object() ? *paramsFound : emptyObject();

  const std::string& name = method->get_ref<const std::string&>();
  json::Value answer;
  if (name == "initialize") {
    answer = reply(id, "result",
                   {{"protocolVersion", protocolVersion},
                    {"capabilities", {{"tools", json::Value::object()}}},
                    {"serverInfo", {{"name", "velmora"}, {"version", "1.0.0"}}}});
  } else if (name == "notifications/initialized") {
    return std::nullopt;
  } else if (name == "tools/list") {
    answer = reply(id, "result", {{"tools", toolDefinitions()}});
  } else if (name == "tools/call") {
    answer = reply(id, "result", handleToolCall(params));
  } else if (name == "ping") {
    answer = reply(id, "result", json::Value::object());
  } else {
    answer = reply(id, "error", {{"code", -32601}, {"message", "Method not found: " + name}});
  }
  try {
    return json::compact(answer);
  } catch (const json::EncodingError&) {
    return std::nullopt;  // a reply that cannot be written leaves the request unanswered
  }
}

json::Value MCPServer::handleToolCall(const json::Value& params) {
  const auto name = params.find("name");
  const auto arguments = params.find("arguments");
  const std::string tool =
      name != params.end() && name->is_string() ? name->get<std::string>() : "";
  const json::Value& given =
      arguments != params.end() && arguments->is_object() ? *arguments : emptyObject();
  std::string text;
  bool failed = false;
  try {
    text = invoke(tool, given);
  } catch (const std::exception& error) {
    // A failed tool is an ordinary result marked as an error, never a protocol error.
    text = std::string("错误：") + error.what();
    failed = true;
  }
  return {{"content", json::Value::array({{{"type", "text"}, {"text", text}}})},
          {"isError", failed}};
}

void MCPServer::run(int input, Output& out) {
  std::string pending;
  bool skipping = false;  // inside a line too long to keep
  char buffer[65536];
  const auto answer = [&](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (const auto response = handleLine(line)) {
      out.emit(*response);
      out.flush();
    }
  };
  while (true) {
    const ssize_t n = ::read(input, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileError(VL("无法读取标准输入：%@", std::strerror(errno)));
    if (n == 0) break;
    std::string_view chunk(buffer, static_cast<std::size_t>(n));
    while (!chunk.empty()) {
      const std::size_t end = chunk.find('\n');
      const std::string_view piece = chunk.substr(0, end);
      if (!skipping) {
        pending += piece;
        if (pending.size() > kMaxLineLength) {
          pending.clear();
          skipping = true;
        }
      }
      if (end == std::string_view::npos) break;
      if (!skipping) answer(pending);
      pending.clear();
      skipping = false;
      chunk.remove_prefix(end + 1);
    }
  }
  if (!skipping && !pending.empty()) answer(pending);
}

}  // namespace velmora::cli
