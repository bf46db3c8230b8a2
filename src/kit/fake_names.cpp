#include "kit/fake_names.h"

#include <arpa/inet.h>

#include <array>
#include <cstring>

#include "kit/json_text.h"
#include "kit/localize.h"
#include "kit/matchers.h"

namespace velmora {

namespace {

using IPv6Bytes = std::array<unsigned char, 16>;

std::optional<IPv6Bytes> parseIPv6(std::string_view text) {
  IPv6Bytes bytes;
  if (inet_pton(AF_INET6, std::string(text).c_str(), bytes.data()) != 1) return std::nullopt;
  return bytes;
}

const IPv6Bytes& prefixBytes() {
  static const IPv6Bytes bytes = *parseIPv6(FakeNames::ipv6Prefix);
  return bytes;
}

/// The IPv4 address in the last 32 bits of an address inside the prefix.
std::optional<std::string> embeddedIPv4(std::string_view address) {
  const std::optional<IPv6Bytes> bytes = parseIPv6(address);
  if (!bytes || std::memcmp(bytes->data(), prefixBytes().data(), 12) != 0) return std::nullopt;
  std::array<char, INET_ADDRSTRLEN> text;
  inet_ntop(AF_INET, bytes->data() + 12, text.data(), text.size());
  return std::string(text.data());
}

}  // namespace

FakeNames::FakeNames(FakeIPAllocator::Now now) : allocator_(0x1FFFF, lifetime, std::move(now)) {}

std::string FakeNames::ipv4(std::string_view host) {
  return allocator_.ip(host);
}

std::string FakeNames::ipv6(std::string_view host) {
  IPv6Bytes bytes = prefixBytes();
  inet_pton(AF_INET, allocator_.ip(host).c_str(), bytes.data() + 12);
  std::array<char, INET6_ADDRSTRLEN> text;
  inet_ntop(AF_INET6, bytes.data(), text.data(), text.size());
  return text.data();
}

std::optional<std::string> FakeNames::host(std::string_view address) {
  if (const std::optional<std::string> ipv4 = embeddedIPv4(address)) return allocator_.host(*ipv4);
  return allocator_.host(address);
}

std::string FakeNames::saved() const {
  json::Value names = json::Value::array();
  for (const FakeIPAllocator::Mapping& mapping : allocator_.mappings()) {
    names.push_back({{"host", mapping.host},
                     {"address", IPv4::format(mapping.address)},
                     {"expires", json::formatISO8601(mapping.expires)}});
  }
  return json::pretty({{"names", std::move(names)}}) + "\n";
}

void FakeNames::restore(std::string_view text) {
  const json::Value document = json::parse(text);
  const json::Reader reader(document);
  std::vector<FakeIPAllocator::Mapping> mappings;
  for (const json::Reader& name : reader["names"].elements()) {
    const json::Reader address = name["address"];
    const std::optional<std::uint32_t> parsed = IPv4::parse(address.string());
    if (!parsed || !FakeIPAllocator::isFakeIP(*parsed)) address.invalid();
    mappings.push_back({name["host"].string(), *parsed, name["expires"].date()});
  }
  allocator_.restore(mappings);
}

bool FakeNames::isFake(std::string_view address) {
  const std::optional<std::string> ipv4 = embeddedIPv4(address);
  return FakeIPAllocator::isFakeIP(ipv4 ? *ipv4 : address);
}

}  // namespace velmora
