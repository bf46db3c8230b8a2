// The dashboard's request reader on any head: it returns a request or nothing, and a request it
// returns keeps to the limits the server relies on.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http_request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora::dashboard;
  const std::string_view head(reinterpret_cast<const char*>(data), size);
  const std::optional<HttpRequest> request = parseRequestHead(head);
  if (!request) return 0;
  if (!request->path.starts_with('/') || request->contentLength > maxBodySize) std::abort();
  for (const auto& [name, value] : request->headers) {
    if (name.empty() || std::any_of(name.begin(), name.end(), [](unsigned char c) {
          return std::isupper(c) != 0;
        }))
      std::abort();
  }
  // Cookies are read from whatever the head held.
  [[maybe_unused]] const auto cookie = request->cookie("velmora-dashboard");
  return 0;
}
