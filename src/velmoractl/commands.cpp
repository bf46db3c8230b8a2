#include "commands.h"

#include <map>
#include <string>

#include "kit/error.h"
#include "kit/localize.h"
#include "output.h"

namespace velmora::cli {

const std::string_view usage = R"(velmoractl — Velmora 命令行工具

用法:
  velmoractl <命令> [参数] [--json]

状态
  status                          运行状态、当前 profile、连接统计
  on | off                        总开关
  capture [session|programs|off]  透明捕获哪些程序：整个会话（velmorad 自己除外）、
                                  只有 run --transparent 启动的（默认）、不捕获；不给则显示

Profile
  profile list                    列出所有 profile
  profile switch <名称>            切换（已有连接不中断）
  profile create <名称>            新建
  profile rename <名称> <新名称>   改名
  profile rm <名称>                删除（当前使用的 profile 不能删）

网络环境
  env list                        列出环境绑定
  env bind <profile>              把当前网络环境绑定到该 profile
  env unbind [<profile>]          解除当前网络环境的绑定（给了 profile 则解除它的全部绑定）

规则（作用于当前 profile）
  rule list [--search <词>]        列出规则（支持搜索）
  rule add <名称> --app <应用> [--host <主机>] [--port <端口>] --action <direct|block|proxy:名称>
  rule set <名称> [--name <新名称>] [--app …] [--host …] [--port …] [--action …]
           [--transport tcp|udp|any] [--quic proxy|fallback|direct]
  rule move <名称> [--before <规则>] [--after <规则>] [--top] [--bottom]   四者选一
  rule enable <名称> | rule disable <名称>
  rule rm <名称>

代理
  proxy list
  proxy add <名称> <地址> <端口> [--type socks5|http] [--user <用户名> --pass <密码>]
  proxy set <名称> [--name <新名称>] [--address <地址>] [--port <端口>] [--type socks5|http]
            [--user <用户名> --pass <密码> | --no-auth]
  proxy rm <名称>                  删除（仍有规则或代理链在用时不能删）
  proxy discover [--add]          找出本机回环地址上的代理（--add 加入当前 profile）

代理链
  chain list
  chain add <名称> <代理> <代理>…   连接依次经过这些代理
  chain rm <名称>                  删除（仍有规则在用时不能删）

路由与诊断
  route set <应用> <direct|block|proxy:名称>    一步设置"应用 → 去向"
  route rm <应用>                               去掉 route set 设的去向
  test <应用> <主机:端口>                        试算：会命中哪条规则、走哪（应用可写程序的绝对路径）
  test --pid <进程号> <主机:端口>                按正在运行的进程试算，与真实连接看到的应用相同
  logs [--app <应用>] [--host <主机>] [--follow]  最近连接
  dashboard [--print]                            在浏览器里打开实时控制面板（--print 只打印地址）
  interface list                                 隧道网卡及其背后的程序（用于 interface:名称）
  run [--] <程序> [参数…]                        让这个程序经本机代理联网（设置 http_proxy 等）
  run --transparent [--] <程序> [参数…]          连不理代理设置的程序也按规则路由（透明捕获）

导入导出
  export [<profile>] [-o <文件>]
  import <文件>                    支持本工具的 JSON 与同类工具的配置格式

集成
  mcp serve                       启动 MCP server（stdio），供 LLM 调用
  mcp install [--client <id>]… [--name <名称>]    把 MCP server 写入 MCP 客户端的配置
  mcp uninstall [--client <id>]… [--name <名称>]  从 MCP 客户端的配置中移除
  mcp clients                     已知的 MCP 客户端、配置文件、是否已接入

全局选项
  --json      机器可读输出
  --offline   跳过应用，直接读写配置文件)";

const std::string& CommandContext::word(std::size_t i) const {
  static const std::string none;
  return i < args.positional.size() ? args.positional[i] : none;
}

namespace {

using Handler = void (*)(CommandContext&);

const std::map<std::string, Handler, std::less<>>& commandTable() {
  // One command a line, as the table it is.
  // clang-format off
  static const std::map<std::string, Handler, std::less<>> table = {
      {"status", runStatus},
      {"on", runSwitch},
      {"off", runSwitch},
      {"capture", runCapture},
      {"dashboard", runDashboard},
      {"profile", runProfile},
      {"env", runEnv},
      {"rule", runRule},
      {"proxy", runProxy},
      {"chain", runChain},
      {"route", runRoute},
      {"test", runTest},
      {"logs", runLogs},
      {"export", runExport},
      {"import", runImport},
      {"mcp", runMCP},
      {"interface", runInterface},
      {"run", runProgram},
      {"help", [](CommandContext& context) { context.out.emit(usage); }},
  };
  // clang-format on
  return table;
}

}  // namespace

void dispatch(CommandContext& context) {
  const std::string& command = context.word(0);
  const auto& table = commandTable();
  const auto handler = table.find(command);
  if (handler == table.end()) {
    throw Error(VL("未知命令「%@」。运行 `velmoractl help` 查看用法。", command));
  }
  handler->second(context);
}

}  // namespace velmora::cli
