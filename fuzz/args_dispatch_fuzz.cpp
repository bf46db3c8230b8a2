// The command line on any words: parsed, checked and dispatched to the handlers over a scratch
// store. Every outcome is output or a velmora::Error; anything else is a finding. Words that
// would read or write files the input names, read standard input or probe the machine's ports
// are left out.
#include <cstdint>
#include <string>
#include <vector>

#include "commands.h"
#include "fuzz_environment.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velmora;
  std::vector<std::string> words(1);
  for (std::size_t i = 0; i < size && words.size() <= 16; ++i) {
    if (data[i] == '\0') {
      words.emplace_back();
    } else {
      words.back() += static_cast<char>(data[i]);
    }
  }
  for (const std::string& word : words) {
    if (word == "import" || word == "serve" || word == "discover" || word == "install" ||
        word == "uninstall" || word == "-o" || word == "--output" || word == "--follow") {
      return 0;
    }
  }
  fuzzing::Environment& environment = fuzzing::Environment::shared();
  fuzzing::DiscardedOutput out;
  try {
    const cli::Args args(words);
    if (args.positional.empty()) return 0;
    args.requireText();
    cli::CommandContext context(args, out, environment.backend());
    cli::dispatch(context);
  } catch (const Error&) {
    // A refusal in the user's words is a fine outcome.
  }
  return 0;
}
