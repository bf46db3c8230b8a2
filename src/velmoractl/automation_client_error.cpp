// The errors of the automation client, apart from the client itself: the tool raises them even in
// runs that never load the bus library.
#include "automation_client.h"
#include "kit/localize.h"

namespace velmora::cli {

AutomationClient::Error AutomationClient::Error::remote(const std::string& text) {
  return Error(Kind::remote, text);
}

AutomationClient::Error AutomationClient::Error::appNotRunning() {
  return Error(Kind::appNotRunning, VL("Velmora 没有在运行 — 这个命令要用到它：先启动 "
                                       "velmorad（systemctl --user start velmorad）"));
}

AutomationClient::Error AutomationClient::Error::writesNotAllowed() {
  return Error(Kind::writesNotAllowed,
               VL("自动化写操作未开启 — 在 Velmora 设置里打开「允许自动化修改配置」"));
}

}  // namespace velmora::cli
