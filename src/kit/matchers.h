// Compiled patterns of a rule: applications, hosts and ports, and the IPv4 text form they rely on.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "unicode.h"

namespace velmora {

/// What is known about the program that opened a connection.
struct AppIdentity {
  std::optional<std::string> bundleID;
  std::optional<std::string> displayName;
  std::optional<std::string> executableName;
  std::optional<std::string> responsibleBundleID;
  std::optional<std::string> responsibleAppName;
  std::optional<std::string> responsibleExecutable;
  std::optional<std::string> appBundleName;

  /// The display name, else the executable name, else the bundle identifier, else "unknown".
  std::string bestDescription() const;

  static constexpr std::size_t kNameCount = 7;

  /// Every name field, present or not, in the order above.
  std::array<const std::optional<std::string>*, kNameCount> names() const {
    return {&bundleID,           &displayName,           &executableName, &responsibleBundleID,
            &responsibleAppName, &responsibleExecutable, &appBundleName};
  }

  bool operator==(const AppIdentity&) const = default;
};

/// An AppIdentity looked at once for every application pattern of a decision; it views the
/// identity, which must outlive it. Preparing an identity of ASCII names allocates nothing.
class PreparedApp {
 public:
  explicit PreparedApp(const AppIdentity& identity);

  /// The names the identity carries, in AppIdentity's order.
  std::span<const unicode::FoldedSubject> names() const { return {names_.data(), nameCount_}; }
  /// The bundle identifier, when there is one.
  const unicode::FoldedSubject* bundleID() const { return hasBundleID_ ? &names_[0] : nullptr; }
  /// Whether the bundle identifier, lower-cased, starts with the lower-case text.
  bool bundleIDStartsWith(std::string_view lowercasePrefix) const;

 private:
  std::array<unicode::FoldedSubject, AppIdentity::kNameCount> names_;
  std::size_t nameCount_ = 0;
  bool hasBundleID_ = false;
  std::string loweredBundleID_;  // only for a bundle identifier that is not ASCII
};

/// Dotted-quad IPv4 addresses, held in host order with the first number in the top byte.
namespace IPv4 {
std::optional<std::uint32_t> parse(std::string_view text);
std::string format(std::uint32_t address);
}  // namespace IPv4

/// A destination host looked at once for every host pattern of a decision: folded, and read as
/// an IPv4 address. It views the text, which must outlive it.
struct PreparedHost {
  unicode::FoldedSubject text;
  std::optional<std::uint32_t> address;

  explicit PreparedHost(std::string_view host);
};

/// Text with "*" (any run) and "?" (one character), matched whole and ignoring case; a text
/// without either is compared as plain text.
struct WildcardPattern {
  std::string source;
  /// The compiled wildcard; absent for plain text.
  std::optional<unicode::CaseInsensitiveWildcard> compiled;

  explicit WildcardPattern(std::string text);
  bool matches(std::string_view subject) const;
  bool matches(const unicode::FoldedSubject& subject) const;

 private:
  std::optional<unicode::CaseInsensitiveText> plain_;  // the folded source when not a wildcard
};

/// An application pattern, tried against every name an AppIdentity carries.
struct AppPattern {
  WildcardPattern pattern;

  explicit AppPattern(std::string text);
  bool matches(const AppIdentity& identity) const;
  bool matches(const PreparedApp& identity) const;

 private:
  std::string bundlePrefix_;  // the lower-cased plain pattern and ".", empty for a wildcard
};

/// A destination host pattern: an IPv4 network, an IPv4 range, a wildcard or one exact name.
struct HostPattern {
  enum class Kind { wildcard, cidr, range, exact };

  std::string source;
  Kind kind;
  std::optional<WildcardPattern> wildcard;  // kind wildcard
  std::uint32_t base = 0;                   // kind cidr
  std::uint32_t mask = 0;                   // kind cidr
  std::uint32_t low = 0;                    // kind range
  std::uint32_t high = 0;                   // kind range

  /// Compiles the text trimmed of spaces and tabs; never fails, falling back to plainer kinds.
  explicit HostPattern(std::string_view text);
  bool matches(std::string_view host) const;
  bool matches(const PreparedHost& host) const;

 private:
  std::optional<unicode::CaseInsensitiveText> exact_;  // kind exact: the folded source
};

/// An inclusive destination port range; a single port has low == high.
struct PortPattern {
  std::uint16_t low;
  std::uint16_t high;

  /// Nothing for a text that is not a port or a "low-high" range.
  static std::optional<PortPattern> parse(std::string_view text);
  bool matches(std::uint16_t port) const { return low <= port && port <= high; }

  bool operator==(const PortPattern&) const = default;
};

/// A decimal port: an optional "+", then digits, 0 to 65535; nothing else.
std::optional<std::uint16_t> parsePort(std::string_view text);

/// Spaces and tabs removed from both ends (line breaks stay).
std::string_view trimmedSpacesAndTabs(std::string_view text);

/// "a; b;;c" → {"a", "b", "c"}: a list as users write it, split at ";", each item trimmed of
/// spaces and tabs (line breaks stay inside items), empty items dropped.
std::vector<std::string> splitList(std::string_view text);

}  // namespace velmora
