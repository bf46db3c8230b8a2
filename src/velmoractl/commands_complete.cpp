// The completion entry point: walks the words typed so far against the command table and prints
// the candidates for the word under the cursor. It reads the profile files without changing them
// and never asks the running application.
#include "commands_complete.h"

#include <algorithm>
#include <optional>

#include "kit/daemon_settings.h"
#include "kit/localize.h"
#include "kit/mcp/mcp_installer.h"
#include "kit/profile_store.h"

namespace velmora::cli {
namespace {

constexpr std::string_view kProxyPrefix = "proxy:";
constexpr std::string_view kChainPrefix = "chain:";
constexpr std::string_view kInterfacePrefix = "interface:";

bool takesValue(const CompletionOption& option) {
  return option.value != Value::none;
}

std::string_view firstWord(std::string_view words) {
  return words.substr(0, words.find(' '));
}

/// The entry for the command words given so far: "rule add" for {"rule", "add", …}, else that of
/// a command without sub-commands ("export" for {"export", "Work"}); nothing for words unknown.
const CompletionCommand* commandFor(const std::vector<std::string>& positional) {
  if (positional.empty()) return nullptr;
  const auto& table = completionTable();
  if (positional.size() > 1) {
    const std::string both = positional[0] + " " + positional[1];
    const auto found = std::find_if(table.begin(), table.end(),
                                    [&](const CompletionCommand& c) { return c.words == both; });
    if (found != table.end()) return &*found;
  }
  const auto found = std::find_if(table.begin(), table.end(), [&](const CompletionCommand& c) {
    return c.words == positional[0];
  });
  return found == table.end() ? nullptr : &*found;
}

bool hasSubcommands(std::string_view command) {
  const auto& table = completionTable();
  return std::any_of(table.begin(), table.end(), [&](const CompletionCommand& c) {
    return c.words.size() > command.size() && c.words.starts_with(command) &&
           c.words[command.size()] == ' ';
  });
}

const CompletionOption* optionNamed(const CompletionCommand* command, std::string_view name) {
  const auto named = [&](const CompletionOption& option) {
    return std::find(option.names.begin(), option.names.end(), name) != option.names.end();
  };
  if (command) {
    const auto found = std::find_if(command->options.begin(), command->options.end(), named);
    if (found != command->options.end()) return &*found;
  }
  const auto& global = globalCompletionOptions();
  const auto found = std::find_if(global.begin(), global.end(), named);
  return found == global.end() ? nullptr : &*found;
}

/// Collects candidates, keeping those that begin with the word being completed and can stand on
/// one line of the answer.
class Candidates {
 public:
  explicit Candidates(std::string_view prefix) : prefix_(prefix) {}

  void add(std::string candidate) {
    if (!candidate.starts_with(prefix_)) return;
    if (candidate.find_first_of("\n\t") != std::string::npos) return;
    if (std::find(items_.begin(), items_.end(), candidate) != items_.end()) return;
    items_.push_back(std::move(candidate));
  }
  const std::vector<std::string>& items() const { return items_; }

 private:
  std::string_view prefix_;
  std::vector<std::string> items_;
};

Profile activeProfile(const CompletionSources& sources) {
  return ProfileStore(sources.storeDirectory, ProfileStore::Access::readOnly).activeProfile();
}

void addValues(Value value, const CompletionSources& sources, Candidates& candidates,
               std::string_view word) {
  switch (value) {
    case Value::profile:
      for (const ProfileOutline& profile :
           ProfileStore(sources.storeDirectory, ProfileStore::Access::readOnly).outlines()) {
        candidates.add(profile.name);
      }
      return;
    case Value::rule:
      for (const Rule& rule : activeProfile(sources).rules) candidates.add(rule.name);
      return;
    case Value::proxy:
      for (const ProxyServer& proxy : activeProfile(sources).proxies) candidates.add(proxy.name);
      return;
    case Value::chain:
      for (const ProxyChain& chain : activeProfile(sources).chains) candidates.add(chain.name);
      return;
    case Value::action:
      if (word.starts_with(kProxyPrefix)) {
        for (const ProxyServer& proxy : activeProfile(sources).proxies)
          candidates.add(std::string(kProxyPrefix) + proxy.name);
      } else if (word.starts_with(kChainPrefix)) {
        for (const ProxyChain& chain : activeProfile(sources).chains)
          candidates.add(std::string(kChainPrefix) + chain.name);
      } else if (word.starts_with(kInterfacePrefix)) {
        if (sources.interfaceNames) {
          for (const std::string& name : sources.interfaceNames())
            candidates.add(std::string(kInterfacePrefix) + name);
        }
      } else {
        for (std::string_view fixed : {"direct", "block", "proxy:", "chain:", "interface:"})
          candidates.add(std::string(fixed));
      }
      return;
    case Value::client:
      for (const MCPClientIntegration& client : MCPInstaller::knownClients())
        candidates.add(client.id);
      return;
    case Value::proxyType:
      for (const ProxyProtocol proto : allCases<ProxyProtocol>())
        candidates.add(std::string(rawValue(proto)));
      return;
    case Value::transport:
      for (const FlowTransport transport : allCases<FlowTransport>())
        candidates.add(std::string(rawValue(transport)));
      return;
    case Value::quicPolicy:
      for (const QUICPolicy policy : allCases<QUICPolicy>())
        candidates.add(std::string(rawValue(policy)));
      return;
    case Value::captureMode:
      for (const auto mode : {DaemonSettings::Capture::session, DaemonSettings::Capture::programs,
                              DaemonSettings::Capture::off})
        candidates.add(std::string(captureWord(mode)));
      return;
    case Value::none:
    case Value::text:
    case Value::file:
    case Value::program:
      return;
  }
}

void answerWords(const std::vector<std::string>& candidates, Output& out) {
  out.emit("words");
  for (const std::string& candidate : candidates) out.emit(candidate);
}

/// Answers for a cursor after "run" at words[run]: the program, then that program's own words.
void completeRun(std::span<const std::string> words, std::size_t run, Output& out) {
  const std::size_t cursor = words.size() - 1;
  std::size_t program = run + 1;
  if (program == cursor && words[cursor].starts_with("-")) {
    out.emit("words");
    for (const char* option : {"--transparent", "--"}) {
      if (std::string_view(option).starts_with(words[cursor])) out.emit(option);
    }
    return;
  }
  if (program < cursor && words[program] == "--transparent") ++program;
  if (program < cursor && words[program] == "--") ++program;
  out.emit(program < cursor ? "delegate " + std::to_string(program) : "programs");
}

/// The command a run's words select, "list" standing in for a missing sub-command as it does
/// when the command runs.
const CompletionCommand* commandRun(const std::vector<std::string>& positional) {
  if (positional.size() == 1) {
    if (const CompletionCommand* list = commandFor({positional[0], "list"})) {
      if (list->words != positional[0]) return list;
    }
  }
  return commandFor(positional);
}

/// Edits (insertions, deletions, substitutions) that turn a into b.
std::size_t editDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

const std::vector<CompletionCommand>& completionTable() {
  static const std::vector<CompletionCommand> table = {
      {"status", {}, {}},
      {"on", {}, {}},
      {"off", {}, {}},
      {"capture", {Value::captureMode}, {}},
      {"profile list", {}, {}},
      {"profile switch", {Value::profile}, {}},
      {"profile create", {Value::text}, {}},
      {"profile rename", {Value::profile, Value::text}, {}},
      {"profile rm", {Value::profile}, {}},
      {"env list", {}, {}},
      {"env bind", {Value::profile}, {}},
      {"env unbind", {Value::profile}, {}},
      {"rule list", {}, {{{"--search", "-s"}, Value::text}}},
      {"rule add",
       {Value::text},
       {{{"--app"}, Value::text},
        {{"--host"}, Value::text},
        {{"--port"}, Value::text},
        {{"--action", "-a"}, Value::action}}},
      {"rule set",
       {Value::rule},
       {{{"--name"}, Value::text},
        {{"--app"}, Value::text},
        {{"--host"}, Value::text},
        {{"--port"}, Value::text},
        {{"--action", "-a"}, Value::action},
        {{"--transport"}, Value::transport},
        {{"--quic"}, Value::quicPolicy}}},
      {"rule move",
       {Value::rule},
       {{{"--before"}, Value::rule},
        {{"--after"}, Value::rule},
        {{"--top"}, Value::none},
        {{"--bottom"}, Value::none}}},
      {"rule enable", {Value::rule}, {}},
      {"rule disable", {Value::rule}, {}},
      {"rule rm", {Value::rule}, {}},
      {"rule remove", {Value::rule}, {}},
      {"proxy list", {}, {}},
      {"proxy add",
       {Value::text, Value::text, Value::text},
       {{{"--type"}, Value::proxyType}, {{"--user"}, Value::text}, {{"--pass"}, Value::text}}},
      {"proxy set",
       {Value::proxy},
       {{{"--name"}, Value::text},
        {{"--address"}, Value::text},
        {{"--port"}, Value::text},
        {{"--type"}, Value::proxyType},
        {{"--user"}, Value::text},
        {{"--pass"}, Value::text},
        {{"--no-auth"}, Value::none}}},
      {"proxy rm", {Value::proxy}, {}},
      {"proxy discover", {}, {{{"--add"}, Value::none}}},
      {"chain list", {}, {}},
      {"chain add", {Value::text, Value::proxy}, {}, true},
      {"chain rm", {Value::chain}, {}},
      {"interface list", {}, {}},
      {"route set", {Value::text, Value::action}, {}},
      {"route rm", {Value::text}, {}},
      {"test", {Value::text, Value::text}, {{{"--pid"}, Value::text}}},
      {"logs",
       {},
       {{{"--app"}, Value::text},
        {{"--host"}, Value::text},
        {{"--follow"}, Value::none},
        {{"--since"}, Value::text},
        {{"--limit"}, Value::text}}},
      {"dashboard", {}, {{{"--print"}, Value::none}}},
      {"export", {Value::profile}, {{{"-o", "--output"}, Value::file}}},
      {"import", {Value::file}, {}},
      {"run", {Value::program}, {{{"--transparent"}, Value::none}}},
      {"mcp serve", {}, {}},
      {"mcp install", {}, {{{"--client"}, Value::client}, {{"--name"}, Value::text}}},
      {"mcp uninstall", {}, {{{"--client"}, Value::client}, {{"--name"}, Value::text}}},
      {"mcp clients", {}, {}},
      {"help", {}, {}},
  };
  return table;
}

const std::vector<CompletionOption>& globalCompletionOptions() {
  static const std::vector<CompletionOption> options = {{{"--json"}, Value::none},
                                                        {{"--offline"}, Value::none}};
  return options;
}

void requireKnownOptions(const Args& args) {
  const CompletionCommand* command =
      args.positional.empty() ? nullptr : commandRun(args.positional);
  if (!args.positional.empty() && !command) return;
  std::vector<std::string> given(args.flags.begin(), args.flags.end());
  for (const auto& [name, value] : args.optionOccurrences) given.push_back(name);
  for (const std::string& name : given) {
    const CompletionOption* option = optionNamed(command, name);
    if (option) {
      if (takesValue(*option) && args.hasFlag(name))
        throw Error(VL("选项「%@」后面要跟一个值", name));
      continue;
    }
    std::vector<std::string_view> known;
    if (command) {
      for (const CompletionOption& own : command->options)
        known.insert(known.end(), own.names.begin(), own.names.end());
    }
    for (const CompletionOption& global : globalCompletionOptions())
      known.insert(known.end(), global.names.begin(), global.names.end());
    std::string_view likely;
    std::size_t closest = 3;  // more edits than two is another word, not a slip
    std::string list;
    for (std::string_view candidate : known) {
      if (const std::size_t distance = editDistance(name, candidate); distance < closest) {
        closest = distance;
        likely = candidate;
      }
      list += list.empty() ? "" : " ";
      list += candidate;
    }
    std::string message = VL("未知选项「%@」", name);
    message += likely.empty() ? "。" : VL("，是不是「%@」？", std::string(likely));
    message += command ? VL("%@ 可用的选项：%@", std::string(command->words), list)
                       : VL("可用的选项：%@", list);
    throw Error(message);
  }
}

void complete(std::span<const std::string> words, const CompletionSources& sources, Output& out) {
  if (words.empty()) {
    answerWords({}, out);
    return;
  }
  const std::string& word = words.back();
  std::vector<std::string> positional;
  const CompletionCommand* command = nullptr;
  const CompletionOption* pendingOption = nullptr;
  for (std::size_t i = 0; i + 1 < words.size(); ++i) {
    const std::string& typed = words[i];
    if (pendingOption) {
      pendingOption = nullptr;
      continue;
    }
    if (typed.starts_with("-")) {
      const CompletionOption* option = optionNamed(command, typed);
      if (option && takesValue(*option)) pendingOption = option;
      continue;
    }
    positional.push_back(typed);
    command = commandFor(positional);
    if (positional.size() == 1 && command && command->operands == std::vector{Value::program}) {
      completeRun(words, i, out);
      return;
    }
  }

  Candidates candidates(word);
  Value value = Value::text;
  if (pendingOption) {
    value = pendingOption->value;
  } else if (word.starts_with("-")) {
    if (command) {
      for (const CompletionOption& option : command->options)
        for (std::string_view name : option.names) candidates.add(std::string(name));
    }
    for (const CompletionOption& option : globalCompletionOptions())
      for (std::string_view name : option.names) candidates.add(std::string(name));
  } else if (positional.empty()) {
    for (const CompletionCommand& entry : completionTable())
      candidates.add(std::string(firstWord(entry.words)));
  } else if (positional.size() == 1 && hasSubcommands(positional[0])) {
    for (const CompletionCommand& entry : completionTable()) {
      if (firstWord(entry.words) == positional[0])
        candidates.add(std::string(entry.words.substr(positional[0].size() + 1)));
    }
  } else if (command) {
    const std::size_t commandWords = command->words.find(' ') == std::string_view::npos ? 1 : 2;
    const std::size_t operand = positional.size() - commandWords;
    if (operand < command->operands.size()) {
      value = command->operands[operand];
    } else if (command->lastOperandRepeats && !command->operands.empty()) {
      value = command->operands.back();
    }
  }
  if (value == Value::file) {
    out.emit("files");
    return;
  }
  try {
    addValues(value, sources, candidates, word);
  } catch (const std::exception&) {
    // A store that is missing or damaged offers no names; the command itself will say why.
  }
  answerWords(candidates.items(), out);
}

}  // namespace velmora::cli
