// VL: look-up of every user-facing text, with printf-style filling of "%@" and "%lld".
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace velmora {

/// One value to fill into a localised text: text for "%@", an integer for "%lld".
class VLArgument {
 public:
  VLArgument(std::string_view text) : value_(std::string(text)) {}
  VLArgument(const std::string& text) : value_(text) {}
  VLArgument(const char* text) : value_(std::string(text)) {}
  template <std::integral T>
  VLArgument(T number) : value_(static_cast<long long>(number)) {}

  std::string text() const;

 private:
  std::variant<std::string, long long> value_;
};

namespace detail {
std::string fill(std::string_view format, std::initializer_list<VLArgument> arguments);
}

/// The translation of key in the "velmora" text domain, or the key itself when there is none.
std::string VL(std::string_view key);

/// VL(key) with its placeholders filled from the arguments, in order ("%1$@" picks by position).
template <typename... Arguments>
std::string VL(std::string_view key, const Arguments&... arguments) {
  return detail::fill(VL(key), {VLArgument(arguments)...});
}

}  // namespace velmora
