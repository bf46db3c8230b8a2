// The profile document reader on any bytes: it either refuses them with a DecodingError or reads
// a profile that writes out and reads back equal.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "kit/profile_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora;
  std::optional<Profile> profile;
  try {
    profile = decodeProfileDocument(std::string_view(reinterpret_cast<const char*>(data), size));
  } catch (const json::DecodingError&) {
    return 0;
  }
  // What was read is text the writer accepts, and it comes back unchanged.
  if (decodeProfileDocument(encodeProfileDocument(*profile)) != *profile) std::abort();
  return 0;
}
