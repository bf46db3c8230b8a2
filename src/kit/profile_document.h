// The store's file form of a profile: writing it, reading it whole, and reading only its outline.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "model.h"

namespace velmora {

/// The store's file form of a profile: pretty-printed, keys sorted.
std::string encodeProfileDocument(const Profile& profile);

/// Reads a profile document, naming the key or value that is wrong when it cannot.
Profile decodeProfileDocument(std::string_view text);

/// What a listing shows of a profile. A document yields an outline exactly when it decodes as
/// a whole; its rules, proxies and chains are checked, counted and let go.
struct ProfileOutline {
  UUID id;
  std::string name;
  std::size_t ruleCount = 0;
  std::size_t proxyCount = 0;
  std::vector<NetworkEnvironment> environments;

  static ProfileOutline of(const Profile& profile);

  bool operator==(const ProfileOutline&) const = default;
};

/// Reads the outline of a profile document; fails as decodeProfileDocument does.
ProfileOutline decodeProfileOutline(std::string_view text);

namespace detail {

/// The direct reader alone: the profile when it takes the whole document, nothing when it
/// declines it (anything malformed, and a few well-formed rarities), so that the caller reads
/// the document again through the document tree, whose messages name what is wrong.
std::optional<Profile> readProfileDirectly(std::string_view text);

}  // namespace detail

}  // namespace velmora
