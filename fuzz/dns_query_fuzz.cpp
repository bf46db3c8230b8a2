// The DNS responder's query reader on any message: it returns a question or nothing, and a
// question it returns is echoed in a fake answer and a failure answer that read back as replies
// to it.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "dns_responder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::dns;
  const std::optional<DnsQuery> query = readQuery(std::span(data, size));
  if (!query) return 0;
  for (const std::vector<std::uint8_t>& reply :
       {addressAnswer(*query, "198.18.0.2", std::chrono::seconds(10)), failureAnswer(*query)}) {
    // A reply is no query, so the reader refuses it; an unwritable one is empty.
    if (!reply.empty() && readQuery(reply)) std::abort();
    if (reply.size() >= 2 && (reply[0] << 8 | reply[1]) != query->id) std::abort();
  }
  return 0;
}
