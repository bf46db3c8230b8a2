// The diagnostic and transfer commands: test (dry run), logs (the connection log), export and
// import.
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <ctime>
#include <set>
#include <thread>

#include "commands.h"
#include "kit/discovery/app_describer.h"
#include "kit/file_io.h"
#include "kit/localize.h"
#include "kit/matchers.h"
#include "output.h"

namespace velmora::cli {
namespace {

/// A signed decimal integer, as typed; nothing for anything else.
std::optional<std::int64_t> parseInteger(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  std::string_view digits = *text;
  const bool negative = digits.front() == '-';
  if (digits.front() == '+' || digits.front() == '-') digits.remove_prefix(1);
  if (digits.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9' || value > (INT64_MAX - (c - '0')) / 10) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

/// "[03.01 16:30:00] firefox - mozilla.org:443 close, ↑1.0 KB ↓2.0 KB  [Web → direct]  ⚠︎
/// reset"
std::string eventLine(const ConnectionEvent& event) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(event.date);
  std::tm local{};
  localtime_r(&seconds, &local);
  char date[32];
  std::strftime(date, sizeof date, "%m.%d %H:%M:%S", &local);
  std::string line = "[" + std::string(date) + "] " + event.app + " - " + event.host + ":" +
                     std::to_string(event.port) + " " + std::string(rawValue(event.phase));
  if (event.phase == ConnectionEvent::Phase::close) {
    line += ", ↑" + humanBytes(event.bytesSent) + " ↓" + humanBytes(event.bytesReceived);
  }
  if (event.ruleName) line += "  [" + *event.ruleName + " → " + event.route + "]";
  if (event.errorDescription) line += "  ⚠︎ " + *event.errorDescription;
  return line;
}

/// A process id as typed after --pid.
pid_t processNumber(const std::string& text) {
  pid_t pid = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), pid);
  if (error != std::errc() || end != text.data() + text.size() || pid <= 0)
    throw Error(VL("进程号「%@」不是正整数", text));
  return pid;
}

void printEvents(const CommandContext& context, const std::vector<ConnectionEvent>& events) {
  if (context.json()) {
    context.out.emitJSON(json::arrayOf(events));
    return;
  }
  for (const ConnectionEvent& event : events) context.out.emit(eventLine(event));
}

}  // namespace

void runTest(CommandContext& context) {
  const std::optional<std::string> pidText = context.args.flag({"--pid"});
  if (pidText && context.args.positional.size() < 2)
    throw Error(VL("用法: test --pid <进程号> <主机:端口>"));
  if (!pidText && context.args.positional.size() < 3)
    throw Error(VL("用法: test <应用> <主机:端口>"));
  const std::string& target = context.word(pidText ? 1 : 2);
  std::vector<std::string> pieces;
  for (std::size_t start = 0; start <= target.size();) {
    const std::size_t end = std::min(target.find(':', start), target.size());
    if (end > start) pieces.push_back(target.substr(start, end - start));
    start = end + 1;
  }
  // A target of colons alone names no host.
  if (pieces.empty()) throw Error(VL("用法: test <应用> <主机:端口>"));
  const std::string& host = pieces[0];
  const std::uint16_t port = pieces.size() > 1 ? portNumber(pieces[1]) : 443;

  std::string app;
  TestRouteDTO result;
  if (pidText) {
    // The tool reads the process itself, through the description the data plane uses.
    const pid_t pid = processNumber(*pidText);
    const AppIdentity identity = AppDescriber().ownProcess(pid, ::getuid());
    app = VL("%@（进程 %lld）", identity.bestDescription(), static_cast<long long>(pid));
    result = context.backend.testRouteFromFiles(identity, host, port);
  } else {
    app = context.word(1);
    result = context.backend.testRoute(app, host, port);
  }
  if (context.json()) {
    context.out.emitJSON(toJSON(result));
    return;
  }
  context.out.emit(app + " → " + host + ":" + std::to_string(port));
  for (const std::string& line : result.trace) context.out.emit("  " + line);
  context.out.emit("结果: " + result.action);
}

void runLogs(CommandContext& context) {
  const ConnectionQueryDTO query{
      .app = context.args.flag({"--app"}),
      .host = context.args.flag({"--host"}),
      .sinceMinutes = parseInteger(context.args.flag({"--since"})),
      .limit = parseInteger(context.args.flag({"--limit"})).value_or(100)};
  const auto fetch = [&] { return context.backend.connections(query); };

  const std::vector<ConnectionEvent> first = fetch();
  printEvents(context, first);
  if (!context.args.hasFlag("--follow")) return;

  context.out.emit("— 实时跟随中，Ctrl-C 退出 —");
  // Flushed at every poll, so a reader that went away ends the loop.
  context.out.flush();
  std::set<UUID> seen;
  for (const ConnectionEvent& event : first) seen.insert(event.id);
  while (true) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::vector<ConnectionEvent> fresh;
    try {
      for (ConnectionEvent& event : fetch()) {
        if (seen.insert(event.id).second) fresh.push_back(std::move(event));
      }
    } catch (const std::exception&) {
      // The application may come and go while we follow; a failed poll is simply an empty one.
    }
    printEvents(context, fresh);
    context.out.flush();
  }
}

void runExport(CommandContext& context) {
  const std::optional<std::string> name =
      context.args.positional.size() > 1 ? std::optional(context.word(1)) : std::nullopt;
  const std::string document = context.backend.exportProfile(name);
  if (const auto path = context.args.flag({"-o", "--output"})) {
    writeFile(*path, document, 0600);
    context.out.emit("已导出到 " + *path);
    return;
  }
  context.out.emit(document);
}

void runImport(CommandContext& context) {
  if (context.args.positional.size() < 2) throw Error(VL("请指定要导入的文件"));
  const std::string& path = context.word(1);
  std::optional<ImportReport> report;
  {
    const Progress progress("正在导入 " + path + " …");
    report = context.backend.importProfile(readFile(path));
  }
  if (report && context.json()) {
    context.out.emitJSON(toJSON(*report));
    return;
  }
  context.out.emit("已导入 " + path);
  if (report) {
    for (const std::string& line : report->lines()) context.out.emit("  " + line);
  }
}

}  // namespace velmora::cli
