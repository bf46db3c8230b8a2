#include "json_text.h"

#include "localize.h"

namespace velmora::json {
namespace {

void writeString(std::string& out, const std::string& text) {
  out += '"';
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
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
  try {
    return Value::parse(text.begin(), text.end());
  } catch (const Value::parse_error& error) {
    throw DecodingError(VL("JSON 格式错误：%@", error.what()));
  }
}

Reader::Reader(const Value& value, std::string path) : value_(value), path_(std::move(path)) {}

void Reader::requireObject() const {
  if (!value_.is_object()) wrongType(VL("对象"));
}

Reader Reader::operator[](std::string_view key) const {
  requireObject();
  const std::string childPath = path_.empty() ? std::string(key) : path_ + "." + std::string(key);
  const auto found = value_.find(key);
  if (found == value_.end()) throw DecodingError(VL("JSON 数据无效：缺少键「%@」", childPath));
  if (found->is_null()) throw DecodingError(VL("JSON 数据无效：键「%@」不能为 null", childPath));
  return Reader(*found, childPath);
}

std::optional<Reader> Reader::optional(std::string_view key) const {
  requireObject();
  const auto found = value_.find(key);
  if (found == value_.end() || found->is_null()) return std::nullopt;
  return Reader(*found, path_.empty() ? std::string(key) : path_ + "." + std::string(key));
}

std::vector<Reader> Reader::elements() const {
  if (!value_.is_array()) wrongType(VL("数组"));
  std::vector<Reader> result;
  result.reserve(value_.size());
  for (std::size_t i = 0; i < value_.size(); ++i) {
    result.emplace_back(value_[i], path_ + "[" + std::to_string(i) + "]");
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
  throw DecodingError(VL("JSON 数据无效：键「%@」的值 %@ 无效", path_.empty() ? "(root)" : path_, compact(value_)));
}

void Reader::wrongType(std::string_view expected) const {
  if (path_.empty()) throw DecodingError(VL("JSON 数据无效：文档应为%@", expected));
  throw DecodingError(VL("JSON 数据无效：键「%@」应为%@", path_, expected));
}

}  // namespace velmora::json
