// Taking over the proxies and rules of other proxy tools: the adapter interface, the scanner that
// finds and reads their files, the merge into a profile, and the Proxifier profile adapter.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model.h"
#include "uuid.h"

namespace velmora {

/// What an adapter read from a foreign file: fresh proxies, and rules in file order whose proxy
/// actions refer to those proxies.
struct ImportedConfig {
  std::vector<ProxyServer> proxies;
  std::vector<Rule> rules;

  bool operator==(const ImportedConfig&) const = default;
};

/// A foreign configuration file found in the user's home directory.
struct DiscoveredConfig {
  UUID id;  // fresh per discovery run
  std::filesystem::path url;
  std::string displayName;
  std::string adapterID;

  bool operator==(const DiscoveredConfig&) const = default;
};

/// Reads one foreign format.
class ConfigImportAdapter {
 public:
  virtual ~ConfigImportAdapter() = default;

  /// A short identifier, unique among adapters.
  virtual std::string adapterID() const = 0;
  /// Lower-case file extensions without the dot.
  virtual std::vector<std::string> fileExtensions() const = 0;
  /// Directories where the foreign tool keeps its files, relative to the home directory.
  virtual std::vector<std::string> searchPaths() const = 0;
  /// The file's content as proxies and rules; throws ImportError.
  virtual ImportedConfig parse(std::string_view data) const = 0;
};

/// Finds foreign configuration files and picks the adapter that reads each. Adapters earlier in
/// the list are preferred.
struct ConfigImportScanner {
  std::vector<std::shared_ptr<const ConfigImportAdapter>> adapters;

  /// Every file in the adapters' search paths under home whose extension an adapter claims, in
  /// adapter, search path and listing order. Directories that cannot be listed are passed over.
  std::vector<DiscoveredConfig> discover(const std::filesystem::path& home) const;

  /// The discovered file read by the adapter that found it. A read failure is thrown as the
  /// FileError it is, and the adapter's own ImportError as it is.
  ImportedConfig parse(const DiscoveredConfig& config) const;

  /// Any file, read by the first adapter for its extension that accepts it. A read failure is
  /// thrown as the FileError it is; every other failure is ImportError::unrecognizedFormat.
  ImportedConfig parse(const std::filesystem::path& url) const;
};

/// A copy of profile with the imported configuration folded in: proxies that already exist (same
/// address, port and protocol) are reused rather than added, and the imported rules go after the
/// profile's own rules, before the fallback rule.
Profile merging(const Profile& profile, const ImportedConfig& imported);

/// Reads Proxifier profiles (".ppx" XML): the proxy list and the rule list; chains, credentials,
/// options and DNS settings are left behind.
class PPXImportAdapter final : public ConfigImportAdapter {
 public:
  std::string adapterID() const override;
  std::vector<std::string> fileExtensions() const override;
  std::vector<std::string> searchPaths() const override;
  ImportedConfig parse(std::string_view data) const override;
};

}  // namespace velmora
