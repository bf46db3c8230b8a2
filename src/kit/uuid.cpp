#include "uuid.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <system_error>

namespace velmora {
namespace {

/// Where the dashes of the 8-4-4-4-12 form stand.
constexpr bool isDashPosition(std::size_t i) {
  return i == 8 || i == 13 || i == 18 || i == 23;
}

/// The value of each hexadecimal digit, and -1 for every other byte.
constexpr std::array<std::int8_t, 256> kHexValue = [] {
  std::array<std::int8_t, 256> table{};
  table.fill(-1);
  for (int c = 0; c < 10; ++c) table['0' + c] = static_cast<std::int8_t>(c);
  for (int c = 0; c < 6; ++c) {
    table['a' + c] = static_cast<std::int8_t>(10 + c);
    table['A' + c] = static_cast<std::int8_t>(10 + c);
  }
  return table;
}();

int hexValue(char c) {
  return kHexValue[static_cast<unsigned char>(c)];
}

void fillRandomly(std::uint8_t* bytes, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t got = ::getrandom(bytes + filled, size - filled, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::generic_category(), "getrandom");
    }
    filled += static_cast<std::size_t>(got);
  }
}

/// Version 4 (random), variant 1, as RFC 4122 lays them out.
UUID versionFour(UUID result) {
  result.bytes[6] = static_cast<std::uint8_t>((result.bytes[6] & 0x0F) | 0x40);
  result.bytes[8] = static_cast<std::uint8_t>((result.bytes[8] & 0x3F) | 0x80);
  return result;
}

}  // namespace

UUID UUID::random() {
  UUID result;
  fillRandomly(result.bytes.data(), result.bytes.size());
  return versionFour(result);
}

UUID RandomUUIDs::next() {
  if (used_ == bytes_.size()) {
    fillRandomly(bytes_.data(), bytes_.size());
    used_ = 0;
  }
  UUID result;
  std::memcpy(result.bytes.data(), bytes_.data() + used_, result.bytes.size());
  used_ += result.bytes.size();
  return versionFour(result);
}

std::optional<UUID> UUID::parse(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  UUID result;
  std::size_t byte = 0;
  for (std::size_t i = 0; i < 36;) {
    if (isDashPosition(i)) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    const int high = hexValue(text[i]), low = hexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    result.bytes[byte++] = static_cast<std::uint8_t>(high << 4 | low);
    i += 2;
  }
  return result;
}

std::string UUID::string() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(36);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace velmora
