#include "session_bus.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#include "automation_client.h"
#include "session_bus_module.h"

namespace velmora::cli {
namespace {

/// A D-Bus address value with its "%XX" escapes undone; nothing when an escape is malformed.
std::optional<std::string> unescaped(std::string_view value) {
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '%') {
      text += value[i];
      continue;
    }
    if (i + 2 >= value.size()) return std::nullopt;
    const auto digit = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      return -1;
    };
    const int high = digit(value[i + 1]);
    const int low = digit(value[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    text += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return text;
}

/// The text escaped for a D-Bus address value, as sd-bus writes it.
std::string escaped(std::string_view text) {
  static constexpr char hex[] = "0123456789abcdef";
  std::string value;
  for (const char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '/' || c == '_' || c == '-' || c == '.';
    if (plain) {
      value += c;
    } else {
      value += '%';
      value += hex[static_cast<unsigned char>(c) >> 4];
      value += hex[static_cast<unsigned char>(c) & 0xF];
    }
  }
  return value;
}

/// False only for a "unix:" entry with a "path=" that names no socket.
bool entryMayBeReachable(std::string_view entry) {
  constexpr std::string_view unixPrefix = "unix:";
  if (!entry.starts_with(unixPrefix)) return true;
  entry.remove_prefix(unixPrefix.size());
  while (!entry.empty()) {
    const auto comma = entry.find(',');
    const std::string_view pair = entry.substr(0, comma);
    if (pair.starts_with("path=")) {
      const auto path = unescaped(pair.substr(5));
      if (!path) return true;
      struct stat status {};
      return ::stat(path->c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
    }
    if (comma == std::string_view::npos) break;
    entry.remove_prefix(comma + 1);
  }
  return true;
}

/// Where the bus module is: beside the tool in the build, in its library directory installed.
std::filesystem::path busModulePath() {
  std::error_code error;
  const std::filesystem::path tool = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return busModuleFileName;
  const std::filesystem::path beside = tool.parent_path() / busModuleFileName;
  if (std::filesystem::exists(beside, error)) return beside;
  return tool.parent_path() / VELMORA_BUS_MODULE_DIR / busModuleFileName;
}

}  // namespace

std::optional<std::string> sessionBusAddress() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS")) return std::string(address);
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"))
    return "unix:path=" + escaped(runtime) + "/bus";
  return std::nullopt;
}

bool sessionBusMayBeReachable(const std::string& address) {
  std::string_view rest = address;
  // An empty address is no bus at all: the bus library refuses it without trying anything.
  bool any = false;
  while (!rest.empty()) {
    const auto semicolon = rest.find(';');
    const std::string_view entry = rest.substr(0, semicolon);
    if (!entry.empty() && entryMayBeReachable(entry)) any = true;
    if (semicolon == std::string_view::npos) break;
    rest.remove_prefix(semicolon + 1);
  }
  return any;
}

/// The loaded module and the client made by it; the module stays mapped after the client is
/// gone, since errors it raised may still be on their way out.
struct SessionBusApplication::Module {
  void* handle = nullptr;
  std::unique_ptr<Application> client;
};

SessionBusApplication::SessionBusApplication() {
  const std::optional<std::string> address = sessionBusAddress();
  reachable_ = address && sessionBusMayBeReachable(*address);
}

SessionBusApplication::~SessionBusApplication() = default;

Application& SessionBusApplication::client() {
  if (module_) return *module_->client;
  if (!reachable_) throw AutomationClient::Error::appNotRunning();
  const std::string path = busModulePath().string();
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (!handle) throw std::runtime_error(::dlerror());
  const auto create =
      reinterpret_cast<CreateAutomationClient>(::dlsym(handle, busModuleEntryPoint));
  if (!create) throw std::runtime_error(::dlerror());
  module_ = std::make_unique<Module>(Module{handle, std::unique_ptr<Application>(create())});
  return *module_->client;
}

bool SessionBusApplication::isAppRunning() {
  try {
    return client().isAppRunning();
  } catch (const std::exception&) {
    // No bus, or no module to reach it with: nobody can serve this run.
    return false;
  }
}

void SessionBusApplication::takeUpChanges() {
  client().takeUpChanges();
}

void SessionBusApplication::captureCgroup(const std::string& cgroup) {
  client().captureCgroup(cgroup);
}

std::string SessionBusApplication::getStatus() {
  return client().getStatus();
}

void SessionBusApplication::setEnabled(bool enabled) {
  client().setEnabled(enabled);
}

std::string SessionBusApplication::listProfiles() {
  return client().listProfiles();
}

void SessionBusApplication::switchProfile(const std::string& name) {
  client().switchProfile(name);
}

void SessionBusApplication::createProfile(const std::string& name) {
  client().createProfile(name);
}

std::string SessionBusApplication::listEnvironments() {
  return client().listEnvironments();
}

void SessionBusApplication::bindCurrentEnvironment(const std::string& profileName) {
  client().bindCurrentEnvironment(profileName);
}

std::string SessionBusApplication::listRules(const std::optional<std::string>& search) {
  return client().listRules(search);
}

void SessionBusApplication::addRule(const std::string& ruleJSON) {
  client().addRule(ruleJSON);
}

void SessionBusApplication::updateRule(const std::string& ruleJSON) {
  client().updateRule(ruleJSON);
}

void SessionBusApplication::removeRule(const std::string& name) {
  client().removeRule(name);
}

void SessionBusApplication::setRuleEnabled(const std::string& name, bool enabled) {
  client().setRuleEnabled(name, enabled);
}

std::string SessionBusApplication::listProxies() {
  return client().listProxies();
}

void SessionBusApplication::addProxy(const std::string& proxyJSON) {
  client().addProxy(proxyJSON);
}

void SessionBusApplication::setRoute(const std::string& app, const std::string& target) {
  client().setRoute(app, target);
}

std::string SessionBusApplication::testRoute(const std::string& app, const std::string& host,
                                             std::uint16_t port) {
  return client().testRoute(app, host, port);
}

std::string SessionBusApplication::queryConnections(const std::string& filterJSON) {
  return client().queryConnections(filterJSON);
}

std::string SessionBusApplication::exportProfile(const std::string& name) {
  return client().exportProfile(name);
}

void SessionBusApplication::importProfile(const std::string& profileJSON) {
  client().importProfile(profileJSON);
}

}  // namespace velmora::cli
