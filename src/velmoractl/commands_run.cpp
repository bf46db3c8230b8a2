// velmoractl run: starts one program with the proxy variables pointing at the running
// application's local proxy, so that a person can route that program alone; with
// --transparent, in a cgroup whose connections the application has redirected to itself, so
// that programs ignoring those variables are routed too.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "commands.h"
#include "kit/discovery/cgroups.h"
#include "kit/error.h"
#include "kit/localize.h"

namespace velmora::cli {
namespace {

/// Set in the environment of the velmoractl that systemd-run starts in a new scope: that one
/// asks for the capture of the scope it is in.
constexpr const char* inScopeVariable = "VELMORA_RUN_IN_SCOPE";

/// The address a local program reaches the proxy at, from where it listens ("127.0.0.1:11080",
/// "[::]:11080"): a wildcard listener is reached on loopback.
std::string proxyAuthority(const std::string& listening) {
  const std::size_t colon = listening.rfind(':');
  std::string host = listening.substr(0, colon);
  if (host == "0.0.0.0") host = "127.0.0.1";
  if (host == "[::]") host = "[::1]";
  return host + listening.substr(colon);
}

[[noreturn]] void execute(const std::vector<std::string>& program) {
  std::vector<char*> argv;
  for (const std::string& word : program) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  ::execvp(argv[0], argv.data());
  throw Error(VL("无法运行「%@」：%@", program.front(), std::strerror(errno)));
}

/// Moves this process into the cgroup at directory.
bool enter(const std::filesystem::path& directory) {
  const int fd = ::open((directory / "cgroup.procs").c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool moved = ::write(fd, "0", 1) == 1;
  ::close(fd);
  return moved;
}

/// Whether a systemd user manager runs for this user: then it makes the program's cgroup.
bool userManagerRuns() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat status {};
  return runtime != nullptr && *runtime != '\0' &&
         ::stat((std::filesystem::path(runtime) / "systemd/private").c_str(), &status) == 0 &&
         S_ISSOCK(status.st_mode);
}

/// Runs this same command again in a transient scope of the user's systemd, which then asks
/// for the capture of that scope.
[[noreturn]] void runInScope(const std::vector<std::string>& program) {
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) throw Error(VL("找不到 velmoractl 自己：%@", error.message()));
  std::vector<std::string> words = {
      "systemd-run", "--user",
      "--scope",     "--quiet",
      "--collect",   "--unit=velmora-transparent-" + std::to_string(::getpid()),
      "--",          self.string(),
      "run",         "--transparent",
      "--"};
  words.insert(words.end(), program.begin(), program.end());
  ::setenv(inScopeVariable, "1", 1);
  execute(words);
}

/// Has the application capture the cgroup this process is in from now on, made for it here
/// when no service manager made one. Returns once the capture is in force.
void captureOwnCgroup(Backend& backend) {
  const std::optional<std::filesystem::path> mount = cgroups::mount();
  const std::optional<std::string> own = cgroups::ofProcess(::getpid());
  if (!mount || !own) throw Error(VL("这台机器没有 cgroup v2，无法透明捕获"));
  if (std::getenv(inScopeVariable) != nullptr) {
    ::unsetenv(inScopeVariable);
    backend.captureCgroup(*own);
    return;
  }
  const std::filesystem::path parent = *mount / own->substr(1);
  const std::string name = "velmora-run-" + std::to_string(::getpid());
  const std::string cgroup = (*own == "/" ? "" : *own) + "/" + name;
  const std::filesystem::path directory = parent / name;
  if (::mkdir(directory.c_str(), 0755) != 0 || !enter(directory)) {
    const std::string why = std::strerror(errno);
    ::rmdir(directory.c_str());
    throw Error(VL("无法在 cgroup %@ 下为程序建立 cgroup：%@", *own, why));
  }
  try {
    backend.captureCgroup(cgroup);
  } catch (const std::exception&) {
    enter(parent);
    ::rmdir(directory.c_str());
    throw;
  }
}

}  // namespace

void runProgram(CommandContext& context) {
  const std::vector<std::string>& program = context.args.program;
  if (program.empty()) throw Error(VL("用法：velmoractl run [--transparent] [--] <程序> [参数…]"));
  if (context.backend.choice() != Backend::Choice::application)
    throw Error(VL("Velmora 没有在运行 — 先启动 velmorad，程序才能经它的代理联网"));
  // Where the proxy really listens, which the settings file may not say: a move it could not
  // make leaves it where it was.
  const StatusDTO status = context.backend.applicationStatus();
  if (!status.localProxy)
    throw Error(VL("velmorad 在运行，但本地代理没有启动 — 看看 velmorad 的日志"));
  if (context.args.hasFlag("--transparent")) {
    if (status.captureProblem) throw Error(VL("透明捕获不可用：%@", *status.captureProblem));
    if (!status.enabled) throw Error(VL("路由已关闭，透明捕获不可用 — 先用 velmoractl on 打开"));
    if (std::getenv(inScopeVariable) == nullptr && userManagerRuns()) runInScope(program);
    captureOwnCgroup(context.backend);
  }
  const std::string authority = proxyAuthority(*status.localProxy);
  // Programs read either case, and some read only one of them.
  const std::pair<const char*, std::string> variables[] = {
      {"http_proxy", "http://" + authority},
      {"https_proxy", "http://" + authority},
      {"all_proxy", "socks5h://" + authority},
      {"no_proxy", "localhost,127.0.0.0/8,::1"},
  };
  for (const auto& [name, value] : variables) {
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ::setenv(name, value.c_str(), 1);
    ::setenv(upper.c_str(), value.c_str(), 1);
  }
  context.out.flush();
  execute(program);
}

}  // namespace velmora::cli
