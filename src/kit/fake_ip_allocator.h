// Synthetic IPv4 addresses for host names, from the 198.18.0.0/15 pool, and back again.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmora {

/// Hands out pool addresses for names with a time-to-live per mapping. Expired slots are taken
/// back when a new name needs one; when every slot is live, the mapping that expires soonest goes.
/// Safe to share between threads.
class FakeIPAllocator {
 public:
  using Clock = std::chrono::system_clock;
  using Now = std::function<Clock::time_point()>;

  /// The first address of the pool, 198.18.0.0.
  static std::uint32_t poolBase();
  static constexpr std::uint32_t poolMask = ~std::uint32_t{0x1FFFF};

  /// Offsets 2 through capacity are handed out; capacity must lie from 2 to 131071.
  FakeIPAllocator(std::uint32_t capacity, std::chrono::duration<double> ttl, Now now = Clock::now);

  /// The name's address (lower-cased name), reused while it lasts; every call extends it by ttl.
  std::string ip(std::string_view host);
  /// The name an address stands for, extending the mapping; nothing for an unmapped address.
  std::optional<std::string> host(std::string_view address);
  /// How many names are mapped now.
  std::size_t count() const;

  /// One name's address and when it expires, as kept across a restart.
  struct Mapping {
    std::string host;
    std::uint32_t address = 0;
    Clock::time_point expires;

    bool operator==(const Mapping&) const = default;
  };
  /// The mappings that have not expired, by address.
  std::vector<Mapping> mappings() const;
  /// Takes up mappings kept before, each with its address and expiry, in place of any mapping of
  /// the same name or address. Passes over those already expired, addresses outside the pool
  /// or beyond the capacity, and a second mapping of a name.
  void restore(const std::vector<Mapping>& mappings);
  /// Grows with every change of any mapping, its expiry included, so that whoever keeps them
  /// can tell whether there is something new to keep.
  std::uint64_t version() const;

  static bool isFakeIP(std::uint32_t address) { return (address & poolMask) == poolBase(); }
  static bool isFakeIP(std::string_view address);

 private:
  std::uint32_t claimLocked(Clock::time_point now);
  void evictLocked(std::uint32_t offset);

  const std::uint32_t capacity_;
  const std::chrono::duration<double> ttl_;
  const Now now_;

  mutable std::mutex lock_;
  std::unordered_map<std::string, std::uint32_t> hostToIP_;
  std::unordered_map<std::uint32_t, std::string> ipToHost_;
  // Ordered by offset, so among equal expiry dates the lowest offset is given up first.
  std::map<std::uint32_t, Clock::time_point> expiry_;
  std::uint32_t nextOffset_ = 2;
  std::uint64_t version_ = 0;
};

}  // namespace velmora
