// The project's JSON text: one writer with a pretty and a compact layout, and a strict reader that
// names the key or value it cannot accept.
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "uuid.h"

namespace velmora::json {

using Value = nlohmann::json;

/// A value that cannot be written as JSON text: a string that is not valid UTF-8.
class EncodingError : public Error {
 public:
  using Error::Error;
};

/// One member a line, two-space indentation, `"key" : value`, keys in byte order, "/" as "\/".
/// Throws EncodingError rather than write text that would not read back.
std::string pretty(const Value& value);

/// No white space at all; keys in byte order, same escaping as pretty.
std::string compact(const Value& value);

using Date = std::chrono::system_clock::time_point;

/// "2025-03-01T08:30:00Z": UTC, whole seconds (fractions are cut, not rounded).
std::string formatISO8601(Date date);
/// Reads "YYYY-MM-DDTHH:MM:SS" followed by "Z" or an offset "+HH:MM"/"-HH:MM".
std::optional<Date> parseISO8601(std::string_view text);

/// A JSON array of records, each written by its toJSON.
template <typename T>
Value arrayOf(const std::vector<T>& records) {
  Value array = Value::array();
  for (const T& record : records) array.push_back(toJSON(record));
  return array;
}

/// A JSON document that cannot be read; the message says where and why.
class DecodingError : public Error {
 public:
  using Error::Error;
};

/// How deeply arrays and objects may nest in a document that is read.
inline constexpr std::size_t kMaxNestingDepth = 512;

/// Parses JSON text, throwing DecodingError for anything that is not one well-formed document
/// (numbers beyond a double and nesting beyond kMaxNestingDepth included).
Value parse(std::string_view text);

/// A read-only view of one value inside a document, which knows its path ("rules[1].tags") so
/// that every complaint can name the place. The path is found only when there is a complaint to
/// make, by looking for the value in its document; like the value, the document must outlive
/// the reader.
class Reader {
 public:
  explicit Reader(const Value& value) : value_(value), document_(&value) {}

  /// The member under key; missing or null is an error.
  Reader operator[](std::string_view key) const;
  /// The member under key, or nothing when it is missing or null.
  std::optional<Reader> optional(std::string_view key) const;

  std::vector<Reader> elements() const;
  /// The members of an object, keyed by name.
  std::vector<std::pair<std::string, Reader>> members() const;
  std::string string() const;
  bool boolean() const;
  std::int64_t integer() const;
  /// An integer from 0 to 65535.
  std::uint16_t port() const;
  UUID uuid() const;
  /// An ISO 8601 date text.
  Date date() const;
  /// Any JSON number.
  double number() const;
  /// A non-negative integer that fits 64 bits.
  std::uint64_t unsignedInteger() const;
  std::vector<std::string> strings() const;
  /// The string under key, or nothing when it is missing or null.
  std::optional<std::string> optionalString(std::string_view key) const;

  /// Reads a string and maps it with parse (returning an optional); nothing is an invalid value.
  template <typename Parse>
  auto enumeration(Parse parse) const {
    auto result = parse(string());
    if (!result) invalid();
    return *result;
  }

  /// Rejects this value as not one of the accepted ones.
  [[noreturn]] void invalid() const;

 private:
  Reader(const Value& value, const Value* document) : value_(value), document_(document) {}
  std::string path() const;
  std::string memberPath(std::string_view key) const;
  [[noreturn]] void wrongType(std::string_view expected) const;
  void requireObject() const;

  const Value& value_;
  const Value* document_;
};

}  // namespace velmora::json
