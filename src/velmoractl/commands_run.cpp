// velmoractl run: starts one program with the proxy variables pointing at the running
// application's local proxy, so that a person can route that program alone.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "commands.h"
#include "kit/error.h"
#include "kit/localize.h"

namespace velmora::cli {
namespace {

/// The address a local program reaches the proxy at, from where it listens ("127.0.0.1:11080",
/// "[::]:11080"): a wildcard listener is reached on loopback.
std::string proxyAuthority(const std::string& listening) {
  const std::size_t colon = listening.rfind(':');
  std::string host = listening.substr(0, colon);
  if (host == "0.0.0.0") host = "127.0.0.1";
  if (host == "[::]") host = "[::1]";
  return host + listening.substr(colon);
}

}  // namespace

void runProgram(CommandContext& context) {
  const std::vector<std::string>& program = context.args.program;
  if (program.empty()) throw Error(VL("用法：velmoractl run [--] <程序> [参数…]"));
  if (context.backend.choice() != Backend::Choice::application)
    throw Error(VL("Velmora 没有在运行 — 先启动 velmorad，程序才能经它的代理联网"));
  // Where the proxy really listens, which the settings file may not say: a move it could not
  // make leaves it where it was.
  const std::optional<std::string> listening = context.backend.applicationStatus().localProxy;
  if (!listening) throw Error(VL("velmorad 在运行，但本地代理没有启动 — 看看 velmorad 的日志"));
  const std::string authority = proxyAuthority(*listening);
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
  std::vector<char*> argv;
  for (const std::string& word : program) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  ::execvp(argv[0], argv.data());
  throw Error(VL("无法运行「%@」：%@", program.front(), std::strerror(errno)));
}

}  // namespace velmora::cli
