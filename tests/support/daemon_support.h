// What the daemon's end-to-end tests need: the built velmorad as a child process with its log
// at hand, and network namespaces of the test's own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace velmora::testing {

/// The built velmorad, started by the constructor with HOME set to home, the given session bus,
/// the given system bus or none, velmora-netd where the options say or none, and --test-hooks
/// unless told otherwise; it runs inside the named network namespace when one is given. The
/// destructor ends it with SIGTERM if it still runs. Another of the project's programs runs the
/// same way when its command is given.
class RunningDaemon {
 public:
  struct Options {
    std::filesystem::path home;
    std::string sessionBus;
    std::optional<std::string> systemBus;
    std::optional<std::string> networkNamespace;
    /// Where it finds velmora-netd; by default a path in home where nothing listens.
    std::optional<std::filesystem::path> netdSocket;
    bool testHooks = true;
    /// The program and its arguments, instead of velmorad and its options.
    std::vector<std::string> command;
  };

  explicit RunningDaemon(const Options& options);
  ~RunningDaemon();
  RunningDaemon(const RunningDaemon&) = delete;
  RunningDaemon& operator=(const RunningDaemon&) = delete;

  /// Waits until the log, after its first from bytes, has a line containing text; false when the
  /// daemon ended first or the time ran out.
  bool waitForLog(std::string_view text, std::chrono::milliseconds limit = std::chrono::seconds(10),
                  std::size_t from = 0);
  /// Waits until it says it is ready to serve.
  bool waitUntilReady() { return waitForLog("已就绪"); }
  /// Sends SIGTERM and waits for the end; the exit status, or 128 + signal.
  int stop();
  /// Waits for the end without signalling; nothing when it still runs after limit.
  std::optional<int> waitForExit(std::chrono::milliseconds limit = std::chrono::seconds(10));
  pid_t pid() const { return pid_; }
  /// Everything it has logged so far.
  const std::string& log();

 private:
  /// Reads what the log pipe holds, waiting at most limit for something to arrive.
  void readLog(std::chrono::milliseconds limit);

  pid_t pid_ = -1;
  int logFD_ = -1;
  std::string log_;
  std::optional<int> status_;
};

/// A network namespace of the test's own, made with `ip netns add` and deleted with everything
/// in it. available() is false where this machine does not allow it (not root, no ip).
class NetworkNamespace {
 public:
  NetworkNamespace();
  ~NetworkNamespace();
  NetworkNamespace(const NetworkNamespace&) = delete;
  NetworkNamespace& operator=(const NetworkNamespace&) = delete;

  bool available() const { return created_; }
  const std::string& name() const { return name_; }
  /// Runs `ip -n <name> <arguments>`; true when it succeeded.
  bool ip(const std::vector<std::string>& arguments) const;

 private:
  std::string name_;
  bool created_ = false;
};

/// Puts the calling thread, and the threads and processes it starts afterwards, into the named
/// network namespace while this lives.
class InsideNamespace {
 public:
  explicit InsideNamespace(const std::string& name);
  ~InsideNamespace();
  InsideNamespace(const InsideNamespace&) = delete;
  InsideNamespace& operator=(const InsideNamespace&) = delete;
  bool entered() const { return entered_; }

 private:
  int original_;
  bool entered_ = false;
};

/// A TCP server on an IPv4 address that writes the address each connection came from as one
/// line, then echoes what it receives until the peer closes; one connection at a time. Runs in
/// the namespace of the thread that made it. Throws std::runtime_error when it cannot listen.
class PeerEchoServer {
 public:
  explicit PeerEchoServer(const std::string& address);
  ~PeerEchoServer();
  PeerEchoServer(const PeerEchoServer&) = delete;
  PeerEchoServer& operator=(const PeerEchoServer&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  void serve();

  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

/// A program running beside the test, its output discarded; ended with SIGTERM by the
/// destructor, and with SIGKILL when the test dies.
class BackgroundProgram {
 public:
  explicit BackgroundProgram(const std::vector<std::string>& argv);
  ~BackgroundProgram();
  BackgroundProgram(const BackgroundProgram&) = delete;
  BackgroundProgram& operator=(const BackgroundProgram&) = delete;
  pid_t pid() const { return pid_; }
  /// Sends signal and waits for the end.
  void end(int signal);

 private:
  pid_t pid_ = -1;
};

/// Runs a program with arguments, its output discarded; true when it exited with 0.
bool runQuietly(const std::vector<std::string>& argv);

}  // namespace velmora::testing
