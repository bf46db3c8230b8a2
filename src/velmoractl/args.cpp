#include "args.h"

#include <algorithm>
#include <array>

#include "kit/error.h"
#include "kit/localize.h"
#include "kit/unicode.h"

namespace velmora::cli {
namespace {

// These never take a value, so "--json status" keeps "status" as the command word.
constexpr std::array<std::string_view, 10> kValuelessOptions = {
    "--json", "--offline", "--follow", "-h", "--help", "--add", "--no-auth", "--top", "--bottom",
    "--print"};

/// The word with every byte that does not belong to valid UTF-8 written as \xNN.
std::string printable(std::string_view word) {
  std::string text;
  std::size_t i = 0;
  while (i < word.size()) {
    std::size_t length = 1;
    while (length <= 4 && i + length <= word.size() &&
           !unicode::isValidUTF8(word.substr(i, length))) {
      ++length;
    }
    if (length <= 4 && i + length <= word.size()) {
      text += word.substr(i, length);
      i += length;
      continue;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    const auto byte = static_cast<unsigned char>(word[i]);
    text += "\\x";
    text += kHex[byte >> 4];
    text += kHex[byte & 0xF];
    i += 1;
  }
  return text;
}

void requireTextWord(std::string_view word) {
  if (!unicode::isValidUTF8(word))
    throw Error(VL("参数「%@」不是有效的 UTF-8 文本", printable(word)));
}

}  // namespace

Args::Args(const std::vector<std::string>& argv) {
  std::size_t i = 0;
  while (i < argv.size()) {
    const std::string& argument = argv[i];
    if (argument == "run" && positional.empty()) {
      positional.push_back(argument);
      i += 1;
      if (i < argv.size() && argv[i] == "--transparent") flags.insert(argv[i++]);
      if (i < argv.size() && argv[i] == "--") i += 1;
      program.assign(argv.begin() + static_cast<std::ptrdiff_t>(i), argv.end());
      break;
    }
    if (!argument.starts_with("-")) {
      positional.push_back(argument);
      i += 1;
    } else if (std::find(kValuelessOptions.begin(), kValuelessOptions.end(), argument) !=
               kValuelessOptions.end()) {
      flags.insert(argument);
      i += 1;
    } else if (i + 1 < argv.size() && !argv[i + 1].starts_with("--")) {
      // A value may itself begin with a single "-", as in "--port -1".
      options[argument] = argv[i + 1];
      optionOccurrences.emplace_back(argument, argv[i + 1]);
      i += 2;
    } else {
      flags.insert(argument);
      i += 1;
    }
  }
}

std::optional<std::string> Args::flag(std::initializer_list<std::string_view> names) const {
  for (std::string_view name : names) {
    if (const auto found = options.find(std::string(name)); found != options.end())
      return found->second;
  }
  return std::nullopt;
}

std::vector<std::string> Args::values(std::string_view name) const {
  std::vector<std::string> result;
  for (const auto& [option, value] : optionOccurrences) {
    if (option == name) result.push_back(value);
  }
  return result;
}

void Args::requireText() const {
  const bool importing = !positional.empty() && positional[0] == "import";
  for (std::size_t i = 0; i < positional.size(); ++i) {
    if (!(importing && i == 1)) requireTextWord(positional[i]);
  }
  for (const auto& [option, value] : optionOccurrences) {
    requireTextWord(option);
    if (option != "-o" && option != "--output") requireTextWord(value);
  }
  for (const std::string& flag : flags) requireTextWord(flag);
}

}  // namespace velmora::cli
