// Identities of profiles, rules, proxies, chains and environments.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velmora {

/// A 128-bit identity, written upper case in the 8-4-4-4-12 form and read in either case.
struct UUID {
  std::array<std::uint8_t, 16> bytes{};

  static UUID random();
  static std::optional<UUID> parse(std::string_view text);
  std::string string() const;

  auto operator<=>(const UUID&) const = default;
  bool operator==(const UUID&) const = default;
};

/// Random identities for one thread that makes many, one per connection: one getrandom(2) call
/// fills the bytes of 256 of them. Never to be used on both sides of a fork().
class RandomUUIDs {
 public:
  UUID next();

 private:
  std::array<std::uint8_t, 4096> bytes_{};
  std::size_t used_ = sizeof bytes_;
};

}  // namespace velmora

template <>
struct std::hash<velmora::UUID> {
  std::size_t operator()(const velmora::UUID& uuid) const noexcept {
    std::uint64_t low;
    std::uint64_t high;
    std::memcpy(&low, uuid.bytes.data(), 8);
    std::memcpy(&high, uuid.bytes.data() + 8, 8);
    return std::hash<std::uint64_t>{}(low ^ (high * 0x9E3779B97F4A7C15ull));
  }
};
