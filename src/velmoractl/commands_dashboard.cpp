// velmoractl dashboard: opens the running application's dashboard in the user's browser, with
// the secret that lets the browser in, or prints its address.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "commands.h"
#include "kit/error.h"
#include "kit/localize.h"
#include "output.h"

namespace velmora::cli {

void runDashboard(CommandContext& context) {
  // The running application says where the dashboard is; the secret comes from the settings
  // file, which only this user can read.
  const StatusDTO status = context.backend.applicationStatus();
  if (!status.dashboard) {
    if (status.dashboardProblem)
      throw Error(VL("控制面板没有在监听：%@", *status.dashboardProblem));
    throw Error(VL("控制面板已关闭：把 velmorad.json 的 dashboard 设为 true 即可打开"));
  }
  const std::string token = context.backend.settings().dashboardToken;
  if (token.empty()) throw Error(VL("控制面板还没有口令：velmorad 启动时会生成"));
  const std::string address = *status.dashboard + "?token=" + token;
  if (context.args.hasFlag("--print")) {
    if (context.json()) {
      context.out.emitJSON({{"url", address}});
    } else {
      context.out.emit(address);
    }
    return;
  }
  const std::vector<std::string> opener = {"xdg-open", address};
  std::vector<char*> argv;
  for (const std::string& word : opener) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  const int failed = ::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ);
  int outcome = 0;
  if (failed != 0 || ::waitpid(child, &outcome, 0) != child || !WIFEXITED(outcome) ||
      WEXITSTATUS(outcome) != 0)
    throw Error(VL("无法用 xdg-open 打开浏览器：用 velmoractl dashboard --print 得到地址，再在浏览器里打开"));
  if (context.json()) {
    context.out.emitJSON({{"url", *status.dashboard}});
  } else {
    context.out.emit(VL("已在浏览器里打开控制面板：%@", *status.dashboard));
  }
}

}  // namespace velmora::cli
