#include "offline_operations.h"

#include <algorithm>

#include "file_io.h"
#include "importers.h"
#include "localize.h"
#include "matchers.h"
#include "rule_engine.h"
#include "unicode.h"

namespace velmora {
namespace {

/// The first stored rule named like this, ignoring case; the store's not-found error otherwise.
std::size_t ruleIndex(const Profile& profile, std::string_view name) {
  for (std::size_t i = 0; i < profile.rules.size(); ++i) {
    if (unicode::equalsIgnoringCase(profile.rules[i].name, name)) return i;
  }
  throw ProfileStore::Error::notFound("规则「" + std::string(name) + "」");
}

bool mentions(const Rule& rule, const std::string& word) {
  const auto inAny = [&](const std::vector<std::string>& texts) {
    return std::any_of(texts.begin(), texts.end(), [&](const std::string& text) {
      return unicode::containsIgnoringCase(text, word);
    });
  };
  return unicode::containsIgnoringCase(rule.name, word) || inAny(rule.apps) || inAny(rule.hosts) ||
         inAny(rule.tags);
}

}  // namespace

std::vector<ProfileSummaryDTO> OfflineOperations::profiles() const {
  std::optional<UUID> active;
  try {
    active = store_.activeID();
  } catch (const Error&) {
    // Without a readable marker no profile is shown as active.
  }
  std::vector<ProfileSummaryDTO> summaries;
  for (const ProfileOutline& profile : store_.outlines()) {
    ProfileSummaryDTO summary{.name = profile.name,
                              .isActive = active == profile.id,
                              .ruleCount = static_cast<std::int64_t>(profile.ruleCount),
                              .proxyCount = static_cast<std::int64_t>(profile.proxyCount),
                              .boundEnvironments = {}};
    for (const NetworkEnvironment& environment : profile.environments) {
      summary.boundEnvironments.push_back(environment.name);
    }
    summaries.push_back(std::move(summary));
  }
  return summaries;
}

void OfflineOperations::switchProfile(std::string_view name) {
  store_.setActive(store_.findOutline(name).id);
}

void OfflineOperations::createProfile(const std::string& name) {
  store_.create(name);
}

std::vector<std::string> OfflineOperations::environments() const {
  std::vector<std::string> lines;
  for (const ProfileOutline& profile : store_.outlines()) {
    for (const NetworkEnvironment& environment : profile.environments) {
      lines.push_back(profile.name + " ← " + environment.name);
    }
  }
  return lines;
}

std::vector<RuleDTO> OfflineOperations::rules(const std::optional<std::string>& search) const {
  const Profile profile = store_.activeProfile();
  std::vector<RuleDTO> records;
  for (const Rule& rule : profile.orderedRules()) {
    if (search && !search->empty() && !mentions(rule, *search)) continue;
    records.push_back(RuleDTO::fromRule(rule, profile));
  }
  return records;
}

void OfflineOperations::addRule(const RuleDTO& record) {
  const Profile profile = store_.activeProfile();
  Rule rule = record.makeRule(profile);
  // The new rule goes after every unlocked rule and before the fallback.
  std::vector<Rule> rules = profile.orderedRules();
  const auto fallback = std::find_if(rules.begin(), rules.end(),
                                     [](const Rule& r) { return r.locked && r.name == "Default"; });
  rules.insert(fallback, std::move(rule));
  store_.save(profile.with({.rules = std::move(rules)}));
}

void OfflineOperations::removeRule(std::string_view name) {
  const Profile profile = store_.activeProfile();
  const Rule& rule = profile.rules[ruleIndex(profile, name)];
  if (rule.locked) {
    throw ClientErrorMessage(
        VL("「%@」是内置保护规则，不能删除（它防止本机 localhost 流量被误代理）", rule.name));
  }
  std::vector<Rule> rules;
  for (const Rule& candidate : profile.rules) {
    if (candidate.id != rule.id) rules.push_back(candidate);
  }
  store_.save(profile.with({.rules = std::move(rules)}));
}

void OfflineOperations::setRuleEnabled(std::string_view name, bool enabled) {
  const Profile profile = store_.activeProfile();
  std::vector<Rule> rules = profile.rules;
  Rule& rule = rules[ruleIndex(profile, name)];
  rule = rule.with({.enabled = enabled});
  store_.save(profile.with({.rules = std::move(rules)}));
}

void OfflineOperations::addProxy(const ProxyServer& proxy) {
  const Profile profile = store_.activeProfile();
  std::vector<ProxyServer> proxies = profile.proxies;
  proxies.push_back(proxy);
  store_.save(profile.with({.proxies = std::move(proxies)}));
}

std::vector<ProxyServer> OfflineOperations::proxies() const {
  return store_.activeProfile().proxies;
}

void OfflineOperations::setRoute(const std::string& app, std::string_view target) {
  const Profile profile = store_.activeProfile();
  const RuleAction action = parseTarget(target, profile);
  store_.save(profile.settingRoute(app, action));
}

RuleAction OfflineOperations::parseTarget(std::string_view target, const Profile& profile) {
  // Words and prefixes are compared lower-cased; names are cut from the text as written.
  const std::string lowered = unicode::lowercased(target);
  if (lowered == "direct") return RuleAction::direct();
  if (lowered == "block") return RuleAction::block();
  if (lowered.starts_with("interface:")) {
    const std::string name(trimmedSpacesAndTabs(target.substr(10)));
    if (name.empty())
      throw ClientErrorMessage(VL("interface: 后面要跟网卡名，例如 interface:utun4"));
    return RuleAction::interface(name);
  }
  const std::string proxyName(lowered.starts_with("proxy:") ? target.substr(6) : target);
  for (const ProxyServer& proxy : profile.proxies) {
    if (unicode::equalsIgnoringCase(proxy.name, proxyName)) return RuleAction::proxy(proxy.id);
  }
  std::string available;
  for (const ProxyServer& proxy : profile.proxies) {
    if (!available.empty()) available += ", ";
    available += proxy.name;
  }
  throw ClientErrorMessage(VL("找不到代理「%@」。可用：%@", proxyName, available));
}

TestRouteDTO OfflineOperations::testRoute(const std::string& app, std::string_view host,
                                          std::uint16_t port) const {
  return testRoute(store_.activeProfile(), app, host, port);
}

TestRouteDTO OfflineOperations::testRoute(const Profile& profile, const std::string& app,
                                          std::string_view host, std::uint16_t port) {
  const RuleEngine engine(profile);
  // The one text the user gave stands for every name the application could be known by.
  const AppIdentity identity{.bundleID = app, .displayName = app, .executableName = app};
  return TestRouteDTO::fromVerdict(engine.match(identity, host, port, FlowTransport::tcp));
}

std::string OfflineOperations::exportProfile(const std::optional<std::string>& name) const {
  return encodeProfileDocument(name ? store_.find(*name) : store_.activeProfile());
}

std::optional<ImportReport> OfflineOperations::importProfile(std::string_view data) {
  std::optional<Profile> document;
  try {
    document = decodeProfileDocument(data);
  } catch (const json::DecodingError&) {
    // Not one of our profile documents: try it as a foreign configuration below.
  }
  if (document) {
    store_.save(*document);
    return std::nullopt;
  }
  // The importers read files by name, so the bytes go to a temporary copy, removed however the
  // import ends.
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / ("import-" + UUID::random().string() + ".ppx");
  struct RemovedAtEnd {
    const std::filesystem::path& path;
    ~RemovedAtEnd() {
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    }
  } removal{file};
  writeFileAtomically(file, data, 0600);
  const ConfigImportScanner scanner{{std::make_shared<PPXImportAdapter>()}};
  MergedImport merged = mergeImport(store_.activeProfile(), scanner.parse(file));
  store_.save(merged.profile);
  return std::move(merged.report);
}

}  // namespace velmora
