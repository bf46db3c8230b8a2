// The MCP client installer: the client table, finding and reading a client's file, and the edits
// of its JSON or TOML text that leave every other setting as it was.
#include "kit/mcp/mcp_installer.h"

#include <sys/stat.h>
#include <toml++/toml.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <system_error>

#include "kit/error.h"
#include "kit/file_io.h"
#include "kit/json_text.h"
#include "kit/localize.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using Format = MCPClientIntegration::Format;

constexpr mode_t kNewFileMode = 0600;
constexpr mode_t kNewDirectoryMode = 0700;
/// As many symbolic links as the kernel follows before it gives up.
constexpr int kMaxLinkHops = 40;
/// The TOML table that holds the servers of the codexTOML format.
constexpr std::string_view kServersTable = "mcp_servers";

/// A client's file the installer leaves as it is, with the reason.
class UnchangedFile : public Error {
 public:
  using Error::Error;
};

bool existsFollowingLinks(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

/// Exists as anything at all, a dangling symbolic link included.
bool present(const fs::path& path) {
  std::error_code error;
  return fs::exists(fs::symlink_status(path, error));
}

bool isDetected(const MCPClientIntegration& integration, const fs::path& home) {
  return std::ranges::any_of(integration.detectPaths, [&](const std::string& path) {
    return existsFollowingLinks(path.starts_with('/') ? fs::path(path) : home / path);
  });
}

/// The first configuration path that exists, else the first one; nothing without any.
fs::path chosenFile(const MCPClientIntegration& integration, const fs::path& home) {
  for (const std::string& path : integration.configPaths) {
    if (present(home / path)) return home / path;
  }
  return integration.configPaths.empty() ? fs::path() : home / integration.configPaths.front();
}

/// Where a write to path lands: the end of its chain of symbolic links. Replacing that file
/// keeps the links people make to keep their settings elsewhere.
fs::path linkTarget(fs::path path) {
  for (int hops = 0;; ++hops) {
    std::error_code error;
    if (!fs::is_symlink(fs::symlink_status(path, error))) return path;
    fs::path target;
    if (hops == kMaxLinkHops) {
      error = std::make_error_code(std::errc::too_many_symbolic_link_levels);
    } else {
      target = fs::read_symlink(path, error);
    }
    if (error) throw FileError(VL("无法读取「%@」：%@", path.string(), error.message()));
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
}

/// A client's file as it stands.
struct ConfigFile {
  fs::path path;                       // as named under home
  fs::path target;                     // the end of its symbolic links, where writes go
  std::optional<std::string> content;  // nothing when there is no file yet
  mode_t mode = kNewFileMode;
};

ConfigFile readConfig(const fs::path& path) {
  ConfigFile file{.path = path, .target = linkTarget(path)};
  struct stat status {};
  if (::stat(file.target.c_str(), &status) != 0) {
    if (errno == ENOENT) return file;
    throw FileError(VL("无法读取「%@」：%@", path.string(), std::strerror(errno)));
  }
  file.content = readFile(file.target);
  file.mode = status.st_mode & 07777;
  return file;
}

bool isBlank(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}

// JSON formats: the whole document is read, changed in one member and written again.

std::string jsonTableKey(Format format) {
  return format == Format::openCodeMCP ? "mcp" : "mcpServers";
}

json::Value jsonEntry(const MCPInstaller& installer, Format format) {
  if (format == Format::openCodeMCP) {
    json::Value command = json::Value::array();
    command.push_back(installer.command);
    for (const std::string& argument : installer.args) command.push_back(argument);
    return {{"type", "local"}, {"command", command}, {"enabled", true}};
  }
  json::Value args = json::Value::array();
  for (const std::string& argument : installer.args) args.push_back(argument);
  return {{"command", installer.command}, {"args", args}};
}

/// The object the file holds; an empty one when there is no file or nothing in it. Anything
/// else (JSON with comments among it) is the user's and is not ours to rewrite.
json::Value jsonDocument(const ConfigFile& file) {
  if (!file.content || isBlank(*file.content)) return json::Value::object();
  json::Value document;
  try {
    document = json::parse(*file.content);
  } catch (const json::DecodingError& error) {
    throw UnchangedFile(
        VL("「%@」无法解析，未作修改：%@", file.path.string(), error.description()));
  }
  if (!document.is_object()) {
    throw UnchangedFile(VL("「%@」不是 JSON 对象，未作修改", file.path.string()));
  }
  return document;
}

std::string jsonText(const json::Value& document) {
  return json::pretty(document) + "\n";
}

std::string installedJSON(const ConfigFile& file, Format format, const std::string& serverName,
                          const json::Value& entry) {
  json::Value document = jsonDocument(file);
  const std::string key = jsonTableKey(format);
  json::Value& table = document[key];
  if (table.is_null()) table = json::Value::object();
  if (!table.is_object()) {
    throw UnchangedFile(VL("「%@」中的「%@」不是 JSON 对象，未作修改", file.path.string(), key));
  }
  table[serverName] = entry;
  return jsonText(document);
}

/// The server table of document, when there is one.
const json::Value* jsonTable(const json::Value& document, Format format) {
  const auto table = document.find(jsonTableKey(format));
  return table != document.end() && table->is_object() ? &*table : nullptr;
}

/// The text without the entry; nothing when there is no entry to take out.
std::optional<std::string> uninstalledJSON(const ConfigFile& file, Format format,
                                           const std::string& serverName) {
  json::Value document = jsonDocument(file);
  const json::Value* table = jsonTable(document, format);
  if (!table || !table->contains(serverName)) return std::nullopt;
  document[jsonTableKey(format)].erase(serverName);
  return jsonText(document);
}

// The TOML format: the text is edited only where our table stands, and the result is parsed
// and compared with the original before it may replace the file.

/// One top-level piece of TOML text: a table header, a key with its whole value (across lines
/// when the value spans them), a comment line or a blank line, each with its line end.
struct TOMLLine {
  enum class Kind { blank, comment, header, keyValue };
  Kind kind;
  std::size_t begin;
  std::size_t end;
  std::vector<std::string> headerKey;  // a header's key parts, unquoted
};

/// The characters a TOML basic string writes as a backslash and a letter, and those letters.
constexpr std::string_view kEscapedCharacters = "\"\\\b\t\n\f\r";
constexpr std::string_view kEscapeLetters = "\"\\btnfr";

bool isBareKeyCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

void appendUTF8(std::string& out, unsigned long codePoint) {
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

/// Splits TOML text into its top-level lines, following strings and brackets across line ends
/// so that nothing inside a value is taken for a header. Throws std::invalid_argument for text it
/// cannot follow.
class TOMLScanner {
 public:
  explicit TOMLScanner(std::string_view text) : text_(text) {}

  std::vector<TOMLLine> lines() {
    std::vector<TOMLLine> result;
    while (at_ < text_.size()) {
      TOMLLine line{.begin = at_};
      skipSpaces();
      if (atLineEnd()) {
        line.kind = TOMLLine::Kind::blank;
      } else if (peek() == '#') {
        line.kind = TOMLLine::Kind::comment;
      } else if (peek() == '[') {
        line.kind = TOMLLine::Kind::header;
        line.headerKey = header();
      } else {
        line.kind = TOMLLine::Kind::keyValue;
        keyValue();
      }
      restOfLine();
      line.end = at_;
      result.push_back(std::move(line));
    }
    return result;
  }

 private:
  [[noreturn]] static void unreadable() { throw std::invalid_argument("unreadable TOML text"); }

  char peek(std::size_t ahead = 0) const {
    return at_ + ahead < text_.size() ? text_[at_ + ahead] : '\0';
  }
  bool startsWith(std::string_view prefix) const { return text_.substr(at_).starts_with(prefix); }
  bool atLineEnd() const {
    return at_ >= text_.size() || peek() == '\n' || (peek() == '\r' && peek(1) == '\n');
  }
  void skipSpaces() {
    while (peek() == ' ' || peek() == '\t') ++at_;
  }
  void expect(char c) {
    if (peek() != c) unreadable();
    ++at_;
  }

  /// What may follow a header or a value on its line: spaces and a comment.
  void restOfLine() {
    skipSpaces();
    if (peek() == '#') {
      while (at_ < text_.size() && peek() != '\n') ++at_;
    }
    if (!atLineEnd()) unreadable();
    if (peek() == '\r') ++at_;
    if (peek() == '\n') ++at_;
  }

  std::vector<std::string> header() {
    expect('[');
    const bool arrayOfTables = peek() == '[';
    if (arrayOfTables) ++at_;
    std::vector<std::string> parts = key();
    expect(']');
    if (arrayOfTables) expect(']');
    return parts;
  }

  void keyValue() {
    key();
    expect('=');
    value();
  }

  std::vector<std::string> key() {
    std::vector<std::string> parts;
    while (true) {
      skipSpaces();
      parts.push_back(simpleKey());
      skipSpaces();
      if (peek() != '.') return parts;
      ++at_;
    }
  }

  std::string simpleKey() {
    if (peek() == '"') return basicString();
    if (peek() == '\'') return literalString();
    const std::size_t begin = at_;
    while (isBareKeyCharacter(peek())) ++at_;
    if (at_ == begin) unreadable();
    return std::string(text_.substr(begin, at_ - begin));
  }

  /// A value up to its line end, which must not be inside a string or brackets.
  void value() {
    int depth = 0;
    while (at_ < text_.size()) {
      const char c = peek();
      if (c == '\n' && depth == 0) return;
      if (startsWith(R"(""")")) {
        multiLineString('"');
      } else if (startsWith("'''")) {
        multiLineString('\'');
      } else if (c == '"') {
        basicString();
      } else if (c == '\'') {
        literalString();
      } else if (c == '#') {
        while (at_ < text_.size() && peek() != '\n') ++at_;
      } else {
        if (c == '[' || c == '{') ++depth;
        if (c == ']' || c == '}') --depth;
        ++at_;
      }
    }
    if (depth != 0) unreadable();
  }

  std::string basicString() {
    expect('"');
    std::string out;
    while (peek() != '"') {
      if (at_ >= text_.size() || peek() == '\n') unreadable();
      if (peek() != '\\') {
        out += text_[at_++];
        continue;
      }
      const char escape = peek(1);
      at_ += 2;
      if (escape == 'u') {
        appendUTF8(out, hexDigits(4));
      } else if (escape == 'U') {
        appendUTF8(out, hexDigits(8));
      } else if (const std::size_t named = kEscapeLetters.find(escape);
                 named != std::string_view::npos) {
        out += kEscapedCharacters[named];
      } else {
        unreadable();
      }
    }
    ++at_;
    return out;
  }

  unsigned long hexDigits(std::size_t count) {
    if (at_ + count > text_.size()) unreadable();
    const std::string digits(text_.substr(at_, count));
    if (digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) unreadable();
    at_ += count;
    return std::stoul(digits, nullptr, 16);
  }

  std::string literalString() {
    expect('\'');
    const std::size_t end = text_.find_first_of("'\n", at_);
    if (end == std::string_view::npos || text_[end] != '\'') unreadable();
    std::string out(text_.substr(at_, end - at_));
    at_ = end + 1;
    return out;
  }

  /// A string in three quotes, whose closing quotes may be followed by up to two more that
  /// still belong to the text.
  void multiLineString(char quote) {
    const std::string delimiter(3, quote);
    at_ += 3;
    while (!startsWith(delimiter)) {
      if (at_ >= text_.size()) unreadable();
      at_ += quote == '"' && peek() == '\\' ? 2 : 1;
    }
    at_ += 3;
    for (int extra = 0; extra < 2 && peek() == quote; ++extra) ++at_;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

/// A TOML basic string holding text.
std::string tomlString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (const std::size_t named = kEscapedCharacters.find(c); named != std::string_view::npos) {
      out += '\\';
      out += kEscapeLetters[named];
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string tomlKey(std::string_view key) {
  const bool bare = !key.empty() && std::ranges::all_of(key, isBareKeyCharacter);
  return bare ? std::string(key) : tomlString(key);
}

std::string tomlBlock(const MCPInstaller& installer) {
  std::string block =
      "[" + std::string(kServersTable) + "." + tomlKey(installer.serverName) + "]\n";
  block += "command = " + tomlString(installer.command) + "\n";
  block += "args = [";
  for (std::size_t i = 0; i < installer.args.size(); ++i) {
    if (i > 0) block += ", ";
    block += tomlString(installer.args[i]);
  }
  return block + "]\n";
}

toml::table parseTOML(std::string_view text, const fs::path& path) {
  try {
    return toml::parse(text);
  } catch (const toml::parse_error& error) {
    throw UnchangedFile(VL("「%@」不是有效的 TOML（第 %lld 行第 %lld 列），未作修改", path.string(),
                           error.source().begin.line, error.source().begin.column));
  }
}

bool holdsTOMLEntry(const toml::table& document, const std::string& serverName) {
  return document[kServersTable][serverName].node() != nullptr;
}

/// The document without our entry, and without the server table when that leaves it empty.
toml::table withoutTOMLEntry(toml::table document, const std::string& serverName) {
  if (toml::table* servers = document[kServersTable].as_table()) {
    servers->erase(serverName);
    if (servers->empty()) document.erase(kServersTable);
  }
  return document;
}

bool holdsExactly(const toml::table& document, const MCPInstaller& installer) {
  const toml::table* entry = document[kServersTable][installer.serverName].as_table();
  toml::array args;
  for (const std::string& argument : installer.args) args.push_back(argument);
  const toml::table expected{{"command", installer.command}, {"args", std::move(args)}};
  return entry && *entry == expected;
}

/// Where our table or one of its sub-tables stands in the text. separatorBegin takes in the
/// blank line before it when that line would otherwise double up once the table is gone.
struct EntryBlock {
  std::size_t separatorBegin;
  std::size_t begin;
  std::size_t end;
};

/// Our table and its sub-tables, each from its header up to the next header; comments and blank
/// lines just before the next header belong to what follows.
std::vector<EntryBlock> entryBlocks(std::string_view text, const std::string& serverName) {
  const std::vector<TOMLLine> lines = TOMLScanner(text).lines();
  const auto isHeader = [&](std::size_t i) { return lines[i].kind == TOMLLine::Kind::header; };
  const auto isBlankLine = [&](std::size_t i) { return lines[i].kind == TOMLLine::Kind::blank; };
  std::vector<EntryBlock> blocks;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::vector<std::string>& key = lines[i].headerKey;
    if (!isHeader(i) || key.size() < 2 || key[0] != kServersTable || key[1] != serverName) continue;
    std::size_t next = i + 1;
    while (next < lines.size() && !isHeader(next)) ++next;
    std::size_t last = next;
    while (last > i + 1 &&
           (isBlankLine(last - 1) || lines[last - 1].kind == TOMLLine::Kind::comment))
      --last;
    const bool blankBefore = i > 0 && isBlankLine(i - 1);
    const bool blankOrEndAfter = last == lines.size() || isBlankLine(last);
    blocks.push_back(
        {.separatorBegin = blankBefore && blankOrEndAfter ? lines[i - 1].begin : lines[i].begin,
         .begin = lines[i].begin,
         .end = lines[last - 1].end});
  }
  return blocks;
}

/// text with the blocks taken out; the first one is replaced by replacement when given.
std::string withoutBlocks(std::string_view text, const std::vector<EntryBlock>& blocks,
                          const std::optional<std::string>& replacement) {
  std::string out;
  std::size_t copied = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const bool replaced = i == 0 && replacement;
    const std::size_t cut = replaced ? blocks[i].begin : blocks[i].separatorBegin;
    out.append(text.substr(copied, cut - copied));
    if (replaced) out += *replacement;
    copied = blocks[i].end;
  }
  out.append(text.substr(copied));
  return out;
}

std::string appended(std::string text, const std::string& block) {
  if (!text.empty()) {
    if (!text.ends_with('\n')) text += '\n';
    if (!text.ends_with("\n\n") && text != "\n") text += '\n';
  }
  return text + block;
}

std::string entryName(const std::string& serverName) {
  return std::string(kServersTable) + "." + tomlKey(serverName);
}

/// Whether text parses as the original document with only our entry changed: holding exactly
/// the installer's entry, or, without an installer, no entry at all.
bool isSoundEdit(std::string_view text, const toml::table& before, const std::string& serverName,
                 const MCPInstaller* installer) {
  try {
    const toml::table after = toml::parse(text);
    return (installer ? holdsExactly(after, *installer) : !holdsTOMLEntry(after, serverName)) &&
           withoutTOMLEntry(after, serverName) == withoutTOMLEntry(before, serverName);
  } catch (const toml::parse_error&) {
    return false;
  }
}

UnchangedFile unsafeEdit(const ConfigFile& file, const std::string& serverName) {
  return UnchangedFile(
      VL("无法在「%@」中安全地写入「%@」，未作修改", file.path.string(), entryName(serverName)));
}

/// Our entry's blocks in the text, or UnchangedFile when it is there in a form that no block
/// edit can replace (an inline table, dotted keys).
std::vector<EntryBlock> editableBlocks(std::string_view text, const toml::table& document,
                                       const std::string& serverName, const ConfigFile& file) {
  std::vector<EntryBlock> blocks;
  try {
    blocks = entryBlocks(text, serverName);
  } catch (const std::invalid_argument&) {
    throw unsafeEdit(file, serverName);
  }
  if (blocks.empty() && holdsTOMLEntry(document, serverName)) {
    throw UnchangedFile(VL("「%@」中的「%@」不是以独立的表写成的，无法安全替换，未作修改",
                           file.path.string(), entryName(serverName)));
  }
  return blocks;
}

std::string installedTOML(const ConfigFile& file, const MCPInstaller& installer) {
  const std::string original = file.content.value_or("");
  const toml::table before = parseTOML(original, file.path);
  const std::vector<EntryBlock> blocks =
      editableBlocks(original, before, installer.serverName, file);
  const std::string block = tomlBlock(installer);
  std::string text =
      blocks.empty() ? appended(original, block) : withoutBlocks(original, blocks, block);
  if (!isSoundEdit(text, before, installer.serverName, &installer))
    throw unsafeEdit(file, installer.serverName);
  return text;
}

std::optional<std::string> uninstalledTOML(const ConfigFile& file, const std::string& serverName) {
  const toml::table before = parseTOML(*file.content, file.path);
  if (!holdsTOMLEntry(before, serverName)) return std::nullopt;
  const std::vector<EntryBlock> blocks = editableBlocks(*file.content, before, serverName, file);
  std::string text = withoutBlocks(*file.content, blocks, std::nullopt);
  if (!isSoundEdit(text, before, serverName, nullptr)) throw unsafeEdit(file, serverName);
  return text;
}

}  // namespace

const std::vector<MCPClientIntegration>& MCPInstaller::knownClients() {
  static const std::vector<MCPClientIntegration> clients{
      {.id = "claude-desktop",
       .displayName = "Claude Desktop",
       .configPaths = {".config/Claude/claude_desktop_config.json"},
       .format = Format::mcpServersObject,
       .detectPaths = {".config/Claude"}},
      {.id = "claude-code",
       .displayName = "Claude Code",
       .configPaths = {".claude.json", ".config/claude/config.json"},
       .format = Format::mcpServersObject,
       .detectPaths = {".claude", ".claude.json"}},
      {.id = "codex",
       .displayName = "Codex CLI",
       .configPaths = {".codex/config.toml"},
       .format = Format::codexTOML,
       .detectPaths = {".codex"}},
      {.id = "opencode",
       .displayName = "OpenCode",
       .configPaths = {".config/opencode/opencode.json"},
       .format = Format::openCodeMCP,
       .detectPaths = {".config/opencode"}},
      {.id = "cursor",
       .displayName = "Cursor",
       .configPaths = {".cursor/mcp.json"},
       .format = Format::mcpServersObject,
       .detectPaths = {".cursor"}},
      {.id = "windsurf",
       .displayName = "Windsurf",
       .configPaths = {".codeium/windsurf/mcp_config.json"},
       .format = Format::mcpServersObject,
       .detectPaths = {".codeium/windsurf"}},
  };
  return clients;
}

std::vector<MCPClientIntegration> MCPInstaller::detected(const fs::path& home) const {
  std::vector<MCPClientIntegration> result;
  for (const MCPClientIntegration& integration : integrations) {
    if (isDetected(integration, home)) result.push_back(integration);
  }
  return result;
}

MCPInstallResult MCPInstaller::install(const MCPClientIntegration& integration,
                                       const fs::path& home) const {
  MCPInstallResult result{
      .id = integration.id, .displayName = integration.displayName, .installed = false};
  try {
    const fs::path path = chosenFile(integration, home);
    if (path.empty()) throw UnchangedFile(VL("没有可写入的配置文件"));
    const ConfigFile file = readConfig(path);
    const std::string text = integration.format == Format::codexTOML
                                 ? installedTOML(file, *this)
                                 : installedJSON(file, integration.format, serverName,
                                                 jsonEntry(*this, integration.format));
    createDirectories(file.target.parent_path(), kNewDirectoryMode);
    writeFileAtomically(file.target, text, file.mode);
    result.installed = true;
    result.detail = path.filename().string();
  } catch (const std::exception& error) {
    // A failure belongs to this client alone: it goes into its result, and callers go on with
    // the other clients.
    result.detail = error.what();
  }
  return result;
}

std::vector<MCPInstallResult> MCPInstaller::installIntoDetected(const fs::path& home) const {
  std::vector<MCPInstallResult> results;
  for (const MCPClientIntegration& integration : detected(home)) {
    results.push_back(install(integration, home));
  }
  return results;
}

void MCPInstaller::uninstall(const MCPClientIntegration& integration, const fs::path& home) const {
  try {
    const fs::path path = chosenFile(integration, home);
    if (path.empty() || !present(path)) return;
    const ConfigFile file = readConfig(path);
    if (!file.content) return;
    const std::optional<std::string> text =
        integration.format == Format::codexTOML
            ? uninstalledTOML(file, serverName)
            : uninstalledJSON(file, integration.format, serverName);
    if (text) writeFileAtomically(file.target, *text, file.mode);
  } catch (const std::exception&) {
    // Taking the entry out is best effort and silent: a file that cannot be read, understood
    // or written stays exactly as it was.
  }
}

MCPClientState MCPInstaller::state(const MCPClientIntegration& integration,
                                   const fs::path& home) const {
  MCPClientState result{.integration = integration,
                        .detected = isDetected(integration, home),
                        .configFile = chosenFile(integration, home),
                        .entryPresent = false};
  try {
    if (result.configFile.empty() || !present(result.configFile)) return result;
    const ConfigFile file = readConfig(result.configFile);
    if (!file.content) return result;
    if (integration.format == Format::codexTOML) {
      result.entryPresent = holdsTOMLEntry(parseTOML(*file.content, file.path), serverName);
    } else {
      const json::Value document = jsonDocument(file);
      const json::Value* table = jsonTable(document, integration.format);
      result.entryPresent = table && table->contains(serverName);
    }
  } catch (const std::exception&) {
    // A file that cannot be read or understood holds no entry a client would start.
  }
  return result;
}

}  // namespace velmora
