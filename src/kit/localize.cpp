#include "localize.h"

#include <libintl.h>

#include <vector>

namespace velmora {

std::string VLArgument::text() const {
  if (const auto* text = std::get_if<std::string>(&value_)) return *text;
  return std::to_string(std::get<long long>(value_));
}

std::string VL(std::string_view key) {
  const std::string msgid(key);
  return dgettext("velmora", msgid.c_str());
}

namespace detail {

std::string fill(std::string_view format, std::initializer_list<VLArgument> arguments) {
  const std::vector<VLArgument> values(arguments);
  std::string result;
  result.reserve(format.size() + 16 * values.size());
  std::size_t next = 0;
  std::size_t i = 0;
  while (i < format.size()) {
    if (format[i] != '%') {
      result += format[i++];
      continue;
    }
    std::size_t j = i + 1;
    if (j < format.size() && format[j] == '%') {
      result += '%';
      i = j + 1;
      continue;
    }
    // An explicit position ("%2$@") lets a translation reorder the values.
    std::size_t position = 0;
    std::size_t k = j;
    while (k < format.size() && format[k] >= '0' && format[k] <= '9')
      position = position * 10 + (format[k++] - '0');
    if (k > j && k < format.size() && format[k] == '$' && position > 0) {
      j = k + 1;
    } else {
      position = 0;
    }
    std::size_t length = 0;
    if (format.substr(j, 1) == "@") {
      length = 1;
    } else if (format.substr(j, 3) == "lld") {
      length = 3;
    }
    if (length == 0) {
      result += format[i++];
      continue;
    }
    const std::size_t index = position > 0 ? position - 1 : next++;
    if (index < values.size()) result += values[index].text();
    i = j + length;
  }
  return result;
}

}  // namespace detail
}  // namespace velmora
