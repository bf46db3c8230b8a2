// Unicode-aware text comparison, case mapping, search and regular expressions (ICU underneath).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmora::unicode {

/// True when every byte is below 0x80.
bool isASCII(std::string_view text);

/// The letter in lower case when it is an ASCII capital; any other byte as it is.
constexpr char asciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

/// True when the bytes are well-formed UTF-8.
bool isValidUTF8(std::string_view text);

/// The text with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string replacingInvalidUTF8(std::string_view text);

/// Lower-case form of UTF-8 text, independent of the user's locale.
std::string lowercased(std::string_view text);

/// True when the two texts are equal under Unicode case folding.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

/// True when needle occurs in haystack ignoring case, the way a user searches for a word.
bool containsIgnoringCase(std::string_view haystack, std::string_view needle);

/// True when lowercased(text) starts with lowercasePrefix, which must already be lower case.
bool startsWithLowercased(std::string_view text, std::string_view lowercasePrefix);

/// A subject text looked at once for many comparisons under case folding: whether it is ASCII,
/// and its folding when it is not. It views the text, which must outlive it.
struct FoldedSubject {
  std::string_view text;
  bool ascii = true;
  std::u32string folded;  // full default case folding; only for text that is not ASCII

  FoldedSubject() = default;
  explicit FoldedSubject(std::string_view subject);
};

/// Plain text compared whole with subjects under Unicode case folding, folded once, here: the
/// same answer as equalsIgnoringCase without re-examining either side.
class CaseInsensitiveText {
 public:
  explicit CaseInsensitiveText(std::string_view text);
  bool matches(const FoldedSubject& subject) const;

 private:
  bool ascii_;
  std::string lowered_;    // ASCII text, lower-cased
  std::u32string folded_;  // other text, case-folded
};

/// A wildcard ("*" any run of characters, "?" exactly one) matched against a whole subject under
/// Unicode case folding. Both sides are folded the same way, so the comparison is code point by
/// code point; folding the pattern happens once, here.
class CaseInsensitiveWildcard {
 public:
  explicit CaseInsensitiveWildcard(std::string_view pattern);
  bool matches(std::string_view subject) const;
  bool matches(const FoldedSubject& subject) const;

  bool operator==(const CaseInsensitiveWildcard&) const = default;

 private:
  /// Whether a subject could match at all: long enough, and with the pattern's fixed start and
  /// end in place. Most subjects fail here without the full match.
  template <typename Subject>
  bool mayMatch(const Subject& subject) const;

  std::u32string folded_;
  std::size_t fixed_ = 0;                    // code points other than "*"
  std::size_t head_ = 0;                     // code points before the first "*"
  std::size_t tail_ = std::u32string::npos;  // where the part after the last "*" starts
};

}  // namespace velmora::unicode
