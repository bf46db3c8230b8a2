// The rule engine: which rule of a profile decides a described connection, where the connection
// goes, and the rule-by-rule trace that explains why.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "matchers.h"
#include "model.h"
#include "rule_index.h"

namespace velmora {

/// What the engine decided for one connection.
struct Verdict {
  /// The concrete route.
  struct Resolved {
    enum class Kind { proxy, interface, direct, block };

    Kind kind = Kind::direct;
    std::vector<ProxyServer> proxies;  // proxy: never empty, in hop order
    std::string interfaceName;         // interface

    static Resolved direct() { return {}; }
    static Resolved block() { return {Kind::block, {}, {}}; }
    static Resolved proxy(std::vector<ProxyServer> hops) {
      return {Kind::proxy, std::move(hops), {}};
    }
    static Resolved interface(std::string name) { return {Kind::interface, {}, std::move(name)}; }

    bool operator==(const Resolved&) const = default;
  };

  /// One rule looked at, and why it was passed over or taken.
  struct TraceEntry {
    std::string ruleName;
    bool matched = false;
    std::string reason;

    bool operator==(const TraceEntry&) const = default;
  };

  Resolved resolved;
  std::optional<Rule> matchedRule;
  QUICPolicy quicPolicy = QUICPolicy::direct;
  std::vector<TraceEntry> trace;

  /// "direct", "block", "interface utun3" or "proxy A (10.0.0.1:1080 socks5) → B (…)".
  std::string actionDescription() const;

  bool operator==(const Verdict&) const = default;
};

/// This machine's host name (gethostname(2)); nothing when it has none. Where connections are
/// routed and dry-run, the engine is given it for the host entry "%ComputerName%".
std::optional<std::string> machineHostName();

/// A profile's rules compiled once; an immutable value that any number of threads may ask at once.
class RuleEngine {
 public:
  /// With a computer name, a host entry "%ComputerName%" (any case) matches that name and no
  /// longer the text itself; the profile keeps the entry as written either way.
  explicit RuleEngine(Profile profile, std::optional<std::string> computerName = std::nullopt);

  /// The verdict of the trace-free path: what match decides, without the trace or any copy.
  /// The pointers lead into the engine and stay valid for as long as it lives.
  struct Decision {
    /// The rule that took the connection; null when none did and it goes direct.
    const Rule* rule = nullptr;
    /// The route, with resolution's fallback to direct already applied.
    const Verdict::Resolved* resolved = nullptr;
    QUICPolicy quicPolicy = QUICPolicy::direct;
  };

  /// The first rule, in evaluation order, that takes the connection; never fails.
  Verdict match(const AppIdentity& app, std::string_view host, std::uint16_t port,
                FlowTransport transport) const;

  /// The trace-free path, for callers that need only the verdict (the data plane, bulk checks):
  /// the same rule and route as match, without building a trace or copying anything. The
  /// identity and host are looked up in an index of the rules' names and hosts, so only the
  /// rules that could take the connection are tested, and nothing is allocated per rule.
  Decision decide(const AppIdentity& app, std::string_view host, std::uint16_t port,
                  FlowTransport transport) const;

  const Profile& profile() const { return profile_; }

 private:
  struct Compiled {
    /// Where the rule stands in the profile's own list; a position rather than a pointer keeps
    /// copies of the engine sound.
    std::size_t rule;
    std::vector<AppPattern> apps;
    std::vector<HostPattern> hosts;
    std::vector<PortPattern> ports;
    /// Where the rule sends a connection it takes, resolved once when the engine is built.
    Verdict::Resolved resolved;
  };

  std::vector<Compiled> compile(const std::optional<std::string>& computerName) const;
  const Rule& ruleOf(const Compiled& compiled) const { return profile_.rules[compiled.rule]; }
  std::vector<RuleIndex::Entry> indexEntries() const;
  const RuleIndex& index() const;
  Verdict::Resolved resolve(const RuleAction& action, std::vector<Verdict::TraceEntry>& trace,
                            const std::string& ruleName) const;

  Profile profile_;
  std::vector<Compiled> compiled_;
  /// Built on the first decision, so that commands which only explain never pay for it; copies
  /// of an engine share it, their rules being the same.
  struct LazyIndex {
    std::once_flag building;
    std::optional<RuleIndex> index;
    std::atomic<const RuleIndex*> built = nullptr;  // set once the index is complete
  };
  std::shared_ptr<LazyIndex> index_ = std::make_shared<LazyIndex>();
};

}  // namespace velmora
