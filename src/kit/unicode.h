// Unicode-aware text comparison, case mapping, search and regular expressions (ICU underneath).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velmora::unicode {

/// True when the bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view text);

/// Lower-case form of UTF-8 text, independent of the user's locale.
std::string lowercased(std::string_view text);

/// True when the two texts are equal under Unicode case folding.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

/// Escapes text so that a regular expression matches it literally.
std::string escapedForRegex(std::string_view text);

/// A compiled case-insensitive regular expression, shareable between threads.
class CaseInsensitiveRegex {
 public:
  /// Absent when the expression does not compile.
  static std::optional<CaseInsensitiveRegex> compile(std::string_view expression);

  /// True when the expression finds a match anywhere in the subject.
  bool find(std::string_view subject) const;

 private:
  struct Compiled;
  explicit CaseInsensitiveRegex(std::shared_ptr<const Compiled> compiled);
  std::shared_ptr<const Compiled> compiled_;
};

}  // namespace velmora::unicode
