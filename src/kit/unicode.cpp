#include "unicode.h"

#include <unicode/locid.h>
#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>

namespace velmora::unicode {
namespace {

icu::UnicodeString toUnicode(std::string_view text) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

bool isASCII(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

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
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return asciiLower(x) == asciiLower(y); });
  }
  return toUnicode(a).caseCompare(toUnicode(b), U_FOLD_CASE_DEFAULT) == 0;
}

std::string escapedForRegex(std::string_view text) {
  static constexpr std::string_view kSpecial = "\\^$.|?*+()[]{}-#&~ ";
  std::string result;
  result.reserve(text.size() * 2);
  for (char c : text) {
    if (kSpecial.find(c) != std::string_view::npos) result += '\\';
    result += c;
  }
  return result;
}

struct CaseInsensitiveRegex::Compiled {
  std::unique_ptr<icu::RegexPattern> pattern;
};

CaseInsensitiveRegex::CaseInsensitiveRegex(std::shared_ptr<const Compiled> compiled)
    : compiled_(std::move(compiled)) {}

std::optional<CaseInsensitiveRegex> CaseInsensitiveRegex::compile(std::string_view expression) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError;
  std::unique_ptr<icu::RegexPattern> pattern(
      icu::RegexPattern::compile(toUnicode(expression), UREGEX_CASE_INSENSITIVE, parseError, status));
  if (U_FAILURE(status) || !pattern) return std::nullopt;
  auto compiled = std::make_shared<Compiled>();
  compiled->pattern = std::move(pattern);
  return CaseInsensitiveRegex(std::move(compiled));
}

bool CaseInsensitiveRegex::find(std::string_view subject) const {
  // A RegexPattern may be shared between threads; each search gets a matcher of its own.
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString text = toUnicode(subject);
  std::unique_ptr<icu::RegexMatcher> matcher(compiled_->pattern->matcher(text, status));
  if (U_FAILURE(status)) return false;
  bool found = matcher->find(status);
  return U_SUCCESS(status) && found;
}

}  // namespace velmora::unicode
