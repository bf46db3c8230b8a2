#include "matchers.h"

#include <array>
#include <charconv>
#include <limits>

namespace velmora {
namespace {

/// The standard unsigned parser: an optional "+", then one or more decimal digits, in range.
template <typename T>
std::optional<T> parseUnsigned(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > std::numeric_limits<T>::max()) return std::nullopt;
  }
  return static_cast<T>(value);
}

}  // namespace

std::optional<std::uint16_t> parsePort(std::string_view text) {
  return parseUnsigned<std::uint16_t>(text);
}

std::string_view trimmedSpacesAndTabs(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::vector<std::string> splitList(std::string_view text) {
  std::vector<std::string> items;
  while (!text.empty()) {
    const auto semicolon = text.find(';');
    const std::string_view item = trimmedSpacesAndTabs(text.substr(0, semicolon));
    if (!item.empty()) items.emplace_back(item);
    if (semicolon == std::string_view::npos) break;
    text.remove_prefix(semicolon + 1);
  }
  return items;
}

std::string AppIdentity::bestDescription() const {
  if (displayName) return *displayName;
  if (executableName) return *executableName;
  if (bundleID) return *bundleID;
  return "unknown";
}

namespace IPv4 {

std::optional<std::uint32_t> parse(std::string_view text) {
  // Most hosts are names; every dotted quad starts with a digit or the sign of its first number.
  if (text.empty() || !(text[0] == '+' || (text[0] >= '0' && text[0] <= '9'))) return std::nullopt;
  std::uint32_t address = 0;
  int pieces = 0;
  std::size_t start = 0;
  while (true) {
    const auto dot = text.find('.', start);
    const auto piece =
        text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    const auto byte = parseUnsigned<std::uint8_t>(piece);
    if (!byte || ++pieces > 4) return std::nullopt;
    address = (address << 8) | *byte;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  if (pieces != 4) return std::nullopt;
  return address;
}

std::string format(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

}  // namespace IPv4

PreparedApp::PreparedApp(const AppIdentity& identity) {
  for (const auto* candidate : identity.names()) {
    if (*candidate) names_[nameCount_++] = unicode::FoldedSubject(**candidate);
  }
  hasBundleID_ = identity.bundleID.has_value();
  if (hasBundleID_ && !names_[0].ascii) loweredBundleID_ = unicode::lowercased(*identity.bundleID);
}

bool PreparedApp::bundleIDStartsWith(std::string_view lowercasePrefix) const {
  if (!hasBundleID_) return false;
  if (!names_[0].ascii) return loweredBundleID_.starts_with(lowercasePrefix);
  return unicode::startsWithLowercased(names_[0].text, lowercasePrefix);
}

PreparedHost::PreparedHost(std::string_view host) : text(host), address(IPv4::parse(host)) {}

WildcardPattern::WildcardPattern(std::string text) : source(std::move(text)) {
  if (source.find_first_of("*?") != std::string::npos) {
    compiled.emplace(source);
  } else {
    plain_.emplace(source);
  }
}

bool WildcardPattern::matches(std::string_view subject) const {
  if (compiled) return compiled->matches(subject);
  return unicode::equalsIgnoringCase(subject, source);
}

bool WildcardPattern::matches(const unicode::FoldedSubject& subject) const {
  return compiled ? compiled->matches(subject) : plain_->matches(subject);
}

AppPattern::AppPattern(std::string text) : pattern(std::move(text)) {
  if (!pattern.compiled) bundlePrefix_ = unicode::lowercased(pattern.source) + ".";
}

bool AppPattern::matches(const AppIdentity& identity) const {
  for (const auto* candidate : identity.names()) {
    if (*candidate && pattern.matches(**candidate)) return true;
  }
  // A plain bundle identifier also covers the helper processes whose identifiers extend it
  // ("com.example.app" covers "com.example.app.helper").
  return !bundlePrefix_.empty() && identity.bundleID &&
         unicode::startsWithLowercased(*identity.bundleID, bundlePrefix_);
}

bool AppPattern::matches(const PreparedApp& identity) const {
  for (const unicode::FoldedSubject& name : identity.names()) {
    if (pattern.matches(name)) return true;
  }
  return !bundlePrefix_.empty() && identity.bundleIDStartsWith(bundlePrefix_);
}

HostPattern::HostPattern(std::string_view text)
    : source(trimmedSpacesAndTabs(text)), kind(Kind::exact) {
  if (const auto slash = source.find('/'); slash != std::string::npos) {
    const auto address = IPv4::parse(std::string_view(source).substr(0, slash));
    const auto prefix = parseUnsigned<std::uint32_t>(std::string_view(source).substr(slash + 1));
    if (address && prefix && *prefix <= 32) {
      kind = Kind::cidr;
      mask = *prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - *prefix);
      base = *address & mask;
      return;
    }
  }
  if (const auto dash = source.find('-'); dash != std::string::npos) {
    const auto first = IPv4::parse(std::string_view(source).substr(0, dash));
    const auto last = IPv4::parse(std::string_view(source).substr(dash + 1));
    if (first && last && *first <= *last) {
      kind = Kind::range;
      low = *first;
      high = *last;
      return;
    }
  }
  if (source.find_first_of("*?") != std::string::npos) {
    kind = Kind::wildcard;
    wildcard.emplace(source);
    return;
  }
  exact_.emplace(source);
}

bool HostPattern::matches(std::string_view host) const {
  switch (kind) {
    case Kind::wildcard:
      return wildcard->matches(host);
    case Kind::exact:
      return unicode::equalsIgnoringCase(host, source);
    case Kind::cidr: {
      const auto address = IPv4::parse(host);
      return address && (*address & mask) == base;
    }
    case Kind::range: {
      const auto address = IPv4::parse(host);
      return address && low <= *address && *address <= high;
    }
  }
  return false;
}

bool HostPattern::matches(const PreparedHost& host) const {
  switch (kind) {
    case Kind::wildcard:
      return wildcard->matches(host.text);
    case Kind::exact:
      return exact_->matches(host.text);
    case Kind::cidr:
      return host.address && (*host.address & mask) == base;
    case Kind::range:
      return host.address && low <= *host.address && *host.address <= high;
  }
  return false;
}

std::optional<PortPattern> PortPattern::parse(std::string_view text) {
  text = trimmedSpacesAndTabs(text);
  if (const auto dash = text.find('-'); dash != std::string_view::npos) {
    const auto first = parsePort(text.substr(0, dash));
    const auto last = parsePort(text.substr(dash + 1));
    if (!first || !last || *last < *first) return std::nullopt;
    return PortPattern{*first, *last};
  }
  const auto port = parsePort(text);
  if (!port) return std::nullopt;
  return PortPattern{*port, *port};
}

}  // namespace velmora
