// velmoractl: parse the words, answer help at once, then run one command and end.
#include <clocale>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "args.h"
#include "automation_client.h"
#include "commands.h"
#include "kit/error.h"
#include "output.h"

int main(int argc, char** argv) {
  // Messages follow the user's language; numbers keep the "C" form the output formats rely on.
  std::setlocale(LC_MESSAGES, "");
  std::setlocale(LC_CTYPE, "");

  using namespace velmora::cli;
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  const Args args(arguments);

  if (args.positional.empty()) {
    emit(usage);
    return arguments.empty() ? 1 : 0;
  }
  if (args.hasFlag("-h") || args.hasFlag("--help")) {
    emit(usage);
    return 0;
  }

  try {
    // The backend is chosen once: the running application unless --offline says otherwise or
    // nobody answers the probe. The client opens nothing until it is first used.
    AutomationClient client;
    const bool useOffline = args.hasFlag("--offline") || !client.isAppRunning();
    CommandContext context(args, client, useOffline);
    dispatch(context);
  } catch (const velmora::Error& error) {
    fail(error.description());
  } catch (const std::exception& error) {
    // File-system and other platform failures speak for themselves.
    fail(error.what());
  }
  return 0;
}
