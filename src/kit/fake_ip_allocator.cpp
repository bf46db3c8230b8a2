#include "fake_ip_allocator.h"

#include "matchers.h"
#include "unicode.h"

namespace velmora {

std::uint32_t FakeIPAllocator::poolBase() {
  static const std::uint32_t base = *IPv4::parse("198.18.0.0");
  return base;
}

FakeIPAllocator::FakeIPAllocator(std::uint32_t capacity, std::chrono::duration<double> ttl, Now now)
    : capacity_(capacity), ttl_(ttl), now_(std::move(now)) {}

bool FakeIPAllocator::isFakeIP(std::string_view address) {
  const auto parsed = IPv4::parse(address);
  return parsed && isFakeIP(*parsed);
}

std::string FakeIPAllocator::ip(std::string_view host) {
  std::string key = unicode::lowercased(host);
  std::uint32_t offset;
  {
    std::lock_guard guard(lock_);
    const auto now = now_();
    if (const auto found = hostToIP_.find(key); found != hostToIP_.end()) {
      offset = found->second;
    } else {
      offset = claimLocked(now);
      ipToHost_[offset] = key;
      hostToIP_.emplace(std::move(key), offset);
    }
    expiry_[offset] = now + std::chrono::duration_cast<Clock::duration>(ttl_);
    ++version_;
  }
  return IPv4::format(poolBase() | offset);
}

std::optional<std::string> FakeIPAllocator::host(std::string_view address) {
  const auto parsed = IPv4::parse(address);
  if (!parsed || !isFakeIP(*parsed)) return std::nullopt;
  const std::uint32_t offset = *parsed & ~poolMask;
  std::lock_guard guard(lock_);
  const auto found = ipToHost_.find(offset);
  if (found == ipToHost_.end()) return std::nullopt;
  // A mapping that has expired but was not yet taken back still answers, and is renewed.
  expiry_[offset] = now_() + std::chrono::duration_cast<Clock::duration>(ttl_);
  ++version_;
  return found->second;
}

std::size_t FakeIPAllocator::count() const {
  std::lock_guard guard(lock_);
  return hostToIP_.size();
}

std::vector<FakeIPAllocator::Mapping> FakeIPAllocator::mappings() const {
  std::vector<Mapping> live;
  std::lock_guard guard(lock_);
  const auto now = now_();
  for (const auto& [offset, expires] : expiry_) {
    if (expires >= now) live.push_back({ipToHost_.at(offset), poolBase() | offset, expires});
  }
  return live;
}

void FakeIPAllocator::restore(const std::vector<Mapping>& mappings) {
  std::lock_guard guard(lock_);
  const auto now = now_();
  std::unordered_map<std::string, bool> seen;
  for (const Mapping& mapping : mappings) {
    const std::uint32_t offset = mapping.address & ~poolMask;
    std::string key = unicode::lowercased(mapping.host);
    if (!isFakeIP(mapping.address) || offset < 2 || offset > capacity_ || mapping.expires < now ||
        key.empty() || !seen.emplace(key, true).second)
      continue;
    if (const auto found = hostToIP_.find(key); found != hostToIP_.end())
      evictLocked(found->second);
    evictLocked(offset);
    ipToHost_[offset] = key;
    hostToIP_.emplace(std::move(key), offset);
    expiry_[offset] = mapping.expires;
  }
  ++version_;
}

std::uint64_t FakeIPAllocator::version() const {
  std::lock_guard guard(lock_);
  return version_;
}

std::uint32_t FakeIPAllocator::claimLocked(Clock::time_point now) {
  // The cursor persists between claims, so consecutive new names take consecutive offsets.
  for (std::uint32_t probe = 0; probe < capacity_; ++probe) {
    const std::uint32_t candidate = nextOffset_;
    nextOffset_ = candidate < capacity_ ? candidate + 1 : 2;
    if (!ipToHost_.contains(candidate)) return candidate;
    if (const auto expires = expiry_.find(candidate);
        expires != expiry_.end() && expires->second < now) {
      evictLocked(candidate);
      return candidate;
    }
  }
  auto earliest = expiry_.begin();
  for (auto entry = expiry_.begin(); entry != expiry_.end(); ++entry) {
    if (entry->second < earliest->second) earliest = entry;
  }
  const std::uint32_t offset = earliest->first;
  evictLocked(offset);
  return offset;
}

void FakeIPAllocator::evictLocked(std::uint32_t offset) {
  if (const auto found = ipToHost_.find(offset); found != ipToHost_.end())
    hostToIP_.erase(found->second);
  ipToHost_.erase(offset);
  expiry_.erase(offset);
}

}  // namespace velmora
