// The help text and the table from command words to their handlers.
#pragma once

#include <string_view>

#include "command_context.h"

namespace velmora::cli {

/// The help text, printed as it stands.
extern const std::string_view usage;

/// Runs the command named by the first word; throws velmora::Error for anything the user must be
/// told.
void dispatch(CommandContext& context);

// The handlers, one per command word.
void runStatus(CommandContext& context);
void runSwitch(CommandContext& context);  // on, off
void runCapture(CommandContext& context);
void runDashboard(CommandContext& context);
void runProfile(CommandContext& context);
void runEnv(CommandContext& context);
void runRule(CommandContext& context);
void runProxy(CommandContext& context);
void runChain(CommandContext& context);
void runRoute(CommandContext& context);
void runTest(CommandContext& context);
void runLogs(CommandContext& context);
void runExport(CommandContext& context);
void runImport(CommandContext& context);
void runMCP(CommandContext& context);
void runInterface(CommandContext& context);
/// run: a program with the proxy variables pointing at the running application.
void runProgram(CommandContext& context);
/// proxy discover, reached through runProxy.
void runProxyDiscover(CommandContext& context);

}  // namespace velmora::cli
