#include "importers.h"

#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <pugixml.hpp>
#include <system_error>
#include <unordered_map>

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

// Merge ---------------------------------------------------------------------------------------

Profile merging(const Profile& profile, const ImportedConfig& imported) {
  std::vector<ProxyServer> proxies = profile.proxies;
  std::unordered_map<UUID, UUID> reused;  // imported proxy → the profile's proxy with its endpoint
  for (const ProxyServer& proxy : imported.proxies) {
    // Searched in the growing list, so two imported proxies with one endpoint become one proxy.
    const auto existing =
        std::find_if(proxies.begin(), proxies.end(), [&](const ProxyServer& candidate) {
          return candidate.address == proxy.address && candidate.port == proxy.port &&
                 candidate.proto == proxy.proto;
        });
    if (existing != proxies.end()) {
      reused[proxy.id] = existing->id;
    } else {
      proxies.push_back(proxy);
    }
  }

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
  for (Rule rule : imported.rules) {
    if (rule.action.kind == RuleAction::Kind::proxy) {
      if (const auto target = reused.find(rule.action.id); target != reused.end()) {
        rule.action = RuleAction::proxy(target->second);
      }
    }
    rules.push_back(std::move(rule));
  }
  for (const Rule& rule : profile.rules) {
    if (lockedNamed(rule, "Default")) rules.push_back(rule);
  }
  return profile.with({.proxies = std::move(proxies), .rules = std::move(rules)});
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

/// 8-bit text in the code page its declaration names (windows-1251, GBK, ISO-8859-1 …) as UTF-8;
/// nothing when there is no declaration, the code page is unknown or a byte is not valid in it.
std::optional<std::string> decodedLegacyText(std::string_view data) {
  const auto encoding = declaredEncoding(data);
  if (!encoding) return std::nullopt;
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<UConverter, decltype(&ucnv_close)> converter(
      ucnv_open(encoding->c_str(), &status), ucnv_close);
  if (U_FAILURE(status)) return std::nullopt;
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

RuleAction ruleAction(pugi::xml_node rule, const std::unordered_map<std::string, UUID>& proxyIDs,
                      const std::vector<ProxyServer>& proxies) {
  const pugi::xml_node action = rule.child("Action");
  if (!action) return RuleAction::direct();
  std::string kind = action.attribute("type").value();
  if (kind.empty()) kind = stringValue(action);
  if (kind.empty()) kind = "Direct";
  kind = unicode::lowercased(kind);

  if (kind.find("block") != std::string::npos) return RuleAction::block();
  if (kind.find("proxy") == std::string::npos && kind.find("chain") == std::string::npos) {
    return RuleAction::direct();
  }
  // Chains are not imported; a rule through a chain goes through a proxy instead. A reference
  // that resolves to nothing falls back to the first proxy of the file.
  if (const auto id = attributeValue(action, "proxy")) {
    if (const auto proxy = proxyIDs.find(*id); proxy != proxyIDs.end())
      return RuleAction::proxy(proxy->second);
  }
  if (!proxies.empty()) return RuleAction::proxy(proxies.front().id);
  return RuleAction::direct();
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
  std::unordered_map<std::string, UUID> proxyIDs;  // Proxifier's proxy id → the imported proxy
  for (const pugi::xml_node element : selectedElements(root, "ProxyList/Proxy")) {
    const auto address = childText(element, "Address");
    if (!address) continue;
    const auto portText = childText(element, "Port");
    const auto port = portText ? proxifierPort(*portText) : std::nullopt;
    if (!port) continue;
    const auto type = attributeValue(element, "type").value_or("SOCKS5");
    ProxyServer proxy{.id = UUID::random(),
                      .name = *address + ":" + std::to_string(*port),
                      .address = *address,
                      .port = *port,
                      .proto = unicode::startsWithLowercased(type, "socks") ? ProxyProtocol::socks5
                                                                            : ProxyProtocol::http};
    if (const auto id = attributeValue(element, "id")) proxyIDs[*id] = proxy.id;
    config.proxies.push_back(std::move(proxy));
  }

  for (const pugi::xml_node element : selectedElements(root, "RuleList/Rule")) {
    std::string name = childText(element, "Name").value_or("Imported");
    // The built-in rules of every profile carry these names; the file's own copies are not taken.
    if (name == "Localhost" || name == "Default") continue;
    config.rules.push_back(
        Rule{.id = UUID::random(),
             .name = std::move(name),
             .enabled = std::string_view(element.attribute("enabled").value()) != "false",
             .apps = splitList(childText(element, "Applications").value_or("")),
             .hosts = splitList(childText(element, "Targets").value_or("")),
             .ports = splitList(childText(element, "Ports").value_or("")),
             .transport = FlowTransport::any,
             .action = ruleAction(element, proxyIDs, config.proxies),
             .quicPolicy = QUICPolicy::fallback,
             .locked = false});
  }
  return config;
}

}  // namespace velmora
