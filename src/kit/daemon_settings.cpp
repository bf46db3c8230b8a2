#include "daemon_settings.h"

#include "file_io.h"
#include "json_text.h"

namespace velmora {

std::filesystem::path DaemonSettings::fileIn(const std::filesystem::path& storeDirectory) {
  return storeDirectory / "velmorad.json";
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
  return settings;
}

void DaemonSettings::save(const std::filesystem::path& file) const {
  const json::Value document = {{"enabled", enabled},
                                {"automationWritesAllowed", automationWritesAllowed},
                                {"proxyAddress", proxyAddress},
                                {"proxyPort", proxyPort},
                                {"transparentPort", transparentPort},
                                {"dnsPort", dnsPort}};
  writeFileAtomically(file, json::pretty(document) + "\n", 0600);
}

}  // namespace velmora
