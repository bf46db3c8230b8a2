// How the tool speaks: lines and JSON documents through an output object owned by the run, byte
// counts for people, and the one error report.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "kit/error.h"
#include "kit/json_text.h"

namespace velmora::cli {

/// Standard output refused what was written: full, closed, or a pipe nobody reads any more.
class OutputError : public Error {
 public:
  explicit OutputError(int errorNumber);
  int errorNumber() const { return errorNumber_; }

 private:
  int errorNumber_;
};

/// Where a command's lines go. Writes are buffered; flush() hands them on and reports a refusal.
class Output {
 public:
  virtual ~Output() = default;

  /// The text and a newline.
  void emit(std::string_view text);
  /// The value pretty-printed with sorted keys, and a newline; nothing at all for a value that
  /// cannot be written as JSON.
  void emitJSON(const json::Value& value);
  /// Hands every buffered line on; throws OutputError when they cannot be.
  virtual void flush() = 0;

 protected:
  virtual void write(std::string_view bytes) = 0;
};

/// The process's standard output, written with write(2) so that every failure is seen.
class StandardOutput final : public Output {
 public:
  StandardOutput() = default;
  StandardOutput(const StandardOutput&) = delete;
  StandardOutput& operator=(const StandardOutput&) = delete;

  void flush() override;

 private:
  void write(std::string_view bytes) override;
  std::string buffer_;
};

/// A line on standard error saying what a person is waiting for, shown only when standard error
/// is a terminal and erased once the wait is over, so that nothing of it reaches a pipe or a log.
class Progress {
 public:
  explicit Progress(std::string_view what);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

 private:
  bool shown_;
};

/// "512 B", "1.5 KB", … up to TB, one decimal place once a unit is chosen.
std::string humanBytes(std::uint64_t count);

/// Writes "错误：" + message and a newline to standard error.
void reportFailure(std::string_view message);
/// Writes "注意：" + message and a newline to standard error: something the user should know
/// about a command that went through.
void reportNote(std::string_view message);

}  // namespace velmora::cli
