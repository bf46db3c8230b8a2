// What every command handler works with: the parsed words, the output of the run and the
// backend that serves it.
#pragma once

#include <string>

#include "args.h"
#include "backend.h"
#include "output.h"

namespace velmora::cli {

/// One run's words, output and backend.
class CommandContext {
 public:
  CommandContext(const Args& args, Output& out, Backend& backend)
      : args(args), out(out), backend(backend) {}

  const Args& args;
  Output& out;
  Backend& backend;

  bool json() const { return args.hasFlag("--json"); }
  /// The word at index i of the command line, or "" past the end.
  const std::string& word(std::size_t i) const;
};

}  // namespace velmora::cli
