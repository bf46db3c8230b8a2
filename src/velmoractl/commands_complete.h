// The hidden completion entry point of the shell completions: the words typed so far in, what may
// come next out, from one table of the commands and the profile files read as they are.
#pragma once

#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "args.h"
#include "output.h"

namespace velmora::cli {

/// The first word of a completion request. It is not a command people type, so the help text
/// leaves it out.
inline constexpr std::string_view completionCommand = "__complete";

/// What a word of the command line holds, as far as completion can offer it.
enum class Value {
  none,         // the option is a flag and takes no value
  text,         // free text: nothing to offer
  profile,      // a profile's name
  rule,         // the name of a rule of the active profile
  proxy,        // the name of a proxy of the active profile
  chain,        // the name of a chain of the active profile
  action,       // direct, block, proxy:<proxy>, chain:<chain>, interface:<tunnel interface>
  client,       // an MCP client's id
  proxyType,    // socks5 or http
  transport,    // tcp, udp or any
  quicPolicy,   // proxy, fallback or direct
  captureMode,  // session, programs or off
  file,         // a file name, completed by the shell
  program,      // a program and its own arguments, completed by the shell
};

/// An option and the names it goes by.
struct CompletionOption {
  std::vector<std::string_view> names;
  Value value;
};

/// A command, or a command and its sub-command, with what its words and options hold.
struct CompletionCommand {
  std::string_view words;  // "status", "rule add"
  std::vector<Value> operands;
  std::vector<CompletionOption> options;
  bool lastOperandRepeats = false;  // "chain add <名称> <代理> <代理>…"
};

/// Every command the completions offer, in the order they are offered. It is also the list of
/// the options each command reads, which the command line holds every run to.
const std::vector<CompletionCommand>& completionTable();
/// The options every command takes.
const std::vector<CompletionOption>& globalCompletionOptions();

/// Refuses an option the command does not read, naming a likely meant one and the options it
/// has, and an option that needs a value given none. The command is found as completion finds
/// it; words naming no command are left to the command table, which reports them itself.
void requireKnownOptions(const Args& args);

/// Where the live values come from. Both are only read.
struct CompletionSources {
  std::filesystem::path storeDirectory;
  std::function<std::vector<std::string>()> interfaceNames;
};

/// Answers a completion request. words are the words after the program name, the last one the
/// word being completed (empty for a new word). The first line tells the shell what to do:
///   "words"       the lines that follow are the candidates that begin with the word;
///   "files"       complete a file name;
///   "programs"    complete a program name;
///   "delegate N"  words[N] is a program: complete from there with that program's completion.
/// Never fails: a store that cannot be read offers nothing.
void complete(std::span<const std::string> words, const CompletionSources& sources, Output& out);

}  // namespace velmora::cli
