// What the daemon's end-to-end tests need: the built velmorad as a child process with its log
// at hand, network namespaces of the test's own, and nat rules that redirect a cgroup's
// connections to the transparent listener.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
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

/// A TCP server on an IPv4 or IPv6 address that writes the address each connection came from as
/// one line, then echoes what it receives until the peer closes; one connection at a time. Runs
/// in the namespace of the thread that made it. Throws std::runtime_error when it cannot listen.
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

/// A UDP server on an IPv4 or IPv6 address (at port, or one the kernel picks) that answers each
/// datagram with the sender's address, a newline and the datagram.
class UdpPeerEcho {
 public:
  explicit UdpPeerEcho(const std::string& address, std::uint16_t port = 0);
  ~UdpPeerEcho();
  UdpPeerEcho(const UdpPeerEcho&) = delete;
  UdpPeerEcho& operator=(const UdpPeerEcho&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int socket_ = -1;
  int stop_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::thread thread_;
};

/// microsocks as a child process in the caller's namespace on 127.0.0.1:port, connecting out
/// from bindAddress, asking for the login when one is given; ready once the constructor returns.
class Microsocks {
 public:
  /// With a log, each line microsocks writes (to standard error, unbuffered) lands there:
  /// "client[N] ADDRESS: connected to HOST:PORT" names what it was asked for.
  Microsocks(std::uint16_t port, const std::string& bindAddress,
             const std::optional<std::pair<std::string, std::string>>& login = std::nullopt,
             const std::optional<std::filesystem::path>& log = std::nullopt);
  ~Microsocks();
  Microsocks(const Microsocks&) = delete;
  Microsocks& operator=(const Microsocks&) = delete;

 private:
  pid_t pid_ = -1;
};

/// dante's SOCKS5 server on 127.0.0.1:port, going out from outgoing, CONNECT and UDP ASSOCIATE
/// both, with its configuration in directory; ready once it accepts. The end stops it and the
/// processes it forked.
class Dante {
 public:
  Dante(std::uint16_t port, const std::string& outgoing, const std::filesystem::path& directory);
  ~Dante();
  Dante(const Dante&) = delete;
  Dante& operator=(const Dante&) = delete;

 private:
  pid_t pid_ = -1;
};

/// Runs a program with arguments, its output discarded; true when it exited with 0.
bool runQuietly(const std::vector<std::string>& argv);

/// A cgroup of the test's own at path in the cgroup v2 hierarchy ("/velmora-test-42", or one
/// below another), made by the constructor; made() is false where it cannot be (no cgroup v2, not
/// root). The destructor kills whatever still runs in it or below it, and removes them all.
class TestCgroup {
 public:
  explicit TestCgroup(std::string path);
  ~TestCgroup();
  TestCgroup(const TestCgroup&) = delete;
  TestCgroup& operator=(const TestCgroup&) = delete;

  bool made() const { return made_; }
  const std::string& path() const { return path_; }
  /// Where it lies in the file system.
  const std::string& directory() const { return directory_; }
  const std::string& procs() const { return procs_; }
  /// Moves the calling process in. Only system calls: a child forked by a test with threads may
  /// call it.
  bool enter() const;

 private:
  std::string path_;
  std::string directory_;
  std::string procs_;
  bool made_ = false;
};

/// While this lives, TCP connections to addresses other than loopback are redirected to port on
/// 127.0.0.1 or ::1 by an nftables table in the calling thread's network namespace: those of the
/// processes in a cgroup v2 group of the test's own (see exchange()), or, with
/// Scope::everything, those of every process, the data plane's own included. The destructor
/// deletes the table and the group. problem() says why there is none: no cgroup v2 mount under
/// /sys/fs/cgroup, or nft missing or refusing.
class Redirection {
 public:
  enum class Scope { group, everything };

  explicit Redirection(std::uint16_t port, Scope scope = Scope::group);
  ~Redirection();
  Redirection(const Redirection&) = delete;
  Redirection& operator=(const Redirection&) = delete;

  const std::string& problem() const { return problem_; }
  /// What a program in the group sees of a connection it makes itself to host:port as user uid,
  /// sending "ping": the echo server's line and the echo, "reset", "closed" (an orderly end
  /// with nothing said) or "unreachable". The program is a child process of the caller.
  std::string exchange(const std::string& host, std::uint16_t port, uid_t uid = getuid()) const;

 private:
  std::unique_ptr<TestCgroup> group_;
  std::string table_;
  bool tableMade_ = false;
  std::string problem_;
};

/// Runs body in a child process and returns what it returned, through a pipe; "child failed"
/// when the child ended without saying. Waits for the child.
std::string inChild(const std::function<std::string()>& body);

}  // namespace velmora::testing
