// The profile document readers on any bytes. The direct reader either declines a document or
// reads what the document tree reads; the outline agrees with the whole; and whatever is read
// writes out and reads back equal.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "kit/profile_store.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<Profile> direct = detail::readProfileDirectly(text);
  std::optional<Profile> profile;
  try {
    profile = profileFromJSON(json::Reader(json::parse(text)));
  } catch (const json::DecodingError&) {
    // What the tree refuses, the direct reader never takes, and the outline refuses too.
    if (direct) std::abort();
    try {
      decodeProfileOutline(text);
    } catch (const json::DecodingError&) {
      return 0;
    }
    std::abort();
  }
  if (direct && *direct != *profile) std::abort();
  if (decodeProfileOutline(text) != ProfileOutline::of(*profile)) std::abort();
  // What was read is text the writer accepts, and it comes back unchanged.
  if (decodeProfileDocument(encodeProfileDocument(*profile)) != *profile) std::abort();
  return 0;
}
