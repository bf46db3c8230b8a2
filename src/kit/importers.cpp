#include "importers.h"

#include <arpa/inet.h>
#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <pugixml.hpp>
#include <system_error>
#include <unordered_map>

#include "automation_protocol.h"
#include "file_io.h"
#include "import_error.h"
#include "localize.h"
#include "matchers.h"
#include "unicode.h"

namespace velmora {
namespace {

/// The extension of a file name without its dot, lower-cased; empty for "name", "name." and
/// ".hidden".
std::string lowercasedExtension(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  return unicode::lowercased(extension);
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

// Scanner -------------------------------------------------------------------------------------

std::vector<DiscoveredConfig> ConfigImportScanner::discover(
    const std::filesystem::path& home) const {
  std::vector<DiscoveredConfig> found;
  for (const auto& adapter : adapters) {
    const std::vector<std::string> extensions = adapter->fileExtensions();
    for (const std::string& searchPath : adapter->searchPaths()) {
      // A listing that fails half-way counts as failed, like one that cannot start: nothing of
      // that directory is offered.
      std::vector<std::filesystem::path> entries;
      std::error_code error;
      std::filesystem::directory_iterator entry(home / searchPath, error);
      for (; !error && entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        entries.push_back(entry->path());
      }
      if (error) continue;
      for (const auto& path : entries) {
        if (!contains(extensions, lowercasedExtension(path))) continue;
        found.push_back({.id = UUID::random(),
                         .url = path,
                         .displayName = VL("同类工具配置 · %@", path.filename().string()),
                         .adapterID = adapter->adapterID()});
      }
    }
  }
  return found;
}

ImportedConfig ConfigImportScanner::parse(const DiscoveredConfig& config) const {
  const auto adapter = std::find_if(adapters.begin(), adapters.end(), [&](const auto& candidate) {
    return candidate->adapterID() == config.adapterID;
  });
  if (adapter == adapters.end()) throw ImportError::unrecognizedFormat();
  return (*adapter)->parse(readFile(config.url));
}

ImportedConfig ConfigImportScanner::parse(const std::filesystem::path& url) const {
  const std::string extension = lowercasedExtension(url);
  const std::string data = readFile(url);
  for (const auto& adapter : adapters) {
    if (!contains(adapter->fileExtensions(), extension)) continue;
    try {
      return adapter->parse(data);
    } catch (const std::exception&) {
      // Deliberately dropped: the next adapter for this extension may read the file, and when
      // none does the user is told the format is not recognised rather than one adapter's view.
    }
  }
  throw ImportError::unrecognizedFormat();
}

// Report --------------------------------------------------------------------------------------

void ImportReport::note(ImportNote::Kind kind, std::string example, std::int64_t count) {
  auto at = std::find_if(notes.begin(), notes.end(),
                         [&](const ImportNote& note) { return note.kind >= kind; });
  if (at == notes.end() || at->kind != kind) {
    at = notes.insert(at, ImportNote{.kind = kind, .count = 0, .example = std::move(example)});
  }
  at->count += count;
}

std::string describe(const ImportNote& note) {
  using K = ImportNote::Kind;
  const std::int64_t n = note.count;
  const std::string& e = note.example;
  switch (note.kind) {
    case K::sectionsNotRead:
      return VL("未读取文件中的 %@（选项与 DNS 设置不导入）", e);
    case K::proxySkipped:
      return VL("%lld 个代理缺少地址或端口无效，未导入，例如「%@」", n, e);
    case K::proxyTypeChanged:
      return VL("%lld 个代理的类型没有对应，改用相近的协议，例如「%@」", n, e);
    case K::proxySettingNotRead:
      return VL("%lld 项代理设置未导入，例如「%@」", n, e);
    case K::proxyReused:
      return VL("%lld 个代理与本配置已有代理的地址、端口和协议相同，沿用已有代理，例如「%@」", n,
                e);
    case K::credentialsNotTaken:
      return VL("%lld 个沿用的代理保留原有认证信息，未采用文件中的用户名和密码，例如「%@」", n, e);
    case K::chainMemberLeftOut:
      return VL("%lld 个代理链成员已停用或指向不存在的代理，未导入，例如代理链「%@」的成员", n, e);
    case K::chainLeftOut:
      return VL("%lld 条代理链没有可用的成员，未导入，例如「%@」", n, e);
    case K::chainMadeOrdered:
      return VL("%lld 条负载均衡或冗余代理链按顺序链导入，例如「%@」", n, e);
    case K::chainReused:
      return VL("%lld 条代理链本配置中已有，沿用已有代理链，例如「%@」", n, e);
    case K::appNameAdded:
      return VL(
          "%lld 个应用条目是 Windows 程序名，另加去掉 .exe 的名称以匹配 Linux 上的同名程序，"
          "例如「%@」",
          n, e);
    case K::hostRewritten:
      return VL("%lld 个主机条目改写为可匹配的写法，例如「%@」", n, e);
    case K::hostLeftOut:
      return VL("%lld 个主机条目无法匹配任何连接，未导入，例如「%@」", n, e);
    case K::portRewritten:
      return VL("%lld 个端口条目改写为可匹配的写法，例如「%@」", n, e);
    case K::portLeftOut:
      return VL("%lld 个端口条目无法识别，未导入，例如「%@」", n, e);
    case K::ruleLeftOut:
      return VL("%lld 条规则的某一列条目全部无法使用，整条规则未导入，例如「%@」", n, e);
    case K::unknownTarget:
      return VL("%lld 条规则指向的代理或代理链在文件中不存在，改用第一个代理，例如「%@」", n, e);
    case K::unknownTargetDirect:
      return VL(
          "%lld 条规则指向的代理或代理链在文件中不存在，文件中也没有可用的代理，改为直连，"
          "例如「%@」",
          n, e);
    case K::ruleAlreadyPresent:
      return VL("%lld 条规则与本配置已有规则完全相同，未重复添加，例如「%@」", n, e);
    case K::nameMadeUnique:
      return VL("%lld 个代理、代理链或规则与已有的名称重复，加上了编号，例如「%@」", n, e);
    case K::localhostDropped:
      return VL("文件中的「Localhost」规则未导入，本配置自带同名的内置规则");
    case K::localhostExtended:
      return VL(
          "文件中「Localhost」规则另有 %lld 个本配置内置规则没有的主机条目，归入规则"
          "「Localhost（导入）」，例如「%@」",
          n, e);
    case K::defaultTaken:
      return VL("文件中「Default」规则的动作 %@ 已用于本配置的「Default」规则", e);
    case K::defaultNotTaken:
      return VL("文件中的「Default」规则未导入：本配置没有内置的「Default」规则");
  }
  return {};
}

std::vector<std::string> ImportReport::lines() const {
  std::vector<std::string> lines = {
      VL("导入了 %lld 个代理、%lld 条代理链、%lld 条规则", proxies, chains, rules)};
  for (const ImportNote& note : notes) lines.push_back(describe(note));
  return lines;
}

json::Value toJSON(const ImportReport& report) {
  json::Value notes = json::Value::array();
  for (const ImportNote& note : report.notes) {
    notes.push_back({{"kind", rawValue(note.kind)},
                     {"count", note.count},
                     {"example", note.example},
                     {"message", describe(note)}});
  }
  return {{"proxies", report.proxies},
          {"chains", report.chains},
          {"rules", report.rules},
          {"notes", std::move(notes)}};
}

// Merge ---------------------------------------------------------------------------------------

namespace {

/// A hash of the fields that set rules apart most often; equal rules have equal hashes.
/// A hash of the rule's lists; names are left out, since a suffix may have changed them.
std::size_t roughHash(const Rule& rule) {
  std::size_t hash = 0;
  for (const auto* list : {&rule.apps, &rule.hosts, &rule.ports}) {
    for (const std::string& entry : *list) hash = hash * 31 + std::hash<std::string>()(entry);
    hash = hash * 31 + list->size();
  }
  return hash;
}

/// Whether own is name itself or name with the suffix a merge gives a taken name: "Work (2)".
bool sameOrSuffixedName(std::string_view own, std::string_view name) {
  if (own == name) return true;
  if (!own.starts_with(name) || !own.ends_with(")")) return false;
  const std::string_view suffix = own.substr(name.size());
  return suffix.starts_with(" (") && suffix.size() > 3 &&
         suffix.substr(2, suffix.size() - 3).find_first_not_of("0123456789") ==
             std::string_view::npos;
}

/// The same in every field but the id, the name allowing for a suffix given on import.
bool sameContent(Rule rule, const Rule& own) {
  if (!sameOrSuffixedName(own.name, rule.name)) return false;
  rule.id = own.id;
  rule.name = own.name;
  return rule == own;
}

/// name, or the first of "name (2)", "name (3)", … that no item has, ignoring case; a change is
/// noted in the report.
template <typename T>
std::string uniqueName(const std::vector<T>& items, const std::string& name, ImportReport& report) {
  const auto taken = [&](const std::string& candidate) {
    return std::any_of(items.begin(), items.end(), [&](const T& item) {
      return unicode::equalsIgnoringCase(item.name, candidate);
    });
  };
  if (!taken(name)) return name;
  std::string candidate;
  for (int n = 2; taken(candidate = name + " (" + std::to_string(n) + ")"); ++n) {
  }
  report.note(ImportNote::Kind::nameMadeUnique, name + " → " + candidate);
  return candidate;
}

}  // namespace

MergedImport mergeImport(const Profile& profile, const ImportedConfig& imported) {
  using K = ImportNote::Kind;
  ImportReport report = imported.report;

  std::vector<ProxyServer> proxies = profile.proxies;
  std::unordered_map<UUID, UUID> reused;  // imported proxy or chain → the profile's own
  for (const ProxyServer& proxy : imported.proxies) {
    // Searched in the growing list, so two imported proxies with one endpoint become one proxy.
    const auto existing =
        std::find_if(proxies.begin(), proxies.end(), [&](const ProxyServer& candidate) {
          return candidate.address == proxy.address && candidate.port == proxy.port &&
                 candidate.proto == proxy.proto;
        });
    if (existing == proxies.end()) {
      ProxyServer added = proxy;
      added.name = uniqueName(proxies, proxy.name, report);
      proxies.push_back(std::move(added));
      ++report.proxies;
      continue;
    }
    reused[proxy.id] = existing->id;
    report.note(K::proxyReused, proxy.endpointDescription());
    if (proxy.credentials && proxy.credentials != existing->credentials) {
      report.note(K::credentialsNotTaken, existing->name);
    }
  }
  const auto mapped = [&](const UUID& id) {
    const auto target = reused.find(id);
    return target == reused.end() ? id : target->second;
  };

  std::vector<ProxyChain> chains = profile.chains;
  for (ProxyChain chain : imported.chains) {
    for (UUID& member : chain.proxyIDs) member = mapped(member);
    const auto existing =
        std::find_if(chains.begin(), chains.end(), [&](const ProxyChain& candidate) {
          return sameOrSuffixedName(candidate.name, chain.name) &&
                 candidate.proxyIDs == chain.proxyIDs;
        });
    if (existing != chains.end()) {
      reused[chain.id] = existing->id;
      report.note(K::chainReused, chain.name);
      continue;
    }
    chain.name = uniqueName(chains, chain.name, report);
    chains.push_back(std::move(chain));
    ++report.chains;
  }
  const auto mappedAction = [&](RuleAction action) {
    if (action.kind == RuleAction::Kind::proxy || action.kind == RuleAction::Kind::chain) {
      action.id = mapped(action.id);
    }
    return action;
  };

  const auto lockedNamed = [](const Rule& rule, std::string_view name) {
    return rule.locked && rule.name == name;
  };
  std::vector<Rule> rules;
  for (const Rule& rule : profile.rules) {
    if (lockedNamed(rule, "Localhost")) rules.push_back(rule);
  }
  for (const Rule& rule : profile.rules) {
    if (!rule.locked) rules.push_back(rule);
  }
  // Only the profile's own rules count: a file that repeats a rule keeps both copies.
  std::unordered_multimap<std::size_t, Rule> ownRules;
  for (const Rule& rule : rules) ownRules.emplace(roughHash(rule), rule);
  for (Rule rule : imported.rules) {
    rule.action = mappedAction(rule.action);
    const auto [first, last] = ownRules.equal_range(roughHash(rule));
    if (std::any_of(first, last, [&](const auto& own) { return sameContent(rule, own.second); })) {
      report.note(K::ruleAlreadyPresent, rule.name);
      continue;
    }
    rule.name = uniqueName(rules, rule.name, report);
    rules.push_back(std::move(rule));
    ++report.rules;
  }
  bool tookDefault = false;
  for (const Rule& rule : profile.rules) {
    if (!lockedNamed(rule, "Default")) continue;
    if (imported.defaultAction) {
      rules.push_back(rule.with({.action = mappedAction(*imported.defaultAction)}));
      tookDefault = true;
    } else {
      rules.push_back(rule);
    }
  }

  Profile merged = profile.with(
      {.proxies = std::move(proxies), .chains = std::move(chains), .rules = std::move(rules)});
  if (imported.defaultAction) {
    if (tookDefault) {
      report.note(K::defaultTaken, RuleDTO::fromRule(merged.rules.back(), merged).action);
    } else {
      report.note(K::defaultNotTaken, "");
    }
  }
  return {std::move(merged), std::move(report)};
}

Profile merging(const Profile& profile, const ImportedConfig& imported) {
  return mergeImport(profile, imported).profile;
}

// Proxifier profiles --------------------------------------------------------------------------

namespace {

/// The XPath string value of an element: all text below it, in document order. Walked without
/// recursion, so a hostile nesting depth cannot exhaust the stack. A character reference to
/// something that is no character (&#xD800;) stands as U+FFFD, so that no imported text breaks
/// the profile it lands in.
std::string stringValue(pugi::xml_node element) {
  std::string value;
  pugi::xml_node node = element.first_child();
  while (node) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) value += node.value();
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node && node != element && !node.next_sibling()) node = node.parent();
    node = node == element ? pugi::xml_node() : node.next_sibling();
  }
  return unicode::replacingInvalidUTF8(value);
}

/// The string value of the first child element of that name; nothing when there is no such
/// child or its text is empty.
std::optional<std::string> childText(pugi::xml_node element, const char* name) {
  const pugi::xml_node child = element.child(name);
  if (!child) return std::nullopt;
  std::string value = stringValue(child);
  if (value.empty()) return std::nullopt;
  return value;
}

std::optional<std::string> attributeValue(pugi::xml_node element, const char* name) {
  const pugi::xml_attribute attribute = element.attribute(name);
  if (!attribute) return std::nullopt;
  return unicode::replacingInvalidUTF8(attribute.value());
}

/// A decimal port as Proxifier files write it: an optional "+" (or a "-" before nothing but
/// zeros), then digits, at most 65535.
std::optional<std::uint16_t> proxifierPort(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return std::nullopt;
  }
  if (negative && value != 0) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

/// The value of encoding="…" in an XML declaration at the very start, or nothing.
std::optional<std::string> declaredEncoding(std::string_view data) {
  if (!data.starts_with("<?xml")) return std::nullopt;
  const std::string_view declaration = data.substr(0, data.find("?>"));
  auto at = declaration.find("encoding");
  if (at == std::string_view::npos) return std::nullopt;
  at += 8;
  const auto skipSpaces = [&] {
    while (at < declaration.size() && (declaration[at] == ' ' || declaration[at] == '\t' ||
                                       declaration[at] == '\r' || declaration[at] == '\n')) {
      ++at;
    }
  };
  skipSpaces();
  if (at >= declaration.size() || declaration[at] != '=') return std::nullopt;
  ++at;
  skipSpaces();
  if (at >= declaration.size() || (declaration[at] != '"' && declaration[at] != '\''))
    return std::nullopt;
  const char quote = declaration[at++];
  const auto end = declaration.find(quote, at);
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(declaration.substr(at, end - at));
}

/// Whether text is an encoding name as XML writes one: a letter, then letters, digits, ".", "_"
/// and "-". ICU would otherwise match almost any bytes to some converter.
bool isEncodingName(std::string_view text) {
  const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (text.empty() || !letter(text.front())) return false;
  return std::all_of(text.begin(), text.end(), [&](char c) {
    return letter(c) || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
  });
}

/// Code pages a Windows tool could have saved a profile in. Unicode's own compressed and 7-bit
/// forms are left out: no such tool writes them, and ICU's decoders for some of them (SCSU) can
/// loop forever on hostile bytes.
bool isLegacyCodePage(const UConverter* converter) {
  switch (ucnv_getType(converter)) {
    case UCNV_SBCS:
    case UCNV_DBCS:
    case UCNV_MBCS:
    case UCNV_LATIN_1:
    case UCNV_US_ASCII:
    case UCNV_ISO_2022:
    case UCNV_HZ:
    case UCNV_EBCDIC_STATEFUL:
    case UCNV_ISCII:
      return true;
    default:
      return false;
  }
}

/// 8-bit text in the code page its declaration names (windows-1251, GBK, ISO-8859-1 …) as UTF-8;
/// nothing when there is no declaration, the code page is unknown or a byte is not valid in it.
std::optional<std::string> decodedLegacyText(std::string_view data) {
  const auto encoding = declaredEncoding(data);
  if (!encoding || !isEncodingName(*encoding)) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UConverter, decltype(&ucnv_close)> converter(
      ucnv_open(encoding->c_str(), &status), ucnv_close);
  if (U_FAILURE(status) || !isLegacyCodePage(converter.get())) return std::nullopt;
  ucnv_setToUCallBack(converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  if (U_FAILURE(status)) return std::nullopt;
  const icu::UnicodeString text(data.data(), static_cast<int32_t>(data.size()), converter.get(),
                                status);
  if (U_FAILURE(status)) return std::nullopt;
  std::string result;
  text.toUTF8String(result);
  return result;
}

/// True when the bytes start with a UTF-16 or UTF-32 byte-order mark, or hold a zero byte among
/// the first four (a wide encoding without a mark).
bool looksWide(std::string_view data) {
  if (data.starts_with("\xFE\xFF") || data.starts_with("\xFF\xFE")) return true;
  return data.substr(0, 4).find('\0') != std::string_view::npos;
}

/// Loads the document. Windows tools often write a declaration that does not match the bytes
/// (encoding="UTF-16" or a code page on a file saved as UTF-8, with or without a byte-order
/// mark), so bytes that are UTF-8 are read as UTF-8 whatever the declaration says; pugixml
/// would otherwise re-decode them as Latin-1 when the declaration names it. Wide encodings are
/// left to pugixml's detection, and other 8-bit text is decoded as its declaration says.
bool loadDocument(pugi::xml_document& document, std::string_view data) {
  if (looksWide(data)) {
    return document.load_buffer(data.data(), data.size(), pugi::parse_default, pugi::encoding_auto);
  }
  if (unicode::isValidUTF8(data)) {
    return document.load_buffer(data.data(), data.size(), pugi::parse_default, pugi::encoding_utf8);
  }
  const auto decoded = decodedLegacyText(data);
  if (!decoded) return false;
  return document.load_buffer(decoded->data(), decoded->size(), pugi::parse_default,
                              pugi::encoding_utf8);
}

/// The element nodes a query selects below root, in document order; none when the query fails.
std::vector<pugi::xml_node> selectedElements(pugi::xml_node root, const char* query) {
  std::vector<pugi::xml_node> elements;
  try {
    for (const pugi::xpath_node& selected : root.select_nodes(query)) {
      if (selected.node().type() == pugi::node_element) elements.push_back(selected.node());
    }
  } catch (const pugi::xpath_exception&) {
    // A query that cannot be evaluated selects nothing.
  }
  return elements;
}

/// Spaces, tabs and line breaks removed from both ends.
std::string_view trimmedWhiteSpace(std::string_view text) {
  constexpr std::string_view whiteSpace = " \t\r\n\v\f";
  const auto first = text.find_first_not_of(whiteSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(whiteSpace) - first + 1);
}

/// A Proxifier list: entries separated by ";" or by line breaks (files written by hand often
/// have no ";" at all), each trimmed of white space and of one pair of surrounding double quotes
/// (how names with spaces are written), and of white space inside those; empty entries dropped.
std::vector<std::string> proxifierList(std::string_view text) {
  std::vector<std::string> entries;
  while (!text.empty()) {
    const auto end = text.find_first_of(";\r\n");
    std::string_view entry = trimmedWhiteSpace(text.substr(0, end));
    if (entry.size() >= 2 && entry.front() == '"' && entry.back() == '"') {
      entry = trimmedWhiteSpace(entry.substr(1, entry.size() - 2));
    }
    if (!entry.empty()) entries.emplace_back(entry);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return entries;
}

/// Adds the entry unless the list has it already.
void appendOnce(std::vector<std::string>& list, std::string entry) {
  if (!contains(list, entry)) list.push_back(std::move(entry));
}

/// "Discord.exe" → "Discord": the name the same program has on Linux, for an entry that ends in
/// ".exe" in any case after some name; nothing for any other entry.
std::optional<std::string> linuxProgramName(std::string_view entry) {
  constexpr std::string_view suffix = ".exe";
  if (entry.size() <= suffix.size()) return std::nullopt;
  const std::string_view end = entry.substr(entry.size() - suffix.size());
  const bool exe = std::equal(end.begin(), end.end(), suffix.begin(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
  if (!exe) return std::nullopt;
  return std::string(entry.substr(0, entry.size() - suffix.size()));
}

bool isIPv6(std::string_view text) {
  in6_addr address{};
  return inet_pton(AF_INET6, std::string(text).c_str(), &address) == 1;
}

/// A host entry as the host matcher reads it: the entry itself, the same with the spaces around
/// a range's "-" or a network's "/" taken out, or nothing when no connection could match it (an
/// IPv6 range or network, a placeholder other than %ComputerName%, text with spaces, a path).
std::optional<std::string> matchableHost(const std::string& entry) {
  // Where connections are routed it stands for this machine's host name.
  if (unicode::equalsIgnoringCase(entry, "%ComputerName%")) return entry;
  if (const auto dash = entry.find('-'); dash != std::string::npos) {
    const auto first = trimmedWhiteSpace(std::string_view(entry).substr(0, dash));
    const auto last = trimmedWhiteSpace(std::string_view(entry).substr(dash + 1));
    const auto low = IPv4::parse(first);
    const auto high = IPv4::parse(last);
    if (low && high) {
      if (*low > *high) return std::nullopt;
      return std::string(first) + "-" + std::string(last);
    }
    if (isIPv6(first) && isIPv6(last)) return std::nullopt;
  }
  if (const auto slash = entry.find('/'); slash != std::string::npos) {
    const auto address = trimmedWhiteSpace(std::string_view(entry).substr(0, slash));
    const auto prefix = trimmedWhiteSpace(std::string_view(entry).substr(slash + 1));
    const auto bits = parsePort(prefix);
    if (!IPv4::parse(address) || !bits || *bits > 32) return std::nullopt;
    return std::string(address) + "/" + std::string(prefix);
  }
  // Host names, IPv4 and IPv6 literals and wildcards over them; anything else is a text no
  // destination host ever equals.
  const bool readable = std::all_of(entry.begin(), entry.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x80 || std::isalnum(byte) ||
           std::string_view(".-_*?:").find(c) != std::string_view::npos;
  });
  if (!readable) return std::nullopt;
  // A colon belongs only in IPv6 addresses: "name:port" is no host.
  if (entry.find(':') != std::string::npos && entry.find_first_of("*?") == std::string::npos &&
      !isIPv6(entry)) {
    return std::nullopt;
  }
  return entry;
}

/// A port entry as the port matcher reads it: a port, or a range with the spaces around its
/// "-" taken out; nothing for anything else.
std::optional<std::string> matchablePort(const std::string& entry) {
  const auto dash = entry.find('-');
  if (dash == std::string::npos) {
    if (!parsePort(entry)) return std::nullopt;
    return entry;
  }
  const auto first = trimmedWhiteSpace(std::string_view(entry).substr(0, dash));
  const auto last = trimmedWhiteSpace(std::string_view(entry).substr(dash + 1));
  const auto low = parsePort(first);
  const auto high = parsePort(last);
  if (!low || !high || *low > *high) return std::nullopt;
  return std::string(first) + "-" + std::string(last);
}

/// The entries of a list that the matchers can use, rewritten where needed; each rewrite and
/// each entry left out is noted.
std::vector<std::string> matchableEntries(
    const std::vector<std::string>& entries,
    std::optional<std::string> (*matchable)(const std::string&), ImportNote::Kind rewritten,
    ImportNote::Kind leftOut, ImportReport& report) {
  std::vector<std::string> kept;
  for (const std::string& entry : entries) {
    std::optional<std::string> usable = matchable(entry);
    if (!usable) {
      report.note(leftOut, entry);
      continue;
    }
    if (*usable != entry) report.note(rewritten, entry + " → " + *usable);
    appendOnce(kept, std::move(*usable));
  }
  return kept;
}

/// The ids a Proxifier file gives its proxies and chains (two separate sets of numbers), and
/// what they became.
struct ProxifierIDs {
  std::unordered_map<std::string, UUID> proxies;
  std::unordered_map<std::string, UUID> chains;
};

/// The element's "enabled" attribute says anything but "false" (absent included).
bool enabledElement(pugi::xml_node element) {
  return std::string_view(element.attribute("enabled").value()) != "false";
}

void readProxy(pugi::xml_node element, ProxifierIDs& ids, ImportedConfig& config) {
  using K = ImportNote::Kind;
  const std::string address(trimmedWhiteSpace(childText(element, "Address").value_or("")));
  const auto portText = childText(element, "Port");
  const auto port = portText ? proxifierPort(*portText) : std::nullopt;
  if (address.empty() || !port) {
    config.report.note(K::proxySkipped, address.empty()
                                            ? "id " + attributeValue(element, "id").value_or("?")
                                            : address);
    return;
  }
  const std::string type = attributeValue(element, "type").value_or("SOCKS5");
  const std::string lowercasedType = unicode::lowercased(type);
  const ProxyProtocol protocol =
      lowercasedType.starts_with("socks") ? ProxyProtocol::socks5 : ProxyProtocol::http;
  if (lowercasedType != "socks5" && lowercasedType != "http" && lowercasedType != "https") {
    config.report.note(K::proxyTypeChanged, type + " → " + std::string(rawValue(protocol)));
  }
  const std::string label(trimmedWhiteSpace(childText(element, "Label").value_or("")));
  ProxyServer proxy{.id = UUID::random(),
                    .name = label.empty() ? address + ":" + std::to_string(*port) : label,
                    .address = address,
                    .port = *port,
                    .proto = protocol};
  if (const pugi::xml_node authentication = element.child("Authentication");
      authentication && enabledElement(authentication)) {
    proxy.credentials = ProxyCredentials{.username = stringValue(authentication.child("Username")),
                                         .password = stringValue(authentication.child("Password"))};
  }
  // Options holds the tool's own bit flags for the proxy, nothing a connection here depends on.
  for (const pugi::xml_node child : element.children()) {
    if (child.type() != pugi::node_element) continue;
    if (!contains({"Address", "Port", "Label", "Authentication", "Options"}, child.name())) {
      config.report.note(K::proxySettingNotRead, child.name());
    }
  }
  if (const auto id = attributeValue(element, "id")) ids.proxies[*id] = proxy.id;
  config.proxies.push_back(std::move(proxy));
}

void readChain(pugi::xml_node element, ProxifierIDs& ids, ImportedConfig& config) {
  using K = ImportNote::Kind;
  const std::string id = attributeValue(element, "id").value_or("");
  std::string name(trimmedWhiteSpace(childText(element, "Name").value_or("")));
  if (name.empty()) name = "Chain " + id;
  ProxyChain chain{.id = UUID::random(), .name = name, .proxyIDs = {}};
  for (const pugi::xml_node member : element.children("Proxy")) {
    const auto proxy = ids.proxies.find(std::string(trimmedWhiteSpace(stringValue(member))));
    if (!enabledElement(member) || proxy == ids.proxies.end()) {
      config.report.note(K::chainMemberLeftOut, name);
      continue;
    }
    chain.proxyIDs.push_back(proxy->second);
  }
  if (chain.proxyIDs.empty()) {
    config.report.note(K::chainLeftOut, name);
    return;
  }
  // A chain that spreads or fails over its connections among its members becomes one that
  // passes every connection through all of them in turn: the nearest this system has.
  const std::string type = attributeValue(element, "type").value_or("");
  if (!type.empty() && unicode::lowercased(type) != "simple") {
    config.report.note(K::chainMadeOrdered, name + "（" + type + "）");
  }
  if (!id.empty()) ids.chains[id] = chain.id;
  config.chains.push_back(std::move(chain));
}

/// The action of a rule element. Proxy and chain actions name their target by the "proxy"
/// attribute or, as most files do, by the element's text; a target that names nothing falls
/// back to the file's first proxy, else to direct, and is noted.
RuleAction ruleAction(pugi::xml_node rule, const std::string& ruleName, const ProxifierIDs& ids,
                      ImportedConfig& config) {
  const pugi::xml_node action = rule.child("Action");
  if (!action) return RuleAction::direct();
  std::string kind = action.attribute("type").value();
  const bool typed = !kind.empty();
  if (!typed) kind = stringValue(action);
  if (kind.empty()) kind = "Direct";
  kind = unicode::lowercased(kind);

  if (kind.find("block") != std::string::npos) return RuleAction::block();
  const bool chain = kind.find("chain") != std::string::npos;
  if (!chain && kind.find("proxy") == std::string::npos) return RuleAction::direct();

  std::string target = action.attribute("proxy").value();
  if (target.empty() && typed) target = trimmedWhiteSpace(stringValue(action));
  const auto& known = chain ? ids.chains : ids.proxies;
  if (const auto found = known.find(target); found != known.end()) {
    return chain ? RuleAction::chain(found->second) : RuleAction::proxy(found->second);
  }
  if (config.proxies.empty()) {
    config.report.note(ImportNote::Kind::unknownTargetDirect, ruleName);
    return RuleAction::direct();
  }
  config.report.note(ImportNote::Kind::unknownTarget, ruleName);
  return RuleAction::proxy(config.proxies.front().id);
}

void readRule(pugi::xml_node element, const ProxifierIDs& ids, ImportedConfig& config) {
  using K = ImportNote::Kind;
  std::string name = childText(element, "Name").value_or("Imported");
  // Every profile has its own rule of this name: the file's catch-all lends the profile's
  // fallback rule its action.
  if (name == "Default") {
    config.defaultAction = ruleAction(element, name, ids, config);
    return;
  }
  std::vector<std::string> hostEntries = proxifierList(childText(element, "Targets").value_or(""));
  // The profile's own local guard stands in for the file's; what the file adds to it (often
  // the local networks) becomes a rule of its own, so those hosts still go where the file says.
  std::int64_t localhostExtras = 0;
  if (name == "Localhost") {
    const std::vector<std::string> guarded = Profile::localhostGuardRule().hosts;
    std::erase_if(hostEntries, [&](const std::string& entry) {
      return std::any_of(guarded.begin(), guarded.end(), [&](const std::string& host) {
        return unicode::equalsIgnoringCase(entry, host);
      });
    });
    if (hostEntries.empty()) {
      config.report.note(K::localhostDropped, name);
      return;
    }
    localhostExtras = static_cast<std::int64_t>(hostEntries.size());
    name = "Localhost（导入）";
  }
  const std::vector<std::string> portEntries =
      proxifierList(childText(element, "Ports").value_or(""));
  // A Windows name stays as the file wrote it, so that the rule means to any reader of the
  // profile what it meant in the file; the program's Linux name goes beside it.
  std::vector<std::string> apps;
  for (std::string& app : proxifierList(childText(element, "Applications").value_or(""))) {
    std::optional<std::string> linuxName = linuxProgramName(app);
    if (linuxName && !contains(apps, *linuxName)) {
      config.report.note(K::appNameAdded, app + " → " + *linuxName);
    }
    appendOnce(apps, std::move(app));
    if (linuxName) appendOnce(apps, std::move(*linuxName));
  }
  std::vector<std::string> hosts =
      matchableEntries(hostEntries, matchableHost, K::hostRewritten, K::hostLeftOut, config.report);
  std::vector<std::string> ports =
      matchableEntries(portEntries, matchablePort, K::portRewritten, K::portLeftOut, config.report);
  // An empty list places no condition: a rule whose every host or port was left out would
  // take connections the file never sent it.
  if ((hosts.empty() && !hostEntries.empty()) || (ports.empty() && !portEntries.empty())) {
    // Extra hosts of the local guard that are all left out leave nothing beyond the guard.
    if (localhostExtras > 0) {
      config.report.note(K::localhostDropped, "Localhost");
    } else {
      config.report.note(K::ruleLeftOut, name);
    }
    return;
  }
  const RuleAction action = ruleAction(element, name, ids, config);
  config.rules.push_back(Rule{.id = UUID::random(),
                              .name = std::move(name),
                              .enabled = enabledElement(element),
                              .apps = std::move(apps),
                              .hosts = std::move(hosts),
                              .ports = std::move(ports),
                              .transport = FlowTransport::any,
                              .action = action,
                              .quicPolicy = QUICPolicy::fallback,
                              .locked = false});
  if (localhostExtras > 0) {
    config.report.note(K::localhostExtended, config.rules.back().hosts.front(), localhostExtras);
  }
}

/// Notes the parts of the file that are not read: its options, DNS settings included, and
/// anything else besides the three lists.
void noteUnreadSections(pugi::xml_node root, ImportReport& report) {
  std::string names;
  std::int64_t count = 0;
  for (const pugi::xml_node child : root.children()) {
    if (child.type() != pugi::node_element) continue;
    if (contains({"ProxyList", "ChainList", "RuleList"}, child.name())) continue;
    names += (count++ ? "、" : "") + std::string(child.name());
  }
  if (count > 0) report.note(ImportNote::Kind::sectionsNotRead, names, count);
}

}  // namespace

std::string PPXImportAdapter::adapterID() const {
  return "ppx";
}

std::vector<std::string> PPXImportAdapter::fileExtensions() const {
  return {"ppx"};
}

std::vector<std::string> PPXImportAdapter::searchPaths() const {
  return {"Library/Application Support/Proxifier3/Profiles", "Documents"};
}

ImportedConfig PPXImportAdapter::parse(std::string_view data) const {
  pugi::xml_document document;
  if (!loadDocument(document, data)) throw ImportError::malformed(VL("不是有效的 XML"));
  const pugi::xml_node root = document.document_element();
  if (!root || std::string_view(root.name()) != "ProxifierProfile")
    throw ImportError::unrecognizedFormat();

  ImportedConfig config;
  ProxifierIDs ids;
  noteUnreadSections(root, config.report);
  for (const pugi::xml_node element : selectedElements(root, "ProxyList/Proxy")) {
    readProxy(element, ids, config);
  }
  // Chains come before rules, and proxies before both, whatever order the file has them in.
  for (const pugi::xml_node element : selectedElements(root, "ChainList/Chain")) {
    readChain(element, ids, config);
  }
  for (const pugi::xml_node element : selectedElements(root, "RuleList/Rule")) {
    readRule(element, ids, config);
  }
  return config;
}

}  // namespace velmora
