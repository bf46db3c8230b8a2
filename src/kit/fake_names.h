// The fake addresses velmorad hands to captured programs for host names: IPv4 from the library's
// pool, IPv6 as the same slot inside a private /96 prefix, so both families of a name live and
// expire together.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "kit/fake_ip_allocator.h"

namespace velmora {

/// Names behind fake addresses, shared by the DNS responder that hands them out and the
/// transparent listener that carries connections to them by name. Safe to share between threads.
class FakeNames {
 public:
  /// How long a mapping lasts after it was last handed out or used.
  static constexpr std::chrono::minutes lifetime{30};
  /// The IPv6 prefix, fdc6:12::/96: a unique local prefix whose last 32 bits are the IPv4 fake
  /// address of the same name.
  static constexpr std::string_view ipv6Prefix = "fdc6:12::";

  explicit FakeNames(FakeIPAllocator::Now now = FakeIPAllocator::Clock::now);

  /// The name's IPv4 address, as "198.18.0.2"; each call extends the mapping.
  std::string ipv4(std::string_view host);
  /// The name's IPv6 address, as "fdc6:12::c612:2"; each call extends the mapping.
  std::string ipv6(std::string_view host);
  /// The name an IPv4 or IPv6 fake address stands for, extending the mapping; nothing for an
  /// address outside both ranges or one nobody holds.
  std::optional<std::string> host(std::string_view address);
  /// Whether the address lies in either range, held or not.
  static bool isFake(std::string_view address);

  /// The mappings that have not expired, as the JSON text of a file that keeps them across a
  /// restart of velmorad: programs go on using the addresses they were given.
  std::string saved() const;
  /// Takes up the mappings of a file saved() wrote. Throws velmora::Error, taking up nothing,
  /// for text it did not write.
  void restore(std::string_view text);
  /// Grows with every change; see FakeIPAllocator::version().
  std::uint64_t version() const { return allocator_.version(); }

 private:
  FakeIPAllocator allocator_;
};

}  // namespace velmora
