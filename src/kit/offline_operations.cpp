#include "offline_operations.h"

#include <algorithm>

#include "discovery/app_describer.h"
#include "file_io.h"
#include "importers.h"
#include "localize.h"
#include "matchers.h"
#include "rule_engine.h"
#include "unicode.h"

namespace velmora {
namespace {

using Subject = ProfileStore::Error::Subject;

/// The first item named like this, ignoring case; the store's not-found error otherwise.
template <typename T>
std::size_t indexNamed(const std::vector<T>& items, std::string_view name, Subject subject) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (unicode::equalsIgnoringCase(items[i].name, name)) return i;
  }
  throw ProfileStore::Error::notFound(std::string(name), subject);
}

/// Refuses a name another item has, ignoring case; the item at self may keep its own.
template <typename T>
void requireFreeName(const std::vector<T>& items, const std::string& name, Subject subject,
                     std::optional<std::size_t> self = std::nullopt) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != self && unicode::equalsIgnoringCase(items[i].name, name))
      throw ProfileStore::Error::duplicateName(name, subject);
  }
}

std::size_t ruleIndex(const Profile& profile, std::string_view name) {
  return indexNamed(profile.rules, name, Subject::rule);
}

bool isFallback(const Rule& rule) {
  return rule.locked && rule.name == "Default";
}

/// The first stored rule whose action is this one, if any.
const Rule* ruleWithAction(const Profile& profile, const RuleAction& action) {
  const auto found = std::find_if(profile.rules.begin(), profile.rules.end(),
                                  [&](const Rule& rule) { return rule.action == action; });
  return found == profile.rules.end() ? nullptr : &*found;
}

/// The active profile's id; nothing without a readable marker, when no profile is the active one.
std::optional<UUID> activeIDIfAny(const ProfileStore& store) {
  try {
    return store.activeID();
  } catch (const Error&) {
    return std::nullopt;
  }
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
  const std::optional<UUID> active = activeIDIfAny(store_);
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

void OfflineOperations::removeProfile(std::string_view name) {
  const ProfileOutline profile = store_.findOutline(name);
  if (profile.id == activeIDIfAny(store_)) {
    throw ClientErrorMessage(
        VL("「%@」是当前使用的 profile，不能删除 — 先切换到别的 profile", profile.name));
  }
  store_.remove(profile.id);
}

void OfflineOperations::renameProfile(std::string_view name, const std::string& newName) {
  const Profile profile = store_.find(name);
  for (const ProfileOutline& other : store_.outlines()) {
    if (other.id != profile.id && unicode::equalsIgnoringCase(other.name, newName))
      throw ProfileStore::Error::duplicateName(newName);
  }
  store_.save(profile.with({.name = newName}));
}

std::size_t OfflineOperations::unbindEnvironments(std::string_view profileName) {
  const Profile profile = store_.find(profileName);
  if (profile.environments.empty())
    throw ClientErrorMessage(VL("「%@」没有绑定网络环境", profile.name));
  store_.save(profile.with({.environments = std::vector<NetworkEnvironment>{}}));
  return profile.environments.size();
}

void OfflineOperations::unbindEnvironmentNamed(const std::string& environment) {
  const auto named = [&](const NetworkEnvironment& bound) { return bound.name == environment; };
  std::vector<Profile> changed;
  for (const ProfileOutline& outline : store_.outlines()) {
    if (std::none_of(outline.environments.begin(), outline.environments.end(), named)) continue;
    Profile profile = store_.load(outline.id);
    std::erase_if(profile.environments, named);
    changed.push_back(std::move(profile));
  }
  if (changed.empty())
    throw ClientErrorMessage(VL("当前网络环境「%@」没有绑定到任何 profile", environment));
  for (const Profile& profile : changed) store_.save(profile);
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
  requireFreeName(profile.rules, record.name, Subject::rule);
  Rule rule = record.makeRule(profile);
  // The new rule goes after every unlocked rule and before the fallback.
  std::vector<Rule> rules = profile.orderedRules();
  const auto fallback = std::find_if(rules.begin(), rules.end(),
                                     [](const Rule& r) { return r.locked && r.name == "Default"; });
  rules.insert(fallback, std::move(rule));
  store_.save(profile.with({.rules = std::move(rules)}));
}

void OfflineOperations::setRule(std::string_view name, const RuleEdit& edit) {
  const Profile profile = store_.activeProfile();
  std::vector<Rule> rules = profile.rules;
  const std::size_t index = ruleIndex(profile, name);
  Rule& rule = rules[index];
  if (rule.locked) {
    const bool onlyAction = !edit.name && !edit.apps && !edit.hosts && !edit.ports &&
                            !edit.transport && !edit.quicPolicy;
    if (!isFallback(rule))
      throw ClientErrorMessage(VL("「%@」是内置保护规则，不能修改", rule.name));
    if (!onlyAction)
      throw ClientErrorMessage(VL("「%@」是内置保护规则，只能修改它的动作", rule.name));
  }
  if (edit.name) requireFreeName(profile.rules, *edit.name, Subject::rule, index);
  if (edit.hosts) requireRuleHosts(*edit.hosts);
  if (edit.ports) requireRulePorts(*edit.ports);
  rule = rule.with(
      {.name = edit.name,
       .apps = edit.apps,
       .hosts = edit.hosts,
       .ports = edit.ports,
       .transport = edit.transport,
       .action = edit.action ? std::optional(parseActionText(*edit.action, profile)) : std::nullopt,
       .quicPolicy = edit.quicPolicy});
  store_.save(profile.with({.rules = std::move(rules)}));
}

void OfflineOperations::moveRule(std::string_view name, const RulePlacement& placement) {
  const Profile profile = store_.activeProfile();
  const Rule moved = profile.rules[ruleIndex(profile, name)];
  if (moved.locked) throw ClientErrorMessage(VL("「%@」是内置保护规则，不能移动", moved.name));
  // The evaluation order, in which the guards stand at both ends: the rule may go anywhere in
  // between, from first (right after the opening guards) to end (right before the fallback).
  std::vector<Rule> rules = profile.orderedRules();
  std::erase_if(rules, [&](const Rule& rule) { return rule.id == moved.id; });
  const auto first = static_cast<std::size_t>(std::count_if(
      rules.begin(), rules.end(), [](const Rule& r) { return r.locked && !isFallback(r); }));
  const std::size_t end = rules.size() - static_cast<std::size_t>(
                                             std::count_if(rules.begin(), rules.end(), isFallback));
  std::size_t position = placement.where == RulePlacement::Where::top ? first : end;
  if (placement.where == RulePlacement::Where::before ||
      placement.where == RulePlacement::Where::after) {
    const Rule& other = profile.rules[ruleIndex(profile, placement.rule)];
    if (other.id == moved.id) return;
    const bool before = placement.where == RulePlacement::Where::before;
    const auto at = static_cast<std::size_t>(
        std::find_if(rules.begin(), rules.end(),
                     [&](const Rule& rule) { return rule.id == other.id; }) -
        rules.begin());
    if (at == rules.size() || (before && at < first) || (!before && at >= end)) {
      throw ClientErrorMessage(
          VL(before ? "不能移到内置保护规则「%@」前面" : "不能移到内置保护规则「%@」后面",
             other.name));
    }
    position = std::clamp(before ? at : at + 1, first, end);
  }
  rules.insert(rules.begin() + static_cast<std::ptrdiff_t>(position), moved);
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
  requireFreeName(profile.proxies, proxy.name, Subject::proxy);
  portNumber(std::to_string(proxy.port));
  std::vector<ProxyServer> proxies = profile.proxies;
  proxies.push_back(proxy);
  store_.save(profile.with({.proxies = std::move(proxies)}));
}

void OfflineOperations::setProxy(std::string_view name, const ProxyEdit& edit) {
  const Profile profile = store_.activeProfile();
  std::vector<ProxyServer> proxies = profile.proxies;
  const std::size_t index = indexNamed(proxies, name, Subject::proxy);
  ProxyServer& proxy = proxies[index];
  if (edit.name) {
    requireFreeName(proxies, *edit.name, Subject::proxy, index);
    proxy.name = *edit.name;
  }
  if (edit.address) proxy.address = *edit.address;
  if (edit.port) {
    portNumber(std::to_string(*edit.port));
    proxy.port = *edit.port;
  }
  if (edit.proto) proxy.proto = *edit.proto;
  if (edit.credentials) proxy.credentials = *edit.credentials;
  store_.save(profile.with({.proxies = std::move(proxies)}));
}

void OfflineOperations::removeProxy(std::string_view name) {
  const Profile profile = store_.activeProfile();
  const ProxyServer proxy = profile.proxies[indexNamed(profile.proxies, name, Subject::proxy)];
  if (const Rule* user = ruleWithAction(profile, RuleAction::proxy(proxy.id))) {
    throw ClientErrorMessage(
        VL("代理「%@」还在被规则「%@」使用，不能删除", proxy.name, user->name));
  }
  for (const ProxyChain& chain : profile.chains) {
    if (std::find(chain.proxyIDs.begin(), chain.proxyIDs.end(), proxy.id) != chain.proxyIDs.end())
      throw ClientErrorMessage(
          VL("代理「%@」还在被代理链「%@」使用，不能删除", proxy.name, chain.name));
  }
  std::vector<ProxyServer> proxies = profile.proxies;
  std::erase_if(proxies, [&](const ProxyServer& candidate) { return candidate.id == proxy.id; });
  store_.save(profile.with({.proxies = std::move(proxies)}));
}

std::vector<ProxyServer> OfflineOperations::proxies() const {
  return store_.activeProfile().proxies;
}

void OfflineOperations::addChain(const std::string& name,
                                 const std::vector<std::string>& proxyNames) {
  const Profile profile = store_.activeProfile();
  requireFreeName(profile.chains, name, Subject::chain);
  ProxyChain chain{.id = UUID::random(), .name = name, .proxyIDs = {}};
  for (const std::string& proxyName : proxyNames) {
    chain.proxyIDs.push_back(
        profile.proxies[indexNamed(profile.proxies, proxyName, Subject::proxy)].id);
  }
  std::vector<ProxyChain> chains = profile.chains;
  chains.push_back(std::move(chain));
  store_.save(profile.with({.chains = std::move(chains)}));
}

void OfflineOperations::removeChain(std::string_view name) {
  const Profile profile = store_.activeProfile();
  const ProxyChain chain = profile.chains[indexNamed(profile.chains, name, Subject::chain)];
  if (const Rule* user = ruleWithAction(profile, RuleAction::chain(chain.id))) {
    throw ClientErrorMessage(
        VL("代理链「%@」还在被规则「%@」使用，不能删除", chain.name, user->name));
  }
  std::vector<ProxyChain> chains = profile.chains;
  std::erase_if(chains, [&](const ProxyChain& candidate) { return candidate.id == chain.id; });
  store_.save(profile.with({.chains = std::move(chains)}));
}

std::vector<ChainSummary> OfflineOperations::chains() const {
  const Profile profile = store_.activeProfile();
  std::vector<ChainSummary> summaries;
  for (const ProxyChain& chain : profile.chains) {
    ChainSummary summary{.name = chain.name, .proxies = {}};
    for (const UUID& id : chain.proxyIDs) {
      const ProxyServer* proxy = profile.proxy(id);
      summary.proxies.push_back(proxy ? proxy->name : "?");
    }
    summaries.push_back(std::move(summary));
  }
  return summaries;
}

json::Value toJSON(const ChainSummary& chain) {
  return {{"name", chain.name}, {"proxies", chain.proxies}};
}

void OfflineOperations::setRoute(const std::string& app, std::string_view target) {
  const Profile profile = store_.activeProfile();
  const RuleAction action = parseTarget(target, profile);
  store_.save(profile.settingRoute(app, action));
}

void OfflineOperations::removeRoute(const std::string& app) {
  const Profile profile = store_.activeProfile();
  const std::string name = "App: " + app;
  const auto route = std::find_if(profile.rules.begin(), profile.rules.end(), [&](const Rule& r) {
    return !r.locked && unicode::equalsIgnoringCase(r.name, name);
  });
  if (route == profile.rules.end()) throw ProfileStore::Error::notFound(name, Subject::rule);
  std::vector<Rule> rules = profile.rules;
  std::erase_if(rules, [&](const Rule& rule) { return rule.id == route->id; });
  store_.save(profile.with({.rules = std::move(rules)}));
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
  return testRoute(AppDescriber::named(app), host, port);
}

TestRouteDTO OfflineOperations::testRoute(const AppIdentity& app, std::string_view host,
                                          std::uint16_t port) const {
  return testRoute(store_.activeProfile(), app, host, port);
}

TestRouteDTO OfflineOperations::testRoute(const Profile& profile, const AppIdentity& app,
                                          std::string_view host, std::uint16_t port) {
  // The same engine as the data plane's, this machine's name included.
  const RuleEngine engine(profile, machineHostName());
  return TestRouteDTO::fromVerdict(engine.match(app, host, port, FlowTransport::tcp));
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
