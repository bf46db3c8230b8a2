// The MCP server on any request line, over a scratch store with no application: it answers with
// at most one line of JSON, and never fails in any other way.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fuzz_environment.h"
#include "kit/json_text.h"
#include "mcp/mcp_server.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora;
  static cli::MCPServer server(fuzzing::Environment::shared().backend());
  const auto reply = server.handleLine(std::string_view(reinterpret_cast<const char*>(data), size));
  if (reply) {
    // One line, and JSON that reads back.
    if (reply->find('\n') != std::string::npos) std::abort();
    json::parse(*reply);
  }
  return 0;
}
