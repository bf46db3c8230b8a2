// The hidden completion entry point of the shell completions: the words typed so far in, what may
// come next out, from one table of the commands and the profile files read as they are.
#pragma once

#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "output.h"

namespace velmora::cli {

/// The first word of a completion request. It is not a command people type, so the help text
/// leaves it out.
inline constexpr std::string_view completionCommand = "__complete";

/// What a word of the command line holds, as far as completion can offer it.
enum class Value {
  none,       // the option is a flag and takes no value
  text,       // free text: nothing to offer
  profile,    // a profile's name
  rule,       // the name of a rule of the active profile
  action,     // direct, block, proxy:<proxy>, interface:<tunnel interface>
  client,     // an MCP client's id
  proxyType,  // socks5 or http
  file,       // a file name, completed by the shell
  program,    // a program and its own arguments, completed by the shell
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
};

/// Every command the completions offer, in the order they are offered.
const std::vector<CompletionCommand>& completionTable();
/// The options every command takes.
const std::vector<CompletionOption>& globalCompletionOptions();

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
