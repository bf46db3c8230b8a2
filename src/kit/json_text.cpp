#include "json_text.h"

#include <cstdio>

#include "localize.h"
#include "unicode.h"

namespace velmora::json {
namespace {

void writeString(std::string& out, const std::string& text) {
  // Whatever is written must read back: a file or reply with a broken byte would make every
  // later read of it fail.
  if (!unicode::isValidUTF8(text)) throw EncodingError(VL("无法写出 JSON：文本不是有效的 UTF-8"));
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void write(std::string& out, const Value& value, bool indented, int depth) {
  const auto newline = [&](int level) {
    if (!indented) return;
    out += '\n';
    out.append(static_cast<std::size_t>(level) * 2, ' ');
  };
  switch (value.type()) {
    case Value::value_t::object: {
      if (value.empty()) {
        out += "{}";
        return;
      }
      out += '{';
      bool first = true;
      // nlohmann::json keeps object members in a std::map, so they come out in byte order.
      for (const auto& [key, member] : value.items()) {
        if (!first) out += ',';
        first = false;
        newline(depth + 1);
        writeString(out, key);
        out += indented ? " : " : ":";
        write(out, member, indented, depth + 1);
      }
      newline(depth);
      out += '}';
      return;
    }
    case Value::value_t::array: {
      if (value.empty()) {
        out += "[]";
        return;
      }
      out += '[';
      bool first = true;
      for (const auto& element : value) {
        if (!first) out += ',';
        first = false;
        newline(depth + 1);
        write(out, element, indented, depth + 1);
      }
      newline(depth);
      out += ']';
      return;
    }
    case Value::value_t::string:
      writeString(out, value.get_ref<const std::string&>());
      return;
    default:
      out += value.dump();
  }
}

/// The deepest nesting of arrays and objects in the text, stopping once it passes limit.
/// Strings are skipped, escapes included; malformed text is the parser's to reject.
std::size_t nestingDepth(std::string_view text, std::size_t limit) {
  std::size_t depth = 0, deepest = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > limit) break;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

/// Why the parser gave up, in the user's words.
std::string parseFailure(const Value::parse_error& error) {
  const std::string_view what = error.what();
  const auto byte = static_cast<long long>(error.byte);
  if (what.find("UTF-8") != std::string_view::npos ||
      what.find("surrogate") != std::string_view::npos) {
    return VL("第 %lld 字节处的文本不是有效的 UTF-8", byte);
  }
  if (what.find("end of input") != std::string_view::npos)
    return VL("内容在第 %lld 字节处意外结束", byte);
  return VL("第 %lld 字节处有语法错误", byte);
}

}  // namespace

std::string pretty(const Value& value) {
  std::string out;
  write(out, value, true, 0);
  return out;
}

std::string compact(const Value& value) {
  std::string out;
  write(out, value, false, 0);
  return out;
}

Value parse(std::string_view text) {
  // Every value read is later walked recursively (copied, written, searched for its path), so
  // the nesting is bounded here; no document of ours comes anywhere near it.
  if (nestingDepth(text, kMaxNestingDepth) > kMaxNestingDepth) {
    throw DecodingError(
        VL("JSON 格式错误：嵌套超过 %lld 层", static_cast<long long>(kMaxNestingDepth)));
  }
  try {
    return Value::parse(text.begin(), text.end());
  } catch (const Value::parse_error& error) {
    throw DecodingError(VL("JSON 格式错误：%@", parseFailure(error)));
  } catch (const Value::out_of_range&) {
    throw DecodingError(VL("JSON 格式错误：数字超出可表示的范围"));
  } catch (const Value::exception&) {
    throw DecodingError(VL("JSON 格式错误：无法解析"));
  }
}

std::string formatISO8601(Date date) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(date);
  const auto day = std::chrono::floor<std::chrono::days>(seconds);
  const std::chrono::year_month_day ymd(day);
  const std::chrono::hh_mm_ss time(seconds - day);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
  return buffer;
}

std::optional<Date> parseISO8601(std::string_view text) {
  const auto digits = [&](std::size_t at, std::size_t count) -> std::optional<int> {
    if (at + count > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
      if (text[i] < '0' || text[i] > '9') return std::nullopt;
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  const auto separator = [&](std::size_t at, char c) { return at < text.size() && text[at] == c; };
  const auto year = digits(0, 4), month = digits(5, 2), day = digits(8, 2);
  const auto hour = digits(11, 2), minute = digits(14, 2), second = digits(17, 2);
  if (!year || !month || !day || !hour || !minute || !second || !separator(4, '-') ||
      !separator(7, '-') || !(separator(10, 'T') || separator(10, 't')) || !separator(13, ':') ||
      !separator(16, ':')) {
    return std::nullopt;
  }
  const std::chrono::year_month_day ymd{std::chrono::year(*year),
                                        std::chrono::month(static_cast<unsigned>(*month)),
                                        std::chrono::day(static_cast<unsigned>(*day))};
  if (!ymd.ok() || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
  std::chrono::seconds offset{0};
  const std::string_view zone = text.substr(19);
  if (zone == "Z" || zone == "z") {
    offset = std::chrono::seconds(0);
  } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
    const auto offsetHours = digits(20, 2), offsetMinutes = digits(23, 2);
    if (!offsetHours || !offsetMinutes) return std::nullopt;
    offset = std::chrono::hours(*offsetHours) + std::chrono::minutes(*offsetMinutes);
    if (zone[0] == '-') offset = -offset;
  } else {
    return std::nullopt;
  }
  return std::chrono::sys_days(ymd) + std::chrono::hours(*hour) + std::chrono::minutes(*minute) +
         std::chrono::seconds(*second) - offset;
}

namespace {

/// Spells out where target sits below node ("rules[1].tags"); false when it is not there.
bool findPath(const Value& node, const Value* target, std::string& path) {
  if (&node == target) return true;
  const std::size_t length = path.size();
  if (node.is_object()) {
    for (auto member = node.begin(); member != node.end(); ++member) {
      if (!path.empty()) path += '.';
      path += member.key();
      if (findPath(member.value(), target, path)) return true;
      path.resize(length);
    }
  } else if (node.is_array()) {
    for (std::size_t i = 0; i < node.size(); ++i) {
      path += '[';
      path += std::to_string(i);
      path += ']';
      if (findPath(node[i], target, path)) return true;
      path.resize(length);
    }
  }
  return false;
}

}  // namespace

std::string Reader::path() const {
  std::string result;
  findPath(*document_, &value_, result);
  return result;
}

std::string Reader::memberPath(std::string_view key) const {
  std::string result = path();
  if (!result.empty()) result += '.';
  result += key;
  return result;
}

void Reader::requireObject() const {
  if (!value_.is_object()) wrongType(VL("对象"));
}

Reader Reader::operator[](std::string_view key) const {
  requireObject();
  const auto found = value_.find(key);
  if (found == value_.end())
    throw DecodingError(VL("JSON 数据无效：缺少键「%@」", memberPath(key)));
  if (found->is_null())
    throw DecodingError(VL("JSON 数据无效：键「%@」不能为 null", memberPath(key)));
  return Reader(*found, document_);
}

std::optional<Reader> Reader::optional(std::string_view key) const {
  requireObject();
  const auto found = value_.find(key);
  if (found == value_.end() || found->is_null()) return std::nullopt;
  return Reader(*found, document_);
}

std::vector<Reader> Reader::elements() const {
  if (!value_.is_array()) wrongType(VL("数组"));
  std::vector<Reader> result;
  result.reserve(value_.size());
  for (std::size_t i = 0; i < value_.size(); ++i) {
    result.push_back(Reader(value_[i], document_));
  }
  return result;
}

std::vector<std::pair<std::string, Reader>> Reader::members() const {
  requireObject();
  std::vector<std::pair<std::string, Reader>> result;
  for (auto member = value_.begin(); member != value_.end(); ++member) {
    result.emplace_back(member.key(), Reader(member.value(), document_));
  }
  return result;
}

std::string Reader::string() const {
  if (!value_.is_string()) wrongType(VL("字符串"));
  return value_.get<std::string>();
}

bool Reader::boolean() const {
  if (!value_.is_boolean()) wrongType(VL("布尔值"));
  return value_.get<bool>();
}

std::int64_t Reader::integer() const {
  if (value_.is_number_unsigned()) {
    if (value_.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) invalid();
    return static_cast<std::int64_t>(value_.get<std::uint64_t>());
  }
  if (!value_.is_number_integer()) wrongType(VL("整数"));
  return value_.get<std::int64_t>();
}

std::uint16_t Reader::port() const {
  const std::int64_t number = integer();
  if (number < 0 || number > 65535) invalid();
  return static_cast<std::uint16_t>(number);
}

UUID Reader::uuid() const {
  const auto parsed = UUID::parse(string());
  if (!parsed) invalid();
  return *parsed;
}

Date Reader::date() const {
  const auto parsed = parseISO8601(string());
  if (!parsed) invalid();
  return *parsed;
}

double Reader::number() const {
  if (!value_.is_number()) wrongType(VL("数字"));
  return value_.get<double>();
}

std::uint64_t Reader::unsignedInteger() const {
  if (value_.is_number_unsigned()) return value_.get<std::uint64_t>();
  if (!value_.is_number_integer()) wrongType(VL("整数"));
  invalid();  // a negative integer
}

std::vector<std::string> Reader::strings() const {
  std::vector<std::string> result;
  for (const Reader& element : elements()) result.push_back(element.string());
  return result;
}

std::optional<std::string> Reader::optionalString(std::string_view key) const {
  if (const auto member = optional(key)) return member->string();
  return std::nullopt;
}

void Reader::invalid() const {
  const std::string place = path();
  throw DecodingError(
      VL("JSON 数据无效：键「%@」的值 %@ 无效", place.empty() ? "(root)" : place, compact(value_)));
}

void Reader::wrongType(std::string_view expected) const {
  const std::string place = path();
  if (place.empty()) throw DecodingError(VL("JSON 数据无效：文档应为%@", expected));
  throw DecodingError(VL("JSON 数据无效：键「%@」应为%@", place, expected));
}

}  // namespace velmora::json
