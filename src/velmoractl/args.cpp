#include "args.h"

#include <algorithm>
#include <array>

namespace velmora::cli {
namespace {

// These never take a value, so "--json status" keeps "status" as the command word.
constexpr std::array<std::string_view, 5> kValuelessOptions = {"--json", "--offline", "--follow",
                                                               "-h", "--help"};

}  // namespace

Args::Args(const std::vector<std::string>& argv) {
  std::size_t i = 0;
  while (i < argv.size()) {
    const std::string& argument = argv[i];
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

}  // namespace velmora::cli
