// Taking over the proxies and rules of other proxy tools: the adapter interface, the scanner that
// finds and reads their files, the merge into a profile, and the Proxifier profile adapter.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json_text.h"
#include "model.h"
#include "uuid.h"

namespace velmora {

/// One kind of thing an import did not carry over as the file had it, or changed on the way:
/// how often it happened and the first case as an example.
struct ImportNote {
  /// In the order the report lists them.
  enum class Kind {
    sectionsNotRead,      // parts of the file besides proxies, chains and rules
    proxySkipped,         // no address or no valid port
    proxyTypeChanged,     // a type without a counterpart, given the nearest protocol
    proxySettingNotRead,  // a proxy setting besides address, port, type, label and credentials
    proxyReused,          // the profile already has a proxy at that endpoint
    credentialsNotTaken,  // ... and that proxy keeps its own credentials
    chainMemberLeftOut,   // a disabled member, or one naming no imported proxy
    chainLeftOut,         // a chain without any member left
    chainMadeOrdered,     // load balancing or redundancy, imported as an ordered chain
    chainReused,          // the profile already has that chain
    appNameAdded,         // "name.exe" matched as the Linux program "name" as well
    hostRewritten,        // "a - b" and the like, written as the host matcher reads them
    hostLeftOut,          // a host entry no connection could ever match
    portRewritten,
    portLeftOut,
    ruleLeftOut,          // every entry of one of its lists was left out
    unknownTarget,        // a proxy or chain id naming nothing: the first proxy instead
    unknownTargetDirect,  // ... and the file has no proxy: direct instead
    ruleAlreadyPresent,   // the profile already has the very same rule
    nameMadeUnique,       // a proxy, chain or rule named like one already there, given a suffix
    localhostDropped,     // the file's "Localhost" rule: every profile has its own
    localhostExtended,    // ... but the file's has more hosts, kept as a rule of their own
    defaultTaken,         // the file's "Default" action given to the profile's "Default" rule
    defaultNotTaken,      // ... which this profile does not have
  };

  Kind kind;
  std::int64_t count = 0;
  std::string example;

  bool operator==(const ImportNote&) const = default;
};

template <>
struct EnumTexts<ImportNote::Kind> {
  using K = ImportNote::Kind;
  static constexpr std::array<std::pair<K, std::string_view>, 24> cases{
      {{K::sectionsNotRead, "sectionsNotRead"},
       {K::proxySkipped, "proxySkipped"},
       {K::proxyTypeChanged, "proxyTypeChanged"},
       {K::proxySettingNotRead, "proxySettingNotRead"},
       {K::proxyReused, "proxyReused"},
       {K::credentialsNotTaken, "credentialsNotTaken"},
       {K::chainMemberLeftOut, "chainMemberLeftOut"},
       {K::chainLeftOut, "chainLeftOut"},
       {K::chainMadeOrdered, "chainMadeOrdered"},
       {K::chainReused, "chainReused"},
       {K::appNameAdded, "appNameAdded"},
       {K::hostRewritten, "hostRewritten"},
       {K::hostLeftOut, "hostLeftOut"},
       {K::portRewritten, "portRewritten"},
       {K::portLeftOut, "portLeftOut"},
       {K::ruleLeftOut, "ruleLeftOut"},
       {K::unknownTarget, "unknownTarget"},
       {K::unknownTargetDirect, "unknownTargetDirect"},
       {K::ruleAlreadyPresent, "ruleAlreadyPresent"},
       {K::nameMadeUnique, "nameMadeUnique"},
       {K::localhostDropped, "localhostDropped"},
       {K::localhostExtended, "localhostExtended"},
       {K::defaultTaken, "defaultTaken"},
       {K::defaultNotTaken, "defaultNotTaken"}}};
};

/// What an import brought into a profile, and every kind of thing it did not carry over as the
/// file had it.
struct ImportReport {
  std::int64_t proxies = 0;  // added to the profile
  std::int64_t chains = 0;
  std::int64_t rules = 0;
  std::vector<ImportNote> notes;  // at most one per kind, in the order of the kinds

  /// Counts one more case of the kind; the first case given is the example.
  void note(ImportNote::Kind kind, std::string example, std::int64_t count = 1);
  /// The report for people: the counts, then one line per note.
  std::vector<std::string> lines() const;

  bool operator==(const ImportReport&) const = default;
};

/// The text of one note for people.
std::string describe(const ImportNote& note);
/// {"proxies", "chains", "rules", "notes": [{"kind", "count", "example", "message"}]}.
json::Value toJSON(const ImportReport& report);

/// What an adapter read from a foreign file: fresh proxies, chains over them, and rules in file
/// order whose actions refer to those proxies and chains.
struct ImportedConfig {
  std::vector<ProxyServer> proxies;
  std::vector<Rule> rules;
  std::vector<ProxyChain> chains;
  /// The action of the file's own catch-all rule, for the profile's "Default" rule.
  std::optional<RuleAction> defaultAction;
  /// What the adapter left out or changed; the counts are filled by the merge.
  ImportReport report;

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

/// A profile with an import folded in, and the report of what the import carried over.
struct MergedImport {
  Profile profile;
  ImportReport report;
};

/// Folds the imported configuration into a copy of profile. Proxies at an endpoint the profile
/// already has (same address, port and protocol), chains it already has (same name and members)
/// and rules it already has (same in every field but the id) are reused rather than added, so a
/// file imported twice changes nothing the second time. A name that is taken, ignoring case, is
/// made unique with a suffix: "Work (2)"; such a name counts as the same name when the file is
/// imported again. The imported rules go after the
/// profile's own rules, before the fallback rule, which takes the file's catch-all action.
MergedImport mergeImport(const Profile& profile, const ImportedConfig& imported);

/// mergeImport without the report.
Profile merging(const Profile& profile, const ImportedConfig& imported);

/// Reads Proxifier profiles (".ppx" XML): proxies with their labels and credentials, chains, and
/// rules with their lists cleaned up for the matchers; options and DNS settings are left behind,
/// and the report says so, as it names everything else not carried over.
class PPXImportAdapter final : public ConfigImportAdapter {
 public:
  std::string adapterID() const override;
  std::vector<std::string> fileExtensions() const override;
  std::vector<std::string> searchPaths() const override;
  ImportedConfig parse(std::string_view data) const override;
};

}  // namespace velmora
