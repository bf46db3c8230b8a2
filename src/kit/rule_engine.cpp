#include "rule_engine.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

#include "localize.h"
#include "unicode.h"

namespace velmora {

std::string Verdict::actionDescription() const {
  switch (resolved.kind) {
    case Resolved::Kind::direct:
      return "direct";
    case Resolved::Kind::block:
      return "block";
    case Resolved::Kind::interface:
      return "interface " + resolved.interfaceName;
    case Resolved::Kind::proxy: {
      std::string text = "proxy ";
      for (std::size_t i = 0; i < resolved.proxies.size(); ++i) {
        const ProxyServer& hop = resolved.proxies[i];
        if (i > 0) text += " → ";
        text += hop.name + " (" + hop.endpointDescription() + " " +
                std::string(rawValue(hop.proto)) + ")";
      }
      return text;
    }
  }
  return {};
}

std::optional<std::string> machineHostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return std::nullopt;
  return std::string(name);
}

RuleEngine::RuleEngine(Profile profile, std::optional<std::string> computerName)
    : profile_(std::move(profile)), compiled_(compile(computerName)) {}

std::vector<RuleEngine::Compiled> RuleEngine::compile(
    const std::optional<std::string>& computerName) const {
  const auto hostPattern = [&](const std::string& host) {
    if (computerName && unicode::equalsIgnoringCase(trimmedSpacesAndTabs(host), "%ComputerName%")) {
      return HostPattern(*computerName);
    }
    return HostPattern(host);
  };
  const std::vector<const Rule*> ordered = profile_.evaluationOrder();
  std::vector<Compiled> compiled;
  compiled.reserve(ordered.size());
  for (const Rule* each : ordered) {
    const Rule& rule = *each;
    Compiled entry;
    // The emptiness test comes before trimming: an entry of blanks is a pattern over "".
    for (const std::string& app : rule.apps) {
      if (!app.empty()) entry.apps.emplace_back(std::string(trimmedSpacesAndTabs(app)));
    }
    for (const std::string& host : rule.hosts) {
      if (!host.empty()) entry.hosts.push_back(hostPattern(host));
    }
    // A port text that does not parse is dropped without a word; with none left, any port goes.
    for (const std::string& port : rule.ports) {
      if (port.empty()) continue;
      if (const auto pattern = PortPattern::parse(port)) entry.ports.push_back(*pattern);
    }
    std::vector<Verdict::TraceEntry> unused;
    entry.resolved = resolve(rule.action, unused, rule.name);
    entry.rule = static_cast<std::size_t>(each - profile_.rules.data());
    compiled.push_back(std::move(entry));
  }
  return compiled;
}

std::vector<RuleIndex::Entry> RuleEngine::indexEntries() const {
  std::vector<RuleIndex::Entry> entries;
  entries.reserve(compiled_.size());
  for (const Compiled& compiled : compiled_) {
    entries.push_back({ruleOf(compiled).enabled, compiled.apps, compiled.hosts});
  }
  return entries;
}

const RuleIndex& RuleEngine::index() const {
  // The flag alone would cost a call per decision; the pointer is the fast path.
  if (const RuleIndex* built = index_->built.load(std::memory_order_acquire)) return *built;
  std::call_once(index_->building, [this] {
    index_->built.store(&index_->index.emplace(indexEntries()), std::memory_order_release);
  });
  return *index_->index;
}

Verdict RuleEngine::match(const AppIdentity& app, std::string_view host, std::uint16_t port,
                          FlowTransport transport) const {
  std::vector<Verdict::TraceEntry> trace;
  // A skip reason depends on the connection, not on the rule (bar the transport word), so each
  // is looked up and filled at most once per evaluation however many rules it passes over.
  std::string disabledReason, appReason, hostReason, portReason, transportReason[2];
  const auto reason = [](std::string& cached, const auto& make) -> const std::string& {
    if (cached.empty()) cached = make();
    return cached;
  };
  for (const Compiled& compiled : compiled_) {
    const Rule& rule = ruleOf(compiled);
    const auto skip = [&](const std::string& why) {
      trace.push_back({.ruleName = rule.name, .matched = false, .reason = why});
    };
    if (!rule.enabled) {
      skip(reason(disabledReason, [] { return VL("规则已停用"); }));
      continue;
    }
    if (rule.transport != FlowTransport::any && transport != FlowTransport::any &&
        rule.transport != transport) {
      skip(reason(transportReason[rule.transport == FlowTransport::tcp ? 0 : 1],
                  [&] { return VL("传输层不匹配（规则限 %@）", rawValue(rule.transport)); }));
      continue;
    }
    if (!compiled.apps.empty() &&
        std::none_of(compiled.apps.begin(), compiled.apps.end(),
                     [&](const AppPattern& p) { return p.matches(app); })) {
      skip(reason(appReason, [&] { return VL("应用不匹配（%@）", app.bestDescription()); }));
      continue;
    }
    if (!compiled.hosts.empty() &&
        std::none_of(compiled.hosts.begin(), compiled.hosts.end(),
                     [&](const HostPattern& p) { return p.matches(host); })) {
      skip(reason(hostReason, [&] { return VL("目标主机不匹配（%@）", host); }));
      continue;
    }
    if (!compiled.ports.empty() &&
        std::none_of(compiled.ports.begin(), compiled.ports.end(),
                     [&](const PortPattern& p) { return p.matches(port); })) {
      skip(reason(portReason, [&] { return VL("端口不匹配（%lld）", port); }));
      continue;
    }
    // Resolution may leave its fallback entry first, so the "命中" entry always closes the trace.
    Verdict::Resolved resolved = resolve(rule.action, trace, rule.name);
    trace.push_back({.ruleName = rule.name, .matched = true, .reason = VL("命中")});
    return Verdict{.resolved = std::move(resolved),
                   .matchedRule = rule,
                   .quicPolicy = rule.quicPolicy,
                   .trace = std::move(trace)};
  }
  trace.push_back({.ruleName = VL("(无兜底规则)"), .matched = true, .reason = VL("默认直连")});
  return Verdict{.resolved = Verdict::Resolved::direct(),
                 .matchedRule = std::nullopt,
                 .quicPolicy = QUICPolicy::direct,
                 .trace = std::move(trace)};
}

RuleEngine::Decision RuleEngine::decide(const AppIdentity& app, std::string_view host,
                                        std::uint16_t port, FlowTransport transport) const {
  static const Verdict::Resolved direct = Verdict::Resolved::direct();
  const PreparedApp preparedApp(app);
  const PreparedHost preparedHost(host);
  const RuleIndex::Candidates candidates(index(), preparedApp, preparedHost);
  for (std::size_t at = candidates.next(0); at < compiled_.size(); at = candidates.next(at + 1)) {
    const Compiled& compiled = compiled_[at];
    const Rule& rule = ruleOf(compiled);
    if (!rule.enabled) continue;
    if (rule.transport != FlowTransport::any && transport != FlowTransport::any &&
        rule.transport != transport)
      continue;
    if (!compiled.apps.empty() &&
        std::none_of(compiled.apps.begin(), compiled.apps.end(),
                     [&](const AppPattern& p) { return p.matches(preparedApp); }))
      continue;
    if (!compiled.hosts.empty() &&
        std::none_of(compiled.hosts.begin(), compiled.hosts.end(),
                     [&](const HostPattern& p) { return p.matches(preparedHost); }))
      continue;
    if (!compiled.ports.empty() &&
        std::none_of(compiled.ports.begin(), compiled.ports.end(),
                     [&](const PortPattern& p) { return p.matches(port); }))
      continue;
    return Decision{.rule = &rule, .resolved = &compiled.resolved, .quicPolicy = rule.quicPolicy};
  }
  return Decision{.rule = nullptr, .resolved = &direct, .quicPolicy = QUICPolicy::direct};
}

Verdict::Resolved RuleEngine::resolve(const RuleAction& action,
                                      std::vector<Verdict::TraceEntry>& trace,
                                      const std::string& ruleName) const {
  const auto fallBack = [&](std::string reason) {
    trace.push_back({.ruleName = ruleName, .matched = false, .reason = std::move(reason)});
    return Verdict::Resolved::direct();
  };
  switch (action.kind) {
    case RuleAction::Kind::proxy: {
      const ProxyServer* proxy = profile_.proxy(action.id);
      if (!proxy) return fallBack(VL("规则指向的代理不存在，回退直连"));
      return Verdict::Resolved::proxy({*proxy});
    }
    case RuleAction::Kind::chain: {
      const ProxyChain* chain = profile_.chain(action.id);
      if (!chain) return fallBack(VL("规则指向的代理链不存在，回退直连"));
      std::vector<ProxyServer> hops;
      // Members the profile no longer has are left out without a trace entry.
      for (const UUID& id : chain->proxyIDs) {
        if (const ProxyServer* proxy = profile_.proxy(id)) hops.push_back(*proxy);
      }
      if (hops.empty()) return fallBack(VL("代理链为空，回退直连"));
      return Verdict::Resolved::proxy(std::move(hops));
    }
    case RuleAction::Kind::interface:
      return Verdict::Resolved::interface(action.interfaceName);
    case RuleAction::Kind::direct:
      return Verdict::Resolved::direct();
    case RuleAction::Kind::block:
      return Verdict::Resolved::block();
  }
  return Verdict::Resolved::direct();
}

}  // namespace velmora
