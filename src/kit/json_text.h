// The project's JSON text: one writer with a pretty and a compact layout, and a strict reader that
// names the key or value it cannot accept.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "uuid.h"

namespace velmora::json {

using Value = nlohmann::json;

/// One member a line, two-space indentation, `"key" : value`, keys in byte order, "/" as "\/".
std::string pretty(const Value& value);

/// No white space at all; keys in byte order, same escaping as pretty.
std::string compact(const Value& value);

/// A JSON document that cannot be read; the message says where and why.
class DecodingError : public Error {
 public:
  using Error::Error;
};

/// Parses JSON text, throwing DecodingError for anything that is not one well-formed document.
Value parse(std::string_view text);

/// A read-only view of one value inside a document, which knows its path ("rules[1].tags") so
/// that every complaint can name the place.
class Reader {
 public:
  explicit Reader(const Value& value, std::string path = {});

  /// The member under key; missing or null is an error.
  Reader operator[](std::string_view key) const;
  /// The member under key, or nothing when it is missing or null.
  std::optional<Reader> optional(std::string_view key) const;

  std::vector<Reader> elements() const;
  std::string string() const;
  bool boolean() const;
  std::int64_t integer() const;
  /// An integer from 0 to 65535.
  std::uint16_t port() const;
  UUID uuid() const;
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
  [[noreturn]] void wrongType(std::string_view expected) const;
  void requireObject() const;

  const Value& value_;
  std::string path_;
};

}  // namespace velmora::json
