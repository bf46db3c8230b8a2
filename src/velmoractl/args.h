// The command line as positional words, options with values and value-less flags.
#pragma once

#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::cli {

/// The parsed process arguments. Options may stand anywhere; a later one replaces an earlier one.
struct Args {
  std::vector<std::string> positional;
  std::map<std::string, std::string> options;
  std::set<std::string> flags;
  /// Every option that took a value, in command-line order, repeats included.
  std::vector<std::pair<std::string, std::string>> optionOccurrences;
  /// After the command word "run" (its one option "--transparent", and an optional "--"): the
  /// program to run and its arguments, kept as they are, options included.
  std::vector<std::string> program;

  explicit Args(const std::vector<std::string>& argv);

  /// The value of the first of names that was given with a value.
  std::optional<std::string> flag(std::initializer_list<std::string_view> names) const;
  /// Every value given to the option, in order (for options that may be repeated).
  std::vector<std::string> values(std::string_view name) const;
  bool hasFlag(std::string_view name) const { return flags.contains(std::string(name)); }

  /// Throws when a word is not valid UTF-8 text, naming it, before any of it can reach a file.
  /// Words that name files are exempt: a Linux file name may hold any bytes.
  void requireText() const;
};

}  // namespace velmora::cli
