// The four ways the tool speaks: a line, a JSON document, a byte count for people, and the one
// error exit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kit/json_text.h"

namespace velmora::cli {

/// Writes the text and a newline to standard output.
void emit(std::string_view text);

/// Writes the value pretty-printed with sorted keys, and a newline, to standard output.
void emitJSON(const json::Value& value);

/// "512 B", "1.5 KB", … up to TB, one decimal place once a unit is chosen.
std::string humanBytes(std::uint64_t count);

/// Writes "错误：" + message to standard error and ends the process with status 1.
[[noreturn]] void fail(std::string_view message);

}  // namespace velmora::cli
