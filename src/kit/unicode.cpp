#include "unicode.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>

namespace velmora::unicode {
namespace {

icu::UnicodeString toUnicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

}  // namespace

bool isASCII(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool isValidUTF8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::string replacingInvalidUTF8(std::string_view text) {
  if (isValidUTF8(text)) return std::string(text);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  std::string result;
  int32_t i = 0;
  while (i < length) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) {
      result += "\xEF\xBF\xBD";
    } else {
      result.append(
          text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    }
  }
  return result;
}

std::string lowercased(std::string_view text) {
  if (isASCII(text)) {
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(), asciiLower);
    return result;
  }
  std::string result;
  toUnicode(text).toLower(icu::Locale::getRoot()).toUTF8String(result);
  return result;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  // Case folding can map a non-ASCII letter onto an ASCII one (the Kelvin sign onto "k"), so the
  // byte-wise shortcut is only exact when both sides are ASCII.
  if (isASCII(a) && isASCII(b)) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             return asciiLower(x) == asciiLower(y);
           });
  }
  return toUnicode(a).caseCompare(toUnicode(b), U_FOLD_CASE_DEFAULT) == 0;
}

bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
  if (isASCII(haystack) && isASCII(needle)) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                       [](char x, char y) { return asciiLower(x) == asciiLower(y); }) !=
           haystack.end();
  }
  return toUnicode(haystack)
             .foldCase(U_FOLD_CASE_DEFAULT)
             .indexOf(toUnicode(needle).foldCase(U_FOLD_CASE_DEFAULT)) >= 0;
}

bool startsWithLowercased(std::string_view text, std::string_view lowercasePrefix) {
  if (isASCII(text)) {
    return text.size() >= lowercasePrefix.size() &&
           std::equal(lowercasePrefix.begin(), lowercasePrefix.end(), text.begin(),
                      [](char p, char t) { return p == asciiLower(t); });
  }
  return lowercased(text).starts_with(lowercasePrefix);
}

namespace {

/// Full default case folding, as code points.
std::u32string folded(std::string_view text) {
  std::u32string result;
  if (isASCII(text)) {
    result.reserve(text.size());
    for (char c : text) result += static_cast<char32_t>(asciiLower(c));
    return result;
  }
  icu::UnicodeString unicode = toUnicode(text).foldCase(U_FOLD_CASE_DEFAULT);
  result.reserve(static_cast<std::size_t>(unicode.length()));
  for (int32_t i = 0; i < unicode.length(); i = unicode.moveIndex32(i, 1)) {
    result += static_cast<char32_t>(unicode.char32At(i));
  }
  return result;
}

/// Whole-subject glob match: on a mismatch, retry from the last "*" with one more character
/// swallowed, which keeps the work linear in practice and quadratic at worst.
template <typename Subject>
bool globMatch(const std::u32string& pattern, const Subject& subject) {
  std::size_t p = 0;
  std::size_t s = 0;
  std::size_t starP = std::u32string::npos;
  std::size_t starS = 0;
  while (s < subject.size()) {
    if (p < pattern.size() && pattern[p] == U'*') {
      starP = p++;
      starS = s;
    } else if (p < pattern.size() &&
               (pattern[p] == U'?' || pattern[p] == static_cast<char32_t>(subject[s]))) {
      ++p;
      ++s;
    } else if (starP != std::u32string::npos) {
      p = starP + 1;
      s = ++starS;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == U'*') ++p;
  return p == pattern.size();
}

/// ASCII text seen through lower-casing, without copying it.
struct LoweredASCII {
  std::string_view text;
  std::size_t size() const { return text.size(); }
  char operator[](std::size_t i) const { return asciiLower(text[i]); }
};

}  // namespace

CaseInsensitiveWildcard::CaseInsensitiveWildcard(std::string_view pattern)
    : folded_(folded(pattern)) {
  fixed_ =
      folded_.size() - static_cast<std::size_t>(std::count(folded_.begin(), folded_.end(), U'*'));
  const std::size_t firstStar = folded_.find(U'*');
  head_ = firstStar == std::u32string::npos ? folded_.size() : firstStar;
  if (firstStar != std::u32string::npos) tail_ = folded_.rfind(U'*') + 1;
}

template <typename Subject>
bool CaseInsensitiveWildcard::mayMatch(const Subject& subject) const {
  if (subject.size() < fixed_) return false;
  const auto same = [&](std::size_t p, std::size_t s) {
    return folded_[p] == U'?' || folded_[p] == static_cast<char32_t>(subject[s]);
  };
  for (std::size_t p = 0; p < head_; ++p) {
    if (!same(p, p)) return false;
  }
  if (tail_ == std::u32string::npos) return true;
  const std::size_t tailLength = folded_.size() - tail_;
  for (std::size_t i = 0; i < tailLength; ++i) {
    if (!same(tail_ + i, subject.size() - tailLength + i)) return false;
  }
  return true;
}

bool CaseInsensitiveWildcard::matches(std::string_view subject) const {
  if (isASCII(subject)) return globMatch(folded_, LoweredASCII{subject});
  return globMatch(folded_, folded(subject));
}

bool CaseInsensitiveWildcard::matches(const FoldedSubject& subject) const {
  if (subject.ascii) {
    const LoweredASCII lowered{subject.text};
    return mayMatch(lowered) && globMatch(folded_, lowered);
  }
  return mayMatch(subject.folded) && globMatch(folded_, subject.folded);
}

FoldedSubject::FoldedSubject(std::string_view subject) : text(subject), ascii(isASCII(subject)) {
  if (!ascii) folded = velmora::unicode::folded(subject);
}

CaseInsensitiveText::CaseInsensitiveText(std::string_view text) : ascii_(isASCII(text)) {
  if (ascii_) {
    lowered_.resize(text.size());
    std::transform(text.begin(), text.end(), lowered_.begin(), asciiLower);
  } else {
    folded_ = folded(text);
  }
}

bool CaseInsensitiveText::matches(const FoldedSubject& subject) const {
  // Folding either side is the identity on ASCII bar lower-casing, so each of the four pairings
  // compares code point by code point; a folded non-ASCII text may still equal an ASCII one.
  const auto same = [](const auto& a, const auto& b, auto lower) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](auto x, auto y) {
             return static_cast<char32_t>(x) == static_cast<char32_t>(lower(y));
           });
  };
  const auto asIs = [](auto c) { return c; };
  if (subject.ascii) {
    return ascii_ ? same(lowered_, subject.text, asciiLower)
                  : same(folded_, subject.text, asciiLower);
  }
  return ascii_ ? same(subject.folded, lowered_, asIs) : subject.folded == folded_;
}

}  // namespace velmora::unicode
