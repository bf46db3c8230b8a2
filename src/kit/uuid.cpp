#include "uuid.h"

#include <uuid/uuid.h>

namespace velmora {

UUID UUID::random() {
  UUID result;
  uuid_generate_random(result.bytes.data());
  return result;
}

std::optional<UUID> UUID::parse(std::string_view text) {
  // uuid_parse wants exactly the 36-character canonical form, terminated.
  if (text.size() != 36) return std::nullopt;
  char buffer[37];
  std::memcpy(buffer, text.data(), 36);
  buffer[36] = '\0';
  UUID result;
  if (uuid_parse(buffer, result.bytes.data()) != 0) return std::nullopt;
  return result;
}

std::string UUID::string() const {
  char buffer[37];
  uuid_unparse_upper(bytes.data(), buffer);
  return std::string(buffer, 36);
}

}  // namespace velmora
