// What many tests need: a scratch directory, a runner for the built velmoractl and a private
// session bus.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmora::testing {

/// A fresh directory under the temporary directory, removed with everything in it.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

/// What a finished child process left behind.
struct RunResult {
  std::string out;
  std::string err;
  int status = -1;
};

/// What the child's standard output is.
enum class StandardOutput {
  captured,    // a pipe read into RunResult::out
  deviceFull,  // /dev/full: every write fails with ENOSPC
  closed,      // no descriptor 1 at all
  closedPipe,  // a pipe whose reader is already gone
};

/// How a run of the tool is set up beyond its words and home.
struct RunOptions {
  /// Interrupt the run as by Ctrl-C once this much time has passed.
  std::optional<std::chrono::milliseconds> interruptAfter;
  StandardOutput output = StandardOutput::captured;
  /// What the run reads on standard input (nothing: /dev/null).
  std::string input;
  /// Further variables of the run's environment, as "PATH=…".
  std::vector<std::string> environment;
};

/// Runs the built velmoractl with the arguments, HOME set to home, no XDG_CONFIG_HOME, and no
/// session bus unless a PrivateBus is alive, whose address it then gets; waits for it.
RunResult runVelmoractl(const std::vector<std::string>& arguments,
                        const std::filesystem::path& home, const RunOptions& options = {});

/// What work returns when a child process of this one does it as user and group 65534, who owns
/// nothing of the test's. Throws std::runtime_error when the child could not become that user or
/// did not finish.
std::string asAnotherUser(const std::function<std::string()>& work);

/// An environment variable set (or, given nothing, removed) while this lives; the earlier state
/// comes back afterwards.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(std::string name, const std::optional<std::string>& value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

/// Which bus a PrivateBus stands in for.
enum class BusKind { session, system };

/// A D-Bus bus of the test's own: a dbus-daemon child started by the constructor, whose address
/// is DBUS_SESSION_BUS_ADDRESS (or, for a system bus, DBUS_SYSTEM_BUS_ADDRESS) for this process
/// and its children while this lives. The destructor stops the daemon and restores the variable;
/// the daemon also ends if the thread that started it dies.
class PrivateBus {
 public:
  explicit PrivateBus(BusKind kind = BusKind::session);
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }

 private:
  BusKind kind_;
  pid_t pid_ = -1;
  std::string address_;
  std::optional<ScopedEnvironmentVariable> variable_;
};

}  // namespace velmora::testing
