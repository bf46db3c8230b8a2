#include "output.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "kit/unicode.h"

namespace velmora::cli {

void emit(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
}

void emitJSON(const json::Value& value) {
  const std::string text = json::pretty(value);
  if (unicode::isValidUTF8(text)) emit(text);
}

std::string humanBytes(std::uint64_t count) {
  if (count < 1024) return std::to_string(count) + " B";
  static constexpr std::array<const char*, 4> kUnits = {"KB", "MB", "GB", "TB"};
  double value = static_cast<double>(count) / 1024.0;
  std::size_t unit = 0;
  while (unit + 1 < kUnits.size() && value >= 1024.0) {
    value /= 1024.0;
    ++unit;
  }
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.1f %s", value, kUnits[unit]);
  return buffer;
}

void fail(std::string_view message) {
  std::fflush(stdout);
  std::fprintf(stderr, "错误：%.*s\n", static_cast<int>(message.size()), message.data());
  std::exit(1);
}

}  // namespace velmora::cli
