// The helper's request reader on any message: it returns a request or throws ProtocolError,
// nothing else. A request it returns reads back the same once written again, and the refusal of
// one it throws out always fits in a reply that reads back.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kit/netd_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::netd;
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  try {
    const Request request = decodeRequest(message);
    if (decodeRequest(encode(request)) != request) std::abort();
  } catch (const ProtocolError& error) {
    const Reply refusal{.ok = false, .error = error.description()};
    const std::string reply = encode(refusal);
    if (reply.size() > maxMessageSize || decodeReply(reply).error.empty()) std::abort();
  }
  return 0;
}
