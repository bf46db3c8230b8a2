// The one base of every failure the library reports to a user.
#pragma once

#include <stdexcept>
#include <string>

namespace velmora {

/// A failure whose what() is the user-facing message, shown as it stands.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& description) : std::runtime_error(description) {}
  std::string description() const { return what(); }
};

}  // namespace velmora
