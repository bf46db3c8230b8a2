// The help text and the table from command words to their handlers.
#pragma once

#include <string_view>

#include "args.h"

namespace velmora::cli {

/// The help text, printed as it stands.
extern const std::string_view usage;

/// Runs the command named by args.positional[0]; throws velmora::Error for anything the user
/// must be told.
void dispatch(const Args& args);

}  // namespace velmora::cli
