#include "output.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kit/localize.h"

namespace velmora::cli {
namespace {

/// Lines are gathered up to this size before they are written.
constexpr std::size_t kBufferLimit = 64 * 1024;

}  // namespace

OutputError::OutputError(int errorNumber)
    : Error(VL("无法写入标准输出：%@", std::strerror(errorNumber))), errorNumber_(errorNumber) {}

void Output::emit(std::string_view text) {
  write(text);
  write("\n");
}

void Output::emitJSON(const json::Value& value) {
  try {
    emit(json::pretty(value));
  } catch (const json::EncodingError&) {
    // Text that is not UTF-8 is never printed as JSON; the listing is left out rather than
    // broken.
  }
}

void StandardOutput::write(std::string_view bytes) {
  buffer_ += bytes;
  if (buffer_.size() >= kBufferLimit) flush();
}

void StandardOutput::flush() {
  std::size_t written = 0;
  while (written < buffer_.size()) {
    const ssize_t n = ::write(STDOUT_FILENO, buffer_.data() + written, buffer_.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      buffer_.clear();
      throw OutputError(error);
    }
    written += static_cast<std::size_t>(n);
  }
  buffer_.clear();
}

namespace {

/// Writes to standard error, once; a terminal that refuses is not worth a failure.
void writeToError(std::string_view text) {
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
}

/// Back to the start of the line, and the line cleared.
constexpr std::string_view kClearLine = "\r\033[K";

}  // namespace

Progress::Progress(std::string_view what) : shown_(::isatty(STDERR_FILENO) == 1) {
  if (shown_) writeToError(std::string(kClearLine) + std::string(what));
}

Progress::~Progress() {
  if (shown_) writeToError(kClearLine);
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

namespace {

void writeError(std::string_view prefix, std::string_view message) {
  std::string line(prefix);
  line += message;
  line += '\n';
  // Nothing more can be said if standard error refuses too.
  [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

void reportFailure(std::string_view message) {
  writeError("错误：", message);
}

void reportNote(std::string_view message) {
  writeError("注意：", message);
}

}  // namespace velmora::cli
