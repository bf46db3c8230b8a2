#include "backend.h"

#include "kit/localize.h"
#include "output.h"

namespace velmora::cli {

Backend Backend::choosingNow() const {
  return Backend(application_, store_,
                 application_.isAppRunning() ? Choice::application : Choice::files);
}

StatusDTO Backend::status() {
  if (fromApplication()) return applicationStatus();
  StatusDTO status{.enabled = false,
                   .extensionInstalled = false,
                   .activeProfile = store_().activeOutline().name,
                   .currentEnvironment = std::nullopt,
                   .stats = StatsSnapshot::empty(),
                   .automationWritesAllowed = true};
  // The setting is the daemon's; a file it would refuse leaves the line out rather than the
  // whole status.
  try {
    status.captureMode = std::string(captureWord(captureMode()));
  } catch (const Error&) {
  }
  return status;
}

std::vector<ProfileSummaryDTO> Backend::profiles() {
  if (fromApplication())
    return DTOCoding::decodeArray(application_.listProfiles(), profileSummaryDTOFromJSON);
  return profilesFromFiles();
}

void Backend::switchProfile(const std::string& name) {
  if (fromApplication()) return application_.switchProfile(name);
  changeFiles([&](OfflineOperations files) { files.switchProfile(name); });
}

void Backend::createProfile(const std::string& name) {
  if (fromApplication()) return application_.createProfile(name);
  changeFiles([&](OfflineOperations files) { files.createProfile(name); });
}

std::vector<RuleDTO> Backend::rules(const std::optional<std::string>& search) {
  if (fromApplication())
    return DTOCoding::decodeArray(application_.listRules(search), ruleDTOFromJSON);
  return rulesFromFiles(search);
}

TestRouteDTO Backend::testRoute(const std::string& app, const std::string& host,
                                std::uint16_t port) {
  if (fromApplication())
    return DTOCoding::decode(application_.testRoute(app, host, port), testRouteDTOFromJSON);
  return testRouteFromFiles(app, host, port);
}

StatusDTO Backend::applicationStatus() {
  return DTOCoding::decode(application_.getStatus(), statusDTOFromJSON);
}

void Backend::captureCgroup(const std::string& cgroup) {
  application_.captureCgroup(cgroup);
}

void Backend::setEnabled(bool enabled) {
  application_.setEnabled(enabled);
}

void Backend::bindCurrentEnvironment(const std::string& profileName) {
  // Only the application knows which network the machine is on now.
  application_.bindCurrentEnvironment(profileName);
}

std::string Backend::unbindCurrentEnvironment() {
  const std::optional<std::string> environment = applicationStatus().currentEnvironment;
  if (!environment) throw Error(VL("当前网络环境没有绑定到任何 profile"));
  changeFiles([&](OfflineOperations files) { files.unbindEnvironmentNamed(*environment); });
  return *environment;
}

std::vector<ConnectionEvent> Backend::connections(const ConnectionQueryDTO& query) {
  return DTOCoding::decodeArray(application_.queryConnections(DTOCoding::encode(query)),
                                connectionEventFromJSON);
}

std::vector<ProfileSummaryDTO> Backend::profilesFromFiles() {
  return files().profiles();
}

void Backend::removeProfile(const std::string& name) {
  changeFiles([&](OfflineOperations files) { files.removeProfile(name); });
}

void Backend::renameProfile(const std::string& name, const std::string& newName) {
  changeFiles([&](OfflineOperations files) { files.renameProfile(name, newName); });
}

std::vector<std::string> Backend::environments() {
  return files().environments();
}

std::size_t Backend::unbindEnvironments(const std::string& profileName) {
  return changeFiles(
      [&](OfflineOperations files) { return files.unbindEnvironments(profileName); });
}

std::vector<RuleDTO> Backend::rulesFromFiles(const std::optional<std::string>& search) {
  return files().rules(search);
}

void Backend::addRule(const RuleDTO& rule) {
  changeFiles([&](OfflineOperations files) { files.addRule(rule); });
}

void Backend::setRule(const std::string& name, const RuleEdit& edit) {
  changeFiles([&](OfflineOperations files) { files.setRule(name, edit); });
}

void Backend::moveRule(const std::string& name, const RulePlacement& placement) {
  changeFiles([&](OfflineOperations files) { files.moveRule(name, placement); });
}

void Backend::setRuleEnabled(const std::string& name, bool enabled) {
  changeFiles([&](OfflineOperations files) { files.setRuleEnabled(name, enabled); });
}

void Backend::removeRule(const std::string& name) {
  changeFiles([&](OfflineOperations files) { files.removeRule(name); });
}

std::vector<ProxyServer> Backend::proxies() {
  return files().proxies();
}

void Backend::addProxy(const ProxyServer& proxy) {
  changeFiles([&](OfflineOperations files) { files.addProxy(proxy); });
}

void Backend::setProxy(const std::string& name, const ProxyEdit& edit) {
  changeFiles([&](OfflineOperations files) { files.setProxy(name, edit); });
}

void Backend::removeProxy(const std::string& name) {
  changeFiles([&](OfflineOperations files) { files.removeProxy(name); });
}

std::vector<ChainSummary> Backend::chains() {
  return files().chains();
}

void Backend::addChain(const std::string& name, const std::vector<std::string>& proxyNames) {
  changeFiles([&](OfflineOperations files) { files.addChain(name, proxyNames); });
}

void Backend::removeChain(const std::string& name) {
  changeFiles([&](OfflineOperations files) { files.removeChain(name); });
}

void Backend::setRoute(const std::string& app, const std::string& target) {
  changeFiles([&](OfflineOperations files) { files.setRoute(app, target); });
}

void Backend::removeRoute(const std::string& app) {
  changeFiles([&](OfflineOperations files) { files.removeRoute(app); });
}

TestRouteDTO Backend::testRouteFromFiles(const std::string& app, const std::string& host,
                                         std::uint16_t port) {
  return files().testRoute(app, host, port);
}

TestRouteDTO Backend::testRouteFromFiles(const AppIdentity& app, const std::string& host,
                                         std::uint16_t port) {
  return files().testRoute(app, host, port);
}

std::string Backend::exportProfile(const std::optional<std::string>& name) {
  return files().exportProfile(name);
}

std::optional<ImportReport> Backend::importProfile(std::string_view data) {
  return changeFiles([&](OfflineOperations files) { return files.importProfile(data); });
}

DaemonSettings::Capture Backend::captureMode() {
  return settings().capture;
}

DaemonSettings Backend::settings() {
  return DaemonSettings::load(DaemonSettings::fileIn(store_().directory()));
}

void Backend::setCaptureMode(DaemonSettings::Capture mode) {
  const std::filesystem::path file = DaemonSettings::fileIn(store_().directory());
  DaemonSettings settings = DaemonSettings::load(file);
  settings.capture = mode;
  settings.save(file);
  applicationTakesUp();
}

void Backend::applicationTakesUp() {
  if (!fromApplication()) return;
  try {
    application_.takeUpChanges();
  } catch (const std::exception& error) {
    // The change is written and stays; the application finds it by watching the files.
    reportNote(VL("配置已写入，但 velmorad 没有确认接手（%@）；它察觉文件变化后会按新配置路由",
                  error.what()));
  }
}

}  // namespace velmora::cli
