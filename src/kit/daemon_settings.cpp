#include "daemon_settings.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "error.h"
#include "file_io.h"
#include "json_text.h"

namespace velmora {

std::string_view captureWord(DaemonSettings::Capture capture) {
  switch (capture) {
    case DaemonSettings::Capture::programs:
      return "programs";
    case DaemonSettings::Capture::session:
      return "session";
    case DaemonSettings::Capture::off:
      return "off";
  }
  return "programs";
}

std::optional<DaemonSettings::Capture> captureNamed(std::string_view word) {
  for (const auto capture : {DaemonSettings::Capture::programs, DaemonSettings::Capture::session,
                             DaemonSettings::Capture::off}) {
    if (captureWord(capture) == word) return capture;
  }
  return std::nullopt;
}

std::filesystem::path DaemonSettings::fileIn(const std::filesystem::path& storeDirectory) {
  return storeDirectory / "velmorad.json";
}

std::string DaemonSettings::newDashboardToken() {
  std::array<unsigned char, 32> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw Error(std::string("getrandom: ") + std::strerror(errno));
    filled += static_cast<std::size_t>(got);
  }
  static constexpr char digits[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char byte : bytes) {
    token.push_back(digits[byte >> 4]);
    token.push_back(digits[byte & 15]);
  }
  return token;
}

DaemonSettings DaemonSettings::load(const std::filesystem::path& file) {
  DaemonSettings settings;
  std::error_code error;
  if (!std::filesystem::exists(file, error)) return settings;
  const json::Value document = json::parse(readFile(file));
  const json::Reader reader(document);
  reader.members();  // only an object is a settings file
  if (const auto value = reader.optional("enabled")) settings.enabled = value->boolean();
  if (const auto value = reader.optional("automationWritesAllowed"))
    settings.automationWritesAllowed = value->boolean();
  if (const auto value = reader.optional("proxyAddress")) settings.proxyAddress = value->string();
  if (const auto value = reader.optional("proxyPort")) settings.proxyPort = value->port();
  if (const auto value = reader.optional("transparentPort"))
    settings.transparentPort = value->port();
  if (const auto value = reader.optional("dnsPort")) settings.dnsPort = value->port();
  if (const auto value = reader.optional("capture"))
    settings.capture = value->enumeration(captureNamed);
  if (const auto value = reader.optional("sessionCgroup")) settings.sessionCgroup = value->string();
  if (const auto value = reader.optional("dashboard")) settings.dashboard = value->boolean();
  if (const auto value = reader.optional("dashboardPort")) settings.dashboardPort = value->port();
  if (const auto value = reader.optional("dashboardToken"))
    settings.dashboardToken = value->string();
  return settings;
}

void DaemonSettings::save(const std::filesystem::path& file) const {
  json::Value document = {{"enabled", enabled},
                          {"automationWritesAllowed", automationWritesAllowed},
                          {"proxyAddress", proxyAddress},
                          {"proxyPort", proxyPort},
                          {"transparentPort", transparentPort},
                          {"dnsPort", dnsPort},
                          {"capture", captureWord(capture)},
                          {"dashboard", dashboard},
                          {"dashboardPort", dashboardPort}};
  if (!sessionCgroup.empty()) document["sessionCgroup"] = sessionCgroup;
  if (!dashboardToken.empty()) document["dashboardToken"] = dashboardToken;
  writeFileAtomically(file, json::pretty(document) + "\n", 0600);
}

}  // namespace velmora
