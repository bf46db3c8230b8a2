// velmoractl: parse the words, answer help at once, then run one command and end. This is the
// only place the process ends.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <exception>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "commands_complete.h"
#include "kit/discovery/tunnel_interface_scanner.h"
#include "kit/error.h"
#include "kit/shared_paths.h"
#include "output.h"
#include "session_bus.h"

namespace {

using namespace velmora::cli;

/// Points standard descriptors that are closed at /dev/null, so that no file the run opens lands
/// on them. Standard output is opened read-only: writing to it still fails, and says so.
void occupyClosedStandardDescriptors() {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", fd == STDERR_FILENO ? O_WRONLY : O_RDONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

/// A completion request takes the words as typed, unparsed, and reads the files alone: it must
/// answer at once, without asking the application.
void answerCompletion(const std::vector<std::string>& arguments, Output& out) {
  const CompletionSources sources{
      .storeDirectory = velmora::SharedPaths::storeDirectory(), .interfaceNames = [] {
        std::vector<std::string> names;
        for (const velmora::TunnelInterface& interface : velmora::TunnelInterfaceScanner().scan())
          names.push_back(interface.name);
        return names;
      }};
  complete(std::span(arguments).subspan(1), sources, out);
  out.flush();
}

int run(const std::vector<std::string>& arguments, Output& out) {
  if (!arguments.empty() && arguments[0] == completionCommand) {
    answerCompletion(arguments, out);
    return 0;
  }
  const Args args(arguments);
  if (arguments.empty() || args.hasFlag("-h") || args.hasFlag("--help")) {
    out.emit(usage);
    out.flush();
    return arguments.empty() ? 1 : 0;
  }
  args.requireText();
  // A misspelt option must not leave a command to run without it.
  requireKnownOptions(args);
  if (args.positional.empty()) {
    out.emit(usage);
    out.flush();
    return 0;
  }

  // The backend is chosen once: the running application unless --offline says otherwise or
  // nobody answers the probe. The client loads and opens nothing until it is first used, and the
  // store nothing until a command needs the files.
  SessionBusApplication client;
  const bool useOffline = args.hasFlag("--offline") || !client.isAppRunning();
  std::unique_ptr<velmora::ProfileStore> store;
  Backend backend(
      client,
      [&]() -> velmora::ProfileStore& {
        if (!store)
          store = std::make_unique<velmora::ProfileStore>(velmora::SharedPaths::storeDirectory());
        return *store;
      },
      useOffline ? Backend::Choice::files : Backend::Choice::application);
  CommandContext context(args, out, backend);
  dispatch(context);
  out.flush();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Messages follow the user's language; numbers keep the "C" form the output formats rely on.
  std::setlocale(LC_MESSAGES, "");
  std::setlocale(LC_CTYPE, "");
  occupyClosedStandardDescriptors();
  // A reader that went away shows as EPIPE on the write that finds it gone, handled below.
  std::signal(SIGPIPE, SIG_IGN);

  StandardOutput out;
  const auto failure = [&](const std::string& message) {
    // What the command printed before it failed still goes out first, if it can.
    try {
      out.flush();
    } catch (const OutputError&) {
      // The failure being reported matters more than the lines that could not be written.
    }
    reportFailure(message);
    return 1;
  };
  try {
    return run(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), out);
  } catch (const OutputError& error) {
    if (error.errorNumber() == EPIPE) {
      // The reader stopped early (`velmoractl rule list | head -1`): end quietly, the way other
      // tools do, by the signal the write would have raised.
      std::signal(SIGPIPE, SIG_DFL);
      std::raise(SIGPIPE);
    }
    reportFailure(error.description());
    return 1;
  } catch (const velmora::Error& error) {
    return failure(error.description());
  } catch (const std::exception& error) {
    // File-system and other platform failures speak for themselves.
    return failure(error.what());
  }
}
