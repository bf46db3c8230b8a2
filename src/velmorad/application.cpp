#include "application.h"

#include <algorithm>

#include "kit/discovery/app_describer.h"
#include "kit/file_io.h"
#include "kit/localize.h"
#include "kit/unicode.h"
#include "log.h"
#include "network_environment.h"

namespace velmora::daemon {
namespace {

std::string nameOrFile(const std::optional<Profile>& profile, const UUID& id) {
  return profile ? profile->name : id.string() + ".json";
}

/// The profile a store directory entry holds, by its file name; nothing for other entries.
std::optional<UUID> profileIDOf(const std::filesystem::path& entry) {
  if (entry.extension() != ".json") return std::nullopt;
  return UUID::parse(entry.stem().string());
}

}  // namespace

Application::Application(ProfileStore& store, LiveState& live, Clock clock)
    : store_(store),
      operations_(store),
      live_(live),
      clock_(std::move(clock)),
      settingsFile_(DaemonSettings::fileIn(store.directory())) {}

void Application::refresh() {
  refreshSettings();
  refreshProfiles();
  refreshActive();
  currentEnvironment_ = currentEnvironment();
  if (!loaded_) {
    log(VL("配置目录 %@：%lld 个 profile，当前「%@」，路由%@", store_.directory().string(),
           static_cast<long long>(files_.size()), active_ ? active_->name : "?",
           settings_.enabled ? "已开启" : "已停止"));
    loaded_ = true;
  }
  followLocalProxy();
}

void Application::dataPlaneStarted(std::function<LocalProxy()> changed) {
  dataPlaneChanged_ = std::move(changed);
  followLocalProxy();
}

void Application::followLocalProxy() {
  if (dataPlaneChanged_) localProxy_ = dataPlaneChanged_();
}

void Application::refreshSettings() {
  try {
    const DaemonSettings settings = DaemonSettings::load(settingsFile_);
    settingsDamage_.clear();
    if (loaded_ && settings.enabled != settings_.enabled)
      log(settings.enabled ? VL("设置文件里路由已开启") : VL("设置文件里路由已停止"));
    if (loaded_ && settings.automationWritesAllowed != settings_.automationWritesAllowed)
      log(settings.automationWritesAllowed ? VL("已允许自动化修改配置")
                                           : VL("已禁止自动化修改配置"));
    settings_ = settings;
    if (settings_.dashboard && settings_.dashboardToken.empty()) {
      // The dashboard's secret is made once, where only the user can read it.
      DaemonSettings withToken = settings_;
      withToken.dashboardToken = DaemonSettings::newDashboardToken();
      withToken.save(settingsFile_);
      settings_ = withToken;
      log(VL("已为控制面板生成口令"));
    }
  } catch (const std::exception& error) {
    // Keep what was in force; the file is the user's to repair.
    if (settingsDamage_ != error.what())
      log(VL("设置文件「%@」无法读取，沿用当前设置：%@", settingsFile_.string(), error.what()));
    settingsDamage_ = error.what();
  }
}

void Application::refreshProfiles() {
  std::map<UUID, ProfileFile> files;
  std::error_code listing;
  for (const auto& entry :
       std::filesystem::directory_iterator(store_.directory() / "profiles", listing)) {
    const std::optional<UUID> id = profileIDOf(entry.path());
    if (!id) continue;
    ProfileFile file;
    try {
      file.text = readFile(entry.path());
    } catch (const std::exception& error) {
      // Gone between the listing and the read, or not readable: like a damaged file.
      file.damage = error.what();
    }
    const auto known = files_.find(*id);
    if (known != files_.end() && known->second.text == file.text &&
        known->second.damage == file.damage) {
      files.emplace(*id, known->second);
      continue;
    }
    if (file.damage.empty()) {
      try {
        file.profile = decodeProfileDocument(file.text);
      } catch (const std::exception& error) {
        file.damage = error.what();
      }
    }
    if (loaded_ && !file.damage.empty()) {
      log(VL("profile 文件「%@」无法读取，不载入也不改写：%@", entry.path().string(), file.damage));
    } else if (loaded_ && known == files_.end()) {
      log(VL("新增 profile「%@」", file.profile->name));
    } else if (loaded_) {
      log(VL("profile「%@」已更新", file.profile->name));
    }
    files.emplace(*id, std::move(file));
  }
  for (const auto& [id, file] : files_) {
    if (!files.contains(id)) log(VL("profile「%@」已删除", nameOrFile(file.profile, id)));
  }
  if (!loaded_) {
    for (const auto& [id, file] : files) {
      if (!file.damage.empty())
        log(VL("profile 文件「%@.json」无法读取，不载入也不改写：%@", id.string(), file.damage));
    }
  }
  files_ = std::move(files);
}

void Application::refreshActive() {
  std::optional<UUID> id;
  try {
    id = store_.activeID();
    activeDamage_.clear();
  } catch (const std::exception& error) {
    if (activeDamage_ != error.what())
      log(VL("当前 profile 的标记无法读取，沿用「%@」：%@", active_ ? active_->name : "?",
             error.what()));
    activeDamage_ = error.what();
    return;
  }
  const auto file = files_.find(*id);
  const std::optional<Profile> profile = file != files_.end() ? file->second.profile : std::nullopt;
  if (id != activeID_ && loaded_) log(VL("当前 profile：「%@」", nameOrFile(profile, *id)));
  activeID_ = id;
  // A damaged active file leaves the last readable version in use.
  if (profile) active_ = profile;
}

std::optional<std::string> Application::currentEnvironment() const {
  std::vector<const Profile*> profiles;
  for (const auto& [id, file] : files_) {
    if (file.profile) profiles.push_back(&*file.profile);
  }
  std::stable_sort(profiles.begin(), profiles.end(),
                   [](const Profile* a, const Profile* b) { return a->name < b->name; });
  for (const Profile* profile : profiles) {
    for (const NetworkEnvironment& environment : profile->environments) {
      if (environment.matches(fingerprint_)) return environment.name;
    }
  }
  return std::nullopt;
}

void Application::networkChanged(const NetworkEnvironment::Fingerprint& fingerprint) {
  if (fingerprint == fingerprint_ && loaded_) return;
  fingerprint_ = fingerprint;
  log(VL("网络环境：%@", describe(fingerprint)));
  try {
    const std::optional<Profile> bound = store_.profileMatching(fingerprint);
    if (bound && bound->id != activeID_) {
      store_.setActive(bound->id);
      log(VL("这个网络绑定了「%@」，已切换过去", bound->name));
    }
  } catch (const std::exception& error) {
    log(VL("无法按网络环境切换 profile：%@", error.what()));
  }
  refresh();
}

void Application::requireWrites() const {
  if (!settings_.automationWritesAllowed)
    throw Error(VL("自动化写操作未开启 — 在 Velmora 设置里打开「允许自动化修改配置」"));
}

std::string Application::getStatus() {
  if (!active_) throw ProfileStore::Error::notFound("active");
  const Capture capture =
      captureState_ ? captureState_() : Capture{.problem = VL("velmorad 还没有启动透明捕获")};
  return DTOCoding::encode(
      StatusDTO{.enabled = settings_.enabled,
                .extensionInstalled = !capture.problem,
                .activeProfile = active_->name,
                .currentEnvironment = currentEnvironment_,
                .stats = live_.stats(),
                .automationWritesAllowed = settings_.automationWritesAllowed,
                .localProxy = localProxy_.listening,
                .localProxyProblem = localProxy_.problem,
                .capturedPrograms =
                    capture.problem ? std::nullopt : std::optional<std::int64_t>(capture.programs),
                .captureProblem = capture.problem,
                .captureMode = std::string(captureWord(settings_.capture)),
                .dashboard = localProxy_.dashboard,
                .dashboardProblem = localProxy_.dashboardProblem});
}

void Application::setEnabled(bool enabled) {
  requireWrites();
  DaemonSettings changed = settings_;
  changed.enabled = enabled;
  changed.save(settingsFile_);
  if (settings_.enabled != enabled) log(enabled ? VL("路由已开启") : VL("路由已停止"));
  settings_ = changed;
  settingsDamage_.clear();
  followLocalProxy();
}

std::string Application::listProfiles() {
  return DTOCoding::encode(operations_.profiles());
}

void Application::switchProfile(const std::string& name) {
  requireWrites();
  operations_.switchProfile(name);
  refresh();
}

void Application::createProfile(const std::string& name) {
  requireWrites();
  operations_.createProfile(name);
  refresh();
}

std::string Application::listEnvironments() {
  return json::compact(json::Value(operations_.environments()));
}

void Application::bindCurrentEnvironment(const std::string& profileName) {
  requireWrites();
  using Type = NetworkEnvironment::Fingerprint::InterfaceType;
  const NetworkEnvironment::Fingerprint fingerprint = fingerprint_;
  if (fingerprint.interfaceType == Type::other ||
      (fingerprint.interfaceType == Type::wifi && !fingerprint.ssid))
    throw Error(VL("认不出当前的网络环境 — 连上 Wi-Fi 或有线网络后再绑定"));
  const NetworkEnvironment::Kind kind =
      fingerprint.interfaceType == Type::wifi
          ? NetworkEnvironment::Kind::wifi(*fingerprint.ssid)
          : NetworkEnvironment::Kind::wired(fingerprint.gatewayMAC, fingerprint.subnet);
  const Profile target = store_.find(profileName);

  // One network leads to one profile: bindings elsewhere that this network matches are moved
  // here, or the store's choice by name order could still pick another profile.
  const auto matchesHere = [&](const NetworkEnvironment& environment) {
    return environment.matches(fingerprint);
  };
  for (const ProfileOutline& other : store_.outlines()) {
    if (other.id == target.id ||
        std::none_of(other.environments.begin(), other.environments.end(), matchesHere))
      continue;
    Profile changed = store_.load(other.id);
    std::erase_if(changed.environments, matchesHere);
    store_.save(changed);
    log(VL("「%@」不再绑定%@", other.name, describe(fingerprint)));
  }
  if (std::none_of(target.environments.begin(), target.environments.end(), matchesHere)) {
    std::vector<NetworkEnvironment> environments = target.environments;
    environments.push_back(NetworkEnvironment{
        .id = UUID::random(),
        .name = kind.type == NetworkEnvironment::Kind::Type::wifi ? *fingerprint.ssid
                                                                  : describe(fingerprint),
        .kind = kind});
    store_.save(target.with({.environments = std::move(environments)}));
  }
  log(VL("已把%@绑定到「%@」", describe(fingerprint), target.name));
  refresh();
}

std::string Application::listRules(const std::optional<std::string>& search) {
  return DTOCoding::encode(operations_.rules(search));
}

void Application::addRule(const std::string& ruleJSON) {
  requireWrites();
  operations_.addRule(DTOCoding::decode(ruleJSON, ruleDTOFromJSON));
  refresh();
}

void Application::updateRule(const std::string& ruleJSON) {
  requireWrites();
  const RuleDTO record = DTOCoding::decode(ruleJSON, ruleDTOFromJSON);
  const Profile profile = store_.activeProfile();
  std::vector<Rule> rules = profile.rules;
  const auto rule = std::find_if(rules.begin(), rules.end(), [&](const Rule& candidate) {
    return unicode::equalsIgnoringCase(candidate.name, record.name);
  });
  if (rule == rules.end())
    throw ProfileStore::Error::notFound(record.name, ProfileStore::Error::Subject::rule);
  if (rule->locked) throw ClientErrorMessage(VL("「%@」是内置保护规则，不能修改", rule->name));
  // The rule keeps its identity, transport, QUIC policy and tags, which the record does not carry.
  const Rule replacement = record.makeRule(profile);
  *rule = rule->with({.name = replacement.name,
                      .enabled = replacement.enabled,
                      .apps = replacement.apps,
                      .hosts = replacement.hosts,
                      .ports = replacement.ports,
                      .action = replacement.action});
  store_.save(profile.with({.rules = std::move(rules)}));
  refresh();
}

void Application::removeRule(const std::string& name) {
  requireWrites();
  operations_.removeRule(name);
  refresh();
}

void Application::setRuleEnabled(const std::string& name, bool enabled) {
  requireWrites();
  operations_.setRuleEnabled(name, enabled);
  refresh();
}

std::string Application::listProxies() {
  return json::compact(json::arrayOf(operations_.proxies()));
}

void Application::addProxy(const std::string& proxyJSON) {
  requireWrites();
  const json::Value document = json::parse(proxyJSON);
  operations_.addProxy(proxyServerFromJSON(json::Reader(document)));
  refresh();
}

void Application::setRoute(const std::string& app, const std::string& target) {
  requireWrites();
  operations_.setRoute(app, target);
  refresh();
}

std::string Application::testRoute(const std::string& app, const std::string& host,
                                   std::uint16_t port) {
  // The profile the data plane routes by, not the files: a change the daemon has not taken up
  // yet routes no connection, so the dry run does not show it either.
  if (!active_) throw ProfileStore::Error::notFound("active");
  return DTOCoding::encode(
      OfflineOperations::testRoute(*active_, AppDescriber::named(app), host, port));
}

std::string Application::queryConnections(const std::string& filterJSON) {
  const ConnectionQueryDTO query = DTOCoding::decode(filterJSON, connectionQueryDTOFromJSON);
  return DTOCoding::encode(live_.connections(query, clock_()));
}

std::string Application::exportProfile(const std::string& name) {
  return operations_.exportProfile(name.empty() ? std::nullopt : std::optional(name));
}

void Application::importProfile(const std::string& profileJSON) {
  requireWrites();
  operations_.importProfile(profileJSON);
  refresh();
}

}  // namespace velmora::daemon
